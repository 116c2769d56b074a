#pragma once
// Plain HTTP GET through libcurl's easy interface. An answer counts only with
// status 200; the result of a transfer itself is never examined.

#include <curl/curl.h>

#include <cstddef>
#include <string>

// Limits that keep a stalled server from hanging a run for ever. A transfer
// that hits one ends with status 0 (or its status so far), which the callers
// treat as any other failed request. Tests may shorten them.
struct TransferLimits {
    long connectTimeoutSeconds = 30;
    // Abort when fewer than lowSpeedBytesPerSecond arrive for lowSpeedSeconds.
    long lowSpeedBytesPerSecond = 1;
    long lowSpeedSeconds = 60;
};
extern TransferLimits g_transferLimits;

// libcurl's receive buffer for game-file downloads: larger blocks mean fewer
// synchronous progress updates for the same bytes.
inline constexpr long kDownloadBufferSize = 2 * 1024 * 1024;

// Settings every easy handle of the launcher gets besides its URL and
// callbacks: the stall limits above, and no signals (handles run on a worker
// thread).
void ApplyTransferLimits(CURL* handle);

// Fetches a server path into a local file, creating or emptying it first, and
// stores the HTTP status (0 without an answer). A local file that cannot be
// created drops the body. A local file that fails while the body is written
// throws FileWriteException after the transfer.
void FetchToFile(const std::string& localName, const std::string& serverPath, long* status);

size_t WriteToFileCallback(char* data, size_t size, size_t count, void* userData);
