#include "Publish.h"

#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>

#include "CopyRecord.h"
#include "Fd.h"
#include "MirrorFile.h"
#include "NameRules.h"
#include "Objects.h"
#include "ServerFolder.h"
#include "Signing.h"
#include "base/NameCase.h"
#include "base/Scan.h"
#include "base/Sha256.h"
#include "fileset/FilesToPatch.h"
#include "patch/PatchServer.h"
#include "platform/FileCompare.h"
#include "state/TextFile.h"

namespace fs = std::filesystem;

namespace lvpublish {

namespace {

constexpr const char* kGameExeTag = "GAME_EXE";
constexpr const char* kTestClientTag = "TEST_CLIENT";
constexpr const char* kSizeKey = "SIZE:";
constexpr const char* kHashKey = "SHA256:";

// Everything lands world-readable: the web server may run as another user.
constexpr mode_t kFileMode = 0644;
constexpr mode_t kProgramMode = 0755;
constexpr mode_t kFolderMode = 0755;

std::string Errno(const std::string& what, const std::string& path) {
    return what + " " + path + ": " + std::strerror(errno);
}

// A file written whole with the given mode and flushed to disk.
bool WriteDurable(const std::string& path, const std::string& text, int extraFlags,
                  std::string* error) {
    Fd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | extraFlags, kFileMode));
    if (fd.get() < 0 || ::fchmod(fd.get(), kFileMode) != 0 ||
        !WriteAll(fd.get(), text.data(), text.size()) || ::fsync(fd.get()) != 0 || !fd.Close()) {
        *error = Errno("cannot write", path);
        return false;
    }
    return true;
}

bool IsHex64(const std::string& text) {
    return text.size() == 64 &&
           std::all_of(text.begin(), text.end(), [](unsigned char c) { return std::isxdigit(c); });
}

// The content hash a manifest line carries, lower-cased; empty without one.
std::string HashTag(const FilesToPatch::File& entry) {
    for (const std::string& tag : entry.tags) {
        if (scan::ToUpper(tag.substr(0, std::strlen(kHashKey))) != kHashKey)
            continue;
        std::string hex = tag.substr(std::strlen(kHashKey));
        if (IsHex64(hex)) {
            std::transform(hex.begin(), hex.end(), hex.begin(),
                           [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
            return hex;
        }
    }
    return "";
}

// The launcher looks a file up under its name with backslashes as slashes.
std::string LauncherName(std::string name) {
    std::replace(name.begin(), name.end(), '\\', '/');
    return name;
}

struct SourceFile {
    std::string name;  // manifest name
    std::string path;  // what to open
};

struct PreviousEntry {
    int32_t version = 0;
    bool sizeKnown = false;
    int64_t size = 0;
    std::string sha256;
    int lines = 0;
};

bool SameBytes(const std::string& a, const std::string& b) {
    FILE* fa = std::fopen(a.c_str(), "rbe");
    FILE* fb = std::fopen(b.c_str(), "rbe");
    const bool same = fa && fb && platform::SameBytes(fa, fb);
    if (fa)
        std::fclose(fa);
    if (fb)
        std::fclose(fb);
    return same;
}

class Publisher {
  public:
    explicit Publisher(const PublishOptions& options) : options_(options) {}

    bool Run();
    const std::string& Error() const { return error_; }
    const std::vector<std::string>& Problems() const { return problems_; }
    PublishReport& Report() { return report_; }

  private:
    bool Fail(std::string reason) {
        error_ = std::move(reason);
        return false;
    }

    bool ScanBuild();
    bool CheckNames();
    bool ScanFolder(const fs::path& folder, const std::string& prefix);
    bool AddLink(const fs::path& link, const std::string& name);
    bool ResolveTagged(const std::string& given, const char* option, std::string* name);
    bool LockServerFolder();
    void RemoveLeftovers();
    bool ReadCurrentBuild();
    void ReadHistory();
    bool ChooseBuildFolder();
    bool Stage();
    bool Place(const SourceFile& source, const std::string& target, PublishedFile* file);
    bool CopyFile(const SourceFile& source, const std::string& target, PublishedFile* file);
    bool OpenSource(const SourceFile& source, Fd* in, PublishedFile* file);
    bool HashFile(const SourceFile& source, PublishedFile* file);
    bool Stream(int in, int out, const SourceFile& source, const std::string& target,
                PublishedFile* file);
    void AddTags(PublishedFile* file) const;
    void ReportNotes();
    std::string PreviousCopy(const std::string& name) const;
    bool PreviousCopyServes(const PublishedFile& file, bool bytesCompared) const;
    bool Classify(PublishedFile* file, const std::string& comparePath);
    bool AddObjects();
    bool WriteManifest();
    bool Commit();
    bool SwitchBuildFolder();
    void RecordCopies();
    bool PrepareSigning();
    bool SignBuild();
    bool WriteMirrors();

    PublishOptions options_;
    std::string error_;
    std::vector<std::string> problems_;
    PublishReport report_;

    fs::path buildRoot_;
    std::vector<SourceFile> sources_;
    std::string gameExe_;
    std::string testClient_;

    std::string base_;  // SERVER_ROOT/lanternvale_patch/
    ServerLock lock_;
    bool serverExists_ = false;
    std::map<std::string, PreviousEntry> previous_;
    CopyRecord previousCopies_;
    std::map<std::string, int32_t> highestVersion_;
    std::string previousGameExe_;
    std::string staging_;
    std::vector<std::string> stagedFolders_;
    std::optional<Signer> signer_;
    StatementTarget target_;
    int expiryDays_ = 0;
};

bool Publisher::Run() {
    report_.dryRun = options_.dryRun;
    if (!ScanBuild() || !PrepareSigning())
        return false;
    if (options_.noMirrors && !options_.mirrors.empty())
        return Fail("--mirror and --no-mirrors exclude each other");
    if (!CheckMirrorUrls(&options_.mirrors, &error_))
        return false;
    if (!options_.buildFolder.empty()) {
        if (options_.buildFolder.back() != '/')
            options_.buildFolder.push_back('/');
        std::string problem = BuildFolderProblem(options_.buildFolder);
        if (!problem.empty())
            return Fail("--build-folder " + options_.buildFolder + ": " + problem);
    }
    if (!LockServerFolder() || !ReadCurrentBuild())
        return false;
    ReadHistory();
    if (!ChooseBuildFolder())
        return false;
    report_.mirrors = options_.mirrors;
    if (options_.mirrors.empty() && !options_.noMirrors && serverExists_)
        report_.mirrors =
            ReadMirrorUrls(base_, signer_ ? signer_->key.publicHex : "", &report_.notes);
    if (options_.dryRun) {
        if (!Stage() || !AddObjects())
            return false;
        RemoveLeftovers();
        return true;
    }
    bool staged = Stage() && AddObjects() && WriteManifest() && SignBuild() && Commit();
    if (!staged && !staging_.empty()) {
        std::error_code ignored;
        fs::remove_all(staging_, ignored);
    }
    if (!staged || !SwitchBuildFolder())
        return false;
    // The build is published whatever becomes of its mirror list.
    const bool listed = WriteMirrors();
    if (signer_)
        DropServedSerialRecord(base_, *signer_, &report_.notes);
    RecordCopies();
    // Only a publish that went ahead clears what an interrupted one left.
    RemoveLeftovers();
    return listed;
}

bool Publisher::ScanBuild() {
    std::error_code ec;
    buildRoot_ = fs::canonical(options_.buildDir, ec);
    if (ec || !fs::is_directory(buildRoot_, ec))
        return Fail("BUILD_DIR " + options_.buildDir + " is not a folder");
    if (!ScanFolder(buildRoot_, ""))
        return false;
    if (sources_.empty())
        return Fail("BUILD_DIR " + options_.buildDir + " holds no files");
    std::sort(sources_.begin(), sources_.end(),
              [](const SourceFile& a, const SourceFile& b) { return a.name < b.name; });

    if (!CheckNames())
        return false;

    fs::path server = fs::weakly_canonical(options_.serverRoot, ec);
    fs::path relative = server.lexically_relative(buildRoot_);
    if (!ec && !relative.empty() && *relative.begin() != "..")
        return Fail("SERVER_ROOT " + options_.serverRoot + " lies inside BUILD_DIR " +
                    options_.buildDir);

    if (options_.gameExe.empty() && !options_.noGameExe)
        return Fail(
            "no --game-exe: name the game program that Play starts, or give --no-game-exe "
            "to publish a build without one");
    if (!options_.gameExe.empty() && options_.noGameExe)
        return Fail("--game-exe and --no-game-exe exclude each other");
    return ResolveTagged(options_.gameExe, "--game-exe", &gameExe_) &&
           ResolveTagged(options_.testClient, "--test-client", &testClient_);
}

bool Publisher::CheckNames() {
    // Every refusal at once: an operator fixes a build in one pass.
    std::vector<std::string> names;
    for (const SourceFile& source : sources_) {
        std::string problem = NameProblem(source.name);
        if (!problem.empty())
            problems_.push_back("cannot publish '" + source.name + "': " + problem);
        else
            names.push_back(source.name);
    }
    // A collision names its pair as "A and B"; names with white space were
    // refused above, so the split is unambiguous. B (or the files under it,
    // when it is a folder) leaves the list and the search goes on.
    for (std::string clash = CaseCollision(names); !clash.empty(); clash = CaseCollision(names)) {
        problems_.push_back("cannot publish " + clash +
                            ": names that differ only in letter case are one file on Windows");
        size_t cut = clash.find(" and ");
        if (cut == std::string::npos)
            break;
        std::string second = clash.substr(cut + 5);
        std::string under = second.back() == '/' ? second : second + "/";
        size_t before = names.size();
        names.erase(std::remove_if(names.begin(), names.end(),
                                   [&](const std::string& name) {
                                       return name == second || name.rfind(under, 0) == 0;
                                   }),
                    names.end());
        if (names.size() == before)
            break;
    }
    if (problems_.empty())
        return true;
    if (problems_.size() == 1)
        return Fail(problems_.front());
    return Fail(std::to_string(problems_.size()) +
                " files cannot be published: " + problems_.front() + "; ...");
}

bool Publisher::ScanFolder(const fs::path& folder, const std::string& prefix) {
    std::error_code ec;
    for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
        const fs::path& path = it->path();
        const std::string name = prefix + path.filename().string();
        fs::file_status status = it->symlink_status(ec);
        if (ec)
            break;
        if (fs::is_symlink(status)) {
            if (!AddLink(path, name))
                return false;
        } else if (fs::is_directory(status)) {
            if (!ScanFolder(path, name + "/"))
                return false;
        } else if (fs::is_regular_file(status)) {
            sources_.push_back({name, path.string()});
        } else {
            return Fail("cannot publish '" + name + "': not a regular file or folder");
        }
    }
    if (ec)
        return Fail("cannot list " + folder.string() + ": " + ec.message());
    return true;
}

bool Publisher::AddLink(const fs::path& link, const std::string& name) {
    std::error_code ec;
    fs::path target = fs::canonical(link, ec);
    if (ec)
        return Fail("cannot publish '" + name + "': a symbolic link to nothing");
    fs::path inside = target.lexically_relative(buildRoot_);
    if (inside.empty() || *inside.begin() == "..")
        return Fail("cannot publish '" + name + "': a symbolic link that leaves the build (to " +
                    target.string() + ")");
    // Links to folders could loop; the build spells out its folders.
    if (!fs::is_regular_file(target, ec))
        return Fail("cannot publish '" + name +
                    "': a symbolic link to something that is not a file");
    sources_.push_back({name, target.string()});
    return true;
}

bool Publisher::ResolveTagged(const std::string& given, const char* option, std::string* name) {
    if (given.empty())
        return true;
    for (const SourceFile& source : sources_) {
        if (source.name == given) {
            *name = given;
            return true;
        }
    }
    // A path to the file, absolute or from the current folder.
    std::error_code ec;
    fs::path resolved = fs::weakly_canonical(given, ec);
    if (!ec) {
        std::string relative = resolved.lexically_relative(buildRoot_).generic_string();
        for (const SourceFile& source : sources_) {
            if (source.name == relative) {
                *name = relative;
                return true;
            }
        }
    }
    return Fail(std::string(option) + " " + given + ": no such file in BUILD_DIR");
}

bool Publisher::LockServerFolder() {
    base_ = (fs::path(options_.serverRoot) / kServerFolder).string() + "/";
    std::error_code ec;
    serverExists_ = fs::is_directory(base_, ec);
    if (!serverExists_ && options_.dryRun)
        return true;
    if (!serverExists_) {
        fs::create_directories(options_.serverRoot, ec);
        if (ec || (::mkdir(base_.c_str(), kFolderMode) != 0 && errno != EEXIST) ||
            ::chmod(base_.c_str(), kFolderMode) != 0)
            return Fail(Errno("cannot create", base_));
    }
    // One publisher at a time per server: each carries versions over from
    // the build the previous one switched to.
    return lock_.Acquire(base_, &error_);
}

void Publisher::RemoveLeftovers() {
    if (!serverExists_)
        return;
    // Under the lock no other publish is running: these are an interrupted
    // run's, and nobody serves them.
    std::vector<std::string> failures;
    report_.leftovers = RemoveLeftoversOfInterruptedRuns(base_, options_.dryRun, &failures);
    report_.notes.insert(report_.notes.end(), failures.begin(), failures.end());
}

bool Publisher::ReadCurrentBuild() {
    if (!serverExists_)
        return true;
    const std::string pointer = base_ + kBuildFolderFileName;
    std::string folder;
    bool haveLine = false;
    if (!ForEachLine(pointer, [&](const std::string& line) {
            if (!haveLine)
                folder = line;
            haveLine = true;
        })) {
        if (errno == ENOENT)
            return true;
        return Fail(Errno("cannot read", pointer));
    }
    // An empty first line is legal to the launcher: the manifest then sits
    // beside build_folder.txt.
    if (!folder.empty()) {
        std::string problem = BuildFolderProblem(folder);
        if (!problem.empty())
            return Fail(pointer + " names '" + folder +
                        "', which launchers cannot use: " + problem + "; fix or remove it");
    }
    const std::string manifest = base_ + folder + kManifestFileName;
    FilesToPatch current;
    if (!ForEachLine(manifest, [&](const std::string& line) { current.ParseLine(line); }))
        return Fail(Errno("cannot read the current build's manifest", manifest) +
                    "; versions cannot be carried over (restore it, or remove " + pointer +
                    " to start afresh)");
    report_.hadPrevious = true;
    report_.previousBuildFolder = folder;
    previousCopies_ = CopyRecord::Read(base_, folder);
    current.GetGameExe(previousGameExe_);
    for (const FilesToPatch::File& entry : current.files) {
        PreviousEntry& previous = previous_[LauncherName(entry.name)];
        ++previous.lines;
        previous.version =
            std::max(previous.lines == 1 ? INT32_MIN : previous.version, entry.version);
        previous.sizeKnown = entry.sizeKnown;
        previous.size = entry.size;
        previous.sha256 = HashTag(entry);
    }
    return true;
}

void Publisher::ReadHistory() {
    // Players keep the version of a file they installed long ago in their
    // ledger; a file that comes back, or changes after a roll-back, must not
    // reuse a version some earlier build gave to other bytes.
    std::error_code ec;
    for (fs::directory_iterator it(base_, ec), end; !ec && it != end; it.increment(ec)) {
        std::string name = it->path().filename().string();
        if (name.empty() || name[0] == '.' || !it->is_directory(ec))
            continue;
        FilesToPatch manifest;
        ForEachLine(it->path().string() + "/" + kManifestFileName,
                    [&](const std::string& line) { manifest.ParseLine(line); });
        for (const FilesToPatch::File& entry : manifest.files) {
            auto [slot, inserted] =
                highestVersion_.emplace(LauncherName(entry.name), entry.version);
            if (!inserted)
                slot->second = std::max(slot->second, entry.version);
        }
    }
    for (const auto& [name, version] : ReadRetiredVersions(base_)) {
        auto [slot, inserted] = highestVersion_.emplace(name, version);
        if (!inserted)
            slot->second = std::max(slot->second, version);
    }
    for (const auto& [name, entry] : previous_) {
        auto [slot, inserted] = highestVersion_.emplace(name, entry.version);
        if (!inserted)
            slot->second = std::max(slot->second, entry.version);
    }
}

bool Publisher::ChooseBuildFolder() {
    std::error_code ec;
    if (!options_.buildFolder.empty()) {
        if (fs::exists(fs::symlink_status(base_ + options_.buildFolder, ec)))
            return Fail("build folder " + base_ + options_.buildFolder +
                        " exists already; builds are never overwritten");
        report_.buildFolder = options_.buildFolder;
        return true;
    }
    long highest = 0;
    for (fs::directory_iterator it(base_, ec), end; !ec && it != end; it.increment(ec)) {
        std::string name = it->path().filename().string();
        if (name.rfind("build_", 0) != 0 || name.size() > 6 + 9)
            continue;
        std::string digits = name.substr(6);
        if (!digits.empty() && std::all_of(digits.begin(), digits.end(), ::isdigit))
            highest = std::max(highest, std::stol(digits));
    }
    report_.buildFolder = "build_" + std::to_string(highest + 1) + "/";
    return true;
}

bool Publisher::Stage() {
    if (!options_.dryRun) {
        std::string pattern = base_ + kStagingPrefix + "XXXXXX";
        if (!::mkdtemp(pattern.data()))
            return Fail(Errno("cannot create a folder in", base_));
        staging_ = pattern;
        if (::chmod(staging_.c_str(), kFolderMode) != 0)
            return Fail(Errno("cannot set permissions of", staging_));
        stagedFolders_.push_back(staging_);
    }

    for (const SourceFile& source : sources_) {
        for (size_t slash = source.name.find('/'); !options_.dryRun && slash != std::string::npos;
             slash = source.name.find('/', slash + 1)) {
            std::string folder = staging_ + "/" + source.name.substr(0, slash);
            if (::mkdir(folder.c_str(), kFolderMode) == 0) {
                if (::chmod(folder.c_str(), kFolderMode) != 0)
                    return Fail(Errno("cannot set permissions of", folder));
                stagedFolders_.push_back(folder);
            } else if (errno != EEXIST) {
                return Fail(Errno("cannot create", folder));
            }
        }
        PublishedFile file;
        file.name = source.name;
        if (!Place(source, staging_ + "/" + source.name, &file))
            return false;
        if (file.version == INT32_MIN)
            return Fail("cannot publish '" + file.name + "': its version would pass " +
                        std::to_string(INT32_MAX));
        AddTags(&file);
        if (options_.dryRun)
            report_.bytesWritten += static_cast<int64_t>(ManifestLine(file).size() + 1);
        report_.files.push_back(std::move(file));
    }
    ReportNotes();
    return true;
}

void Publisher::AddTags(PublishedFile* file) const {
    // Tags in this order so the size tag always stays within the three a
    // line may carry; a file that is both programs gives up its hash.
    if (file->name == gameExe_)
        file->tags.push_back(kGameExeTag);
    if (file->name == testClient_)
        file->tags.push_back(kTestClientTag);
    file->tags.push_back(kSizeKey + std::to_string(file->size));
    if (file->tags.size() < 3)
        file->tags.push_back(kHashKey + file->sha256);
}

void Publisher::ReportNotes() {
    if (gameExe_.empty())
        report_.notes.push_back(
            "no file is tagged GAME_EXE (--no-game-exe), so Play has nothing to start" +
            (previousGameExe_.empty() ? std::string()
                                      : "; the previous build named " + previousGameExe_));
    for (const PublishedFile& file : report_.files)
        if (SameNameIgnoringCase(file.name, kNewLauncherExe) && file.change != Change::kUnchanged)
            report_.notes.push_back(std::string("launchers will replace themselves with this "
                                                "build's ") +
                                    kNewLauncherExe);
    for (const auto& previous : previous_) {
        const std::string& name = previous.first;
        bool kept = std::any_of(report_.files.begin(), report_.files.end(),
                                [&](const PublishedFile& file) { return file.name == name; });
        if (!kept)
            report_.removed.push_back(name);
    }
}

bool Publisher::Place(const SourceFile& source, const std::string& target, PublishedFile* file) {
    // A file the previous build may hold unchanged is read once to compare;
    // when it is unchanged the new build links the previous copy, so a
    // publish writes only what changed. A dry run decides as the publish does.
    auto previous = previous_.find(file->name);
    bool candidate = previous != previous_.end() && previous->second.lines == 1;
    if (candidate || options_.dryRun) {
        if (!HashFile(source, file))
            return false;
        bool bytesCompared = Classify(file, source.path);
        bool link = file->change == Change::kUnchanged && PreviousCopyServes(*file, bytesCompared);
        if (options_.dryRun) {
            if (link)
                ++report_.linked;
            else
                ++report_.copied, report_.bytesWritten += file->size;
            return true;
        }
        // Where the file system cannot link (EPERM, EMLINK, EXDEV, ...) the
        // file is copied.
        if (link && ::link(PreviousCopy(file->name).c_str(), target.c_str()) == 0) {
            ++report_.linked;
            return true;
        }
    }
    PublishedFile fresh;
    fresh.name = file->name;
    *file = std::move(fresh);
    if (!CopyFile(source, target, file))
        return false;
    Classify(file, target);
    ++report_.copied;
    report_.bytesWritten += file->size;
    return true;
}

std::string Publisher::PreviousCopy(const std::string& name) const {
    return base_ + report_.previousBuildFolder + name;
}

bool Publisher::PreviousCopyServes(const PublishedFile& file, bool bytesCompared) const {
    // Only a plain file of the expected size and mode; anything else is
    // copied afresh. A link shares the mode, so a changed program bit copies.
    const std::string previous = PreviousCopy(file.name);
    struct stat info {};
    if (::lstat(previous.c_str(), &info) != 0 || !S_ISREG(info.st_mode) ||
        info.st_size != file.size || (info.st_mode & 0777) != file.mode)
        return false;
    // The previous copy must still hold the published bytes: a file changed
    // on the server after its publish would otherwise pass into every later
    // build. It is read again only when it no longer looks as it did when
    // it was known to hold them.
    return bytesCompared || previousCopies_.Untouched(file.name, info, file.sha256) ||
           Sha256FileHex(previous) == file.sha256;
}

bool Publisher::OpenSource(const SourceFile& source, Fd* in, PublishedFile* file) {
    in->Reset(::open(source.path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    struct stat info {};
    if (in->get() < 0 || ::fstat(in->get(), &info) != 0)
        return Fail(Errno("cannot read", source.path));
    if (!S_ISREG(info.st_mode))
        return Fail("cannot publish '" + source.name + "': not a regular file");
    file->mode = (info.st_mode & S_IXUSR) ? kProgramMode : kFileMode;
    return true;
}

bool Publisher::HashFile(const SourceFile& source, PublishedFile* file) {
    Fd in;
    return OpenSource(source, &in, file) && Stream(in.get(), -1, source, "", file);
}

bool Publisher::CopyFile(const SourceFile& source, const std::string& target, PublishedFile* file) {
    Fd in;
    if (!OpenSource(source, &in, file))
        return false;
    Fd out(::open(target.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, file->mode));
    if (out.get() < 0 || ::fchmod(out.get(), file->mode) != 0)
        return Fail(Errno("cannot create", target));
    if (!Stream(in.get(), out.get(), source, target, file))
        return false;
    if (::fsync(out.get()) != 0 || !out.Close())
        return Fail(Errno("cannot write", target));
    return true;
}

bool Publisher::Stream(int in, int out, const SourceFile& source, const std::string& target,
                       PublishedFile* file) {
    // Size and hash are of the bytes actually read (and copied), even if the
    // build changes under us.
    Sha256 sha;
    std::vector<char> buffer(1 << 20);
    file->size = 0;
    for (;;) {
        ssize_t n = ::read(in, buffer.data(), buffer.size());
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return Fail(Errno("cannot read", source.path));
        if (n == 0)
            break;
        if (out >= 0 && !WriteAll(out, buffer.data(), static_cast<size_t>(n)))
            return Fail(Errno("cannot write", target));
        sha.Update(buffer.data(), static_cast<size_t>(n));
        file->size += n;
    }
    file->sha256 = sha.FinishHex();
    return true;
}

// True when it compared the previous copy's bytes with `comparePath`'s.
bool Publisher::Classify(PublishedFile* file, const std::string& comparePath) {
    auto highest = highestVersion_.find(file->name);
    // INT32_MIN marks an overflow for the caller.
    auto next = [&]() -> int32_t {
        if (highest == highestVersion_.end())
            return 1;
        return highest->second == INT32_MAX ? INT32_MIN : highest->second + 1;
    };
    auto found = previous_.find(file->name);
    if (found == previous_.end()) {
        file->change = Change::kAdded;
        file->version = next();
        return false;
    }
    const PreviousEntry& previous = found->second;
    bool same = false;
    bool compared = false;
    if (previous.lines == 1 && (!previous.sizeKnown || previous.size == file->size)) {
        if (!previous.sha256.empty()) {
            same = previous.sha256 == file->sha256;
        } else {
            same = SameBytes(PreviousCopy(file->name), comparePath);
            compared = true;
        }
    }
    file->change = same ? Change::kUnchanged : Change::kChanged;
    file->version = same ? previous.version : next();
    return compared;
}

bool Publisher::AddObjects() {
    if (!options_.delta)
        return true;
    ObjectOptions objects;
    objects.base = base_;
    objects.stagedBuild = staging_ + "/";
    objects.newFolder = report_.buildFolder;
    objects.deltaFrom = options_.deltaFrom;
    objects.level = options_.deltaLevel;
    objects.dryRun = options_.dryRun;
    if (options_.dryRun)
        objects.stagedBuild = buildRoot_.string() + "/";
    ObjectReport written;
    if (!AddBuildObjects(objects, &report_.files, &written, &error_))
        return false;
    report_.objectsWritten = written.written;
    report_.objectsReused = written.reused;
    report_.objectsSkipped = written.skipped;
    report_.deltaTags = written.deltas;
    report_.objectBytes = written.bytesWritten;
    report_.bytesWritten += written.bytesWritten;
    report_.plannedObjects = std::move(written.planned);
    return true;
}

bool Publisher::WriteManifest() {
    std::string manifest;
    for (const PublishedFile& file : report_.files) {
        std::string line = ManifestLine(file);
        // The launcher must read back exactly what is meant.
        FilesToPatch check;
        check.ParseLine(line);
        bool exact = check.files.size() == 1 && check.files[0].name == file.name &&
                     check.files[0].version == file.version && check.files[0].sizeKnown &&
                     check.files[0].size == file.size;
        std::vector<std::string> tokens = file.tags;
        tokens.insert(tokens.end(), file.objectTags.begin(), file.objectTags.end());
        for (size_t i = 0; exact && i < 3; ++i)
            exact = check.files[0].tags[i] == (i < tokens.size() ? tokens[i] : "");
        exact = exact && check.files[0].objects.size() == file.objectTags.size();
        if (!exact)
            return Fail("cannot publish '" + file.name +
                        "': its manifest line would not read back");
        manifest += line + "\n";
    }
    if (!WriteDurable(staging_ + "/" + kManifestFileName, manifest, O_EXCL, &error_))
        return false;
    report_.bytesWritten += static_cast<int64_t>(manifest.size());
    // Folders last and deepest first, so every entry is on disk before the
    // folder that holds it is flushed.
    for (auto it = stagedFolders_.rbegin(); it != stagedFolders_.rend(); ++it)
        if (!SyncPath(*it))
            return Fail(Errno("cannot flush", *it));
    return true;
}

bool Publisher::Commit() {
    const std::string final = base_ + report_.buildFolder;
    const std::string finalNoSlash = final.substr(0, final.size() - 1);
    // RENAME_NOREPLACE: another program may have made the folder meanwhile.
    int renamed =
        ::renameat2(AT_FDCWD, staging_.c_str(), AT_FDCWD, finalNoSlash.c_str(), RENAME_NOREPLACE);
    if (renamed != 0 && (errno == EINVAL || errno == ENOSYS)) {
        // A file system without it: the lock keeps other publishers out.
        std::error_code ec;
        if (fs::exists(fs::symlink_status(finalNoSlash, ec)))
            errno = EEXIST;
        else
            renamed = ::rename(staging_.c_str(), finalNoSlash.c_str());
    }
    if (renamed != 0) {
        if (errno == EEXIST)
            return Fail("build folder " + final + " exists already; builds are never overwritten");
        return Fail(Errno("cannot create", final));
    }
    staging_ = finalNoSlash;
    if (!SyncPath(base_))
        return Fail(Errno("cannot flush", base_));
    return true;
}

bool Publisher::SwitchBuildFolder() {
    std::string note;
    if (!SwitchCurrentBuild(base_, report_.buildFolder,
                            report_.hadPrevious ? report_.previousBuildFolder : "", &error_,
                            &note)) {
        // Nobody can know the new build yet: take it away again.
        std::error_code ec;
        fs::remove_all(staging_, ec);
        return false;
    }
    if (!note.empty())
        report_.notes.push_back(note);
    return true;
}

void Publisher::RecordCopies() {
    std::vector<std::pair<std::string, std::string>> files;
    for (const PublishedFile& file : report_.files)
        files.emplace_back(file.name, file.sha256);
    std::string error;
    if (!CopyRecord::Write(base_, report_.buildFolder, files, &error))
        report_.notes.push_back(error + "; the next publish reads unchanged files' copies again");
}

bool Publisher::PrepareSigning() {
    if (options_.signKeyFile.empty()) {
        if (!options_.expiresDays.empty())
            return Fail("--expires needs --sign-key");
        if (!options_.stateDir.empty())
            return Fail("--state-dir needs --sign-key");
        if (!options_.product.empty() || !options_.channel.empty())
            return Fail("--product and --channel need --sign-key");
        return true;
    }
    Signer signer;
    if (!LoadSigner(options_.signKeyFile, options_.stateDir,
                    {{"BUILD_DIR", options_.buildDir}, {"SERVER_ROOT", options_.serverRoot}},
                    &signer, &error_) ||
        !ParseExpiryDays(options_.expiresDays, &expiryDays_, &error_) ||
        !ParseStatementTarget(options_.product, options_.channel, &target_, &error_))
        return false;
    if (!gameExe_.empty() && gameExe_ == testClient_)
        return Fail(
            "a signed build needs a SHA256 tag on every line, and a file that is both "
            "game and test client has no room for one");
    signer_ = signer;
    return true;
}

// After the switch, so that the list names the build launchers now find.
// A failure here leaves the build published and the list of the build
// before, which launchers that check signatures refuse for this one.
bool Publisher::WriteMirrors() {
    MirrorBinding binding;
    if (signer_) {
        binding.signer = &*signer_;
        binding.target = target_;
        binding.buildFolder = report_.buildFolder;
        const std::string manifest = base_ + report_.buildFolder + kManifestFileName;
        binding.manifestSha256 = Sha256FileHex(manifest).value_or("");
        if (binding.manifestSha256.empty())
            return Fail(
                Errno("the build is published, but its mirror list cannot be signed: "
                      "cannot read",
                      manifest));
    }
    std::string error;
    if (!WriteMirrorList(base_, report_.mirrors, binding, &error))
        return Fail("the build is published, but " + error +
                    "; publish again to write the mirror list");
    return true;
}

bool Publisher::SignBuild() {
    return !signer_ || SignStagedBuild(base_, staging_, report_.buildFolder, *signer_, target_,
                                       expiryDays_, &error_, &report_.notes);
}

}  // namespace

int PublishReport::Count(Change change) const {
    return static_cast<int>(std::count_if(
        files.begin(), files.end(), [&](const PublishedFile& f) { return f.change == change; }));
}

int64_t PublishReport::DownloadBytes() const {
    int64_t bytes = 0;
    for (const PublishedFile& file : files)
        if (file.change != Change::kUnchanged)
            bytes += file.size;
    return bytes;
}

std::string ManifestLine(const PublishedFile& file) {
    std::string line = file.name + " " + std::to_string(file.version);
    for (const std::string& tag : file.tags)
        line += " " + tag;
    for (const std::string& tag : file.objectTags)
        line += " " + tag;
    return line;
}

PublishOutcome Publish(const PublishOptions& options) {
    Publisher publisher(options);
    PublishOutcome outcome;
    outcome.ok = publisher.Run();
    outcome.error = publisher.Error();
    outcome.problems = publisher.Problems();
    outcome.report = std::move(publisher.Report());
    return outcome;
}

}  // namespace lvpublish
