#include "PatchServerFixture.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <stdexcept>

#include "TestFolder.h"

extern char** environ;

void PointAt(int port, const std::string& serverPath) {
    WriteFile("patch_server_address.txt",
              "http://127.0.0.1:" + std::to_string(port) + serverPath + "\n");
}

std::string ManifestLine(const BuildFile& file) {
    std::string line = file.name + " " + std::to_string(file.version);
    if (!file.tags.empty())
        line += " " + file.tags;
    if (file.withSize)
        line += " SIZE:" + std::to_string(file.content.size());
    return line;
}

void PublishBuild(const std::string& root, const std::vector<BuildFile>& files,
                  const std::string& buildFolder) {
    const std::string base = root + "/lanternvale_patch/";
    std::string manifest;
    for (const BuildFile& file : files) {
        // The launcher asks for a name with its backslashes turned into slashes.
        std::string onDisk = file.name;
        std::replace(onDisk.begin(), onDisk.end(), '\\', '/');
        WriteFile(base + buildFolder + onDisk, file.content);
        manifest += ManifestLine(file) + "\n";
    }
    WriteFile(base + buildFolder + "current2.txt", manifest);
    WriteFile(base + "build_folder.txt", buildFolder + "\n");
}

ProcessResult RunProcess(const std::vector<std::string>& argv, const std::string& cwd) {
    int outPipe[2];
    int errPipe[2];
    if (::pipe2(outPipe, O_CLOEXEC) != 0 || ::pipe2(errPipe, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe failed");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, outPipe[1], 1);
    posix_spawn_file_actions_adddup2(&actions, errPipe[1], 2);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    std::string startIn = cwd;
    posix_spawn_file_actions_addchdir_np(&actions, startIn.c_str());
    std::vector<std::string> args = argv;
    std::vector<char*> raw;
    for (std::string& a : args)
        raw.push_back(a.data());
    raw.push_back(nullptr);
    pid_t pid;
    int rc = ::posix_spawn(&pid, raw[0], &actions, nullptr, raw.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(outPipe[1]);
    ::close(errPipe[1]);
    if (rc != 0)
        throw std::runtime_error("cannot start " + argv[0]);

    ProcessResult result;
    pollfd fds[2] = {{outPipe[0], POLLIN, 0}, {errPipe[0], POLLIN, 0}};
    std::string* sinks[2] = {&result.out, &result.err};
    int open = 2;
    char buffer[8192];
    while (open > 0) {
        if (::poll(fds, 2, -1) < 0)
            continue;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP)))
                continue;
            ssize_t n = ::read(fds[i].fd, buffer, sizeof buffer);
            if (n > 0) {
                sinks[i]->append(buffer, static_cast<size_t>(n));
            } else {
                ::close(fds[i].fd);
                fds[i].fd = -1;
                --open;
            }
        }
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return result;
}

int StartQuietly(const std::vector<std::string>& argv) {
    std::vector<std::string> args = argv;
    std::vector<char*> raw;
    for (std::string& a : args)
        raw.push_back(a.data());
    raw.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    pid_t pid = 0;
    int rc = ::posix_spawn(&pid, raw[0], &actions, nullptr, raw.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0)
        throw std::runtime_error("cannot start " + argv[0]);
    return pid;
}

void KillNow(int pid) {
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
}

std::vector<int> ProcessesRunning(const std::string& path) {
    std::vector<int> pids;
    DIR* proc = ::opendir("/proc");
    while (dirent* entry = proc ? ::readdir(proc) : nullptr) {
        int pid = std::atoi(entry->d_name);
        if (pid <= 0)
            continue;
        char target[4096];
        std::string link = "/proc/" + std::to_string(pid) + "/exe";
        ssize_t n = ::readlink(link.c_str(), target, sizeof target - 1);
        if (n > 0 && std::string(target, static_cast<size_t>(n)) == path)
            pids.push_back(pid);
    }
    if (proc)
        ::closedir(proc);
    return pids;
}
