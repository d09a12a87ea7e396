#include "analysis/fragment_pages.h"

namespace mdf {

bool PageOrigin::readFragmentSectors(std::int64_t fsec, std::int32_t offset, std::int32_t count,
                                     void* buffer) {
    if (count <= 0) return false;
    if (readFromSource_)
        return source_.readWholeSectors(static_cast<std::uint32_t>(count), buffer, fsec + offset);
    return content_.readContentSectors(fragments_, offset, count, buffer, fsec);
}

bool readFragmentPage(PageOrigin& origin, std::int64_t fsec, std::int32_t index, PageBytes page) {
    const std::int64_t offset = std::int64_t{index} * kSectorsPerPage;
    if (offset > INT32_MAX) return false;
    return origin.readFragmentSectors(fsec, static_cast<std::int32_t>(offset), kSectorsPerPage,
                                      page.data());
}

}  // namespace mdf
