#pragma once
// Making Ed25519 keys and signing with them: lvpublish's part of the trust
// chain (and the tests' that publish). A launcher only verifies
// (Ed25519.h) and does not link this.

#include <optional>
#include <string>
#include <string_view>

#include "patch/KeyList.h"
#include "patch/Statement.h"

// Ed25519 keys: the private key as PKCS#8 PEM, the public one as 64 hex
// digits of its raw form.
struct SigningKey {
    std::string privatePem;
    std::string publicHex;
};
std::optional<SigningKey> GenerateSigningKey();
std::optional<SigningKey> ReadSigningKey(const std::string& privatePem);
// The Ed25519 signature of `message`, as 128 hex digits.
std::optional<std::string> SignMessage(const SigningKey& key, std::string_view message);
// Fills statement.key and statement.signature.
bool SignStatement(const SigningKey& key, BuildStatement* statement);
// Fills list.root and list.signature.
bool SignKeyList(const SigningKey& rootKey, KeyList* list);
