#pragma once

#include <cstdint>

#include "scan/page_protection.h"

namespace mdf {

// A file header page whose PFS page does not follow it (with clusters of 8 KB or less, page 1
// often lies in another cluster) still starts a file when the page proves itself: it passes the
// header test, holds its own protection (page checksum, or torn bits agreeing in every sector),
// and states a page count. A page without protection never does: its header alone is too
// weak a sign.
bool loneFileHeaderStartsFile(ConstPageBytes page, std::uint16_t scanFileId);

}  // namespace mdf
