#pragma once
// SHA-256 through OpenSSL's libcrypto: incremental for bytes that arrive in
// blocks, whole files with large reads, and the hex form manifests carry.

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "base/Hex.h"

struct evp_md_ctx_st;

class Sha256 {
  public:
    static constexpr size_t kDigestSize = 32;
    using Digest = std::array<uint8_t, kDigestSize>;

    Sha256();
    ~Sha256();
    Sha256(const Sha256&) = delete;
    Sha256& operator=(const Sha256&) = delete;

    void Update(const void* data, size_t size);
    void Update(std::string_view text) { Update(text.data(), text.size()); }

    // Ends the computation and starts a new one.
    Digest Finish();
    // Finish() as 64 lowercase hex digits.
    std::string FinishHex();

  private:
    evp_md_ctx_st* context_;
};

// Digest of a whole string, as 64 lowercase hex digits.
std::string Sha256Hex(std::string_view data);

// Digest of a file's bytes as 64 lowercase hex digits; nullopt when it cannot
// be opened or read.
std::optional<std::string> Sha256FileHex(const std::string& path);
