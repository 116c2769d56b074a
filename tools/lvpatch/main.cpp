// lvpatch: one patch run of a game folder from a terminal or a script.

#include <curl/curl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "ConsoleSurface.h"
#include "fileset/FilesToPatch.h"
#include "patch/PatchRun.h"
#include "patch/PatchServer.h"
#include "patch/RunContext.h"
#include "state/Settings.h"
#include "state/TextFile.h"

namespace {

const char kUsageLine[] =
    "Usage: lvpatch [--dir GAME_FOLDER] [--parallel N] [--limit-rate RATE] [--repair]\n"
    "               [--plain-files] [--mirrors] [--verbose | --json] [--version]\n";

const char kHelp[] =
    "\n"
    "Brings a game folder up to date with its patch server (one patch run).\n"
    "GAME_FOLDER defaults to the current directory; its patch_server_address.txt,\n"
    "if present, says which server to use.\n"
    "\n"
    "On a terminal a live line shows the stage, progress, rate and time left;\n"
    "otherwise each stage and status text is printed on its own line with the\n"
    "time, progress texts at most once a second.\n"
    "Messages meant for the player go to standard error; the run goes on. After\n"
    "a failure one more line there says what failed (a request's URL and status,\n"
    "a file and its write error, or a check). After a success a summary line,\n"
    "then the game program (\"game: NAME\") and the test client\n"
    "(\"test client: NAME\"), each when the build names one.\n"
    "\n"
    "  --parallel N  up to N requests in flight in the size and download stages\n"
    "              (1 to 64; default: the build's setting).\n"
    "  --repair    re-hash every file whose manifest line carries a SHA256 tag,\n"
    "              fetch the ones that differ, and say how many were checked and\n"
    "              repaired.\n"
    "  --limit-rate RATE  caps the run's downloads, all together, at RATE bytes a\n"
    "              second (for example 500K, 2M, 2097152, 500KiB/s or 2MiB/s; K\n"
    "              and M are 1024 and 1024^2), or turns the cap off (off),\n"
    "              whatever the game folder's NoxPatch2011_Settings.cfg says.\n"
    "  --plain-files  fetch changed files whole, even where the server offers\n"
    "              compressed copies and deltas.\n"
    "  --mirrors   also fetch from the mirrors the server's mirror list names,\n"
    "              spreading the transfers over them and going on from another\n"
    "              when one fails (on already when the launcher is built so).\n"
    "  --verbose   every request (URL, status, bytes, time) and every file fetched\n"
    "              with the reason (missing, size, version, hash, size unknown),\n"
    "              on standard error.\n"
    "  --json      the same events as JSON lines on standard output instead (see\n"
    "              README, \"lvpatch\").\n"
    "  --version   print the version.\n"
    "\n"
    "Control bytes in names and texts from the server are shown as \\xNN.\n"
    "Exit status: 0 success, 1 the run failed, 2 bad usage or unusable folder.\n";

int UsageError(const std::string& reason) {
    std::fprintf(stderr, "lvpatch: %s\n", EscapeForTerminal(reason, false).c_str());
    std::fputs(kUsageLine, stderr);
    return 2;
}

// The entries of the manifest the run left in the game folder.
int ManifestEntries() {
    FilesToPatch manifest;
    ForEachLine(kManifestFileName, [&](const std::string& line) { manifest.ParseLine(line); });
    return static_cast<int>(manifest.files.size());
}

}  // namespace

int main(int argc, char** argv) {
    std::string folder = ".";
    bool verbose = false;
    bool json = false;
    RunContext run;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            std::fputs(kUsageLine, stdout);
            std::fputs(kHelp, stdout);
            return 0;
        }
        if (arg == "--version") {
            std::printf("lvpatch %s\n", LV_VERSION);
            return 0;
        }
        if (arg == "--mirrors") {
            run.mirrorList = true;
            continue;
        }
        if (arg == "--repair" || arg == "--plain-files") {
            (arg == "--repair" ? run.repair : run.plainFilesOnly) = true;
            continue;
        }
        if (arg == "--dir") {
            if (i + 1 >= argc)
                return UsageError("--dir needs a value (the game folder)");
            folder = argv[++i];
        } else if (arg.rfind("--dir=", 0) == 0) {
            folder = arg.substr(6);
        } else if (arg == "--parallel") {
            if (i + 1 >= argc)
                return UsageError("--parallel needs a value (a number from 1 to 64)");
            char* end = nullptr;
            long n = std::strtol(argv[++i], &end, 10);
            if (*argv[i] == '\0' || *end != '\0' || n < 1 || n > 64)
                return UsageError("--parallel takes a number from 1 to 64");
            run.width = static_cast<int>(n);
        } else if (arg == "--limit-rate" || arg.rfind("--limit-rate=", 0) == 0) {
            std::string rate;
            if (arg.size() > 12)
                rate = arg.substr(13);
            else if (i + 1 < argc)
                rate = argv[++i];
            else
                return UsageError("--limit-rate needs a value (a rate such as 2MiB/s, or off)");
            run.rateOverride.active = true;
            if (rate != "off") {
                run.rateOverride.bytesPerSecond = ParseConsoleRate(rate);
                if (!run.rateOverride.bytesPerSecond)
                    return UsageError("'" + rate +
                                      "' is not a rate such as 500K, 2M, 2097152 or 2MiB/s");
            }
        } else if (arg == "--verbose" || arg == "-v") {
            verbose = true;
        } else if (arg == "--json") {
            json = true;
        } else {
            return UsageError("unexpected argument '" + arg + "'");
        }
    }
    if (verbose && json)
        return UsageError("--verbose and --json exclude each other");
    if (folder.empty())
        return UsageError("the game folder name is empty");
    if (::chdir(folder.c_str()) != 0)
        return UsageError("cannot enter game folder '" + folder + "': " + std::strerror(errno));

    curl_global_init(CURL_GLOBAL_ALL);

    using Mode = ConsoleSurface::Mode;
    Mode mode = json ? Mode::kJson : ::isatty(fileno(stdout)) == 1 ? Mode::kLive : Mode::kLines;
    ConsoleSurface surface(stdout, stderr, mode, verbose);
    run.log = &surface;
    std::thread worker([&] { PatchThreadProc(surface, run); });
    bool success = surface.WaitForFinish();
    worker.join();

    if (run.repair)
        surface.PrintRepair(run.repairCounts.checked, run.repairCounts.damaged, success);
    const int checked = success ? ManifestEntries() : 0;
    if (json) {
        surface.PrintResult(success, checked);
        return success ? 0 : 1;
    }
    if (!success) {
        std::string cause = surface.FailureCause();
        if (!cause.empty())
            std::fprintf(stderr, "lvpatch: failed: %s\n", EscapeForTerminal(cause, false).c_str());
        return 1;
    }
    std::printf("%s\n", surface.Summary(checked).c_str());
    if (!surface.m_gameExe.empty())
        std::printf("game: %s\n", EscapeForTerminal(surface.m_gameExe, false).c_str());
    if (!surface.m_testClient.empty())
        std::printf("test client: %s\n", EscapeForTerminal(surface.m_testClient, false).c_str());
    return 0;
}
