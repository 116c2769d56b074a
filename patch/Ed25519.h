#pragma once
// Ed25519 signatures through libcrypto, the part every launcher needs: the
// check of a signature. Making keys and signing is lvpublish's
// (patch/SigningKey.h), which the launcher does not link.

#include <cstddef>
#include <string>
#include <string_view>

inline constexpr size_t kEd25519KeySize = 32;
inline constexpr size_t kEd25519SignatureSize = 64;

// True when `signatureHex` (128 hex digits) is the signature of `message` by
// the key `publicHex` (64 hex digits of its raw form).
bool VerifySignature(const std::string& publicHex, std::string_view message,
                     const std::string& signatureHex);
