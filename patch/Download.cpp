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
#include "patch/DeltaObject.h"
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

// Opens the staging file of `name` or ends the stage as a file that cannot
// be written, before anything is asked of the server.
std::unique_ptr<StagedDownload> StartStaging(const RunContext& run, const std::string& name,
                                             DownloadProgress* progress) {
    auto download = std::make_unique<StagedDownload>(name, progress);
    if (!download->staging.IsOpen()) {
        LogFailure(run, "cannot write " + name + ": " + std::strerror(download->staging.Error()));
        throw CouldntWriteFileException();
    }
    return download;
}

[[noreturn]] void FailWrite(const RunContext& run, const std::string& name, int error) {
    LogFailure(run, "cannot write " + name + ": " + std::strerror(error != 0 ? error : EIO));
    throw CouldntWriteFileException();
}

// Only runs on manifests that offer objects tell how each file came.
void LogInstall(const RunContext& run, const FilesToPatch& manifest, RunLog::Install install) {
    if (run.log && manifest.objectsOffered)
        run.log->OnInstall(install);
}

const char* WayName(const FilesToPatch::File& file) {
    if (file.way < 0)
        return "file";
    return file.objects[file.way].source.empty() ? "compressed" : "delta";
}

// The way to try once `file.way` failed: the compressed copy after a delta,
// then the file itself.
int NextWay(const FilesToPatch::File& file) {
    if (file.way >= 0 && !file.objects[file.way].source.empty())
        for (size_t k = 0; k < file.objects.size(); ++k)
            if (file.objects[k].source.empty() && file.objects[k].size < file.size)
                return static_cast<int>(k);
    return -1;
}

// An object's bytes are staged beside the file under a name no manifest
// may give a file; a name too long to take the suffix gives way to its hash.
std::string ObjectStagingTarget(const std::string& name) {
    constexpr size_t kLongestLevel = 200;  // leaving room for ".PID.lvpart"
    const size_t slash = name.find_last_of("/\\");
    const size_t level = slash == std::string::npos ? 0 : slash + 1;
    std::string target = name;
    if (name.size() - level + std::strlen(kStagingSuffix) > kLongestLevel)
        target = name.substr(0, level) + Sha256Hex(name).substr(0, 32);
    target += kStagingSuffix;
    return target;
}

// The local file's SHA-256: from the record of hashed files while its stamp
// is unchanged, else hashed now; empty when it cannot be read.
std::string LocalSha256(const std::string& name, const VerifiedFiles* record) {
    std::optional<platform::FileStamp> stamp = platform::StampOf(name);
    if (!stamp)
        return "";
    if (record) {
        auto known = record->Entries().find(name);
        if (known != record->Entries().end() && known->second.stamp == *stamp)
            return known->second.sha256;
    }
    return Sha256FileHex(name).value_or("");
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
        // An object is staged beside the new file while it is decoded.
        const int64_t object = file.way >= 0 ? OnDisk(file.WireSize()) : 0;
        changes.push_back(
            {OnDisk(file.size) + object, OnDisk(file.size) - OnDisk(local.value_or(0))});
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
    std::unique_ptr<StagedDownload> download = StartStaging(run, file.name, progress);
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

// Prepares the transfer of the object `file` is to be made from.
void PrepareObject(const FilesToPatch::File& file, Transfer& transfer) {
    const FilesToPatch::UpdateObject& object = file.objects[file.way];
    transfer.SetByteLimit(object.size);
    transfer.EnableSha256();
    transfer.EnableResume(object.size);
}

// Makes `file` from the object whose transfer ended: checks the object's
// size and SHA-256 before a byte of it is decoded, decodes it (against the
// installed file, for a delta) into the file's staging file, and renames
// that over the installed file only once it has the manifest's size and
// SHA-256. Returns the bytes written, or nothing with `why` when this way
// failed: then the installed file is as it was and the next way may follow.
// Throws for a file that cannot be written.
std::optional<int64_t> JudgeObject(const RunContext& run, FilesToPatch::File& file,
                                   StagedDownload& download, const TransferOutcome& outcome,
                                   std::string* why) {
    const FilesToPatch::UpdateObject& object = file.objects[file.way];
    const std::string objectName = ObjectPath(object.sha256);
    const int writeError = download.Close();
    if (outcome.end == TransferOutcome::End::kWriteFailed || writeError != 0) {
        download.staging.Discard();
        FailWrite(run, file.name, writeError);
    }
    if (outcome.status != 200)
        *why = objectName + " answered " + std::to_string(outcome.status);
    else if (!outcome.Complete() || outcome.bytes != object.size)
        *why = objectName + " came with " + std::to_string(outcome.bytes) +
               " bytes, the manifest says " + std::to_string(object.size);
    else if (outcome.sha256 != object.sha256)
        *why = objectName + " does not have the published SHA-256";
    if (!why->empty()) {
        download.staging.Discard();
        return std::nullopt;
    }

    StagingFile target(file.name);
    if (!target.IsOpen()) {
        download.staging.Discard();
        FailWrite(run, file.name, target.Error());
    }
    FILE* in = std::fopen(download.staging.Path().c_str(), "rb");
    FILE* source = object.source.empty() ? nullptr : std::fopen(file.name.c_str(), "rb");
    Sha256 hash;
    int64_t written = 0;
    int error = 0;
    std::string reason;
    const bool applied = in && (object.source.empty() || source) &&
                         delta::Apply(
                             in, object.size, source,
                             [&](const char* data, size_t size) {
                                 errno = 0;
                                 if (std::fwrite(data, 1, size, target.Stream()) != size) {
                                     error = errno != 0 ? errno : EIO;
                                     return false;
                                 }
                                 hash.Update(data, size);
                                 written += static_cast<int64_t>(size);
                                 return true;
                             },
                             &reason, file.size);
    if (in)
        std::fclose(in);
    if (source)
        std::fclose(source);
    download.staging.Discard();
    if (error == 0)
        error = target.Close();
    if (error != 0) {
        target.Discard();
        FailWrite(run, file.name, error);
    }
    if (!applied)
        *why = objectName + (reason.empty() ? " cannot be read" : ": " + reason);
    else if (file.sizeKnown && written != file.size)
        *why = objectName + " made " + std::to_string(written) + " bytes, the manifest says " +
               std::to_string(file.size);
    else if (hash.FinishHex() != file.Sha256Tag())
        *why = objectName + " did not make the published SHA-256";
    if (!why->empty()) {
        target.Discard();
        return std::nullopt;
    }
    if (!target.Commit())
        FailWrite(run, file.name, target.Error());
    return written;
}

}  // namespace

void FilesToPatch::ChooseWays(RunContext& run) {
    // A manifest that names objects was published for launchers that look
    // at the bytes they have; one that names none is patched as it always was.
    objectsOffered =
        !run.plainFilesOnly &&
        std::any_of(files.begin(), files.end(), [](const File& f) { return !f.objects.empty(); });
    if (!objectsOffered)
        return;
    VerifiedFiles* record = verifiedFiles.get();
    for (File& file : files) {
        file.way = -1;
        if (file.rejected || !file.needsDownload || file.prefetched || !file.sizeKnown ||
            file.size < 0 || file.Sha256Tag().empty())
            continue;
        const std::string local = LocalSha256(file.name, record);
        if (!local.empty() && local == file.Sha256Tag()) {
            // A copy from elsewhere, or a ledger that was lost: the bytes are
            // the published ones, so only the record is missing.
            file.needsDownload = false;
            RecordDownload(file, record);
            LogInstall(run, *this, {file.name, "present", 0, 0, ""});
            continue;
        }
        // A way is worth it only when it brings fewer bytes than the file.
        for (size_t k = 0; k < file.objects.size() && file.way < 0; ++k)
            if (!file.objects[k].source.empty() && file.objects[k].size < file.size &&
                !local.empty() &&
                local.compare(0, kSourcePrefixLength, file.objects[k].source) == 0)
                file.way = static_cast<int>(k);
        for (size_t k = 0; k < file.objects.size() && file.way < 0; ++k)
            if (file.objects[k].source.empty() && file.objects[k].size < file.size)
                file.way = static_cast<int>(k);
    }
}

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
    // A file whose object failed goes round again with its next way.
    std::vector<char> pending(files.size(), 1);
    std::vector<std::string> fellBack(files.size());
    for (bool again = true; again;) {
        again = false;
        pool.Run(
            files.size(),
            [&](size_t i) -> std::optional<TransferJob> {
                File& file = files[i];
                if (file.rejected || !file.needsDownload || !pending[i])
                    return TransferJob{};
                if (inFlight(file.name))
                    return std::nullopt;
                pending[i] = 0;
                if (file.prefetched) {
                    WritePrefetched(run, file, &progress, record);
                    return TransferJob{};
                }
                TransferJob job;
                if (file.way >= 0) {
                    const UpdateObject& object = file.objects[file.way];
                    downloads[i] = StartStaging(run, ObjectStagingTarget(file.name), &progress);
                    PrepareObject(file, downloads[i]->transfer);
                    job.relative = ObjectPath(object.sha256);
                    job.expectedSize = object.size;
                    job.expectedSha256 = object.sha256;
                } else {
                    downloads[i] = StartStaging(run, file.name, &progress);
                    PrepareDownload(file, downloads[i]->transfer);
                    job.url = BuildPatchUrl(g_patchServer.buildPath + file.name);
                    job.relative = g_patchServer.buildFolder + file.name;
                    job.expectedSize = file.sizeKnown ? file.size : -1;
                    job.expectedSha256 = file.Sha256Tag();
                }
                if (job.url.empty())
                    job.url = BuildPatchUrl(g_patchServer.serverPath + job.relative);
                job.transfer = &downloads[i]->transfer;
                namesInFlight.push_back(file.name);
                return job;
            },
            [&](size_t i, const TransferOutcome& outcome) {
                std::unique_ptr<StagedDownload> download = std::move(downloads[i]);
                File& file = files[i];
                namesInFlight.erase(
                    std::find(namesInFlight.begin(), namesInFlight.end(), file.name));
                if (file.way < 0) {
                    if (JudgeDownload(run, file, *download, outcome)) {
                        RecordDownload(file, record);
                        LogInstall(run, *this,
                                   {file.name, "file", outcome.bytes, outcome.bytes, fellBack[i]});
                    }
                    return;
                }
                std::string why;
                if (std::optional<int64_t> written =
                        JudgeObject(run, file, *download, outcome, &why)) {
                    RecordDownload(file, record);
                    LogInstall(run, *this,
                               {file.name, WayName(file), outcome.bytes, *written, fellBack[i]});
                    return;
                }
                fellBack[i] += (fellBack[i].empty() ? "" : "; ") + why;
                file.way = NextWay(file);
                progress.bytesTotal += file.sizeKnown ? file.WireSize() : 0;
                g_patchDialog->SetProgressRange(0, progress.bytesTotal);
                pending[i] = 1;
                again = true;
            });
    }
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
