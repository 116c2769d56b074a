#include "base/Sha256.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <new>

namespace {

#ifdef _WIN32
// Windows has no close-on-exec flag; its handles are not inherited unless
// asked for. Binary mode keeps the bytes as they are on disk.
constexpr int kReadFlags = O_RDONLY | O_BINARY;
#else
constexpr int kReadFlags = O_RDONLY | O_CLOEXEC;
#endif

void Start(EVP_MD_CTX* context) {
    if (EVP_DigestInit_ex(context, EVP_sha256(), nullptr) != 1)
        throw std::bad_alloc();
}

}  // namespace

Sha256::Sha256() : context_(EVP_MD_CTX_new()) {
    if (!context_)
        throw std::bad_alloc();
    Start(context_);
}

Sha256::~Sha256() {
    EVP_MD_CTX_free(context_);
}

void Sha256::Update(const void* data, size_t size) {
    if (size > 0)
        EVP_DigestUpdate(context_, data, size);
}

Sha256::Digest Sha256::Finish() {
    Digest digest{};
    unsigned int length = 0;
    EVP_DigestFinal_ex(context_, digest.data(), &length);
    Start(context_);
    return digest;
}

std::string Sha256::FinishHex() {
    Digest digest = Finish();
    return ToHex(digest.data(), digest.size());
}

std::string Sha256Hex(std::string_view data) {
    Sha256 sha;
    sha.Update(data);
    return sha.FinishHex();
}

std::optional<std::string> Sha256FileHex(const std::string& path) {
    int fd = ::open(path.c_str(), kReadFlags);
    if (fd < 0)
        return std::nullopt;
    // Large reads keep the system-call cost well below the hashing cost.
    constexpr size_t kBlock = 1 << 20;
    std::unique_ptr<char[]> buffer(new char[kBlock]);
    Sha256 sha;
    for (;;) {
        ssize_t n = ::read(fd, buffer.get(), kBlock);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            ::close(fd);
            return std::nullopt;
        }
        if (n == 0)
            break;
        sha.Update(buffer.get(), static_cast<size_t>(n));
    }
    ::close(fd);
    return sha.FinishHex();
}
