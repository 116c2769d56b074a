#pragma once
// The launcher's string table.

namespace res {

// 103: the network layer could not be started.
inline constexpr const char* kSocketsInitFailed = "Windows sockets initialization failed.";

}  // namespace res
