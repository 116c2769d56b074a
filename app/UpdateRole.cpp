#include "app/UpdateRole.h"

#include <cstdio>
#include <thread>

#include "base/NameCase.h"
#include "fileset/FilesToPatch.h"
#include "platform/Platform.h"

namespace {

const char kCopyFailedCaption[] = "Launcher Update Not Finished";
const char kCopyFailedText[] =
    "The Launcher could not replace NoxPatch2011.exe with its new version, "
    "NoxPatch2011_new.exe, so the Launcher update was not finished.  Your game files are "
    "unchanged.\n\nMake sure no other copy of the Launcher is running and that the game folder "
    "can be written to, then start the Launcher again.  It will download its new version again "
    "and retry the update.";

const char kNotIdenticalText[] =
    "ERROR CODE 100: After copying NoxPatch2011_new.exe to NoxPatch2011.exe as part of the patch "
    "process, the two files are not identical.";

const char kMarkerStuckText[] =
    "ERROR CODE 101: After copying NoxPatch2011_new.exe to NoxPatch2011.exe as part of the patch "
    "process, the patch program was unable to delete NoxPatch2011_updating.txt.  As a result, if "
    "the patch program is restarted, it'll think it has to patch itself again.";

}  // namespace

bool UpdateHandOffPending() {
    return platform::CanOpenForRead(kUpdatingMarker);
}

void ClearStaleHandOff() {
    platform::DeleteFileByName(kUpdatingMarker);
}

bool UpdateRole::RunsAsSuccessor() const {
    return SameNameIgnoringCase(ownProgramName, kNewLauncherExe);
}

int UpdateRole::Run() const {
    if (!RunsAsSuccessor()) {
        // Nobody is handing over: the marker outlived a hand-off that never
        // started. Replacing the program this process runs from is never
        // right, and waiting for a release cannot succeed.
        ClearStaleHandOff();
        return 0;
    }
    const Copy& replace = copy ? copy : Copy(platform::ReplaceFileAtomically);

    // The successor as it is named on the disk, which need not be the
    // manifest's letter case.
    const std::string& successor = ownProgramName;
    const auto deadline = std::chrono::steady_clock::now() + retryBound;
    bool copied = replace(successor, kLauncherExe);
    while (!copied && retryWhileOldLauncherRuns && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(retryInterval);
        copied = replace(successor, kLauncherExe);
    }
    if (!copied) {
        // A failed replace leaves NoxPatch2011.exe as it was. Clear the
        // hand-off so the next start shows the window, and drop the successor
        // so that the next run fetches it again and retries; but never when
        // it is the only launcher program left in the folder.
        platform::DeleteFileByName(kUpdatingMarker);
        if (platform::CanOpenForRead(kLauncherExe))
            platform::DeleteFileByName(successor);
        showBox(kCopyFailedCaption, kCopyFailedText);
        return 0;
    }

    platform::DeleteFileByName(kUpdatingMarker);

    FILE* fresh = std::fopen(successor.c_str(), "rb");
    if (!fresh || !IsIdenticalToLauncherExe(fresh)) {
        showBox("ERROR CODE 100", kNotIdenticalText);
        return 0;
    }
    if (platform::CanOpenForRead(kUpdatingMarker)) {
        showBox("ERROR CODE 101", kMarkerStuckText);
        return 0;
    }
    platform::CreateEmptyFile(kRestartedMarker);
    return platform::StartProgram(kLauncherExe).value_or(0);
}
