#pragma once
// The run settings tests start from: the build's, with resumed transfers
// waiting a millisecond instead of a quarter of a second.

#include <chrono>

#include "patch/RunContext.h"

inline RunContext TestRun() {
    RunContext run;
    run.firstResumePause = std::chrono::milliseconds(1);
    return run;
}
