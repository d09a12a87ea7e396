#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>

namespace mdf {

// SHA-256, to tell the user (and the tests) which exact file was written. libcrypto does the
// work: it uses the CPU's SHA instructions where there are any.
class Sha256 {
  public:
    Sha256();
    ~Sha256();
    Sha256(const Sha256&) = delete;
    Sha256& operator=(const Sha256&) = delete;

    void update(std::span<const std::uint8_t> bytes);
    std::string finishHex();

  private:
    struct Context;
    std::unique_ptr<Context> context_;
};

std::string sha256Hex(std::span<const std::uint8_t> bytes);
// Hex digest of a whole file; empty when it cannot be read.
std::string sha256OfFile(const std::string& path);

}  // namespace mdf
