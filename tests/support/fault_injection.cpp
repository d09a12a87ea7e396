#include "support/fault_injection.h"

#include <memory>
#include <string>

namespace mdf::test {
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
