#pragma once

#include <cstdint>
#include <utility>
#include <vector>

#include "source/platform_file.h"

namespace mdf::test {

// Opens files as usual, except that reads touching the given sectors fail, as on a disk with
// bad sectors.
FileOpener openerWithBadSectors(std::vector<std::pair<std::int64_t, std::int64_t>> firstAndCount);

}  // namespace mdf::test
