#pragma once
// Helpers of the Windows tests: the probe program they start, waiting for
// the files it writes and for processes to end.

#include <cstdint>
#include <map>
#include <optional>
#include <string>

#include "platform/Platform.h"

// The probe program built beside the test program.
std::string ProbeProgram();

// Copies the probe into the current folder under `name`.
void PlaceProbe(const std::string& name);

// Waits, within a minute, for a file to appear.
bool WaitForFile(const std::string& name);

// Waits, within a minute, for a process to end. False when it still runs.
bool WaitForProcessEnd(int pid);

// The probe's report, "key=value" lines as a map; empty when there is none.
std::map<std::string, std::string> ReadProbeReport();
