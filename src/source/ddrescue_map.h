#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "source/platform_file.h"

namespace mdf {

// A GNU ddrescue map file: which byte ranges of the rescued device ddrescue did read ('+'),
// and which it has not (yet) or could not ('?' non-tried, '*' non-trimmed, '/' non-scraped,
// '-' bad). The image holds zeros wherever it did not read; those zeros are no data.
struct RescueMap {
    std::vector<std::pair<std::uint64_t, std::uint64_t>> rescued;  // [begin, end), merged, sorted
    std::uint64_t listedEnd = 0;  // end of the last block the map lists
    std::uint64_t rescuedBytes = 0;

    // True when every byte of [offset, offset + size) was rescued.
    bool isRescued(std::uint64_t offset, std::uint64_t size) const;
};

// Parses a map file's text. On a malformed line, false with problem "line N: why". Blocks must
// come in ascending order without overlap, as ddrescue writes them; areas the map leaves out
// count as not rescued.
bool parseRescueMap(std::string_view text, RescueMap& map, std::string& problem);

// Why a map file cannot be used. A file that cannot be read is an I/O failure; one that was read
// but is no ddrescue map is bad input from the user, and the command line tells the two apart.
struct MapProblem {
    std::string text;  // names the file, and the line of a malformed map
    bool malformed = false;
};

// Reads and parses a map file.
bool loadRescueMap(const std::string& path, RescueMap& map, MapProblem& problem);

// Opens through inner, then fails (-1, an I/O error) every read that touches a byte the map
// does not list as rescued, so that a page there is an unreadable page, never zeros.
FileOpener openerWithRescueMap(FileOpener inner, RescueMap map);

}  // namespace mdf
