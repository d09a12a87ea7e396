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

namespace mdf {
namespace {

constexpr std::uint32_t kDataAttribute = 0x80;
constexpr std::uint32_t kEndOfAttributes = 0xFFFFFFFF;

// A run list from p to its terminating zero byte; false when it leaves the record.
bool decodeRunList(std::span<const std::uint8_t> record, std::int64_t p,
                   std::vector<ClusterRun>& runs) {
    std::int64_t previousStart = 0;
    bool first = true;
    while (true) {
        if (!inBounds(p, 1, record.size())) return false;
        const std::uint8_t header = record[static_cast<std::size_t>(p)];
        if (header == 0) return true;
        const int lengthBytes = header & 0x0F;
        const int offsetBytes = header >> 4;
        if (lengthBytes == 0 || lengthBytes > 8 || offsetBytes > 8) return false;
        if (!inBounds(p + 1, lengthBytes + offsetBytes, record.size())) return false;
        const std::uint8_t* field = &record[static_cast<std::size_t>(p) + 1];
        std::uint64_t length = 0;
        for (int i = 0; i < lengthBytes; ++i)
            length |= std::uint64_t{field[i]} << (8 * i);
        ClusterRun run;
        run.clusterCount = static_cast<std::int64_t>(length & 0x7FFFFFFFFFFFFFFFull);
        if (offsetBytes == 0) {
            run.sparse = true;
        } else {
            std::uint64_t delta = 0;
            for (int i = 0; i < offsetBytes; ++i)
                delta |= std::uint64_t{field[lengthBytes + i]} << (8 * i);
            // The first run's start is unsigned; later ones are signed differences.
            if (!first && (field[lengthBytes + offsetBytes - 1] & 0x80) && offsetBytes < 8)
                delta |= ~std::uint64_t{0} << (8 * offsetBytes);
            run.startCluster = static_cast<std::int64_t>(
                (first ? 0 : static_cast<std::uint64_t>(previousStart)) + delta);
            previousStart = run.startCluster;
            first = false;
        }
        runs.push_back(run);
        p += 1 + lengthBytes + offsetBytes;
    }
}

}  // namespace

std::optional<DataRuns> unnamedDataRuns(std::span<const std::uint8_t> record) {
    if (record.size() < 24) return std::nullopt;
    std::int64_t pos = loadU16(&record[20]);
    while (inBounds(pos, 16, record.size())) {
        const std::uint8_t* attribute = &record[static_cast<std::size_t>(pos)];
        const std::uint32_t type = loadU32(attribute);
        const std::uint32_t length = loadU32(attribute + 4);
        if (type == kEndOfAttributes || length < 16 || !inBounds(pos, length, record.size()))
            return std::nullopt;
        const bool nonResident = attribute[8] != 0;
        const bool unnamed = attribute[9] == 0;
        if (type == kDataAttribute && nonResident && unnamed) {
            if (length < 34) return std::nullopt;
            DataRuns data;
            data.firstFileCluster = loadI64(attribute + 16);
            const std::span<const std::uint8_t> own(attribute, length);
            if (data.firstFileCluster < 0 ||
                !decodeRunList(own, loadU16(attribute + 32), data.runs))
                return std::nullopt;
            return data;
        }
        if (type > kDataAttribute) return std::nullopt;  // attributes come in type order
        pos += length;
    }
    return std::nullopt;
}

bool recordInUse(std::span<const std::uint8_t> record) {
    return record.size() >= 24 && std::memcmp(record.data(), "FILE", 4) == 0 &&
           (loadU16(&record[22]) & 1) != 0;
}

}  // namespace mdf
