#include "assembly/sha256.h"

#include <openssl/evp.h>

#include <array>
#include <fstream>
#include <stdexcept>
#include <vector>

namespace mdf {

struct Sha256::Context {
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    ~Context() { EVP_MD_CTX_free(ctx); }
};

Sha256::Sha256() : context_(std::make_unique<Context>()) {
    if (!context_->ctx || EVP_DigestInit_ex(context_->ctx, EVP_sha256(), nullptr) != 1)
        throw std::runtime_error("libcrypto cannot start a SHA-256 digest");
}

Sha256::~Sha256() = default;

void Sha256::update(std::span<const std::uint8_t> bytes) {
    if (!bytes.empty()) EVP_DigestUpdate(context_->ctx, bytes.data(), bytes.size());
}

std::string Sha256::finishHex() {
    std::array<unsigned char, EVP_MAX_MD_SIZE> digest{};
    unsigned int length = 0;
    EVP_DigestFinal_ex(context_->ctx, digest.data(), &length);
    static constexpr char kHex[] = "0123456789abcdef";
    std::string out;
    for (unsigned int i = 0; i < length; ++i) {
        out += kHex[digest[i] >> 4];
        out += kHex[digest[i] & 15];
    }
    return out;
}

std::string sha256Hex(std::span<const std::uint8_t> bytes) {
    Sha256 sha;
    sha.update(bytes);
    return sha.finishHex();
}

std::string sha256OfFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return {};
    Sha256 sha;
    std::vector<char> buffer(1 << 20);
    while (in) {
        in.read(buffer.data(), static_cast<std::streamsize>(buffer.size()));
        sha.update({reinterpret_cast<const std::uint8_t*>(buffer.data()),
                    static_cast<std::size_t>(in.gcount())});
    }
    return in.bad() ? std::string() : sha.finishHex();
}

}  // namespace mdf
