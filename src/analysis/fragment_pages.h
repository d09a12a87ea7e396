#pragma once

#include <cstdint>

#include "scan/content_file.h"
#include "scan/fragment_list.h"
#include "scan/page_protection.h"
#include "source/sector_source.h"

namespace mdf {

// Where the pages of fragments are read: the data source itself, or, once a saved scan's
// content is open, that content.
class PageOrigin {
  public:
    PageOrigin(SectorSource& source, ContentFile& content, const FragmentList& fragments,
               const bool& readFromSource)
        : source_(source),
          content_(content),
          fragments_(fragments),
          readFromSource_(readFromSource) {}

    // count sectors at offset (from -15 on) of the fragment whose first sector is fsec.
    bool readFragmentSectors(std::int64_t fsec, std::int32_t offset, std::int32_t count,
                             void* buffer);
    // Pages first .. first+count-1 of the fragment into buffer (count x 8192 bytes): from the
    // source in one read, from saved content page by page. False when any of them could not be
    // read.
    bool readFragmentPages(std::int64_t fsec, std::int32_t first, std::int32_t count, void* buffer);

  private:
    SectorSource& source_;
    ContentFile& content_;
    const FragmentList& fragments_;
    const bool& readFromSource_;
};

// Page index of the fragment whose first page lies at sector fsec; false when not all of its 16
// sectors could be read.
bool readFragmentPage(PageOrigin& origin, std::int64_t fsec, std::int32_t index, PageBytes page);

}  // namespace mdf
