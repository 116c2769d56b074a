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

#include "fileset/FilesToPatch.h"
#include "fileset/ReadableSize.h"
#include "patch/PatchExceptions.h"
#include "patch/PatchServer.h"
#include "patch/RunLog.h"
#include "patch/RunSurface.h"
#include "patch/Sha256.h"
#include "patch/Transfer.h"
#include "platform/Platform.h"
#include "state/FileVersionFile.h"

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

// Closes a downloaded file: the system's reason when it fails, else 0.
int CloseError(FILE* file) {
    errno = 0;
    if (std::fclose(file) == 0)
        return 0;
    return errno != 0 ? errno : EIO;
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

    void BeginFile() {
        inFile_ = 0;
        counted_ = 0;
        error_ = 0;
    }

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

// One file of a stage with several transfers in flight: its own stream, the
// stage's shared progress.
class ParallelDownload : public ProgressSink {
  public:
    ParallelDownload(FILE* file, DownloadProgress* progress)
        : ProgressSink(progress, file), transfer(this) {}
    ~ParallelDownload() override { Close(); }

    // The system's reason when the file's bytes did not all reach it, else 0.
    int Close() {
        FILE* file = file_;
        file_ = nullptr;
        if (Error() != 0)
            return Error();
        if (!file)
            return EBADF;
        return CloseError(file);
    }

    Transfer transfer;
};

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

// The most the game folder grows at any point of the stage: files are
// replaced one after the other, each old file giving its space back as its
// new one is written. Sizes the server did not announce count as nothing.
int64_t SpaceNeeded(const std::vector<FilesToPatch::File>& files) {
    int64_t grown = 0;
    int64_t most = 0;
    for (const FilesToPatch::File& file : files) {
        if (file.rejected || !file.needsDownload || !file.sizeKnown || file.size < 0)
            continue;
        std::optional<int64_t> local = platform::OpenExistingForReadSize(file.name);
        if (__builtin_add_overflow(grown, OnDisk(file.size) - OnDisk(local.value_or(0)), &grown))
            return INT64_MAX;
        most = std::max(most, grown);
    }
    return most;
}

// What an ended download means for its file: throws for a file that could
// not be written (`writeError`, the system's reason, or 0) and for an answer
// other than 200, and returns whether the file is to be recorded.
bool JudgeDownload(FilesToPatch::File& file, const TransferOutcome& outcome, int writeError) {
    // A file that could not be written is the disk's fault, not the
    // server's; what was written of it only takes space.
    if (outcome.end == TransferOutcome::End::kWriteFailed || writeError != 0) {
        LogFailure("cannot write " + file.name + ": " +
                   std::strerror(writeError != 0 ? writeError : EIO));
        platform::DeleteFileByName(file.name);
        throw CouldntWriteFileException();
    }
    if (outcome.status != 200)
        throw DownloadFailedException();
    // An answer longer than the file may be: cut, and removed so that it
    // cannot pass as the file even when it stopped at the right size.
    // Verification then fails the run as for a broken-off transfer.
    if (outcome.end == TransferOutcome::End::kOverLimit) {
        platform::DeleteFileByName(file.name);
        return false;
    }
    // Bytes other than the published ones are neither kept nor recorded, so
    // not even a file that cannot be deleted passes the next run's size and
    // ledger check; verification fails the run.
    file.contentMismatch = !file.Sha256Tag().empty() && outcome.sha256 != file.Sha256Tag();
    if (file.contentMismatch) {
        platform::DeleteFileByName(file.name);
        return false;
    }
    return true;
}

void RecordDownload(const FilesToPatch::File& file) {
    FileVersionFile::SetVersion(file.name, file.version);
    if (SameNameIgnoringCase(file.name, kNewLauncherExe)) {
        // The successor as this disk names it is the one compared and started.
        g_patchDialog->m_newLauncherExe = file.name;
        FILE* fetched = std::fopen(file.name.c_str(), "rb");
        if (!fetched || !IsIdenticalToLauncherExe(fetched))
            g_patchDialog->m_launcherUpdatePending = true;
    }
}

int64_t ByteLimit(const FilesToPatch::File& file) {
    // Never more than the manifest's size, nor more than the answer
    // announces (the engine holds it to that).
    return file.sizeKnown && file.size >= 0 ? file.size : kUnannouncedBodyLimit;
}

// Writes a file whose whole body arrived with its size request, as if its
// download had brought it.
void WritePrefetched(FilesToPatch::File& file, DownloadProgress* progress) {
    FILE* stream = std::fopen(file.name.c_str(), "wb");
    if (!stream) {
        LogFailure("cannot write " + file.name + ": " + std::strerror(errno));
        throw CouldntWriteFileException();
    }
    ProgressSink sink(progress, stream);
    TransferOutcome outcome;
    outcome.status = 200;
    outcome.announcedLength = static_cast<int64_t>(file.prefetchedBody.size());
    outcome.end = sink.Write(file.prefetchedBody.data(), file.prefetchedBody.size())
                      ? TransferOutcome::End::kFinished
                      : TransferOutcome::End::kWriteFailed;
    outcome.bytes = outcome.end == TransferOutcome::End::kFinished ? outcome.announcedLength : 0;
    if (!file.Sha256Tag().empty())
        outcome.sha256 = Sha256Hex(file.prefetchedBody);
    const int closeError = CloseError(stream);
    std::string().swap(file.prefetchedBody);
    if (JudgeDownload(file, outcome, sink.Error() != 0 ? sink.Error() : closeError))
        RecordDownload(file);
}

// Up to g_parallelTransfers downloads in flight. Each file is recorded once
// its own transfer has ended well; the first failure stops the others (their
// files keep what had arrived and stay unrecorded) and ends the stage, after
// the files that had already arrived whole are recorded.
void DownloadFilesInParallel(std::vector<FilesToPatch::File>& files, DownloadProgress* progress) {
    // Declared before the pool, so the pool stops its transfers before their
    // files are closed.
    std::vector<std::unique_ptr<ParallelDownload>> downloads(files.size());
    TransferPool pool(g_parallelTransfers);
    if (!pool)
        throw DownloadFailedException();
    pool.ConfigureHandles(
        [](TransferHandle& handle) { handle.UseLargeBlocks(g_parallelTransfers); });

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

    size_t next = 0;
    auto startMore = [&] {
        for (; next < files.size() && pool.HasRoom(); ++next) {
            const FilesToPatch::File& file = files[next];
            if (file.rejected || !file.needsDownload)
                continue;
            if (inFlight(file.name))
                return;
            if (file.prefetched) {
                WritePrefetched(files[next], progress);
                continue;
            }
            std::string url = BuildPatchUrl(g_patchServer.buildPath + file.name);
            FILE* stream = std::fopen(file.name.c_str(), "wb");
            if (!stream) {
                LogFailure("cannot write " + file.name + ": " + std::strerror(errno));
                throw CouldntWriteFileException();
            }
            downloads[next] = std::make_unique<ParallelDownload>(stream, progress);
            ParallelDownload& download = *downloads[next];
            download.transfer.SetByteLimit(ByteLimit(file));
            if (!file.Sha256Tag().empty())
                download.transfer.EnableSha256();
            download.transfer.EnableResume(file.sizeKnown ? file.size : -1);
            if (!pool.Start(download.transfer, url, next))
                throw DownloadFailedException();
            namesInFlight.push_back(file.name);
        }
    };

    // Files that ended well together with a failed one are still recorded;
    // the first failure in the order they ended is the one the stage ends
    // with.
    std::exception_ptr failure;
    auto collect = [&](bool wait) {
        for (size_t i : pool.WaitForEnded(wait)) {
            const int writeError = downloads[i]->Close();
            try {
                if (JudgeDownload(files[i], downloads[i]->transfer.Outcome(), writeError))
                    RecordDownload(files[i]);
            } catch (...) {
                if (!failure)
                    failure = std::current_exception();
            }
            downloads[i].reset();
            namesInFlight.erase(
                std::find(namesInFlight.begin(), namesInFlight.end(), files[i].name));
        }
    };
    auto startOrFail = [&] {
        try {
            startMore();
        } catch (...) {
            failure = std::current_exception();
        }
    };
    startOrFail();
    while (!failure && !pool.Idle()) {
        collect(true);
        if (!failure)
            startOrFail();
    }
    if (failure) {
        collect(false);
        pool.Stop();
        std::rethrow_exception(failure);
    }
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

void FilesToPatch::DownloadFiles() {
    TransferHandle handle;
    if (!handle)
        throw DownloadFailedException();
    handle.UseLargeBlocks();
    DownloadProgress progress;
    ProgressSink sink(&progress);

    progress.bytesTotal = totalDownloadSize;
    g_patchDialog->SetProgressPos(0);

    // A disk that cannot hold the new files is found before any old file is
    // cut, so the player keeps a whole installation.
    std::optional<int64_t> free = platform::FreeBytes(".");
    if (const int64_t needed = SpaceNeeded(files); free && needed > *free) {
        LogFailure("not enough disk space: the new files need " + std::to_string(needed) +
                   " more bytes, the disk has " + std::to_string(*free) + " free");
        throw CouldntWriteFileException();
    }
    if (g_parallelTransfers > 1) {
        DownloadFilesInParallel(files, &progress);
        return;
    }

    for (File& file : files) {
        if (file.rejected || !file.needsDownload)
            continue;
        std::string url = BuildPatchUrl(g_patchServer.buildPath + file.name);
        progress.file = std::fopen(file.name.c_str(), "wb");
        if (!progress.file) {
            LogFailure("cannot write " + file.name + ": " + std::strerror(errno));
            throw CouldntWriteFileException();
        }
        Transfer transfer(&sink);
        sink.BeginFile();
        transfer.SetByteLimit(ByteLimit(file));
        if (!file.Sha256Tag().empty())
            transfer.EnableSha256();
        transfer.EnableResume(file.sizeKnown ? file.size : -1);
        const TransferOutcome& outcome = handle.Perform(transfer, url);
        int writeError = sink.Error();
        const int closeError = CloseError(progress.file);
        progress.file = nullptr;
        if (writeError == 0)
            writeError = closeError;
        if (JudgeDownload(file, outcome, writeError))
            RecordDownload(file);
    }
}

bool FilesToPatch::VerifyFiles() {
    bool result = true;
    for (File& file : files) {
        if (file.rejected) {
            LogFailure("verification: the name check refused " + file.name);
            return false;
        }
        // Deleted when it arrived (and never recorded).
        if (file.contentMismatch) {
            LogFailure("verification: " + file.name + " does not have the published SHA-256");
            platform::DeleteFileByName(file.name);
            result = false;
            continue;
        }
        std::optional<int64_t> localSize = ReadableFileSize(file.name);
        if (!localSize) {
            LogFailure("verification: " + file.name + " is missing");
            platform::DeleteFileByName(file.name);
            result = false;
            continue;
        }
        if (file.sizeKnown && *localSize != file.size) {
            LogFailure("verification: " + file.name + " has " + std::to_string(*localSize) +
                       " bytes, the manifest says " + std::to_string(file.size));
            platform::DeleteFileByName(file.name);
            result = false;
            continue;
        }
        if (FileVersionFile::HasVersion(file.name, file.version))
            continue;
        LogFailure("verification: " + file.name + " version " + std::to_string(file.version) +
                   " is not in the ledger");
        FileVersionFile::SetVersion(file.name, file.version);
        if (SameNameIgnoringCase(file.name, kNewLauncherExe))
            g_patchDialog->m_launcherUpdatePending = false;
        platform::DeleteFileByName(file.name);
        result = false;
    }
    return result;
}
