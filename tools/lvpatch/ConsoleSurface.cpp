#include "ConsoleSurface.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cinttypes>
#include <ctime>

#include "state/Settings.h"

namespace {

// Redrawing the live line on every block would cost more than the block.
constexpr auto kRedrawInterval = std::chrono::milliseconds(100);
// A log or a script wants the course of a run, not every 0.1 MB.
constexpr auto kProgressLineInterval = std::chrono::seconds(1);

// The text with its figures blanked: texts of one template are progress.
std::string Template(const std::string& text) {
    std::string shape;
    for (char c : text)
        if (!(c >= '0' && c <= '9'))
            shape += c;
        else if (shape.empty() || shape.back() != '#')
            shape += '#';
    return shape;
}

std::string WallClock() {
    std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    char buffer[16];
    std::strftime(buffer, sizeof buffer, "%H:%M:%S", &local);
    return buffer;
}

std::string Seconds(double seconds) {
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%.3f", seconds);
    return buffer;
}

// The length of the UTF-8 sequence starting at `i`, 0 when it is not one.
size_t Utf8Length(const std::string& text, size_t i) {
    auto byte = [&](size_t k) { return static_cast<unsigned char>(text[k]); };
    unsigned char c = byte(i);
    size_t length = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
    if (length == 0 || (length == 2 && c < 0xC2) || i + length > text.size())
        return 0;
    for (size_t k = 1; k < length; ++k)
        if ((byte(i + k) & 0xC0) != 0x80)
            return 0;
    return length;
}

// U+0080..U+009F, which some terminals take as 8-bit control codes; `length`
// is Utf8Length(text, i).
bool IsC1Control(const std::string& text, size_t i, size_t length) {
    return length == 2 && static_cast<unsigned char>(text[i]) == 0xC2 &&
           static_cast<unsigned char>(text[i + 1]) <= 0x9F;
}

void AppendHex(std::string* out, const char* format, unsigned char c) {
    char buffer[8];
    std::snprintf(buffer, sizeof buffer, format, c);
    *out += buffer;
}

int TerminalWidth(FILE* stream) {
    winsize size{};
    if (ioctl(fileno(stream), TIOCGWINSZ, &size) == 0 && size.ws_col > 0)
        return size.ws_col;
    return 80;
}

std::string FormatDuration(double seconds) {
    long total = static_cast<long>(seconds + 0.5);
    char buffer[32];
    if (total >= 3600)
        std::snprintf(buffer, sizeof buffer, "%ld:%02ld:%02ld", total / 3600, total / 60 % 60,
                      total % 60);
    else
        std::snprintf(buffer, sizeof buffer, "%ld:%02ld", total / 60, total % 60);
    return buffer;
}

}  // namespace

std::optional<int64_t> ParseConsoleRate(std::string_view text) {
    if (std::optional<int64_t> rate = ParseRate(text))
        return rate;
    size_t end = text.find_first_not_of("0123456789.");
    const std::string_view number = text.substr(0, end);
    const std::string_view suffix = end == std::string_view::npos ? "" : text.substr(end);
    int64_t multiplier = 1;
    if (suffix.size() == 1 && std::string_view("kKmMgG").find(suffix[0]) != std::string_view::npos)
        multiplier =
            int64_t{1} << (10 *
                           (1 + std::string_view("kmg").find(static_cast<char>(suffix[0] | 0x20))));
    else if (!suffix.empty())
        return std::nullopt;
    const size_t dot = number.find('.');
    const std::string_view whole = number.substr(0, dot);
    const std::string_view fraction =
        dot == std::string_view::npos ? std::string_view() : number.substr(dot + 1);
    if (whole.empty() || whole.size() > 12 || fraction.size() > 6 ||
        fraction.find('.') != std::string_view::npos ||
        (dot != std::string_view::npos && fraction.empty()))
        return std::nullopt;
    int64_t bytes = 0;
    int64_t tenths = 0;
    int64_t scale = 1;
    for (char c : whole)
        bytes = bytes * 10 + (c - '0');
    for (char c : fraction) {
        tenths = tenths * 10 + (c - '0');
        scale *= 10;
    }
    if (__builtin_mul_overflow(bytes, multiplier, &bytes) ||
        __builtin_add_overflow(bytes, (tenths * multiplier + scale / 2) / scale, &bytes) ||
        bytes <= 0)
        return std::nullopt;
    return bytes;
}

std::string FormatBytes(int64_t bytes) {
    static const char* const kUnits[] = {"B", "KiB", "MiB", "GiB", "TiB"};
    double value = static_cast<double>(bytes);
    size_t unit = 0;
    while (value >= 1024.0 && unit + 1 < std::size(kUnits)) {
        value /= 1024.0;
        ++unit;
    }
    char buffer[32];
    if (unit == 0)
        std::snprintf(buffer, sizeof buffer, "%" PRId64 " B", bytes);
    else
        std::snprintf(buffer, sizeof buffer, "%.1f %s", value, kUnits[unit]);
    return buffer;
}

std::string EscapeForTerminal(const std::string& text, bool keepNewlines) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size();) {
        auto c = static_cast<unsigned char>(text[i]);
        size_t length = Utf8Length(text, i);
        bool c1 = IsC1Control(text, i, length);
        if ((c < 0x20 && !(keepNewlines && c == '\n')) || c == 0x7F || c1 ||
            (length == 0 && c <= 0x9F)) {
            for (size_t k = 0; k < (c1 ? 2 : 1); ++k)
                AppendHex(&out, "\\x%02x", static_cast<unsigned char>(text[i + k]));
            i += c1 ? 2 : 1;
        } else {
            // Other bytes that are not UTF-8 are the terminal's to show.
            length = std::max<size_t>(length, 1);
            out.append(text, i, length);
            i += length;
        }
    }
    return out;
}

std::string JsonString(const std::string& text) {
    std::string out = "\"";
    for (size_t i = 0; i < text.size();) {
        auto c = static_cast<unsigned char>(text[i]);
        size_t length = Utf8Length(text, i);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c == '\n') {
            out += "\\n";
        } else if (c < 0x20 || c == 0x7F || length == 0) {
            AppendHex(&out, "\\u%04x", c);
            length = 1;
        } else if (IsC1Control(text, i, length)) {
            AppendHex(&out, "\\u%04x", static_cast<unsigned char>(text[i + 1]));
        } else {
            out.append(text, i, length);
        }
        i += std::max<size_t>(length, 1);
    }
    return out + "\"";
}

ConsoleSurface::ConsoleSurface(FILE* out, FILE* err, Mode mode, bool verbose)
    : out_(out), err_(err), mode_(mode), verbose_(verbose) {}

void ConsoleSurface::SetStageText(const std::string& text) {
    const bool progress = !stage_.empty() && text != stage_ && Template(text) == Template(stage_);
    stage_ = text;
    if (mode_ == Mode::kLive) {
        DrawLiveLine(true);
        return;
    }
    if (text == lastPrinted_ || text == " ")
        return;
    Clock::time_point now = Clock::now();
    if (progress && now - lastProgressLine_ < kProgressLineInterval)
        return;
    lastProgressLine_ = now;
    if (mode_ == Mode::kJson)
        Json("\"event\":\"stage\",\"text\":" + JsonString(text));
    else
        PrintLine(text);
    lastPrinted_ = text;
}

void ConsoleSurface::SetStatusText(const std::string& text) {
    status_ = text;
    if (text.empty() || text == lastPrinted_)
        return;
    EndLiveLine();
    if (mode_ == Mode::kJson)
        Json("\"event\":\"status\",\"text\":" + JsonString(text));
    else
        PrintLine(text);
    lastPrinted_ = text;
}

void ConsoleSurface::SetProgressRange(int64_t low, int64_t high) {
    low_ = low;
    high_ = high;
    rangeSet_ = true;
    rangeSetAt_ = Clock::now();
}

void ConsoleSurface::SetProgressPos(int64_t pos) {
    pos_ = pos;
    if (mode_ == Mode::kLive)
        DrawLiveLine(false);
    if (mode_ != Mode::kJson || !rangeSet_ || high_ <= low_)
        return;
    // The bar as numbers, for a front end that draws its own: at most once
    // a second, and when it is full.
    const Clock::time_point now = Clock::now();
    if (now - lastJsonProgress_ < kProgressLineInterval && pos < high_)
        return;
    lastJsonProgress_ = now;
    const double seconds = std::chrono::duration<double>(now - rangeSetAt_).count();
    const int64_t done = std::clamp(pos, low_, high_) - low_;
    Json("\"event\":\"progress\",\"stage\":" + JsonString(stage_) + ",\"done\":" +
         std::to_string(done) + ",\"total\":" + std::to_string(high_ - low_) + ",\"per_second\":" +
         std::to_string(seconds > 0 ? static_cast<int64_t>(static_cast<double>(done) / seconds)
                                    : 0));
}

void ConsoleSurface::ShowMessageBox(const std::string& caption, const std::string& text) {
    EndLiveLine();
    if (mode_ == Mode::kJson) {
        Json("\"event\":\"box\",\"caption\":" + JsonString(caption) +
             ",\"text\":" + JsonString(text));
        return;
    }
    std::fprintf(err_, "[%s]\n%s\n", EscapeForTerminal(caption, false).c_str(),
                 EscapeForTerminal(text, true).c_str());
    std::fflush(err_);
}

void ConsoleSurface::RunFinished(bool success) {
    EndLiveLine();
    std::lock_guard<std::mutex> lock(mutex_);
    finished_ = true;
    success_ = success;
    finishedChanged_.notify_all();
}

bool ConsoleSurface::WaitForFinish() {
    std::unique_lock<std::mutex> lock(mutex_);
    finishedChanged_.wait(lock, [this] { return finished_; });
    return success_;
}

void ConsoleSurface::OnRequest(const Request& request) {
    std::string result =
        request.status == 0 ? std::string("no answer") : "HTTP " + std::to_string(request.status);
    std::string end = request.end;
    if (end != "finished")
        result += ", " + end;
    if (!request.error.empty())
        result += " (" + request.error + ")";
    {
        std::lock_guard<std::mutex> lock(mutex_);
        bytes_ += request.bytes;
        // A cut at a bound is what a size query asks for, and a download cut
        // that way fails verification, which names the file itself.
        if (request.status != 200 || end == "broken" || end == "write-failed")
            lastFailedRequest_ = request.url + ": " + result;
    }
    if (mode_ == Mode::kJson) {
        Json("\"event\":\"request\",\"url\":" + JsonString(request.url) + ",\"status\":" +
             std::to_string(request.status) + ",\"bytes\":" + std::to_string(request.bytes) +
             ",\"seconds\":" + Seconds(request.seconds) + ",\"end\":" + JsonString(request.end) +
             (request.error.empty() ? "" : ",\"error\":" + JsonString(request.error)));
    } else if (verbose_) {
        EndLiveLine();
        std::fprintf(err_, "lvpatch: GET %s -> %s, %" PRId64 " bytes, %s s\n",
                     EscapeForTerminal(request.url, false).c_str(), result.c_str(), request.bytes,
                     Seconds(request.seconds).c_str());
        std::fflush(err_);
    }
}

void ConsoleSurface::OnFetch(const std::string& name, FetchReason reason) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        ++fetched_;
    }
    if (mode_ == Mode::kJson) {
        Json("\"event\":\"fetch\",\"file\":" + JsonString(name) +
             ",\"reason\":" + JsonString(FetchReasonName(reason)));
    } else if (verbose_) {
        EndLiveLine();
        std::fprintf(err_, "lvpatch: fetch %s (%s)\n", EscapeForTerminal(name, false).c_str(),
                     FetchReasonName(reason));
        std::fflush(err_);
    }
}

void ConsoleSurface::OnInstall(const Install& install) {
    const std::string way = install.way;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        written_ += install.written;
        if (way == "compressed" || way == "delta")
            ++fromObjects_;
    }
    if (mode_ == Mode::kJson) {
        Json("\"event\":\"install\",\"file\":" + JsonString(install.name) +
             ",\"way\":" + JsonString(way) + ",\"bytes\":" + std::to_string(install.travelled) +
             ",\"written\":" + std::to_string(install.written) +
             (install.fellBack.empty() ? "" : ",\"fell_back\":" + JsonString(install.fellBack)));
    } else if (verbose_) {
        EndLiveLine();
        std::fprintf(err_, "lvpatch: %s from the %s (%s for %s)%s%s\n",
                     EscapeForTerminal(install.name, false).c_str(),
                     way == "present" ? "bytes already there" : way.c_str(),
                     FormatBytes(install.travelled).c_str(), FormatBytes(install.written).c_str(),
                     install.fellBack.empty() ? "" : "; before that: ",
                     EscapeForTerminal(install.fellBack, false).c_str());
        std::fflush(err_);
    }
}

void ConsoleSurface::OnServerSkipped(const std::string& server, const std::string& why) {
    if (mode_ == Mode::kJson) {
        Json("\"event\":\"server_skipped\",\"server\":" + JsonString(server) +
             ",\"reason\":" + JsonString(why));
    } else if (verbose_) {
        EndLiveLine();
        std::fprintf(err_, "lvpatch: skipping %s for the rest of the run: %s\n",
                     EscapeForTerminal(server, false).c_str(),
                     EscapeForTerminal(why, false).c_str());
        std::fflush(err_);
    }
}

void ConsoleSurface::OnServerNote(const std::string& text) {
    if (mode_ == Mode::kJson) {
        Json("\"event\":\"servers\",\"text\":" + JsonString(text));
    } else if (verbose_) {
        EndLiveLine();
        std::fprintf(err_, "lvpatch: %s\n", EscapeForTerminal(text, false).c_str());
        std::fflush(err_);
    }
}

void ConsoleSurface::OnFailure(const std::string& cause) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (firstCause_.empty())
        firstCause_ = cause;
}

std::string ConsoleSurface::FailureCause() const {
    return firstCause_.empty() ? lastFailedRequest_ : firstCause_;
}

std::string ConsoleSurface::Summary(int checked) const {
    std::lock_guard<std::mutex> lock(mutex_);
    double seconds = std::chrono::duration<double>(Clock::now() - started_).count();
    std::string line = std::to_string(checked) + (checked == 1 ? " file" : " files") +
                       " checked, " + std::to_string(fetched_) + " fetched, " +
                       FormatBytes(bytes_) + " in " + FormatDuration(seconds);
    if (seconds > 0)
        line +=
            " (" + FormatBytes(static_cast<int64_t>(static_cast<double>(bytes_) / seconds)) + "/s)";
    if (fromObjects_ > 0)
        line += ", " + FormatBytes(written_) + " written (" + std::to_string(fromObjects_) +
                " from compressed copies or deltas)";
    return line;
}

void ConsoleSurface::PrintResult(bool success, int checked) {
    double seconds = std::chrono::duration<double>(Clock::now() - started_).count();
    std::string fields =
        "\"event\":\"result\",\"success\":" + std::string(success ? "true" : "false") +
        ",\"files_checked\":" + std::to_string(checked) +
        ",\"files_fetched\":" + std::to_string(fetched_) + ",\"bytes\":" + std::to_string(bytes_) +
        ",\"bytes_written\":" + std::to_string(written_) + ",\"seconds\":" + Seconds(seconds);
    if (success) {
        fields += ",\"game\":" + JsonString(m_gameExe);
        fields += ",\"test_client\":" + JsonString(m_testClient);
    } else {
        fields += ",\"cause\":" + JsonString(FailureCause());
    }
    Json(fields);
}

void ConsoleSurface::PrintRepair(int checked, int damaged, bool repaired) {
    if (mode_ == Mode::kJson) {
        Json("\"event\":\"repair\",\"files_checked\":" + std::to_string(checked) +
             ",\"files_damaged\":" + std::to_string(damaged) +
             ",\"repaired\":" + (repaired ? "true" : "false"));
        return;
    }
    std::fprintf(out_, "repair: %d files checked, %d %s\n", checked, damaged,
                 repaired ? "repaired" : "damaged, not repaired");
    std::fflush(out_);
}

void ConsoleSurface::PrintLine(const std::string& text) {
    std::fprintf(out_, "%s %s\n", WallClock().c_str(), EscapeForTerminal(text, false).c_str());
    std::fflush(out_);
}

void ConsoleSurface::Json(const std::string& fields) {
    double seconds = std::chrono::duration<double>(Clock::now() - started_).count();
    std::lock_guard<std::mutex> lock(mutex_);
    std::fprintf(out_, "{\"t\":%s,%s}\n", Seconds(seconds).c_str(), fields.c_str());
    std::fflush(out_);
}

void ConsoleSurface::DrawLiveLine(bool force) {
    Clock::time_point now = Clock::now();
    if (!force && now - lastDraw_ < kRedrawInterval)
        return;
    lastDraw_ = now;

    // Figures first, so a narrow terminal cuts the stage text, not them.
    std::string line;
    int64_t span = high_ - low_;
    if (rangeSet_ && span > 1) {
        int64_t done = std::clamp(pos_ - low_, int64_t{0}, span);
        double fraction = static_cast<double>(done) / static_cast<double>(span);
        constexpr int kBarWidth = 20;
        int filled = static_cast<int>(fraction * kBarWidth);
        // Appended piece by piece: GCC 12 warns falsely (-Wrestrict) about
        // "[" + std::string(...) at -O3.
        line += '[';
        line.append(static_cast<size_t>(filled), '#');
        line.append(static_cast<size_t>(kBarWidth - filled), '-');
        line += "] ";
        line += FormatBytes(done) + " of " + FormatBytes(span);
        double seconds = std::chrono::duration<double>(now - rangeSetAt_).count();
        if (seconds > 0.5 && done > 0) {
            double rate = static_cast<double>(done) / seconds;
            line += "  " + FormatBytes(static_cast<int64_t>(rate)) + "/s";
            line += "  " + FormatDuration(static_cast<double>(span - done) / rate) + " left";
        }
        line += "  ";
    }
    line += EscapeForTerminal(stage_, false);
    size_t width = static_cast<size_t>(TerminalWidth(out_)) - 1;
    if (line.size() > width)
        line.resize(width);
    std::fprintf(out_, "\r\033[K%s", line.c_str());
    std::fflush(out_);
    lineOpen_ = true;
}

void ConsoleSurface::EndLiveLine() {
    if (!lineOpen_)
        return;
    std::fputc('\n', out_);
    std::fflush(out_);
    lineOpen_ = false;
}
