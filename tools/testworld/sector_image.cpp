#include "testworld/sector_image.h"

#include <filesystem>

#include "testworld/temp_dir.h"

namespace mdf::test {

SectorImage::SectorImage(std::string path, std::int64_t sectors)
    : path_(std::move(path)), sectors_(sectors) {
    writeFile(path_, {});
    std::filesystem::resize_file(path_, static_cast<std::uintmax_t>(sectors) * 512);
}

void SectorImage::put(std::int64_t sector, std::span<const std::uint8_t> bytes) {
    writeAt(path_, static_cast<std::uint64_t>(sector) * 512, bytes);
}

}  // namespace mdf::test
