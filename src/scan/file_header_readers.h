#pragma once

#include <cstdint>
#include <string>

#include "scan/page_protection.h"

namespace mdf {

struct PageCountResult {
    int result = 1;  // 0: found
    std::int32_t pages = 0;
};

struct FileNameResult {
    int result = 1;    // 0: found
    std::string name;  // UTF-8
};

// Page 0: the file's size in pages is the 32-bit value just before the first FF FF FF FF at or
// after record 0.
PageCountResult readFilePageCount(ConstPageBytes page);

// Page 32: the file's own path, the UTF-16 text between the two blanks that end the padded
// logical name and ".mdf" (in any case), always given back with ".mdf" in lower case.
FileNameResult readFileName(ConstPageBytes page);
// The same from the first knownBytes of page 32 alone (its later sectors lay in a cluster that
// went elsewhere): the name's record is the page's first, right after the header, so the name is
// looked for from there, and only where it ends inside the bytes known.
FileNameResult readFileNameFromFirstBytes(ConstPageBytes page, std::size_t knownBytes);

// "0.98 GB)" for 128000 pages, "2.00 MB)" for 256 pages.
std::string fileSizeText(std::int64_t pages);

}  // namespace mdf
