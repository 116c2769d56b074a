// Any build statement: the parser never misbehaves, whatever it accepts
// writes back byte for byte, and verification of it never passes without
// the trusted key's signature.
#include <cstdlib>
#include <string>

#include "patch/Trust.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string text(reinterpret_cast<const char*>(data), size);
    std::optional<BuildStatement> statement = ParseStatement(text);
    if (statement && FormatStatement(*statement) != text)
        std::abort();

    // A fixed key nobody holds the private half of: nothing may pass.
    TrustExpectation expected;
    expected.trustedKey = std::string(64, 'a');
    if (statement) {
        expected.manifestSha256 = statement->manifestSha256;
        expected.buildFolder = statement->buildFolder;
    }
    if (VerifyStatement(text, expected) == TrustCheck::kPassed)
        std::abort();
    return 0;
}
