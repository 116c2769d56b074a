#pragma once
// Building blocks for tests that patch a real game folder from a real server.

#include <map>
#include <string>
#include <vector>

#include "patch/PatchServer.h"

// Writes patch_server_address.txt in the current folder so the launcher talks
// to 127.0.0.1:port under `serverPath`.
void PointAt(int port, const std::string& serverPath = "/lanternvale_patch/");

// A build on disk below `root`: root/lanternvale_patch/build_folder.txt names
// `buildFolder`, and root/lanternvale_patch/<buildFolder> holds the files and
// their manifest.
struct BuildFile {
    std::string name;
    std::string content;
    int version = 1;
    std::string tags;  // e.g. "GAME_EXE"; a SIZE tag is added when withSize
    bool withSize = true;
};
void PublishBuild(const std::string& root, const std::vector<BuildFile>& files,
                  const std::string& buildFolder = "build_1/");

// The manifest line of one file.
std::string ManifestLine(const BuildFile& file);

struct ProcessResult {
    int exitCode = -1;
    std::string out;
    std::string err;
};
// Runs a program to its end with the given working folder, capturing output.
ProcessResult RunProcess(const std::vector<std::string>& argv, const std::string& cwd = ".");

// Starts a program with its output thrown away and returns its process id,
// for a test that ends it at a moment of its choosing (KillNow).
int StartQuietly(const std::vector<std::string>& argv);
// SIGKILL, and waits until the process is gone.
void KillNow(int pid);

// Processes whose program file is `path` (an absolute path).
std::vector<int> ProcessesRunning(const std::string& path);

// Resets the process-wide server settings (each test is its own launcher).
struct FreshSettings {
    FreshSettings() { g_patchServer = InitialPatchServerSettings(); }
    ~FreshSettings() { g_patchServer = InitialPatchServerSettings(); }
};
