#pragma once
// The patch run seen from a terminal or a script. On a terminal: one live
// line with the stage, a bar, bytes, rate and time left. Otherwise: every new
// stage or status text on a line of its own with a timestamp, progress texts
// at most once a second. With JSON: one object a line for every event.
// Message boxes go to standard error and the run goes on at once, since
// nobody is there to press OK. Texts from the server are shown with their
// control bytes escaped.

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "patch/RunLog.h"
#include "patch/RunSurface.h"

class ConsoleSurface : public RunSurface, public RunLog {
  public:
    enum class Mode { kLive, kLines, kJson };
    // `verbose`: requests and fetch decisions on standard error.
    ConsoleSurface(FILE* out, FILE* err, Mode mode, bool verbose = false);

    void SetStageText(const std::string& text) override;
    void SetStatusText(const std::string& text) override;
    void SetProgressRange(int64_t low, int64_t high) override;
    void SetProgressPos(int64_t pos) override;
    void ShowMessageBox(const std::string& caption, const std::string& text) override;
    void RunFinished(bool success) override;

    void OnRequest(const Request& request) override;
    void OnFetch(const std::string& name, FetchReason reason) override;
    void OnFailure(const std::string& cause) override;
    void OnInstall(const Install& install) override;
    void OnServerSkipped(const std::string& server, const std::string& why) override;
    void OnServerNote(const std::string& text) override;

    // Blocks until the run has called RunFinished; returns its outcome.
    bool WaitForFinish();

    // After the run: what failed (the first cause a stage gave, else the
    // last request answered other than 200, broken off or not written), or
    // empty.
    std::string FailureCause() const;
    // After a successful run: "N files checked, M fetched, BYTES in TIME
    // (RATE)"; `checked` is the manifest's entry count.
    std::string Summary(int checked) const;
    // The run's end as a JSON line (mode kJson).
    void PrintResult(bool success, int checked);
    // After a repair run: files re-hashed and how many differed, fetched
    // again when `repaired`; a line, or a JSON event in mode kJson.
    void PrintRepair(int checked, int damaged, bool repaired);

  private:
    using Clock = std::chrono::steady_clock;

    void DrawLiveLine(bool force);
    void EndLiveLine();
    void PrintLine(const std::string& text);
    void Json(const std::string& fields);

    FILE* out_;
    FILE* err_;
    Mode mode_;
    bool verbose_;
    Clock::time_point started_ = Clock::now();

    std::string stage_;
    std::string status_;
    std::string lastPrinted_;
    Clock::time_point lastProgressLine_{};
    int64_t low_ = 0;
    int64_t high_ = 100;
    int64_t pos_ = 0;
    bool rangeSet_ = false;  // the bar shows only once the run has sized it
    Clock::time_point rangeSetAt_ = Clock::now();
    Clock::time_point lastDraw_{};
    Clock::time_point lastJsonProgress_{};
    bool lineOpen_ = false;

    // What the run log collects.
    int fetched_ = 0;
    int64_t bytes_ = 0;
    int64_t written_ = 0;  // into game files
    int fromObjects_ = 0;  // files made from compressed copies or deltas
    std::string firstCause_;
    std::string lastFailedRequest_;

    mutable std::mutex mutex_;
    std::condition_variable finishedChanged_;
    bool finished_ = false;
    bool success_ = false;
};

// "12.3 MiB"-style figure for a byte count.
std::string FormatBytes(int64_t bytes);

// A rate as console users type it for curl, wget and aria2: bytes per
// second ("2097152"), or with K, M or G for 1024, 1024^2, 1024^3 ("500K",
// "1.5M"), or as the settings file writes it ("500KiB/s"). Nothing for
// anything else, zero included.
std::optional<int64_t> ParseConsoleRate(std::string_view text);

// `text` with control bytes (C0, DEL and the C1 range in UTF-8) written as
// \xNN, so a server cannot drive the terminal; newlines stay when
// `keepNewlines`.
std::string EscapeForTerminal(const std::string& text, bool keepNewlines);

// `text` as a JSON string literal: quotes, backslashes and control bytes
// (C0, DEL and the C1 range in UTF-8) escaped; bytes that are not UTF-8 as
// \u00NN.
std::string JsonString(const std::string& text);
