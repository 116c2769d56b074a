#include "patch/Ed25519.h"

#include <openssl/evp.h>

#include "base/Hex.h"
#include "patch/OpenSslHandles.h"

bool VerifySignature(const std::string& publicHex, std::string_view message,
                     const std::string& signatureHex) {
    uint8_t raw[kEd25519KeySize];
    uint8_t signature[kEd25519SignatureSize];
    if (!FromHex(publicHex, raw, sizeof raw) || !FromHex(signatureHex, signature, sizeof signature))
        return false;
    Pkey key(EVP_PKEY_new_raw_public_key(EVP_PKEY_ED25519, nullptr, raw, sizeof raw));
    MdCtx context(EVP_MD_CTX_new());
    return key && context &&
           EVP_DigestVerifyInit(context.get(), nullptr, nullptr, nullptr, key.get()) == 1 &&
           EVP_DigestVerify(context.get(), signature, sizeof signature,
                            reinterpret_cast<const uint8_t*>(message.data()), message.size()) == 1;
}
