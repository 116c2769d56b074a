// Any key list: the parser never misbehaves, whatever it accepts writes back
// byte for byte, and no list makes a key other than the root one a signer
// without the root key's signature.
#include <cstdlib>
#include <string>

#include "patch/KeyList.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string text(reinterpret_cast<const char*>(data), size);
    std::optional<KeyList> list = ParseKeyList(text);
    if (list && FormatKeyList(*list) != text)
        std::abort();

    // A fixed root key nobody holds the private half of.
    const std::string root(64, 'a');
    const std::string signer = list ? list->keys.front().key : std::string(64, 'b');
    if (signer != root && SignerTrusted(root, signer, text, 0))
        std::abort();
    return 0;
}
