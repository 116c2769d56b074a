#pragma once
// The update role of a start: finishes the self-update hand-off by replacing
// NoxPatch2011.exe with the successor program this process runs from,
// checking the copy, marking the restart and starting the replaced launcher.
// Free of any toolkit so that it can be tested on its own; message boxes go
// through `showBox`.

#include <chrono>
#include <functional>
#include <string>

#include "fileset/FilesToPatch.h"
#include "platform/Platform.h"

struct UpdateRole {
    using ShowBox = std::function<void(const std::string& caption, const std::string& text)>;
    using Copy = std::function<bool(const std::string& source, const std::string& target)>;

    // File name of the running program. Only the successor (NoxPatch2011_new.exe
    // in any letter case, as the download stage found it) finishes a hand-off.
    std::string ownProgramName;
    ShowBox showBox;
    // Where the system refuses to replace a program that still runs, the old
    // launcher releases its file only once it has ended; until then the
    // replace fails and is tried again at this pace, within this bound.
    std::chrono::milliseconds retryInterval{100};
    std::chrono::milliseconds retryBound{30000};
    Copy copy;  // platform::ReplaceFileAtomically unless a test replaces it
    bool retryWhileOldLauncherRuns = platform::kReplaceFailsWhileTargetRuns;

    // True when this process is the successor an old launcher handed over to.
    bool RunsAsSuccessor() const;

    // Runs the role to its end. Returns the id of the restarted launcher, or
    // 0 when none was started. A process that is not the successor replaces
    // nothing: it only clears the stale marker.
    int Run() const;
};

// True when a start should take the update role.
bool UpdateHandOffPending();

// Removes an updating marker that no successor will finish, so that this
// start and the next ones take the normal role.
void ClearStaleHandOff();
