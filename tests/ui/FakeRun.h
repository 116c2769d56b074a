#pragma once
// What the stand-in program (fake_game) recorded when it ran under a name.

#include <signal.h>

#include <cstdint>
#include <fstream>
#include <optional>
#include <set>
#include <sstream>
#include <string>

struct FakeRun {
    std::string folder;
    int argumentCount = -1;
    std::set<int> descriptors;
    std::string blockedSignals;  // hexadecimal mask, as the kernel shows it
    std::string ignoredSignals;
    std::set<std::string> environment;
};

// A signal mask as the kernel shows it, without the signals the C library
// reserves for itself between the classic and the real-time ones: its spawn
// leaves those ignored in every child, whatever the parent did.
inline uint64_t MaskWithoutLibrarySignals(const std::string& hexadecimal) {
    uint64_t mask = std::stoull(hexadecimal, nullptr, 16);
    for (int signal = 32; signal < SIGRTMIN; ++signal)
        mask &= ~(uint64_t{1} << (signal - 1));
    return mask;
}

// The record of the run as `name` in the current folder, if there was one.
inline std::optional<FakeRun> ReadFakeRun(const std::string& name) {
    std::ifstream in(name + ".ran");
    if (!in)
        return std::nullopt;
    FakeRun run;
    std::getline(in, run.folder);
    std::string line;
    std::getline(in, line);
    run.argumentCount = std::stoi(line);
    for (int i = 0; i < run.argumentCount; ++i)
        std::getline(in, line);
    while (std::getline(in, line)) {
        std::istringstream words(line);
        std::string key;
        words >> key;
        if (key == "fd") {
            int fd = -1;
            words >> fd;
            run.descriptors.insert(fd);
        } else if (key == "SigBlk:") {
            words >> run.blockedSignals;
        } else if (key == "SigIgn:") {
            words >> run.ignoredSignals;
        } else if (key == "env") {
            run.environment.insert(line.substr(4));
        }
    }
    return run;
}
