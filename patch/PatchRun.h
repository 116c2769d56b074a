#pragma once
// One patch run: from the first contact with the patch server to the verified
// game folder, on a worker thread, reporting through a RunSurface.

#include "patch/Trust.h"

class RunSurface;
struct RunContext;

// A run with the settings the front end put in `run` (patch/RunContext.h);
// the run writes its network choices and repair counts back into it, for
// the front end to read after RunFinished. Always returns 0.
unsigned PatchThreadProc(RunSurface& surface, RunContext& run);
// `param` is the RunSurface of the front end; the run has the build's
// settings. Always returns 0.
unsigned PatchThreadProc(void* param);

void ShowWriteFailureBox();
void ShowStageFailureBox(int stage);
// "Update Could Not Be Verified", naming the check that failed.
void ShowUntrustedBuildBox(TrustCheck check);
