#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace mdf {

// An MFT record as the disk holds it has the last two bytes of every 512-byte stride replaced
// by an update sequence number, the originals kept in the record's update sequence array; a
// record torn by an interrupted write shows a stride whose number differs.
//
// Puts the original bytes back. A record without the "FILE" signature is left as it is (true);
// a "FILE" record whose array lies outside it, does not cover it, or whose strides do not all
// end in the update sequence number is refused (false) and may be half restored.
bool applyUpdateSequence(std::span<std::uint8_t> record);

// One run of a non-resident attribute's run list; sparse runs have no start.
struct ClusterRun {
    std::int64_t startCluster = 0;
    std::int64_t clusterCount = 0;
    bool sparse = false;
};

// What the unnamed data stream of an MFT record (its update sequence applied) maps, when it is
// not resident: the first cluster of the file it covers (an extension record covers a later
// part), and its runs in file order.
struct DataRuns {
    std::int64_t firstFileCluster = 0;
    std::vector<ClusterRun> runs;
};

// None when the record has no such stream, or when anything would be read outside the record.
std::optional<DataRuns> unnamedDataRuns(std::span<const std::uint8_t> record);

// Whether a record is a file record in use (flag 1 of its header).
bool recordInUse(std::span<const std::uint8_t> record);

}  // namespace mdf
