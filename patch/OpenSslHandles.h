#pragma once
// Owners of libcrypto's key, digest-context and memory-buffer objects, for
// the files that verify and make Ed25519 signatures.

#include <openssl/bio.h>
#include <openssl/evp.h>

#include <memory>

struct PkeyFree {
    void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
struct MdCtxFree {
    void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
};
struct BioFree {
    void operator()(BIO* bio) const { BIO_free(bio); }
};
using Pkey = std::unique_ptr<EVP_PKEY, PkeyFree>;
using MdCtx = std::unique_ptr<EVP_MD_CTX, MdCtxFree>;
using Bio = std::unique_ptr<BIO, BioFree>;
