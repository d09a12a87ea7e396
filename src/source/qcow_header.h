#pragma once

#include <cstdint>
#include <string>

#include "source/platform_file.h"

namespace mdf {

// Why a qcow or qcow2 file cannot be what its header says, or empty when its tables hold
// together: every table and every cluster they point at lies inside the file, the disk it
// declares is one its L1 table can address, and no field is out of the format's range. The
// image library trusts these tables and reads wherever they point; a file cut short or damaged
// must be refused before it does.
std::string qcowImageProblem(RandomAccessFile& file, std::uint64_t fileBytes);

}  // namespace mdf
