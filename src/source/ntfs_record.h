#pragma once

#include <cstdint>
#include <span>

namespace mdf {

// An MFT record as the disk holds it has the last two bytes of every 512-byte stride replaced
// by an update sequence number, the originals kept in the record's update sequence array; a
// record torn by an interrupted write shows a stride whose number differs.
//
// Puts the original bytes back. A record without the "FILE" signature is left as it is (true);
// a "FILE" record whose array lies outside it, does not cover it, or whose strides do not all
// end in the update sequence number is refused (false) and may be half restored.
bool applyUpdateSequence(std::span<std::uint8_t> record);

}  // namespace mdf
