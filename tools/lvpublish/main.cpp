// lvpublish: publishes a game build to a patch-server folder.

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "KeyCommands.h"
#include "ManageMain.h"
#include "Publish.h"
#include "Signing.h"
#include "tools/lvpatch/ConsoleSurface.h"

namespace {

const char kUsage[] =
    "Usage: lvpublish BUILD_DIR SERVER_ROOT [--build-folder NAME/] [--dry-run]\n"
    "                 (--game-exe PATH | --no-game-exe) [--test-client PATH]\n"
    "                 [--sign-key KEYFILE [--state-dir DIR] [--expires DAYS]\n"
    "                 [--product NAME] [--channel NAME]]\n"
    "                 [--delta [--delta-from N] [--delta-level L]]\n"
    "                 [--mirror URL]... [--no-mirrors]\n"
    "       lvpublish list SERVER_ROOT\n"
    "       lvpublish rollback SERVER_ROOT BUILD\n"
    "       lvpublish prune SERVER_ROOT --keep N [--dry-run]\n"
    "       lvpublish keygen KEYFILE\n"
    "       lvpublish resign SERVER_ROOT --sign-key KEYFILE [--state-dir DIR]\n"
    "                 [--expires DAYS] [--product NAME] [--channel NAME]\n"
    "       lvpublish public-key KEYFILE\n"
    "       lvpublish sign-keys SERVER_ROOT --root-key KEYFILE --build-key HEX[:DAYS]...\n"
    "       lvpublish rotate SERVER_ROOT --root-key KEYFILE --new-key KEYFILE\n"
    "                 [--days DAYS] [--grace DAYS]\n"
    "\n"
    "Publishes the files of BUILD_DIR (all of its folders) as a new build under\n"
    "SERVER_ROOT/lanternvale_patch/, the folder a web server serves to launchers,\n"
    "and makes it the current build.\n"
    "\n"
    "  --build-folder NAME/  name of the new build folder; it must not exist.\n"
    "                        Default: build_N/, one above the highest there is.\n"
    "  --game-exe PATH       the game program, tagged GAME_EXE (Play starts it).\n"
    "  --no-game-exe         publish a build without a game program (Play then has\n"
    "                        nothing to start); without either option lvpublish\n"
    "                        refuses the build.\n"
    "  --test-client PATH    the test client, tagged TEST_CLIENT.\n"
    "                        PATH is a name inside BUILD_DIR or a path to the file.\n"
    "                        One file may be both; its line then has no room for\n"
    "                        the SHA256 tag, and the next publish compares bytes.\n"
    "  --sign-key KEYFILE    sign the build with a key from 'lvpublish keygen', for\n"
    "                        launchers built with its public key (see README).\n"
    "                        KEYFILE must be readable by you only (chmod 600) and\n"
    "                        lie outside BUILD_DIR and SERVER_ROOT.\n"
    "  --state-dir DIR       where the highest serial signed with KEYFILE is kept\n"
    "                        (default: beside it, as KEYFILE.serial); never inside\n"
    "                        SERVER_ROOT.\n"
    "  --expires DAYS        how long the signature holds (default 7); renew it\n"
    "                        with 'lvpublish resign' before then.\n"
    "  --product NAME        the product the statement names (default\n"
    "                        lantern-vale); launchers take only their own.\n"
    "  --channel NAME        the channel it names (default live), e.g. staging.\n"
    "\n"
    "Versions carry over from the current build: unchanged files keep theirs,\n"
    "changed and returning files get one above any this server has used, new\n"
    "files get 1. The new build is written and flushed completely before\n"
    "build_folder.txt is switched to it in one step, so launchers patching\n"
    "meanwhile see the old build or the new one. Earlier builds stay in place.\n"
    "Unchanged files are hard links to the previous build's copies (copies where\n"
    "the file system cannot link), so a publish writes only what changed.\n"
    "Staging folders an interrupted publish left are removed.\n"
    "  --dry-run             check, compare and report everything; write nothing.\n"
    "  --delta               also write, under lanternvale_patch/objects/, a zstd-\n"
    "                        compressed copy of each file and a delta to it from\n"
    "                        its copy in each of the last N builds (--delta-from,\n"
    "                        default 3, 0 to 8), at zstd level L (--delta-level,\n"
    "                        1 to 22, default 19; higher is smaller and slower).\n"
    "                        Launchers that know them fetch the smallest that fits\n"
    "                        the file they have; others fetch the plain files as\n"
    "                        before. An object not smaller than the one it would\n"
    "                        replace is not written; prune removes the unused.\n"
    "  --mirror URL          a mirror of SERVER_ROOT/lanternvale_patch/ at URL\n"
    "                        (ending in /lanternvale_patch/), for the mirror list\n"
    "                        lanternvale_patch/mirrors.txt; repeat it for more, in\n"
    "                        order. Without it the list of the publish before is\n"
    "                        kept; --no-mirrors removes it. A signed build signs\n"
    "                        the list for itself. Copy the new build to the\n"
    "                        mirrors before players reach them: a mirror still on\n"
    "                        another build is skipped, not mixed in.\n"
    "\n"
    "list      one line a build, oldest first: folder, 'current', size, files.\n"
    "rollback  makes BUILD (e.g. build_2) the current build in one step, once\n"
    "          all its files are there; later publishes still continue above\n"
    "          every version used.\n"
    "prune     removes all but the N newest builds; the current build, the one\n"
    "          published before it and the one current before the last switch\n"
    "          always stay (launchers may still be patching from them); then the\n"
    "          objects no kept build names, and the deltas from removed builds.\n"
    "To update the launcher itself, put the new program in the build as\n"
    "NoxPatch2011_new.exe.\n"
    "\n"
    "public-key  prints the public half of a key file.\n"
    "sign-keys   writes SERVER_ROOT/lanternvale_patch/build_keys.txt: the build\n"
    "            keys (1 to 8, each valid DAYS, default 90) that may sign builds\n"
    "            for launchers built with the root key's public half.\n"
    "rotate      adds the public half of --new-key to that list (valid --days,\n"
    "            default 90) and keeps its still-valid keys for --grace days\n"
    "            (default 14) at most.\n"
    "\n"
    "Exit status: 0 done, 1 refused or failed (nothing switched), 2 bad usage.\n";

int UsageError(const std::string& reason) {
    std::fprintf(stderr, "lvpublish: %s\n", reason.c_str());
    std::fprintf(stderr, "Try 'lvpublish --help'.\n");
    return 2;
}

const char* Plural(int count) {
    return count == 1 ? "file" : "files";
}

// The names of one kind of change, a few of them.
void PrintNames(const char* label, const std::vector<std::string>& names) {
    constexpr size_t kShown = 20;
    std::printf("  %-10s %4zu %s\n", label, names.size(), Plural(static_cast<int>(names.size())));
    for (size_t i = 0; i < names.size() && i < kShown; ++i)
        std::printf("               %s\n", names[i].c_str());
    if (names.size() > kShown)
        std::printf("               ... and %zu more\n", names.size() - kShown);
}

void PrintSummary(const lvpublish::PublishReport& report) {
    using lvpublish::Change;
    for (const std::string& leftover : report.leftovers)
        std::printf("%s the leftover %s of an interrupted publish\n",
                    report.dryRun ? "Would remove" : "Removed", leftover.c_str());
    std::printf("%s %s", report.dryRun ? "Would publish" : "Published", report.buildFolder.c_str());
    if (report.hadPrevious)
        std::printf(" (previous build: %s)", report.previousBuildFolder.c_str());
    std::printf("\n");
    std::vector<std::string> added, changed;
    for (const lvpublish::PublishedFile& file : report.files) {
        if (file.change == Change::kAdded)
            added.push_back(file.name + " (version " + std::to_string(file.version) + ")");
        else if (file.change == Change::kChanged)
            changed.push_back(file.name + " (version " + std::to_string(file.version) + ")");
    }
    PrintNames("added", added);
    PrintNames("changed", changed);
    int unchanged = report.Count(Change::kUnchanged);
    std::printf("  %-10s %4d %s\n", "unchanged", unchanged, Plural(unchanged));
    PrintNames("removed", report.removed);
    std::printf("%s downloads %s (%" PRId64 " bytes).\n",
                report.hadPrevious ? "A player of the previous build" : "A new player",
                FormatBytes(report.DownloadBytes()).c_str(), report.DownloadBytes());
    std::printf("%s %d %s, %s %d %s (%s).\n", report.dryRun ? "Would link" : "Linked",
                report.linked, Plural(report.linked), report.dryRun ? "write" : "wrote",
                report.copied, Plural(report.copied), FormatBytes(report.bytesWritten).c_str());
    if (report.objectsWritten + report.objectsReused + report.objectsSkipped > 0)
        std::printf(
            "Objects: wrote %d (%s), named %d again, left out %d not smaller; %d "
            "delta tags.\n",
            report.objectsWritten, FormatBytes(report.objectBytes).c_str(), report.objectsReused,
            report.objectsSkipped, report.deltaTags);
    for (const std::string& planned : report.plannedObjects)
        std::printf("Would write %s\n", planned.c_str());
    for (const std::string& mirror : report.mirrors)
        std::printf("%s %s\n", report.dryRun ? "Would list mirror" : "Mirror:", mirror.c_str());
    if (report.dryRun)
        std::printf("Dry run: nothing was written.\n");
    for (const std::string& note : report.notes)
        std::printf("note: %s\n", note.c_str());
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 1 && lvpublish::IsManageCommand(argv[1]))
        return lvpublish::RunManageCommand(argc, argv);
    if (argc > 1 && lvpublish::IsSigningCommand(argv[1]))
        return lvpublish::RunSigningCommand(argc, argv);
    if (argc > 1 && lvpublish::IsKeyCommand(argv[1]))
        return lvpublish::RunKeyCommand(argc, argv);
    lvpublish::PublishOptions options;
    std::vector<std::string> positional;
    std::string deltaFrom;
    std::string deltaLevel;
    struct Valued {
        const char* flag;
        std::string* value;
    } valued[] = {{"--build-folder", &options.buildFolder},
                  {"--game-exe", &options.gameExe},
                  {"--test-client", &options.testClient},
                  {"--sign-key", &options.signKeyFile},
                  {"--expires", &options.expiresDays},
                  {"--state-dir", &options.stateDir},
                  {"--product", &options.product},
                  {"--channel", &options.channel},
                  {"--delta-from", &deltaFrom},
                  {"--delta-level", &deltaLevel}};

    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        }
        if (arg == "--mirror" || arg.rfind("--mirror=", 0) == 0) {
            if (arg == "--mirror" && i + 1 >= argc)
                return UsageError("--mirror needs a value (a base URL)");
            std::string url = arg == "--mirror" ? argv[++i] : arg.substr(9);
            if (url.empty())
                return UsageError("--mirror needs a value (a base URL)");
            options.mirrors.push_back(url);
            continue;
        }
        if (arg == "--no-mirrors") {
            options.noMirrors = true;
            continue;
        }
        if (arg == "--dry-run" || arg == "--no-game-exe" || arg == "--delta") {
            (arg == "--dry-run" ? options.dryRun
             : arg == "--delta" ? options.delta
                                : options.noGameExe) = true;
            continue;
        }
        bool matched = false;
        for (const Valued& option : valued) {
            std::string flag = option.flag;
            std::string value;
            if (arg == flag) {
                if (i + 1 >= argc)
                    return UsageError(flag + " needs a value");
                value = argv[++i];
            } else if (arg.rfind(flag + "=", 0) == 0) {
                value = arg.substr(flag.size() + 1);
            } else {
                continue;
            }
            if (!option.value->empty())
                return UsageError(flag + " given twice");
            if (value.empty())
                return UsageError(flag + " needs a value");
            *option.value = value;
            matched = true;
            break;
        }
        if (matched)
            continue;
        if (arg.size() > 1 && arg[0] == '-')
            return UsageError("unknown option '" + arg + "'");
        positional.push_back(arg);
    }
    if (positional.size() != 2)
        return UsageError("expected BUILD_DIR and SERVER_ROOT");
    struct Counted {
        const char* flag;
        const std::string& text;
        int low, high;
        int* value;
    } counted[] = {{"--delta-from", deltaFrom, 0, 8, &options.deltaFrom},
                   {"--delta-level", deltaLevel, 1, 22, &options.deltaLevel}};
    for (const Counted& option : counted) {
        if (option.text.empty())
            continue;
        if (!options.delta)
            return UsageError(std::string(option.flag) + " needs --delta");
        char* end = nullptr;
        long value = std::strtol(option.text.c_str(), &end, 10);
        if (*end != '\0' || value < option.low || value > option.high)
            return UsageError(std::string(option.flag) + " takes " + std::to_string(option.low) +
                              " to " + std::to_string(option.high));
        *option.value = static_cast<int>(value);
    }
    if (!options.gameExe.empty() && options.noGameExe)
        return UsageError("--game-exe and --no-game-exe exclude each other");
    options.buildDir = positional[0];
    options.serverRoot = positional[1];

    lvpublish::PublishOutcome outcome = lvpublish::Publish(options);
    if (!outcome.ok) {
        if (outcome.problems.size() > 1) {
            for (const std::string& problem : outcome.problems)
                std::fprintf(stderr, "lvpublish: %s\n", problem.c_str());
            std::fprintf(stderr, "lvpublish: %zu files cannot be published; nothing changed\n",
                         outcome.problems.size());
        } else {
            std::fprintf(stderr, "lvpublish: %s\n", outcome.error.c_str());
        }
        return 1;
    }
    PrintSummary(outcome.report);
    return 0;
}
