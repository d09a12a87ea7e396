#include "support/sector_image.h"

#include <filesystem>

#include "support/temp_dir.h"

namespace mdf::test {

SectorImage::SectorImage(std::string path, std::int64_t sectors)
    : path_(std::move(path)), sectors_(sectors) {
    writeFile(path_, {});
    std::filesystem::resize_file(path_, static_cast<std::uintmax_t>(sectors) * 512);
}

void SectorImage::put(std::int64_t sector, std::span<const std::uint8_t> bytes) {
    writeAt(path_, static_cast<std::uint64_t>(sector) * 512, bytes);
}

namespace {

class FailingFile : public RandomAccessFile {
  public:
    FailingFile(std::unique_ptr<RandomAccessFile> inner,
                std::vector<std::pair<std::int64_t, std::int64_t>> bad)
        : inner_(std::move(inner)), bad_(std::move(bad)) {}
    std::int64_t readAt(void* buffer, std::size_t size, std::uint64_t offset) override {
        const auto first = static_cast<std::int64_t>(offset / 512);
        const auto last = static_cast<std::int64_t>((offset + size + 511) / 512);
        for (auto [start, count] : bad_)
            if (first < start + count && start < last) return -1;
        return inner_->readAt(buffer, size, offset);
    }

  private:
    std::unique_ptr<RandomAccessFile> inner_;
    std::vector<std::pair<std::int64_t, std::int64_t>> bad_;
};

}  // namespace

FileOpener openerWithBadSectors(std::vector<std::pair<std::int64_t, std::int64_t>> bad) {
    return [bad](const std::string& path) -> std::unique_ptr<RandomAccessFile> {
        auto inner = openReadOnly(path);
        if (!inner) return nullptr;
        return std::make_unique<FailingFile>(std::move(inner), bad);
    };
}

}  // namespace mdf::test
