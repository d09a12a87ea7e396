#include "source/file_holes.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace mdf {

FileStretch firstDataIn(int fd, std::int64_t at, std::int64_t end) {
    const FileStretch all{at, end};
    if (at < 0 || at >= end) return {end, end};
    const off_t data = ::lseek(fd, static_cast<off_t>(at), SEEK_DATA);
    const bool noneFromHere = data < 0 && errno == ENXIO;  // holes to the end, or past the end
    if ((data < 0 && !noneFromHere) || (data >= 0 && data < at)) return all;
    const std::int64_t from = noneFromHere ? end : std::min<std::int64_t>(data, end);
    if (from > at) {
        // A hole at `at`: SEEK_HOLE must find it there too (past the end, both find nothing).
        const off_t hole = ::lseek(fd, static_cast<off_t>(at), SEEK_HOLE);
        const bool agrees = hole == at || (noneFromHere && hole < 0 && errno == ENXIO);
        if (!agrees) return all;
    }
    if (from >= end) return {end, end};
    const off_t hole = ::lseek(fd, static_cast<off_t>(from), SEEK_HOLE);
    return {from, hole > from ? std::min<std::int64_t>(hole, end) : end};
}

}  // namespace mdf
