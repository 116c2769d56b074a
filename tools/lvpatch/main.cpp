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
#include "patch/PatchRun.h"
#include "patch/Transfer.h"

namespace {

const char kUsage[] =
    "Usage: lvpatch [--dir GAME_FOLDER] [--parallel N] [--repair]\n"
    "\n"
    "Brings a game folder up to date with its patch server (one patch run).\n"
    "GAME_FOLDER defaults to the current directory; its patch_server_address.txt,\n"
    "if present, says which server to use.\n"
    "\n"
    "On a terminal a live line shows the stage, progress, rate and time left;\n"
    "otherwise each stage and status text is printed on its own line.\n"
    "Messages meant for the player go to standard error; the run goes on.\n"
    "After a success the game program (\"game: NAME\") and the test client\n"
    "(\"test client: NAME\") are printed, each when the build names one.\n"
    "--parallel N keeps up to N requests in flight in the size and download\n"
    "stages (1 to 64; default: the build's setting).\n"
    "--repair re-hashes every file whose manifest line carries a SHA256 tag and\n"
    "downloads the ones that differ, then prints how many it checked and repaired.\n"
    "\n"
    "Exit status: 0 success, 1 the run failed, 2 bad usage or unusable folder.\n";

int UsageError(const std::string& reason) {
    std::fprintf(stderr, "lvpatch: %s\n", reason.c_str());
    std::fprintf(stderr, "Try 'lvpatch --help'.\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    std::string folder = ".";
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        }
        if (arg == "--repair") {
            g_patchRunOptions.repair = true;
        } else if (arg == "--dir" && i + 1 < argc) {
            folder = argv[++i];
        } else if (arg.rfind("--dir=", 0) == 0) {
            folder = arg.substr(6);
        } else if (arg == "--parallel" && i + 1 < argc) {
            char* end = nullptr;
            long n = std::strtol(argv[++i], &end, 10);
            if (*argv[i] == '\0' || *end != '\0' || n < 1 || n > 64)
                return UsageError("--parallel takes a number from 1 to 64");
            g_parallelTransfers = static_cast<int>(n);
        } else {
            return UsageError("unexpected argument '" + arg + "'");
        }
    }
    if (folder.empty())
        return UsageError("the game folder name is empty");
    if (::chdir(folder.c_str()) != 0)
        return UsageError("cannot enter game folder '" + folder + "': " + std::strerror(errno));

    curl_global_init(CURL_GLOBAL_ALL);

    ConsoleSurface surface(stdout, stderr, ::isatty(fileno(stdout)) == 1);
    std::thread worker(PatchThreadProc, static_cast<void*>(&surface));
    bool success = surface.WaitForFinish();
    worker.join();

    if (g_patchRunOptions.repair)
        std::printf("repair: %d files checked, %d %s\n", g_repairCounts.checked,
                    g_repairCounts.damaged, success ? "repaired" : "damaged, not repaired");
    if (!success)
        return 1;
    if (!surface.m_gameExe.empty())
        std::printf("game: %s\n", surface.m_gameExe.c_str());
    if (!surface.m_testClient.empty())
        std::printf("test client: %s\n", surface.m_testClient.c_str());
    return 0;
}
