#include "app/UpdateRole.h"

#include <cstdio>
#include <thread>

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

int UpdateRole::Run() const {
    const Copy& copyOver = copy ? copy : Copy(platform::CopyFileOver);

    // Only the new program was started by an old launcher that is ending;
    // anything else has nobody to wait for and gets one attempt.
    const bool oldLauncherEnding = SameNameIgnoringCase(ownProgramName, kNewLauncherExe);
    const auto deadline = std::chrono::steady_clock::now() + retryBound;
    bool copied = copyOver(kNewLauncherExe, kLauncherExe);
    while (!copied && oldLauncherEnding && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(retryInterval);
        copied = copyOver(kNewLauncherExe, kLauncherExe);
    }
    if (!copied) {
        // Clear the hand-off so the next start shows the window, and drop the
        // new program so that the next patch run fetches it again, finds it
        // different and starts a fresh hand-off.
        platform::DeleteFileByName(kUpdatingMarker);
        platform::DeleteFileByName(kNewLauncherExe);
        showBox(kCopyFailedCaption, kCopyFailedText);
        return 0;
    }

    platform::DeleteFileByName(kUpdatingMarker);

    FILE* fresh = std::fopen(kNewLauncherExe, "rb");
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
