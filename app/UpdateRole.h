#pragma once
// The update role of a start: finishes the self-update hand-off by copying
// NoxPatch2011_new.exe over NoxPatch2011.exe, checking the copy, marking the
// restart and starting the replaced launcher. Free of any toolkit so that it
// can be tested on its own; message boxes go through `showBox`.

#include <chrono>
#include <functional>
#include <string>

#include "fileset/FilesToPatch.h"

struct UpdateRole {
    using ShowBox = std::function<void(const std::string& caption, const std::string& text)>;
    using Copy = std::function<bool(const std::string& source, const std::string& target)>;

    // File name of the running program; only NoxPatch2011_new.exe has an old
    // launcher to wait for.
    std::string ownProgramName;
    ShowBox showBox;
    // The old launcher releases its program file when it has ended; until
    // then the copy fails and is tried again at this pace, within this bound.
    std::chrono::milliseconds retryInterval{100};
    std::chrono::milliseconds retryBound{30000};
    Copy copy;  // platform::CopyFileOver unless a test replaces it

    // Runs the role to its end. Returns the id of the restarted launcher, or
    // 0 when none was started.
    int Run() const;
};

// True when a start should take the update role.
bool UpdateHandOffPending();
