#include "source/qcow_header.h"

#include <fmt/core.h>

#include <array>
#include <unordered_set>
#include <vector>

namespace mdf {
namespace {

std::uint32_t be32(const std::uint8_t* p) {
    return std::uint32_t{p[0]} << 24 | std::uint32_t{p[1]} << 16 | std::uint32_t{p[2]} << 8 | p[3];
}
std::uint64_t be64(const std::uint8_t* p) {
    return std::uint64_t{be32(p)} << 32 | be32(p + 4);
}

// The largest L1 table qemu writes (32 MiB of entries), and the largest disk any qcow2 holds.
constexpr std::uint64_t kMostL1Entries = (std::uint64_t{32} << 20) / 8;
constexpr std::uint64_t kMostDiskBytes = std::uint64_t{1} << 61;
constexpr std::uint64_t kOffsetMask = 0x00fffffffffffe00ull;

bool within(std::uint64_t offset, std::uint64_t length, std::uint64_t fileBytes) {
    return offset <= fileBytes && length <= fileBytes - offset;
}

bool readAll(RandomAccessFile& file, std::vector<std::uint8_t>& out, std::uint64_t offset) {
    return file.readAt(out.data(), out.size(), offset) == static_cast<std::int64_t>(out.size());
}

std::string version1Problem(const std::uint8_t* h, std::uint64_t fileBytes) {
    // qcow (version 1): size at 24, cluster and L2 bits at 32 and 33, L1 offset at 40.
    const std::uint64_t size = be64(h + 24);
    const unsigned clusterBits = h[32], l2Bits = h[33];
    if (clusterBits < 9 || clusterBits > 16 || l2Bits < 6 || l2Bits > 16)
        return "its cluster or table sizes are out of range";
    const std::uint64_t perL1 = std::uint64_t{1} << (clusterBits + l2Bits);
    const std::uint64_t l1Entries = (size + perL1 - 1) / perL1;
    if (size > kMostDiskBytes || !within(be64(h + 40), l1Entries * 8, fileBytes))
        return fmt::format("it declares a disk of {} bytes whose tables do not fit the file", size);
    return {};
}

}  // namespace

std::string qcowImageProblem(RandomAccessFile& file, std::uint64_t fileBytes) {
    std::vector<std::uint8_t> header(104, 0);
    const std::int64_t got = file.readAt(header.data(), header.size(), 0);
    if (got < 48) return "the file is shorter than a qcow header";
    const std::uint8_t* h = header.data();
    const std::uint32_t version = be32(h + 4);
    if (version == 1) return version1Problem(h, fileBytes);
    if (version != 2 && version != 3) return fmt::format("version {} is not known", version);
    if (got < 72) return "the file is shorter than a qcow2 header";
    const std::uint32_t clusterBits = be32(h + 20);
    if (clusterBits < 9 || clusterBits > 21)
        return fmt::format("its cluster size 2^{} is out of range", clusterBits);
    const std::uint64_t cluster = std::uint64_t{1} << clusterBits;
    const std::uint64_t size = be64(h + 24);
    const std::uint64_t l1Entries = be32(h + 36);
    const std::uint64_t l1Offset = be64(h + 40);
    const std::uint64_t perL2 = cluster / 8;
    if (l1Entries > kMostL1Entries || size > kMostDiskBytes || size > l1Entries * perL2 * cluster)
        return fmt::format(
            "it declares a disk of {} bytes, more than its L1 table of {} entries "
            "can address",
            size, l1Entries);
    if (!within(l1Offset, l1Entries * 8, fileBytes))
        return "its L1 table lies past the end of the file (cut short?)";
    const std::uint64_t refcountOffset = be64(h + 48);
    const std::uint64_t refcountClusters = be32(h + 56);
    if (!within(refcountOffset, refcountClusters * cluster, fileBytes))
        return "its refcount table lies past the end of the file (cut short?)";
    if (be32(h + 60) > 0 && !within(be64(h + 64), 1, fileBytes))
        return "its snapshot table lies past the end of the file (cut short?)";

    // Every L2 table the L1 table names, and every cluster they name, must lie in the file. A
    // compressed cluster's length lies in the entry's upper bits; its data may end inside the
    // file's last sector.
    const std::uint64_t sectorEnd = (fileBytes + 511) / 512 * 512;
    const unsigned compressedSizeShift = 62 - (clusterBits - 8);
    std::vector<std::uint8_t> l1(l1Entries * 8), l2(cluster);
    if (!l1.empty() && !readAll(file, l1, l1Offset)) return "its L1 table cannot be read";
    // Each L2 table is a cluster of its own: one named twice is damage, and would have this
    // check read the same table millions of times.
    std::unordered_set<std::uint64_t> l2Tables;
    for (std::uint64_t i = 0; i < l1Entries; ++i) {
        const std::uint64_t l2Offset = be64(&l1[i * 8]) & kOffsetMask;
        if (l2Offset == 0) continue;
        if (!within(l2Offset, cluster, fileBytes))
            return fmt::format("L2 table {} lies past the end of the file (cut short?)", i);
        if (!l2Tables.insert(l2Offset).second)
            return fmt::format("its L1 table names the L2 table at {} twice", l2Offset);
        if (!readAll(file, l2, l2Offset)) return fmt::format("L2 table {} cannot be read", i);
        for (std::uint64_t j = 0; j < perL2; ++j) {
            const std::uint64_t entry = be64(&l2[j * 8]);
            bool fits = true;
            if (entry & (std::uint64_t{1} << 62)) {
                const std::uint64_t offset =
                    entry & ((std::uint64_t{1} << compressedSizeShift) - 1);
                const std::uint64_t sectors = ((entry >> compressedSizeShift) &
                                               ((std::uint64_t{1} << (clusterBits - 8)) - 1)) +
                                              1;
                fits = within(offset / 512 * 512, sectors * 512, sectorEnd);
            } else if (const std::uint64_t offset = entry & kOffsetMask; offset != 0) {
                fits = within(offset, cluster, fileBytes);
            }
            if (!fits)
                return fmt::format(
                    "a data cluster of L2 table {} lies past the end of the file "
                    "(cut short?)",
                    i);
        }
    }
    return {};
}

}  // namespace mdf
