#pragma once
// Every bound the launcher holds a patch server to, in one place: how long a
// silent or trickling server may hold a run, and how many bytes each kind of
// answer may bring. An answer that passes a bound counts as a failed one.

#include <chrono>
#include <cstddef>
#include <cstdint>

// A server that stops sending must not hold a run for ever. A transfer that
// hits a limit ends as broken with the status it had so far (0 before an
// answer). Part of a run's RunContext, read when a handle is created; tests
// shorten them.
struct TransferLimits {
    long connectTimeoutSeconds = 30;
    // A transfer that averages less than lowSpeedBytesPerSecond over
    // lowSpeedSeconds counts as stalled.
    long lowSpeedBytesPerSecond = 1024;
    long lowSpeedSeconds = 60;
    // The whole transfer of a text file (build_folder.txt, the manifest, the
    // statement) ends by then: a server that trickles just above the stall
    // rate cannot hold a run for days. A manifest of the largest size taken
    // (kManifestLimit) fits at 25 KiB/s.
    long textFileDeadlineSeconds = 3 * 60 * 60;
    // With several servers, a game-file transfer is judged by what it
    // brought over the last window this long: its server's share follows
    // that and, when another server would bring the rest far sooner, the
    // rest comes from there.
    long speedSampleSeconds = 4;
};

// The largest game file the launcher takes when neither the manifest nor the
// answer says how large it is: far beyond any real game file, and an end to
// an answer that never ends.
inline constexpr int64_t kUnannouncedBodyLimit = int64_t{64} << 30;

// The longest answers taken for the two text files. build_folder.txt is one
// short line; the manifest of a very large game (a few million files) fits in
// the second.
inline constexpr int64_t kBuildFolderLimit = 64 * 1024;
inline constexpr int64_t kManifestLimit = int64_t{256} << 20;

// Larger than any build statement lvpublish writes.
inline constexpr size_t kMaxStatementBytes = 1024;
// Larger than a key list of the most build keys it may name (KeyList.h).
inline constexpr size_t kMaxKeyListBytes = 2048;

// A size request is a GET of the file itself; only its status and announced
// length are used. A small body is read and dropped so the connection stays
// open for the next request; a large or unannounced one is cut off, which
// costs a reconnect but never the whole file.
inline constexpr int64_t kLargestBodyToDrain = 64 * 1024;

// With several transfers in flight, the bodies of small files that arrive
// whole with their size requests are kept for the download stage, up to this
// many bytes in all, so those files need no second request.
inline constexpr int64_t kPrefetchBudget = int64_t{64} << 20;

// A broken game-file transfer is resumed within the run: up to this many
// further attempts, the first after kFirstResumePause and each later one
// after twice the pause before it (RunContext::firstResumePause, which tests
// shorten).
inline constexpr int kResumeAttempts = 5;
inline constexpr std::chrono::milliseconds kFirstResumePause{250};
