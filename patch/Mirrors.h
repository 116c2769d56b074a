#pragma once
// The servers of one run. The first is the patch server (patch/PatchServer.h);
// after it come the fallbacks the launcher was built with (LV_FALLBACK_MIRRORS),
// asked for the text files only when the patch server cannot be reached at
// all, and the mirrors of the operator's list (patch/MirrorList.h), taken
// when the launcher is built or told to (LV_MIRRORS, lvpatch --mirrors).
//
// With one server, nothing here changes a request. With more, the transfer
// driver hands each game-file request to a healthy server, the one with the
// fewest transfers in flight for its speed, and a server that refuses the
// connection, answers anything but the file, stalls, breaks off or serves
// bytes of the wrong size or hash is skipped for the rest of the run while
// the transfer goes on from another. A server serves game files only once
// its manifest is the run's: one still on another build is skipped, not
// mixed in.

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "patch/MirrorList.h"

struct BuildStatement;
struct RunContext;

class ServerSet {
  public:
    struct Server {
        ServerAddress address;
        const char* origin = "";    // "patch server", "fallback" or "mirror"
        bool checked = false;       // its manifest is the run's
        std::string skipped;        // why it serves nothing more; empty while it may
        int active = 0;             // transfers in flight on it
        int started = 0;            // transfers it was given in this run
        double bytesPerSecond = 0;  // one transfer's speed, as measured; 0 unknown
        // What its transfers in flight bring now, each on average; below 0
        // while none has run long enough to tell.
        double bytesPerSecondNow = -1;
        // A transfer on it ran long enough to measure its link, not only
        // its round trip.
        bool linkMeasured = false;
    };

    // The run's patch server alone.
    void Reset(const ServerAddress& primary);
    // Adds a server unless its base is there already; false when it is.
    bool Add(const ServerAddress& address, const char* origin);

    // More than one server: requests go through the choice below.
    bool Several() const { return servers_.size() > 1; }
    size_t Count() const { return servers_.size(); }
    const Server& At(size_t index) const { return servers_[index]; }

    // The server the text files come from (the patch server, or the
    // fallback that answered in its place).
    size_t text = 0;
    // The SHA-256 of the run's manifest, once it is read: the consistency
    // check holds every other server to it.
    std::string manifestSha256;
    int64_t manifestSize = 0;

    // Fetches the manifest of every server not yet checked and skips those
    // whose manifest differs from the run's; once per run.
    void CheckBuilds(RunContext& run);
    // The healthy server for the next transfer: fewest in flight for its
    // speed (what its transfers in flight bring now, where that is less
    // than what its ended ones brought), on a tie the one given fewer so
    // far, then the first in order; -1 when every one (but `except`) is
    // skipped.
    int Choose(int except = -1) const;
    // What one more transfer on the server may expect to bring a second, as
    // the choice above judges it: 0 while nothing tells.
    double Speed(size_t index) const;
    void MarkChecked(size_t index) { servers_[index].checked = true; }
    void Started(size_t index) {
        ++servers_[index].active;
        ++servers_[index].started;
    }
    // One of its transfers ended, having brought `bytesPerSecond` (below 0
    // when that says nothing of its speed), or, with `now`, moved on for
    // bringing that over its last window.
    void Ended(size_t index, double bytesPerSecond, bool now = false);
    void Observe(size_t index, double bytesPerSecondNow) {
        servers_[index].bytesPerSecondNow = bytesPerSecondNow;
        servers_[index].linkMeasured |= bytesPerSecondNow >= 0;
    }
    void Skip(RunContext& run, size_t index, const std::string& why);

  private:
    double Fastest() const;
    double SpeedOf(const Server& server, double fastest) const;

    std::vector<Server> servers_;
    bool buildsChecked_ = false;
};

// The built-in fallback list, as given when the launcher was built.
const std::vector<std::string>& BuiltFallbackMirrors();
// Whether the launcher fetches the operator's mirror list (LV_MIRRORS).
bool BuiltUsesMirrorList();

// The server set of a run that starts: the patch server, then the
// fallbacks the run may use (the pinned-TLS rule holds for them too).
void BeginServers(RunContext& run);
// When the patch server did not answer build_folder.txt (`primaryStatus`:
// 0 without an answer, else a 5xx): tries the run's fallbacks in order with
// `fetch`, each as the text server; the first that serves it stays the text
// server and the patch server is skipped. False, with the patch server as
// the text server again, when none did or the run has none.
bool FetchFromFallback(RunContext& run, const std::function<bool()>& fetch, long primaryStatus);
// After the manifest is accepted (with a key: `accepted` is its statement):
// notes its hash, and with the mirror list switched on fetches the list from
// the text server and adds its mirrors. A list that is missing or refused
// leaves the run with the servers it had; it never fails the run.
void TakeMirrorList(RunContext& run, const BuildStatement* accepted);
