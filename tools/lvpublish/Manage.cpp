#include "Manage.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <map>
#include <set>

#include "NameRules.h"
#include "Objects.h"
#include "Publish.h"
#include "Signing.h"
#include "fileset/FilesToPatch.h"
#include "patch/PatchServer.h"
#include "state/TextFile.h"

namespace fs = std::filesystem;

namespace lvpublish {

namespace {

std::string BaseOf(const std::string& serverRoot) {
    return (fs::path(serverRoot) / kServerFolder).string() + "/";
}

// The server folder, locked for the caller's command.
bool LockExisting(const std::string& base, ServerLock* lock, std::string* error) {
    std::error_code ec;
    if (!fs::is_directory(base, ec)) {
        *error = "no patch-server folder " + base + " (nothing was ever published there)";
        return false;
    }
    return lock->Acquire(base, error);
}

// The first line of build_folder.txt, or empty when there is none.
std::string CurrentFolder(const std::string& base) {
    std::string folder;
    ReadCurrentFolder(base, &folder);
    return folder;
}

std::string ReadRecord(const std::string& base, const char* name) {
    std::string first;
    bool haveLine = false;
    ForEachLine(base + name, [&](const std::string& line) {
        if (!haveLine)
            first = line;
        haveLine = true;
    });
    return first;
}

// Why a launcher could not patch from `folder` as it lies on the server.
std::string IncompleteBuild(const std::string& base, const std::string& folder) {
    FilesToPatch manifest;
    if (!ForEachLine(base + folder + kManifestFileName,
                     [&](const std::string& line) { manifest.ParseLine(line); }))
        return "its manifest " + base + folder + kManifestFileName + " cannot be read";
    for (const FilesToPatch::File& entry : manifest.files) {
        std::string name = entry.name;
        std::replace(name.begin(), name.end(), '\\', '/');
        struct stat info {};
        if (::stat((base + folder + name).c_str(), &info) != 0 || !S_ISREG(info.st_mode))
            return "its file " + name + " is missing";
        if (entry.sizeKnown && entry.size >= 0 && info.st_size != entry.size)
            return "its file " + name + " has " + std::to_string(info.st_size) +
                   " bytes, the manifest says " + std::to_string(entry.size);
    }
    return "";
}

}  // namespace

ServerListing ListServer(const std::string& serverRoot) {
    ServerListing listing;
    const std::string base = BaseOf(serverRoot);
    ServerLock lock;
    if (!LockExisting(base, &lock, &listing.error))
        return listing;
    listing.current = CurrentFolder(base);
    listing.builds = ListBuilds(base);
    const ObjectsInfo objects = CountObjects(base);
    listing.objects = objects.count;
    listing.objectBytes = objects.bytes;
    listing.ok = true;
    return listing;
}

ManageOutcome Rollback(const std::string& serverRoot, const std::string& build) {
    ManageOutcome outcome;
    const std::string base = BaseOf(serverRoot);
    std::string folder = build;
    if (!folder.empty() && folder.back() != '/')
        folder.push_back('/');
    std::string problem = BuildFolderProblem(folder);
    if (!problem.empty()) {
        outcome.error = "BUILD " + build + ": " + problem;
        return outcome;
    }
    ServerLock lock;
    if (!LockExisting(base, &lock, &outcome.error))
        return outcome;

    std::error_code ec;
    if (fs::is_symlink(base + folder.substr(0, folder.size() - 1), ec) ||
        !fs::is_directory(base + folder, ec)) {
        outcome.error = "no build " + folder + " in " + base;
        return outcome;
    }
    std::string incomplete = IncompleteBuild(base, folder);
    if (!incomplete.empty()) {
        outcome.error = "cannot switch to " + folder + ": " + incomplete;
        return outcome;
    }
    const std::string current = CurrentFolder(base);
    if (current == folder) {
        outcome.ok = true;
        outcome.done.push_back(folder + " is the current build already; nothing changed");
        return outcome;
    }
    // The build launchers leave stays protected from prune.
    std::string note;
    if (!SwitchCurrentBuild(base, folder, current, &outcome.error, &note))
        return outcome;
    outcome.ok = true;
    outcome.done.push_back("current build: " + folder +
                           (current.empty() ? std::string() : " (was " + current + ")"));
    if (!note.empty())
        outcome.done.push_back("note: " + note);
    return outcome;
}

ManageOutcome Prune(const std::string& serverRoot, int keep, bool dryRun) {
    ManageOutcome outcome;
    const std::string base = BaseOf(serverRoot);
    if (keep < 0) {
        outcome.error = "--keep needs a count of 0 or more";
        return outcome;
    }
    ServerLock lock;
    if (!LockExisting(base, &lock, &outcome.error))
        return outcome;

    std::vector<BuildInfo> builds = ListBuilds(base);
    builds.erase(std::remove_if(builds.begin(), builds.end(),
                                [](const BuildInfo& b) { return !b.hasManifest; }),
                 builds.end());
    const std::string current = CurrentFolder(base);
    std::set<std::string> kept;
    for (size_t i = builds.size() > static_cast<size_t>(keep) ? builds.size() - keep : 0;
         i < builds.size(); ++i)
        kept.insert(builds[i].folder);
    kept.insert(current);
    kept.insert(ReadRecord(base, kPreviousRecordName));
    for (size_t i = 1; i < builds.size(); ++i)
        if (builds[i].folder == current)
            kept.insert(builds[i - 1].folder);

    std::vector<const BuildInfo*> removed;
    for (const BuildInfo& b : builds)
        if (!kept.count(b.folder))
            removed.push_back(&b);
    // Versions and statements first: once they are on record, a removal that
    // stops half way loses nothing a later publish needs. Nothing is removed,
    // leftovers included, before the command is sure to go ahead.
    if (!removed.empty()) {
        std::map<std::string, int32_t> retired = ReadRetiredVersions(base);
        for (const BuildInfo* b : removed) {
            FilesToPatch manifest;
            ForEachLine(base + b->folder + kManifestFileName,
                        [&](const std::string& line) { manifest.ParseLine(line); });
            for (const FilesToPatch::File& entry : manifest.files) {
                std::string name = entry.name;
                std::replace(name.begin(), name.end(), '\\', '/');
                auto [slot, inserted] = retired.emplace(name, entry.version);
                if (!inserted)
                    slot->second = std::max(slot->second, entry.version);
            }
        }
        std::string record;
        for (const auto& [name, version] : retired)
            record += name + " " + std::to_string(version) + "\n";
        std::vector<std::string> folders;
        for (const BuildInfo* b : removed)
            folders.push_back(b->folder);
        std::string error;
        if (!dryRun && (!KeepRetiredStatements(base, folders, &error) ||
                        !ReplaceFileDurably(base + kRetiredVersionsName, record, &error))) {
            outcome.error = error + "; nothing was removed";
            return outcome;
        }
    }

    std::vector<std::string> failures;
    for (const std::string& name : RemoveLeftoversOfInterruptedRuns(base, dryRun, &failures))
        outcome.done.push_back(std::string(dryRun ? "would remove " : "removed ") +
                               "the leftover " + name + " of an interrupted publish");
    if (removed.empty())
        outcome.done.push_back("nothing to remove (" + std::to_string(builds.size()) +
                               " builds, all kept)");
    for (const BuildInfo* b : removed) {
        if (!dryRun) {
            std::error_code ec;
            fs::remove_all(base + b->folder, ec);
            if (ec) {
                outcome.error = "cannot remove " + base + b->folder + ": " + ec.message();
                return outcome;
            }
        }
        outcome.done.push_back((dryRun ? "would remove " : "removed ") + b->folder);
    }
    // Then the objects only removed builds had use for: their compressed
    // copies, and the deltas that lead from their files.
    std::vector<std::string> keptFolders;
    for (const BuildInfo& b : builds)
        if (kept.count(b.folder))
            keptFolders.push_back(b.folder);
    std::vector<std::string> unused;
    if (!UnusedObjects(base, keptFolders, &unused, &outcome.error))
        return outcome;
    for (const std::string& object : unused) {
        if (!dryRun && ::unlink((base + object).c_str()) != 0 && errno != ENOENT) {
            outcome.error = "cannot remove " + base + object + ": " + std::strerror(errno);
            return outcome;
        }
        outcome.done.push_back((dryRun ? "would remove " : "removed ") + object);
    }
    if (!failures.empty()) {
        outcome.error =
            failures.front() + (failures.size() > 1
                                    ? " (and " + std::to_string(failures.size() - 1) + " more)"
                                    : std::string());
        return outcome;
    }
    outcome.ok = true;
    return outcome;
}

}  // namespace lvpublish
