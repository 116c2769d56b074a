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
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>

#include "NameRules.h"
#include "Signing.h"
#include "fileset/FilesToPatch.h"
#include "fileset/Scan.h"
#include "patch/PatchServer.h"
#include "patch/Sha256.h"
#include "state/TextFile.h"

namespace fs = std::filesystem;

namespace lvpublish {

namespace {

constexpr const char* kGameExeTag = "GAME_EXE";
constexpr const char* kTestClientTag = "TEST_CLIENT";
constexpr const char* kSizeKey = "SIZE:";
constexpr const char* kHashKey = "SHA256:";
constexpr const char* kStagingPrefix = ".lvpublish-";

// Everything lands world-readable: the web server may run as another user.
constexpr mode_t kFileMode = 0644;
constexpr mode_t kProgramMode = 0755;
constexpr mode_t kFolderMode = 0755;

std::string Errno(const std::string& what, const std::string& path) {
    return what + " " + path + ": " + std::strerror(errno);
}

class Fd {
  public:
    explicit Fd(int fd = -1) : fd_(fd) {}
    ~Fd() {
        if (fd_ >= 0)
            ::close(fd_);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd_; }
    void Reset(int fd) {
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = fd;
    }
    bool Close() {
        int fd = fd_;
        fd_ = -1;
        return ::close(fd) == 0;
    }

  private:
    int fd_;
};

bool WriteAll(int fd, const char* data, size_t size) {
    while (size > 0) {
        ssize_t n = ::write(fd, data, size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

bool SyncPath(const std::string& path) {
    Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    return fd.get() >= 0 && ::fsync(fd.get()) == 0;
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
    Fd fa(::open(a.c_str(), O_RDONLY | O_CLOEXEC));
    Fd fb(::open(b.c_str(), O_RDONLY | O_CLOEXEC));
    if (fa.get() < 0 || fb.get() < 0)
        return false;
    std::vector<char> ba(1 << 16), bb(1 << 16);
    for (;;) {
        ssize_t na = ::read(fa.get(), ba.data(), ba.size());
        if (na < 0)
            return false;
        // Fill the same count from b (a short read is not a difference).
        ssize_t nb = 0;
        while (nb < na) {
            ssize_t n = ::read(fb.get(), bb.data() + nb, static_cast<size_t>(na - nb));
            if (n <= 0)
                break;
            nb += n;
        }
        if (nb != na || std::memcmp(ba.data(), bb.data(), static_cast<size_t>(na)) != 0)
            return false;
        if (na == 0)
            return true;
    }
}

class Publisher {
  public:
    explicit Publisher(const PublishOptions& options) : options_(options) {}

    bool Run();
    const std::string& Error() const { return error_; }
    PublishReport& Report() { return report_; }

  private:
    bool Fail(std::string reason) {
        error_ = std::move(reason);
        return false;
    }

    bool ScanBuild();
    bool ScanFolder(const fs::path& folder, const std::string& prefix);
    bool AddLink(const fs::path& link, const std::string& name);
    bool ResolveTagged(const std::string& given, const char* option, std::string* name);
    bool LockServerFolder();
    bool ReadCurrentBuild();
    void ReadHistory();
    bool ChooseBuildFolder();
    bool Stage();
    bool CopyFile(const SourceFile& source, const std::string& target, PublishedFile* file);
    void Classify(PublishedFile* file, const std::string& stagedPath);
    bool WriteManifest();
    bool Commit();
    bool SwitchBuildFolder();
    bool PrepareSigning();
    bool SignBuild();

    PublishOptions options_;
    std::string error_;
    PublishReport report_;

    fs::path buildRoot_;
    std::vector<SourceFile> sources_;
    std::string gameExe_;
    std::string testClient_;

    std::string base_;  // SERVER_ROOT/lanternvale_patch/
    Fd lock_;
    std::map<std::string, PreviousEntry> previous_;
    std::map<std::string, int32_t> highestVersion_;
    std::string previousGameExe_;
    std::string staging_;
    std::vector<std::string> stagedFolders_;
    std::optional<SigningKey> signingKey_;
    int expiryDays_ = 0;
};

bool Publisher::Run() {
    if (!ScanBuild() || !PrepareSigning())
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
    bool staged = Stage() && WriteManifest() && SignBuild() && Commit();
    if (!staged && !staging_.empty()) {
        std::error_code ignored;
        fs::remove_all(staging_, ignored);
    }
    return staged && SwitchBuildFolder();
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

    std::vector<std::string> names;
    for (const SourceFile& source : sources_) {
        std::string problem = NameProblem(source.name);
        if (!problem.empty())
            return Fail("cannot publish '" + source.name + "': " + problem);
        names.push_back(source.name);
    }
    std::string clash = CaseCollision(names);
    if (!clash.empty())
        return Fail("cannot publish " + clash +
                    ": names that differ only in letter case are one file on Windows");

    fs::path server = fs::weakly_canonical(options_.serverRoot, ec);
    fs::path relative = server.lexically_relative(buildRoot_);
    if (!ec && !relative.empty() && *relative.begin() != "..")
        return Fail("SERVER_ROOT " + options_.serverRoot + " lies inside BUILD_DIR " +
                    options_.buildDir);

    return ResolveTagged(options_.gameExe, "--game-exe", &gameExe_) &&
           ResolveTagged(options_.testClient, "--test-client", &testClient_);
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
    if (!fs::is_directory(base_, ec)) {
        fs::create_directories(options_.serverRoot, ec);
        if (ec || (::mkdir(base_.c_str(), kFolderMode) != 0 && errno != EEXIST) ||
            ::chmod(base_.c_str(), kFolderMode) != 0)
            return Fail(Errno("cannot create", base_));
    }
    // One publisher at a time per server: each carries versions over from
    // the build the previous one switched to.
    lock_.Reset(::open(base_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (lock_.get() < 0 || ::flock(lock_.get(), LOCK_EX) != 0)
        return Fail(Errno("cannot lock", base_));
    return true;
}

bool Publisher::ReadCurrentBuild() {
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
    std::string pattern = base_ + kStagingPrefix + "XXXXXX";
    if (!::mkdtemp(pattern.data()))
        return Fail(Errno("cannot create a folder in", base_));
    staging_ = pattern;
    if (::chmod(staging_.c_str(), kFolderMode) != 0)
        return Fail(Errno("cannot set permissions of", staging_));
    stagedFolders_.push_back(staging_);

    for (const SourceFile& source : sources_) {
        for (size_t slash = source.name.find('/'); slash != std::string::npos;
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
        const std::string target = staging_ + "/" + source.name;
        if (!CopyFile(source, target, &file))
            return false;
        Classify(&file, target);
        if (file.version == INT32_MIN)
            return Fail("cannot publish '" + file.name + "': its version would pass " +
                        std::to_string(INT32_MAX));

        // Tags in this order so the size tag always stays within the three a
        // line may carry; a file that is both programs gives up its hash.
        if (file.name == gameExe_)
            file.tags.push_back(kGameExeTag);
        if (file.name == testClient_)
            file.tags.push_back(kTestClientTag);
        file.tags.push_back(kSizeKey + std::to_string(file.size));
        if (file.tags.size() < 3)
            file.tags.push_back(kHashKey + file.sha256);
        report_.files.push_back(std::move(file));
    }
    if (gameExe_.empty())
        report_.notes.push_back(
            "no file is tagged GAME_EXE (--game-exe), so Play has nothing to start" +
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
    return true;
}

bool Publisher::CopyFile(const SourceFile& source, const std::string& target, PublishedFile* file) {
    Fd in(::open(source.path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    struct stat info {};
    if (in.get() < 0 || ::fstat(in.get(), &info) != 0)
        return Fail(Errno("cannot read", source.path));
    if (!S_ISREG(info.st_mode))
        return Fail("cannot publish '" + source.name + "': not a regular file");
    const mode_t mode = (info.st_mode & S_IXUSR) ? kProgramMode : kFileMode;
    Fd out(::open(target.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode));
    if (out.get() < 0 || ::fchmod(out.get(), mode) != 0)
        return Fail(Errno("cannot create", target));

    // Size and hash are of the bytes actually copied, even if the build
    // changes under us.
    Sha256 sha;
    std::vector<char> buffer(1 << 20);
    for (;;) {
        ssize_t n = ::read(in.get(), buffer.data(), buffer.size());
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return Fail(Errno("cannot read", source.path));
        if (n == 0)
            break;
        if (!WriteAll(out.get(), buffer.data(), static_cast<size_t>(n)))
            return Fail(Errno("cannot write", target));
        sha.Update(buffer.data(), static_cast<size_t>(n));
        file->size += n;
    }
    if (::fsync(out.get()) != 0 || !out.Close())
        return Fail(Errno("cannot write", target));
    file->sha256 = sha.FinishHex();
    return true;
}

void Publisher::Classify(PublishedFile* file, const std::string& stagedPath) {
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
        return;
    }
    const PreviousEntry& previous = found->second;
    bool same = false;
    if (previous.lines == 1 && (!previous.sizeKnown || previous.size == file->size)) {
        if (!previous.sha256.empty())
            same = previous.sha256 == file->sha256;
        else
            same = SameBytes(base_ + report_.previousBuildFolder + file->name, stagedPath);
    }
    file->change = same ? Change::kUnchanged : Change::kChanged;
    file->version = same ? previous.version : next();
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
        for (size_t i = 0; exact && i < 3; ++i)
            exact = check.files[0].tags[i] == (i < file.tags.size() ? file.tags[i] : "");
        if (!exact)
            return Fail("cannot publish '" + file.name +
                        "': its manifest line would not read back");
        manifest += line + "\n";
    }
    if (!WriteDurable(staging_ + "/" + kManifestFileName, manifest, O_EXCL, &error_))
        return false;
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
    const std::string pointer = base_ + kBuildFolderFileName;
    std::string temporary = pointer + ".XXXXXX";
    Fd fd(::mkstemp(temporary.data()));
    const std::string text = report_.buildFolder + "\n";
    bool written = fd.get() >= 0 && ::fchmod(fd.get(), kFileMode) == 0 &&
                   WriteAll(fd.get(), text.data(), text.size()) && ::fsync(fd.get()) == 0 &&
                   fd.Close();
    if (!written || ::rename(temporary.c_str(), pointer.c_str()) != 0) {
        error_ = Errno("cannot switch", pointer);
        ::unlink(temporary.c_str());
        // Nobody can know the new build yet: take it away again.
        std::error_code ignored;
        fs::remove_all(staging_, ignored);
        return false;
    }
    if (!SyncPath(base_))
        report_.notes.push_back("the switch of " + pointer + " may not have reached the disk");
    return true;
}

bool Publisher::PrepareSigning() {
    if (options_.signKeyFile.empty()) {
        if (!options_.expiresDays.empty())
            return Fail("--expires needs --sign-key");
        return true;
    }
    SigningKey key;
    if (!LoadSigningKey(options_.signKeyFile, &key, &error_) ||
        !ParseExpiryDays(options_.expiresDays, &expiryDays_, &error_))
        return false;
    if (!gameExe_.empty() && gameExe_ == testClient_)
        return Fail(
            "a signed build needs a SHA256 tag on every line, and a file that is both "
            "game and test client has no room for one");
    signingKey_ = key;
    return true;
}

bool Publisher::SignBuild() {
    if (!signingKey_)
        return true;
    std::string summary;
    if (!SignStagedBuild(base_, staging_, report_.buildFolder, *signingKey_, expiryDays_, &error_,
                         &summary))
        return false;
    report_.notes.push_back(summary);
    return true;
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
    return line;
}

PublishOutcome Publish(const PublishOptions& options) {
    Publisher publisher(options);
    PublishOutcome outcome;
    outcome.ok = publisher.Run();
    outcome.error = publisher.Error();
    outcome.report = std::move(publisher.Report());
    return outcome;
}

}  // namespace lvpublish
