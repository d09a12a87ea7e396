#include "analysis/fragment_pages.h"

namespace mdf {

bool PageOrigin::readFragmentSectors(std::int64_t fsec, std::int32_t offset, std::int32_t count,
                                     void* buffer) {
    if (count <= 0) return false;
    if (readFromSource_)
        return source_.readWholeSectors(static_cast<std::uint32_t>(count), buffer, fsec + offset);
    return content_.readContentSectors(fragments_, offset, count, buffer, fsec);
}

bool PageOrigin::readFragmentPages(std::int64_t fsec, std::int32_t first, std::int32_t count,
                                   void* buffer) {
    if (count <= 0) return false;
    const std::int64_t sector = fsec + std::int64_t{first} * kSectorsPerPage;
    if (readFromSource_)
        return source_.readWholeSectors(static_cast<std::uint32_t>(count) * kSectorsPerPage, buffer,
                                        sector);
    auto* out = static_cast<std::uint8_t*>(buffer);
    for (std::int32_t i = 0; i < count; ++i)
        if (!content_.readContentSectors(fragments_, (first + i) * kSectorsPerPage, kSectorsPerPage,
                                         out + std::size_t{8192} * static_cast<std::size_t>(i),
                                         fsec))
            return false;
    return true;
}

bool readFragmentPage(PageOrigin& origin, std::int64_t fsec, std::int32_t index, PageBytes page) {
    const std::int64_t offset = std::int64_t{index} * kSectorsPerPage;
    if (offset > INT32_MAX) return false;
    return origin.readFragmentSectors(fsec, static_cast<std::int32_t>(offset), kSectorsPerPage,
                                      page.data());
}

}  // namespace mdf
