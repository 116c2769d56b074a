#pragma once
// One patch run: from the first contact with the patch server to the verified
// game folder, on a worker thread, reporting through a RunSurface.

#include "patch/Trust.h"

// `param` is the RunSurface of the front end. Always returns 0.
unsigned PatchThreadProc(void* param);

void ShowWriteFailureBox();
void ShowStageFailureBox(int stage);
// "Update Could Not Be Verified", naming the check that failed.
void ShowUntrustedBuildBox(TrustCheck check);
