#pragma once
// One patch run: from the first contact with the patch server to the verified
// game folder, on a worker thread, reporting through a RunSurface.

// `param` is the RunSurface of the front end. Always returns 0.
unsigned PatchThreadProc(void* param);

void ShowWriteFailureBox();
void ShowStageFailureBox(int stage);
