#pragma once
// SHA-256 (FIPS 180-4) for the content tags of published manifests. Small and
// self-contained so the publishing tool needs nothing beyond the core.

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

class Sha256 {
  public:
    Sha256();

    void Update(const void* data, size_t size);
    void Update(std::string_view text) { Update(text.data(), text.size()); }

    // Ends the computation; the object must not be updated afterwards.
    std::array<uint8_t, 32> Finish();
    // Finish() as 64 lowercase hex digits.
    std::string FinishHex();

  private:
    void Compress(const uint8_t* block);

    std::array<uint32_t, 8> state_;
    std::array<uint8_t, 64> block_{};
    size_t blockUsed_ = 0;
    uint64_t totalBytes_ = 0;
};

// Digest of a whole string, as 64 lowercase hex digits.
std::string Sha256Hex(std::string_view data);
