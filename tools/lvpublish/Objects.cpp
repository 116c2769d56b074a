#include "Objects.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <optional>
#include <set>

#include "DeltaWriter.h"
#include "ServerFolder.h"
#include "fileset/FilesToPatch.h"
#include "state/LauncherFiles.h"
#include "state/TextFile.h"

namespace lvpublish {
namespace {

using Manifest = std::map<std::string, FilesToPatch::File>;

std::string SlashName(std::string name) {
    std::replace(name.begin(), name.end(), '\\', '/');
    return name;
}

// The manifest of a build folder by name; false when it cannot be read.
bool ReadManifest(const std::string& folder, Manifest* byName) {
    FilesToPatch manifest;
    if (!ForEachLine(folder + kManifestFileName,
                     [&](const std::string& line) { manifest.ParseLine(line); }))
        return false;
    for (FilesToPatch::File& entry : manifest.files)
        (*byName)[SlashName(entry.name)] = std::move(entry);
    return true;
}

Manifest ReadManifest(const std::string& folder) {
    Manifest byName;
    ReadManifest(folder, &byName);
    return byName;
}

int64_t FileSize(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) ? st.st_size : -1;
}

std::string ObjectsDir(const std::string& base) {
    return base + kObjectsFolder + "/";
}

class Writer {
  public:
    Writer(const ObjectOptions& options, ObjectReport* report, std::string* error)
        : options_(options), report_(report), error_(error) {}

    bool Begin() {
        const std::vector<BuildInfo> builds = ListBuilds(options_.base);
        for (auto it = builds.rbegin(); it != builds.rend(); ++it) {
            if (!it->hasManifest || it->folder == options_.newFolder)
                continue;
            Manifest manifest = ReadManifest(options_.base + it->folder);
            // Objects earlier publishes wrote, to be named again, not rebuilt.
            for (const auto& [name, entry] : manifest)
                for (const FilesToPatch::UpdateObject& object : entry.objects)
                    known_.emplace(std::make_pair(entry.Sha256Tag(), object.source), object);
            if (static_cast<int>(sources_.size()) < options_.deltaFrom)
                sources_.push_back({it->folder, std::move(manifest)});
        }
        if (options_.dryRun)
            return true;
        const std::string dir = ObjectsDir(options_.base);
        if (::mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST) {
            *error_ = "cannot create " + dir + ": " + std::strerror(errno);
            return false;
        }
        ::chmod(dir.c_str(), 0755);
        // What an interrupted publish left half written.
        if (DIR* d = ::opendir(dir.c_str())) {
            while (dirent* e = ::readdir(d))
                if (std::strncmp(e->d_name, kStagingPrefix, std::strlen(kStagingPrefix)) == 0)
                    ::unlink((dir + e->d_name).c_str());
            ::closedir(d);
        }
        return true;
    }

    bool Add(PublishedFile* file) {
        if (file->sha256.empty() || file->size < kMinObjectFileBytes)
            return true;
        const std::string path = options_.stagedBuild + file->name;
        std::optional<FilesToPatch::UpdateObject> compressed =
            Obtain(file->sha256, "", path, "", file->size);
        if (!compressed && !error_->empty())
            return false;
        int64_t bound = file->size;
        if (compressed) {
            file->objectTags.push_back(ObjectTag(*compressed));
            bound = compressed->size;
        }
        std::set<std::string> sources = {file->sha256.substr(0, FilesToPatch::kSourcePrefixLength)};
        for (const auto& [folder, manifest] : sources_) {
            auto old = manifest.find(file->name);
            if (old == manifest.end())
                continue;
            const std::string oldSha = old->second.Sha256Tag();
            if (oldSha.empty())
                continue;
            const std::string prefix = oldSha.substr(0, FilesToPatch::kSourcePrefixLength);
            if (!sources.insert(prefix).second)
                continue;
            std::optional<FilesToPatch::UpdateObject> delta =
                Obtain(file->sha256, prefix, path, options_.base + folder + old->first, bound);
            if (!delta && !error_->empty())
                return false;
            if (delta) {
                file->objectTags.push_back(ObjectTag(*delta));
                ++report_->deltas;
            }
        }
        return true;
    }

    bool End() {
        return options_.dryRun || SyncPath(ObjectsDir(options_.base)) ||
               Failed("cannot flush " + ObjectsDir(options_.base));
    }

  private:
    bool Failed(std::string why) {
        *error_ = std::move(why);
        return false;
    }

    // The object that rebuilds the file at `path` (from `oldPath`, for a
    // delta), when it is smaller than `bound`: one an earlier publish wrote,
    // or a new one. Nothing with `error_` empty when it would not be smaller.
    std::optional<FilesToPatch::UpdateObject> Obtain(const std::string& target,
                                                     const std::string& source,
                                                     const std::string& path,
                                                     const std::string& oldPath, int64_t bound) {
        const std::string dir = ObjectsDir(options_.base);
        auto known = known_.find({target, source});
        if (known != known_.end() && known->second.size < bound &&
            FileSize(dir + ObjectFileName(known->second.sha256)) == known->second.size) {
            ++report_->reused;
            return known->second;
        }
        if (options_.dryRun) {
            report_->planned.push_back((source.empty() ? "a compressed copy of " : "a delta to ") +
                                       path.substr(options_.stagedBuild.size()) +
                                       (source.empty() ? "" : " from " + oldPath));
            return std::nullopt;
        }
        std::string temp = dir + kStagingPrefix + "object-XXXXXX";
        const int fd = ::mkstemp(temp.data());
        if (fd < 0) {
            Failed("cannot create a file in " + dir + ": " + std::strerror(errno));
            return std::nullopt;
        }
        ::close(fd);
        WrittenObject written;
        if (!WriteObject(path, oldPath, options_.level, temp, &written, error_))
            return std::nullopt;
        if (written.bytes >= bound) {
            ::unlink(temp.c_str());
            ++report_->skipped;
            return std::nullopt;
        }
        FilesToPatch::UpdateObject object{source, written.bytes, written.sha256};
        const std::string final = dir + ObjectFileName(object.sha256);
        if (::rename(temp.c_str(), final.c_str()) != 0) {
            ::unlink(temp.c_str());
            Failed("cannot create " + final + ": " + std::strerror(errno));
            return std::nullopt;
        }
        ++report_->written;
        report_->bytesWritten += written.bytes;
        known_[{target, source}] = object;
        return object;
    }

    const ObjectOptions& options_;
    ObjectReport* report_;
    std::string* error_;
    // (target SHA-256, source prefix) to the object that makes it.
    std::map<std::pair<std::string, std::string>, FilesToPatch::UpdateObject> known_;
    // The builds deltas lead from, newest first.
    std::vector<std::pair<std::string, Manifest>> sources_;
};

}  // namespace

bool AddBuildObjects(const ObjectOptions& options, std::vector<PublishedFile>* files,
                     ObjectReport* report, std::string* error) {
    error->clear();
    Writer writer(options, report, error);
    if (!writer.Begin())
        return false;
    for (PublishedFile& file : *files)
        if (!writer.Add(&file))
            return false;
    return writer.End();
}

bool UnusedObjects(const std::string& base, const std::vector<std::string>& keptFolders,
                   std::vector<std::string>* unused, std::string* error) {
    std::set<std::string> used;
    std::set<std::string> sources;  // prefixes of what the kept builds hold
    std::vector<Manifest> manifests;
    for (const std::string& folder : keptFolders) {
        manifests.emplace_back();
        if (!ReadManifest(base + folder, &manifests.back())) {
            // Its objects cannot be told apart from the unused ones.
            *error = "cannot read " + base + folder + kManifestFileName + ": " +
                     std::strerror(errno) + "; no object was removed";
            return false;
        }
        for (const auto& [name, entry] : manifests.back())
            sources.insert(entry.Sha256Tag().substr(0, FilesToPatch::kSourcePrefixLength));
    }
    for (const Manifest& manifest : manifests)
        for (const auto& [name, entry] : manifest)
            for (const FilesToPatch::UpdateObject& object : entry.objects)
                if (object.source.empty() || sources.count(object.source))
                    used.insert(ObjectFileName(object.sha256));
    const std::string dir = ObjectsDir(base);
    if (DIR* d = ::opendir(dir.c_str())) {
        while (dirent* e = ::readdir(d)) {
            const std::string name = e->d_name;
            if (name != "." && name != ".." && !used.count(name))
                unused->push_back(std::string(kObjectsFolder) + "/" + name);
        }
        ::closedir(d);
    }
    std::sort(unused->begin(), unused->end());
    return true;
}

ObjectsInfo CountObjects(const std::string& base) {
    ObjectsInfo info;
    const std::string dir = ObjectsDir(base);
    if (DIR* d = ::opendir(dir.c_str())) {
        while (dirent* e = ::readdir(d)) {
            const int64_t size = e->d_name[0] == '.' ? -1 : FileSize(dir + e->d_name);
            if (size >= 0) {
                ++info.count;
                info.bytes += size;
            }
        }
        ::closedir(d);
    }
    return info;
}

}  // namespace lvpublish
