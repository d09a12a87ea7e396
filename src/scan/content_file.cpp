#include "scan/content_file.h"

#include "scan/rounding.h"
#include "source/byte_order.h"

namespace mdf {

void scramblePage(PageBytes page, std::uint32_t seed) {
    for (std::size_t i = 0; i < page.size(); i += 4)
        storeU32(&page[i], rotateRight32(loadU32(&page[i]), 1) ^ seed);
}

void unscramblePage(PageBytes page, std::uint32_t seed) {
    for (std::size_t i = 0; i < page.size(); i += 4)
        storeU32(&page[i], rotateLeft32(loadU32(&page[i]) ^ seed, 1));
}

std::array<std::uint8_t, kContentTrailerBytes> contentTrailer(std::uint32_t seed,
                                                              std::uint16_t sectorsPerCluster) {
    std::array<std::uint8_t, kContentTrailerBytes> t{};
    storeU32(t.data(), rotateRight32(seed, 3));
    storeU16(t.data() + 4, sectorsPerCluster);
    return t;
}

bool ContentFile::open(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    if (!file) return false;
    file_ = std::move(file);
    ++generation_;
    seed_ = 0;
    trailerSpc_.reset();
    indexedList_ = nullptr;
    file_.seekg(0, std::ios::end);
    const std::int64_t size = file_.tellg();
    if (size >= static_cast<std::int64_t>(kContentTrailerBytes)) {
        std::array<std::uint8_t, kContentTrailerBytes> t{};
        file_.seekg(size - static_cast<std::int64_t>(kContentTrailerBytes));
        file_.read(reinterpret_cast<char*>(t.data()), t.size());
        seed_ = rotateLeft32(loadU32(t.data()), 3);
        trailerSpc_ = loadI16(t.data() + 4);
    }
    file_.clear();
    return true;
}

void ContentFile::indexBlocks(const FragmentList& list) {
    blockOffset_.clear();
    std::int64_t pos = 0;
    for (const FragmentRecord& r : list) {
        blockOffset_.try_emplace(r.fsec, pos);
        pos += kContentPrefixBytes + std::int64_t{r.pages()} * 8192;
    }
    indexedList_ = &list;
    indexedRevision_ = list.revision();
}

bool ContentFile::readContentSectors(const FragmentList& list, std::int32_t offset,
                                     std::int32_t count, void* buffer, std::int64_t firstSector) {
    if (!isOpen() || count < 0) return false;
    if (indexedList_ != &list || indexedRevision_ != list.revision()) indexBlocks(list);
    auto block = blockOffset_.find(firstSector);
    if (block == blockOffset_.end()) return false;
    const std::int64_t pos = block->second + kContentPrefixBytes + std::int64_t{offset} * 512;
    const std::int64_t bytes = std::int64_t{count} * 512;
    if (pos < 0) return false;
    file_.clear();
    file_.seekg(pos);
    file_.read(static_cast<char*>(buffer), bytes);
    if (file_.gcount() != bytes) return false;
    if (count == 16) unscramblePage(PageBytes(static_cast<std::uint8_t*>(buffer), 8192), seed_);
    return true;
}

}  // namespace mdf
