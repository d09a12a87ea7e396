#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>

namespace mdf {

// SHA-256, to tell the user (and the tests) which exact file was written.
class Sha256 {
  public:
    Sha256();
    void update(std::span<const std::uint8_t> bytes);
    std::array<std::uint8_t, 32> finish();
    std::string finishHex();

  private:
    void compress(const std::uint8_t* block);

    std::array<std::uint32_t, 8> state_;
    std::array<std::uint8_t, 64> buffer_{};
    std::size_t buffered_ = 0;
    std::uint64_t totalBytes_ = 0;
};

// Hex digest of a whole file; empty when it cannot be read.
std::string sha256OfFile(const std::string& path);

}  // namespace mdf
