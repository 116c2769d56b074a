// Fetching the marked files into the game folder with progress, noticing a
// new launcher program, and verifying the result against disk and ledger.

#include <algorithm>
#include <cerrno>
#include <charconv>
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
    }

    bool Restart() override {
        inFile_ = 0;
        return RestartFile(Stream());
    }

    bool Write(const char* data, size_t size) override {
        if (std::fwrite(data, 1, size, Stream()) != size)
            return false;
        inFile_ += static_cast<int64_t>(size);
        if (inFile_ > counted_) {
            Advance(progress_, static_cast<size_t>(inFile_ - counted_));
            counted_ = inFile_;
        } else {
            g_patchDialog->SetProgressPos(progress_->bytesDone);
        }
        return true;
    }

  protected:
    FILE* Stream() const { return file_ ? file_ : progress_->file; }

    DownloadProgress* progress_;
    FILE* file_;

  private:
    int64_t inFile_ = 0;   // bytes in the file now
    int64_t counted_ = 0;  // of this file's bytes, those already in bytesDone
};

// One file of a stage with several transfers in flight: its own stream, the
// stage's shared progress.
class ParallelDownload : public ProgressSink {
  public:
    ParallelDownload(FILE* file, DownloadProgress* progress)
        : ProgressSink(progress, file), transfer(this) {}
    ~ParallelDownload() override { Close(); }

    bool Close() {
        FILE* file = file_;
        file_ = nullptr;
        return file && std::fclose(file) == 0;
    }

    Transfer transfer;
};

// What a file takes on the disk: whole blocks.
int64_t OnDisk(int64_t bytes) {
    constexpr int64_t kBlock = 4096;
    return bytes <= 0 ? 0 : (bytes + kBlock - 1) / kBlock * kBlock;
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
        grown += OnDisk(file.size) - OnDisk(local.value_or(0));
        most = std::max(most, grown);
    }
    return most;
}

// What an ended download means for its file: throws for a file that could
// not be written and for an answer other than 200, returns whether the file
// is to be recorded, and notices a new launcher program.
bool JudgeDownload(FilesToPatch::File& file, const TransferOutcome& outcome, bool closed) {
    file.contentMismatch = !file.Sha256Tag().empty() && outcome.sha256 != file.Sha256Tag();
    // A file that could not be written is the disk's fault, not the
    // server's; what was written of it only takes space.
    if (outcome.end == TransferOutcome::End::kWriteFailed || !closed) {
        LogFailure("cannot write " + file.name + ": " + std::strerror(errno));
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

// Up to g_parallelTransfers downloads in flight. Each file is recorded once
// its own transfer has ended well; the first failure stops the others (their
// files keep what had arrived and stay unrecorded) and ends the stage.
void DownloadFilesInParallel(std::vector<FilesToPatch::File>& files, DownloadProgress* progress) {
    // Declared before the pool, so the pool stops its transfers before their
    // files are closed.
    std::vector<std::unique_ptr<ParallelDownload>> downloads(files.size());
    TransferPool pool(g_parallelTransfers);
    if (!pool)
        throw DownloadFailedException();
    pool.ConfigureHandles(
        [](TransferHandle& handle) { handle.UseLargeBlocks(g_parallelTransfers); });

    size_t next = 0;
    auto startMore = [&] {
        for (; next < files.size() && pool.HasRoom(); ++next) {
            const FilesToPatch::File& file = files[next];
            if (file.rejected || !file.needsDownload)
                continue;
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
        }
    };
    startMore();
    while (!pool.Idle()) {
        // Files that ended well together with a failed one are still
        // recorded; the first failure in the order they ended is the one
        // the stage ends with.
        std::exception_ptr failure;
        for (size_t i : pool.WaitForEnded()) {
            const bool closed = downloads[i]->Close();
            try {
                if (JudgeDownload(files[i], downloads[i]->transfer.Outcome(), closed))
                    RecordDownload(files[i]);
            } catch (...) {
                if (!failure)
                    failure = std::current_exception();
            }
            downloads[i].reset();
        }
        if (failure) {
            pool.Stop();
            std::rethrow_exception(failure);
        }
        startMore();
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
    if (free && SpaceNeeded(files) > *free) {
        LogFailure("not enough disk space: the new files need " +
                   std::to_string(SpaceNeeded(files)) + " more bytes, the disk has " +
                   std::to_string(*free) + " free");
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
        bool closed = std::fclose(progress.file) == 0;
        progress.file = nullptr;
        if (JudgeDownload(file, outcome, closed))
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
        std::optional<int64_t> localSize = ReadableFileSize(file.name);
        if (!localSize) {
            LogFailure("verification: " + file.name + " is missing");
            platform::DeleteFileByName(file.name);
            result = false;
            continue;
        }
        // Bytes that are not the ones published count like a wrong size.
        if ((file.sizeKnown && *localSize != file.size) || file.contentMismatch) {
            LogFailure("verification: " + file.name +
                       (file.contentMismatch
                            ? " does not have the published SHA-256"
                            : " has " + std::to_string(*localSize) + " bytes, the manifest says " +
                                  std::to_string(file.size)));
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
