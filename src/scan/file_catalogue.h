#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "scan/fragment_list.h"

namespace mdf {

class ContentFile;
class Reporter;

// One database file found: a visible fragment that begins with page 0.
struct CatalogueRow {
    std::int32_t recordIndex = 0;
    std::string name;         // the memo, or name and size read again from saved content
    std::int64_t sizeKB = 0;  // the file-start fragment's
    std::int32_t beginPage = 0;
    std::int32_t endPage = 0;
    std::int64_t fsec = 0;
    std::int64_t esec = 0;
    // For a head too short to hold page 32: the path read from page 32 where it lies.
    std::string resolvedPath;
    // The memo as the scan wrote it, which `name` replaces once the name is resolved; scripts
    // that chose a file by it ("size:...KB") still find it.
    std::string memo;
    // The size of the whole file as its header page states it; 0 when that page cannot be read.
    std::int64_t fileSizeKB = 0;

    // The size a person is shown: the file's, or the first fragment's where that is unknown.
    std::int64_t shownSizeKB() const { return fileSizeKB > 0 ? fileSizeKB : sizeKB; }
};

// The database files among the fragments, in list order. With saved content open, a long
// file-start fragment is described again from its own pages ("name:sizeKB").
std::vector<CatalogueRow> refreshFileCatalogue(const FragmentList& list, bool readFromSource,
                                               ContentFile& content, Reporter& reporter);

}  // namespace mdf
