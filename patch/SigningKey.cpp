#include "patch/SigningKey.h"

#include <openssl/evp.h>
#include <openssl/pem.h>

#include <cstdint>
#include <memory>

#include "base/Hex.h"
#include "patch/Ed25519.h"
#include "patch/OpenSslHandles.h"

namespace {

std::optional<std::string> PublicHexOf(EVP_PKEY* key) {
    uint8_t raw[kEd25519KeySize];
    size_t length = sizeof raw;
    if (EVP_PKEY_get_raw_public_key(key, raw, &length) != 1 || length != kEd25519KeySize)
        return std::nullopt;
    return ToHex(raw, length);
}

}  // namespace

std::optional<SigningKey> GenerateSigningKey() {
    EVP_PKEY* raw = nullptr;
    std::unique_ptr<EVP_PKEY_CTX, decltype(&EVP_PKEY_CTX_free)> context(
        EVP_PKEY_CTX_new_id(EVP_PKEY_ED25519, nullptr), EVP_PKEY_CTX_free);
    if (!context || EVP_PKEY_keygen_init(context.get()) != 1 ||
        EVP_PKEY_keygen(context.get(), &raw) != 1)
        return std::nullopt;
    Pkey key(raw);
    Bio bio(BIO_new(BIO_s_mem()));
    if (!bio ||
        PEM_write_bio_PrivateKey(bio.get(), key.get(), nullptr, nullptr, 0, nullptr, nullptr) != 1)
        return std::nullopt;
    char* data = nullptr;
    long length = BIO_get_mem_data(bio.get(), &data);
    std::optional<std::string> publicHex = PublicHexOf(key.get());
    if (length <= 0 || !publicHex)
        return std::nullopt;
    return SigningKey{std::string(data, static_cast<size_t>(length)), *publicHex};
}

std::optional<SigningKey> ReadSigningKey(const std::string& privatePem) {
    Bio bio(BIO_new_mem_buf(privatePem.data(), static_cast<int>(privatePem.size())));
    if (!bio)
        return std::nullopt;
    Pkey key(PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr));
    if (!key || EVP_PKEY_get_id(key.get()) != EVP_PKEY_ED25519)
        return std::nullopt;
    std::optional<std::string> publicHex = PublicHexOf(key.get());
    if (!publicHex)
        return std::nullopt;
    return SigningKey{privatePem, *publicHex};
}

std::optional<std::string> SignMessage(const SigningKey& signingKey, std::string_view message) {
    Bio bio(BIO_new_mem_buf(signingKey.privatePem.data(),
                            static_cast<int>(signingKey.privatePem.size())));
    Pkey key(bio ? PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr) : nullptr);
    MdCtx context(EVP_MD_CTX_new());
    if (!key || !context)
        return std::nullopt;
    uint8_t signature[kEd25519SignatureSize];
    size_t length = sizeof signature;
    if (EVP_DigestSignInit(context.get(), nullptr, nullptr, nullptr, key.get()) != 1 ||
        EVP_DigestSign(context.get(), signature, &length,
                       reinterpret_cast<const uint8_t*>(message.data()), message.size()) != 1 ||
        length != kEd25519SignatureSize)
        return std::nullopt;
    return ToHex(signature, length);
}

bool SignStatement(const SigningKey& signingKey, BuildStatement* statement) {
    statement->key = signingKey.publicHex;
    std::optional<std::string> signature = SignMessage(signingKey, StatementBody(*statement));
    if (!signature)
        return false;
    statement->signature = *signature;
    return true;
}

bool SignKeyList(const SigningKey& rootKey, KeyList* list) {
    list->root = rootKey.publicHex;
    std::optional<std::string> signature = SignMessage(rootKey, KeyListBody(*list));
    if (!signature)
        return false;
    list->signature = *signature;
    return true;
}
