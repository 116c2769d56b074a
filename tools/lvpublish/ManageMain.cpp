// The commands list, rollback and prune of lvpublish.

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "Manage.h"
#include "ManageMain.h"
#include "tools/lvpatch/ConsoleSurface.h"

namespace lvpublish {

namespace {

int Usage(const std::string& reason) {
    std::fprintf(stderr, "lvpublish: %s\n", reason.c_str());
    std::fprintf(stderr, "Try 'lvpublish --help'.\n");
    return 2;
}

int Report(const ManageOutcome& outcome) {
    for (const std::string& line : outcome.done)
        std::printf("%s\n", line.c_str());
    if (!outcome.ok) {
        std::fprintf(stderr, "lvpublish: %s\n", outcome.error.c_str());
        return 1;
    }
    return 0;
}

int List(const std::vector<std::string>& args) {
    if (args.size() != 1)
        return Usage("list needs SERVER_ROOT");
    ServerListing listing = ListServer(args[0]);
    if (!listing.ok) {
        std::fprintf(stderr, "lvpublish: %s\n", listing.error.c_str());
        return 1;
    }
    for (const BuildInfo& build : listing.builds) {
        if (!build.hasManifest) {
            std::printf("%-24s %-8s (no manifest: not a build)\n", build.folder.c_str(), "");
            continue;
        }
        std::printf("%-24s %-8s %10s %7d %s\n", build.folder.c_str(),
                    build.folder == listing.current ? "current" : "",
                    FormatBytes(build.bytes).c_str(), build.files,
                    build.files == 1 ? "file" : "files");
    }
    if (listing.objects > 0)
        std::printf("%-24s %-8s %10s %7d %s (compressed copies and deltas)\n", "objects/", "",
                    FormatBytes(listing.objectBytes).c_str(), listing.objects,
                    listing.objects == 1 ? "file" : "files");
    return 0;
}

int Rollback(const std::vector<std::string>& args) {
    if (args.size() != 2)
        return Usage("rollback needs SERVER_ROOT and BUILD");
    return Report(lvpublish::Rollback(args[0], args[1]));
}

int Prune(const std::vector<std::string>& args, const std::string& keep, bool dryRun) {
    if (args.size() != 1)
        return Usage("prune needs SERVER_ROOT");
    if (keep.empty())
        return Usage("prune needs --keep N");
    char* end = nullptr;
    long count = std::strtol(keep.c_str(), &end, 10);
    if (*end != '\0' || count < 0 || count > 1000000)
        return Usage("--keep needs a count of 0 or more, not '" + keep + "'");
    return Report(lvpublish::Prune(args[0], static_cast<int>(count), dryRun));
}

}  // namespace

bool IsManageCommand(const char* command) {
    std::string name = command;
    return name == "list" || name == "rollback" || name == "prune";
}

int RunManageCommand(int argc, char** argv) {
    const std::string command = argv[1];
    std::vector<std::string> args;
    std::string keep;
    bool dryRun = false;
    for (int i = 2; i < argc; ++i) {
        std::string arg = argv[i];
        if (command == "prune" && arg == "--keep") {
            if (i + 1 >= argc)
                return Usage("--keep needs a value");
            keep = argv[++i];
        } else if (command == "prune" && arg.rfind("--keep=", 0) == 0) {
            keep = arg.substr(7);
            if (keep.empty())
                return Usage("--keep needs a value");
        } else if (command == "prune" && arg == "--dry-run") {
            dryRun = true;
        } else if (arg.size() > 1 && arg[0] == '-') {
            return Usage("unknown option '" + arg + "' for " + command);
        } else {
            args.push_back(arg);
        }
    }
    if (command == "list")
        return List(args);
    if (command == "rollback")
        return Rollback(args);
    return Prune(args, keep, dryRun);
}

}  // namespace lvpublish
