#pragma once
// Managing the builds on a patch server: listing them, switching back to an
// earlier one, and removing old ones. Each takes the server's lock, refuses
// with a reason and changes nothing when it cannot do all of its job.

#include <cstdint>
#include <string>
#include <vector>

#include "ServerFolder.h"

namespace lvpublish {

struct ServerListing {
    bool ok = false;
    std::string error;
    std::string current;            // the first line of build_folder.txt
    std::vector<BuildInfo> builds;  // oldest publish first
    int objects = 0;                // compressed copies and deltas
    int64_t objectBytes = 0;
};

ServerListing ListServer(const std::string& serverRoot);

struct ManageOutcome {
    bool ok = false;
    std::string error;              // one line when !ok
    std::vector<std::string> done;  // what changed, one line each
};

// Makes `build` ("build_2" or "build_2/") the current build, in one step,
// once every file of its manifest is there with its size.
ManageOutcome Rollback(const std::string& serverRoot, const std::string& build);

// Removes all but the `keep` newest builds, never the current one, the one
// published before it, nor the one current before the last switch (launchers
// may still be patching from them). The versions the removed builds used
// stay on record, so later publishes continue above them. Folders without a
// manifest are not builds and stay.
ManageOutcome Prune(const std::string& serverRoot, int keep, bool dryRun);

}  // namespace lvpublish
