#pragma once
// One patch run: from the first contact with the patch server to the verified
// game folder, on a worker thread, reporting through a RunSurface.

#include "patch/Trust.h"

#include "fileset/FilesToPatch.h"

// How the next run goes, set by the front end before it starts the run.
struct PatchRunOptions {
    // Re-hash the local files that carry a SHA256 tag and fetch the damaged.
    bool repair = false;
};
extern PatchRunOptions g_patchRunOptions;
// What the last repair run found; read by the front end after the run.
extern FilesToPatch::RepairCounts g_repairCounts;

// `param` is the RunSurface of the front end. Always returns 0.
unsigned PatchThreadProc(void* param);

void ShowWriteFailureBox();
void ShowStageFailureBox(int stage);
// "Update Could Not Be Verified", naming the check that failed.
void ShowUntrustedBuildBox(TrustCheck check);
