#include "source/sector_source.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <numeric>
#include <vector>

#include "source/platform_file.h"
#include "support/holes.h"
#include "testworld/temp_dir.h"

namespace mdf {
namespace {

using test::TempDir;

// An image whose sector k is filled with the byte k mod 251, so every read shows where it came
// from.
std::string makeImage(const TempDir& dir, const std::string& name, std::int64_t sectors) {
    std::vector<std::uint8_t> bytes(static_cast<std::size_t>(sectors) * kSectorSize);
    for (std::int64_t s = 0; s < sectors; ++s)
        std::fill_n(bytes.begin() + s * kSectorSize, kSectorSize,
                    static_cast<std::uint8_t>(s % 251));
    std::string path = dir.file(name);
    test::writeFile(path, bytes);
    return path;
}

bool sectorHolds(const std::vector<std::uint8_t>& buf, std::size_t index, std::int64_t sector) {
    return buf[index * kSectorSize] == sector % 251 &&
           buf[index * kSectorSize + 511] == sector % 251;
}

TEST(SectorSource, VolumeLimitIsTheLastSectorAndCutsTheReadToIt) {
    TempDir dir;
    SectorSource source;
    source.select(SourceKind::Volume, makeImage(dir, "vol.img", 1200), 1000);
    source.setReadLimit(1000);
    std::vector<std::uint8_t> buf(16 * kSectorSize, 0xEE);
    ASSERT_TRUE(source.readSectors(16, buf.data(), 990));
    for (int i = 0; i < 11; ++i)
        EXPECT_TRUE(sectorHolds(buf, i, 990 + i)) << i;
    EXPECT_TRUE(
        std::all_of(buf.begin() + 11 * kSectorSize, buf.end(), [](auto b) { return b == 0xEE; }));
    EXPECT_TRUE(source.readSectors(1, buf.data(), 1000));
    EXPECT_FALSE(source.readSectors(1, buf.data(), 1001));
}

TEST(SectorSource, ImageLimitIsOnePastTheLastSector) {
    TempDir dir;
    SectorSource source;
    source.select(SourceKind::ImageFile, makeImage(dir, "disk.img", 1000), 1000);
    source.setReadLimit(1000);
    std::vector<std::uint8_t> buf(16 * kSectorSize, 0xEE);
    ASSERT_TRUE(source.readSectors(16, buf.data(), 990));
    for (int i = 0; i < 10; ++i)
        EXPECT_TRUE(sectorHolds(buf, i, 990 + i)) << i;
    EXPECT_EQ(buf[10 * kSectorSize], 0xEE);
    EXPECT_FALSE(source.readWholeSectors(16, buf.data(), 990))
        << "a page reader wants all of it or nothing";
    EXPECT_TRUE(source.readWholeSectors(10, buf.data(), 990));
    const std::uint64_t before = source.platformReads();
    EXPECT_FALSE(source.readSectors(1, buf.data(), 1000));
    EXPECT_EQ(source.platformReads(), before) << "a read past the end must not reach the device";
}

TEST(SectorSource, WithoutLimitTheDeviceDecidesAndAShortReadFails) {
    TempDir dir;
    SectorSource source;
    source.select(SourceKind::ImageFile, makeImage(dir, "disk.img", 1000), 1000);
    std::vector<std::uint8_t> buf(16 * kSectorSize);
    EXPECT_FALSE(source.readSectors(16, buf.data(), 990)) << "the image ends inside the read";
    EXPECT_TRUE(source.readSectors(10, buf.data(), 990));
    EXPECT_FALSE(source.readSectors(1, buf.data(), -1));
}

// A plain file is read in requests of 1 MiB: a 6 MiB window in six calls, not in one per 64 KiB.
TEST(SectorSource, LargeReadsGoInTheFilesOwnRequestSize) {
    TempDir dir;
    SectorSource source;
    source.select(SourceKind::ImageFile, makeImage(dir, "big.img", 12288 + 64), 12288 + 64);
    std::vector<std::uint8_t> buf(12288 * kSectorSize);
    ASSERT_TRUE(source.readSectors(12288, buf.data(), 0));
    EXPECT_EQ(source.platformReads(), 6u);
    for (int s : {0, 127, 128, 12287})
        EXPECT_TRUE(sectorHolds(buf, s, s)) << s;

    // The image ends inside the last chunk: the whole call fails.
    EXPECT_FALSE(source.readSectors(12288, buf.data(), 100));
}

TEST(SectorSource, SwitchingSourcesReadsFromTheCurrentOne) {
    TempDir dir;
    std::string a = makeImage(dir, "a.img", 300);
    std::vector<std::uint8_t> other(300 * kSectorSize, 0x5A);
    std::string b = dir.file("b.img");
    test::writeFile(b, other);

    SectorSource source;
    std::vector<std::uint8_t> buf(kSectorSize);
    source.select(SourceKind::ImageFile, a, 300);
    ASSERT_TRUE(source.readSectors(1, buf.data(), 7));
    EXPECT_EQ(buf[0], 7);
    source.select(SourceKind::PhysicalDisk, b, 300);
    ASSERT_TRUE(source.readSectors(1, buf.data(), 7));
    EXPECT_EQ(buf[0], 0x5A);
    source.select(SourceKind::ImageFile, a, 300);
    ASSERT_TRUE(source.readSectors(1, buf.data(), 8));
    EXPECT_EQ(buf[0], 8);
}

TEST(SectorSource, APartitionInsideAnImageIsAddressedFromItsFirstSector) {
    TempDir dir;
    SectorSource source;
    source.select(SourceKind::Volume, makeImage(dir, "disk.img", 600), 99, 500);
    source.setReadLimit(99);
    std::vector<std::uint8_t> buf(2 * kSectorSize);
    ASSERT_TRUE(source.readSectors(1, buf.data(), 0));
    EXPECT_TRUE(sectorHolds(buf, 0, 500));
    ASSERT_TRUE(source.readSectors(2, buf.data(), 98));
    EXPECT_TRUE(sectorHolds(buf, 1, 599));
    EXPECT_FALSE(source.readSectors(1, buf.data(), 100));
}

TEST(SectorSource, NoSourceAndAVanishedSourceFailEveryRead) {
    TempDir dir;
    SectorSource source;
    std::vector<std::uint8_t> buf(kSectorSize);
    EXPECT_FALSE(source.readSectors(1, buf.data(), 0));
    source.select(SourceKind::ImageFile, dir.file("missing.img"), 100);
    EXPECT_FALSE(source.readSectors(1, buf.data(), 0));
    // Choosing it again once it exists retries the open.
    makeImage(dir, "missing.img", 100);
    source.select(SourceKind::ImageFile, dir.file("missing.img"), 100);
    EXPECT_TRUE(source.readSectors(1, buf.data(), 0));
}

TEST(SectorSource, FarSectorsUseSixtyFourBitOffsets) {
    // A volume sector above 2^32 must not wrap to a low sector.
    struct Probe : RandomAccessFile {
        std::uint64_t* seen;
        explicit Probe(std::uint64_t* s) : seen(s) {}
        std::int64_t readAt(void*, std::size_t size, std::uint64_t offset) override {
            *seen = offset;
            return static_cast<std::int64_t>(size);
        }
    };
    std::uint64_t seen = 0;
    SectorSource source([&](const std::string&) { return std::make_unique<Probe>(&seen); });
    source.select(SourceKind::Volume, "/dev/fake", 0);
    std::vector<std::uint8_t> buf(kSectorSize);
    const std::int64_t far = (std::int64_t{1} << 32) + 5;
    ASSERT_TRUE(source.readSectors(1, buf.data(), far));
    EXPECT_EQ(seen, static_cast<std::uint64_t>(far) * kSectorSize);
}

// A sparse image reads as the same bytes as it would byte for byte: in a hole, across the edges
// of holes and data, in a hole at the end of the file, past the end, and in reads too small to
// ask the file system about. The file is read back independently of the handle to compare.
TEST(PlainFile, ASparseImageReadsAsItsBytesWhereverTheHolesLie) {
    TempDir dir;
    const std::string path = dir.file("sparse.img");
    constexpr std::uint64_t kMiB = 1 << 20;
    {
        std::vector<std::uint8_t> data(kMiB + kMiB / 2);
        std::iota(data.begin(), data.end(), std::uint8_t{1});
        std::ofstream out(path, std::ios::binary);
        out.write(reinterpret_cast<const char*>(data.data()), kMiB);  // data, then a hole
        out.seekp(9 * kMiB);
        out.write(reinterpret_cast<const char*>(data.data()), kMiB / 2);
    }
    std::filesystem::resize_file(path, 16 * kMiB);  // a hole to the end
    if (!test::keepsHoles(dir.path().string()))
        GTEST_SKIP() << "the file system under the temporary folder keeps no holes";
    std::ifstream in(path, std::ios::binary);
    const std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(in)), {});
    ASSERT_EQ(bytes.size(), 16 * kMiB);

    const auto file = openPlainReadOnly(path);
    ASSERT_TRUE(file);
    const struct {
        std::uint64_t offset, size;
    } reads[] = {
        {2 * kMiB, 2 * kMiB},         // inside the hole
        {kMiB - 4096, 2 * kMiB},      // data into the hole
        {8 * kMiB, 2 * kMiB},         // the hole into data
        {9 * kMiB + kMiB / 4, kMiB},  // data into the last hole
        {12 * kMiB, 2 * kMiB},        // inside the last hole
        {15 * kMiB, 3 * kMiB},        // the last hole past the end
        {16 * kMiB + 4096, kMiB},     // past the end
        {3 * kMiB, 4096},             // small, in the hole
    };
    for (const auto& r : reads) {
        std::vector<std::uint8_t> got(r.size, 0xEE);
        const std::int64_t n = file->readAt(got.data(), got.size(), r.offset);
        const std::uint64_t within =
            r.offset < bytes.size() ? std::min<std::uint64_t>(r.size, bytes.size() - r.offset) : 0;
        EXPECT_EQ(n, static_cast<std::int64_t>(within)) << r.offset;
        std::vector<std::uint8_t> want(r.size, 0xEE);
        std::copy_n(bytes.begin() + static_cast<std::ptrdiff_t>(
                                        std::min<std::uint64_t>(r.offset, bytes.size())),
                    within, want.begin());
        EXPECT_TRUE(got == want) << r.offset << "+" << r.size;
    }
}

}  // namespace
}  // namespace mdf
