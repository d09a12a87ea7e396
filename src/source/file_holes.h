#pragma once

#include <cstdint>

namespace mdf {

// A stretch [first, end) of a file's bytes.
struct FileStretch {
    std::int64_t first = 0;
    std::int64_t end = 0;
};

// The first stretch of [at, end) that may hold data, by the file system's word: {end, end} when
// none does (holes, or the file ends before), all of it where the file system cannot tell. A hole
// is believed only where SEEK_DATA and SEEK_HOLE agree on it, and an answer outside what was
// asked (a file system in user space may give one) is taken no further than it makes sense, so
// that no byte the file holds is ever taken for a zero of a hole.
FileStretch firstDataIn(int fd, std::int64_t at, std::int64_t end);

}  // namespace mdf
