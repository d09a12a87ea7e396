#pragma once

#include <cstring>
#include <memory>
#include <span>
#include <vector>

#include "source/platform_file.h"

namespace mdf::fuzz {

// Fuzz input served as a device, so that code reading through SectorSource sees it as a disk.
class MemoryFile : public RandomAccessFile {
  public:
    explicit MemoryFile(std::span<const std::uint8_t> bytes) : bytes_(bytes.begin(), bytes.end()) {}
    std::int64_t readAt(void* buffer, std::size_t size, std::uint64_t offset) override {
        if (offset >= bytes_.size()) return 0;
        std::size_t n = std::min<std::size_t>(size, bytes_.size() - offset);
        std::memcpy(buffer, bytes_.data() + offset, n);
        return static_cast<std::int64_t>(n);
    }

  private:
    std::vector<std::uint8_t> bytes_;
};

inline FileOpener memoryOpener(std::span<const std::uint8_t> bytes) {
    return [bytes](const std::string&) { return std::make_unique<MemoryFile>(bytes); };
}

}  // namespace mdf::fuzz
