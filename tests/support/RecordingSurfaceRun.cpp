// Apart from the rest of the surface: a patch run needs the libcurl core,
// which the Windows test program does not link.
#include <thread>

#include "RecordingSurface.h"
#include "TestRun.h"
#include "patch/PatchRun.h"

bool RecordingSurface::RunPatch() {
    RunContext run = TestRun();
    return RunPatch(run);
}

bool RecordingSurface::RunPatch(RunContext& run) {
    int before;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        before = finishedCount;
    }
    std::thread worker([&] { PatchThreadProc(*this, run); });
    {
        std::unique_lock<std::mutex> lock(mutex_);
        finished_.wait(lock, [&] { return finishedCount > before; });
    }
    worker.join();
    return lastSuccess;
}
