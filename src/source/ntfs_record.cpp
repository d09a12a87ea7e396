#include "source/ntfs_record.h"

#include <cstring>

#include "source/byte_order.h"

namespace mdf {

bool applyUpdateSequence(std::span<std::uint8_t> record) {
    constexpr std::size_t kStride = 512;
    if (record.size() < 8 || std::memcmp(record.data(), "FILE", 4) != 0) return true;
    const std::uint16_t arrayOffset = loadU16(&record[4]);
    const std::uint16_t entries = loadU16(&record[6]);  // the number itself, then one per stride
    const std::size_t strides = record.size() / kStride;
    if (strides == 0 || entries != strides + 1) return false;
    if (!inBounds(arrayOffset, std::int64_t{entries} * 2, record.size())) return false;
    const std::uint8_t* array = &record[arrayOffset];
    for (std::size_t i = 0; i < strides; ++i) {
        std::uint8_t* tail = &record[(i + 1) * kStride - 2];
        if (tail[0] != array[0] || tail[1] != array[1]) return false;
        tail[0] = array[2 + 2 * i];
        tail[1] = array[3 + 2 * i];
    }
    return true;
}

}  // namespace mdf
