// Fetching the marked files into the game folder with progress, noticing a
// new launcher program, and verifying the result against disk and ledger.

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <climits>
#include <cstdio>
#include <cstring>
#include <exception>
#include <memory>
#include <string>
#include <vector>

#include "base/NameCase.h"
#include "base/Sha256.h"
#include "fileset/FilesToPatch.h"
#include "patch/PatchExceptions.h"
#include "patch/PatchServer.h"
#include "patch/RunContext.h"
#include "patch/RunSurface.h"
#include "patch/Transfer.h"
#include "platform/Platform.h"
#include "platform/ReadableSize.h"
#include "state/FileVersionFile.h"
#include "state/LocalFiles.h"
#include "state/VerifiedFiles.h"

namespace {

// The megabyte text is redrawn only after more than this many further bytes,
// about ten times per mebibyte.
constexpr int64_t kBytesBetweenTexts = 104857;
constexpr double kBytesToMebibytes = 9.5367431640625e-07;

struct DownloadProgress {
    int64_t bytesDone = 0;
    FILE* file = nullptr;
    int64_t bytesAtLastText = 0;
    int64_t bytesTotal = 0;
};

// "%.1f" that ignores the process locale (the window's toolkit sets it).
void AppendOneDecimal(std::string& out, double value) {
    char buffer[64];
    auto result = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed, 1);
    out.append(buffer, result.ptr);
}

// Moves the progress over all the stage's files by `size` more bytes.
void Advance(DownloadProgress* progress, size_t size) {
    progress->bytesDone += static_cast<int64_t>(size);
    g_patchDialog->SetProgressPos(progress->bytesDone);
    if (progress->bytesDone - progress->bytesAtLastText > kBytesBetweenTexts) {
        g_patchDialog->SetStageText(
            DownloadProgressText(progress->bytesDone, progress->bytesTotal));
        progress->bytesAtLastText = progress->bytesDone;
    }
}

// Writes one file of the stage and moves the progress over all its files.
// The progress counts what is in the file; when a resumed transfer starts
// the file again it holds where it was until the file is that long again,
// so the bar and the megabyte text never go backwards.
class ProgressSink : public TransferSink {
  public:
    // Writes to `file`, or without one to the stage's current file.
    explicit ProgressSink(DownloadProgress* progress, FILE* file = nullptr)
        : progress_(progress), file_(file) {}

    bool Restart() override {
        inFile_ = 0;
        return RestartFile(Stream());
    }

    bool Write(const char* data, size_t size) override {
        errno = 0;
        if (std::fwrite(data, 1, size, Stream()) != size) {
            error_ = errno != 0 ? errno : EIO;
            return false;
        }
        inFile_ += static_cast<int64_t>(size);
        if (inFile_ > counted_) {
            Advance(progress_, static_cast<size_t>(inFile_ - counted_));
            counted_ = inFile_;
        } else {
            g_patchDialog->SetProgressPos(progress_->bytesDone);
        }
        return true;
    }

    // The system's reason for the write that failed, 0 while none has.
    int Error() const { return error_; }

  protected:
    FILE* Stream() const { return file_ ? file_ : progress_->file; }

    DownloadProgress* progress_;
    FILE* file_;

  private:
    int64_t inFile_ = 0;   // bytes in the file now
    int64_t counted_ = 0;  // of this file's bytes, those already in bytesDone
    int error_ = 0;
};

// One file of a stage: its staging file beside the installed one and the
// stage's shared progress. The installed file is replaced only by Commit.
class StagedDownload : public ProgressSink {
  public:
    StagedDownload(const std::string& target, DownloadProgress* progress)
        : ProgressSink(progress), staging(target), transfer(this) {
        file_ = staging.Stream();
    }

    // The system's reason when the file's bytes did not all reach it, else 0.
    int Close() {
        file_ = nullptr;
        const int closeError = staging.Close();
        return Error() != 0 ? Error() : closeError;
    }

    StagingFile staging;
    Transfer transfer;
};

// Opens the staging file of `file` or ends the stage as a file that cannot
// be written, before anything is asked of the server.
std::unique_ptr<StagedDownload> StartStaging(const RunContext& run, const FilesToPatch::File& file,
                                             DownloadProgress* progress) {
    auto download = std::make_unique<StagedDownload>(file.name, progress);
    if (!download->staging.IsOpen()) {
        LogFailure(run,
                   "cannot write " + file.name + ": " + std::strerror(download->staging.Error()));
        throw CouldntWriteFileException();
    }
    return download;
}

// What a file takes on the disk: whole blocks. A size no disk holds (a
// manifest may say anything) stays beyond every disk instead of wrapping.
int64_t OnDisk(int64_t bytes) {
    constexpr int64_t kBlock = 4096;
    if (bytes <= 0)
        return 0;
    if (bytes > INT64_MAX - kBlock)
        return INT64_MAX;
    return (bytes + kBlock - 1) / kBlock * kBlock;
}

// The most the game folder grows at any point of the stage. A new file is
// written beside the old one, which gives its space back only once the new
// one is renamed over it; with `width` transfers in flight, that many new
// files are beside their old ones at once. Sizes the server did not announce
// count as nothing.
int64_t SpaceNeeded(const std::vector<FilesToPatch::File>& files, int width) {
    struct Change {
        int64_t added;  // the new file, while it is staged
        int64_t grown;  // what the folder gains once it replaced the old one
    };
    std::vector<Change> changes;
    for (const FilesToPatch::File& file : files) {
        if (file.rejected || !file.needsDownload || !file.sizeKnown || file.size < 0)
            continue;
        std::optional<int64_t> local = platform::OpenExistingForReadSize(file.name);
        changes.push_back({OnDisk(file.size), OnDisk(file.size) - OnDisk(local.value_or(0))});
    }
    int64_t grown = 0;
    int64_t most = 0;
    for (size_t i = 0; i < changes.size(); ++i) {
        int64_t inFlight = 0;
        for (size_t j = i; j < changes.size() && j < i + static_cast<size_t>(width); ++j)
            if (__builtin_add_overflow(inFlight, changes[j].added, &inFlight))
                return INT64_MAX;
        int64_t peak = 0;
        if (__builtin_add_overflow(grown, inFlight, &peak) ||
            __builtin_add_overflow(grown, changes[i].grown, &grown))
            return INT64_MAX;
        most = std::max(most, peak);
    }
    return most;
}

// Why an answer that ended as a 200 does not replace the installed file, or
// nothing when it may.
std::optional<std::string> Refusal(const FilesToPatch::File& file, const TransferOutcome& outcome) {
    if (outcome.end == TransferOutcome::End::kOverLimit)
        return file.name + " came longer than " +
               (file.sizeKnown && file.size >= 0 ? "the manifest says"
                                                 : "the launcher takes an unannounced file");
    if (file.sizeKnown && file.size >= 0 && outcome.bytes != file.size)
        return file.name + " came with " + std::to_string(outcome.bytes) +
               " bytes, the manifest says " + std::to_string(file.size);
    if (!outcome.Complete())
        return file.name + " did not arrive whole (" + std::to_string(outcome.bytes) + " bytes)";
    if (!file.Sha256Tag().empty() && outcome.sha256 != file.Sha256Tag())
        return file.name + " does not have the published SHA-256";
    return std::nullopt;
}

// What an ended download means for its file: throws for a file that could
// not be written and for an answer other than 200, and returns whether the
// new bytes replaced the installed file (then the file is to be recorded).
// Whatever else happened, the installed file stays exactly as it was, the
// staging file is gone, and verification fails the run for this entry.
bool JudgeDownload(const RunContext& run, FilesToPatch::File& file, StagedDownload& download,
                   const TransferOutcome& outcome) {
    const int writeError = download.Close();
    // A file that could not be written is the disk's fault, not the
    // server's; what was written of it only took space.
    if (outcome.end == TransferOutcome::End::kWriteFailed || writeError != 0) {
        download.staging.Discard();
        LogFailure(run, "cannot write " + file.name + ": " +
                            std::strerror(writeError != 0 ? writeError : EIO));
        throw CouldntWriteFileException();
    }
    if (outcome.status != 200) {
        download.staging.Discard();
        throw DownloadFailedException();
    }
    if (std::optional<std::string> refusal = Refusal(file, outcome)) {
        download.staging.Discard();
        file.refusal = std::move(*refusal);
        return false;
    }
    if (!download.staging.Commit()) {
        // Windows refuses to replace a program that runs.
        LogFailure(run,
                   "cannot write " + file.name + ": " + std::strerror(download.staging.Error()));
        throw CouldntWriteFileException();
    }
    return true;
}

// Records a file that replaced the installed one: its version in the
// ledger, and with a key the hash its bytes were checked against.
void RecordDownload(const FilesToPatch::File& file, VerifiedFiles* record) {
    FileVersionFile::SetVersion(file.name, file.version);
    if (record) {
        if (std::optional<platform::FileStamp> stamp = platform::StampOf(file.name))
            record->Record(file.name, *stamp, file.Sha256Tag());
    }
    if (SameNameIgnoringCase(file.name, kNewLauncherExe)) {
        // The successor as this disk names it is the one compared and started.
        g_patchDialog->m_newLauncherExe = file.name;
        FILE* fetched = std::fopen(file.name.c_str(), "rb");
        if (!fetched || !IsIdenticalToLauncherExe(fetched))
            g_patchDialog->m_launcherUpdatePending = true;
    }
}

// Prepares the transfer of `file`.
void PrepareDownload(const FilesToPatch::File& file, Transfer& transfer) {
    // Never more than the manifest's size, nor more than the answer
    // announces (the engine holds it to that).
    transfer.SetByteLimit(file.sizeKnown && file.size >= 0 ? file.size : kUnannouncedBodyLimit);
    if (!file.Sha256Tag().empty())
        transfer.EnableSha256();
    transfer.EnableResume(file.sizeKnown ? file.size : -1);
}

// Writes a file whose whole body arrived with its size request, as if its
// download had brought it.
void WritePrefetched(const RunContext& run, FilesToPatch::File& file, DownloadProgress* progress,
                     VerifiedFiles* record) {
    std::unique_ptr<StagedDownload> download = StartStaging(run, file, progress);
    TransferOutcome outcome;
    outcome.status = 200;
    outcome.announcedLength = static_cast<int64_t>(file.prefetchedBody.size());
    outcome.end = download->Write(file.prefetchedBody.data(), file.prefetchedBody.size())
                      ? TransferOutcome::End::kFinished
                      : TransferOutcome::End::kWriteFailed;
    outcome.bytes = outcome.end == TransferOutcome::End::kFinished ? outcome.announcedLength : 0;
    if (!file.Sha256Tag().empty())
        outcome.sha256 = Sha256Hex(file.prefetchedBody);
    std::string().swap(file.prefetchedBody);
    if (JudgeDownload(run, file, *download, outcome))
        RecordDownload(file, record);
}

}  // namespace

std::string DownloadProgressText(int64_t bytesDone, int64_t bytesTotal) {
    std::string text = "Downloading updates to game:  ";
    AppendOneDecimal(text, static_cast<double>(bytesDone) * kBytesToMebibytes);
    text += " of ";
    AppendOneDecimal(text, static_cast<double>(bytesTotal) * kBytesToMebibytes);
    text += " MB complete";
    return text;
}

// Up to the run's width of downloads in flight, started in manifest order.
// Each file is recorded once its own transfer has ended well; the first
// failure stops the others (their staging files are removed, their installed
// files stay as they were) and ends the stage, after the files that had
// already arrived whole are recorded.
void FilesToPatch::DownloadFiles(RunContext& run) {
    DownloadProgress progress;
    progress.bytesTotal = totalDownloadSize;
    g_patchDialog->SetProgressPos(0);

    // A disk that cannot hold the new files beside the old ones is found
    // before anything is fetched, so the player keeps a whole installation.
    std::optional<int64_t> free = platform::FreeBytes(".");
    if (const int64_t needed = SpaceNeeded(files, run.width); free && needed > *free) {
        LogFailure(run, "not enough disk space: the new files need " + std::to_string(needed) +
                            " more bytes, the disk has " + std::to_string(*free) + " free");
        throw CouldntWriteFileException();
    }

    std::vector<std::unique_ptr<StagedDownload>> downloads(files.size());
    TransferPool pool(run, run.width);
    if (!pool)
        throw DownloadFailedException();
    pool.ConfigureHandles([&](TransferHandle& handle) { handle.UseLargeBlocks(run.width); });

    // Two lines of a manifest may name one file (in another letter case on a
    // disk that ignores it): the later one waits until the earlier one has
    // ended, so the file is written by one transfer at a time and the last
    // line wins, as one after the other.
    std::vector<std::string> namesInFlight;
    auto inFlight = [&](const std::string& name) {
        return std::any_of(
            namesInFlight.begin(), namesInFlight.end(),
            [&](const std::string& other) { return SameNameIgnoringCase(other, name.c_str()); });
    };
    VerifiedFiles* record = verifiedFiles.get();
    pool.Run(
        files.size(),
        [&](size_t i) -> std::optional<TransferJob> {
            File& file = files[i];
            if (file.rejected || !file.needsDownload)
                return TransferJob{};
            if (inFlight(file.name))
                return std::nullopt;
            if (file.prefetched) {
                WritePrefetched(run, file, &progress, record);
                return TransferJob{};
            }
            downloads[i] = StartStaging(run, file, &progress);
            PrepareDownload(file, downloads[i]->transfer);
            namesInFlight.push_back(file.name);
            return TransferJob{BuildPatchUrl(g_patchServer.buildPath + file.name),
                               &downloads[i]->transfer};
        },
        [&](size_t i, const TransferOutcome& outcome) {
            std::unique_ptr<StagedDownload> download = std::move(downloads[i]);
            namesInFlight.erase(
                std::find(namesInFlight.begin(), namesInFlight.end(), files[i].name));
            if (JudgeDownload(run, files[i], *download, outcome))
                RecordDownload(files[i], record);
        });
}

bool FilesToPatch::VerifyFiles(const RunContext& run) {
    bool result = true;
    for (File& file : files) {
        if (file.rejected) {
            LogFailure(run, "verification: the name check refused " + file.name);
            return false;
        }
        // Its download was refused: the installed file is as it was before
        // the run, and its ledger entry still tells which version that is.
        if (!file.refusal.empty()) {
            LogFailure(run, "verification: " + file.refusal);
            result = false;
            continue;
        }
        std::optional<int64_t> localSize = ReadableFileSize(file.name);
        if (!localSize) {
            LogFailure(run, "verification: " + file.name + " is missing");
            platform::DeleteFileByName(file.name);
            result = false;
            continue;
        }
        if (file.sizeKnown && *localSize != file.size) {
            LogFailure(run, "verification: " + file.name + " has " + std::to_string(*localSize) +
                                " bytes, the manifest says " + std::to_string(file.size));
            platform::DeleteFileByName(file.name);
            result = false;
            continue;
        }
        if (FileVersionFile::HasVersion(file.name, file.version))
            continue;
        LogFailure(run, "verification: " + file.name + " version " + std::to_string(file.version) +
                            " is not in the ledger");
        FileVersionFile::SetVersion(file.name, file.version);
        if (SameNameIgnoringCase(file.name, kNewLauncherExe))
            g_patchDialog->m_launcherUpdatePending = false;
        platform::DeleteFileByName(file.name);
        result = false;
    }
    return result;
}
