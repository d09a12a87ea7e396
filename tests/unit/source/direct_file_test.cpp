// Direct I/O: whatever the alignment of a request, wherever it ends, and whatever the read-ahead
// had guessed, a direct read hands out exactly what a plain read of the same file does.
#include <gtest/gtest.h>

#include <atomic>
#include <random>
#include <thread>
#include <vector>

#include "scan/scan_engine.h"
#include "session/recovery_session.h"
#include "source/platform_file.h"
#include "source/sector_source.h"
#include "testworld/temp_dir.h"
#include "testworld/test_world.h"

namespace mdf {
namespace {

using test::TempDir;

std::string randomFile(const TempDir& dir, std::size_t size, std::uint32_t seed) {
    std::vector<std::uint8_t> bytes(size);
    std::mt19937 rng(seed);
    for (auto& b : bytes)
        b = static_cast<std::uint8_t>(rng());
    const std::string path = dir.file("random.bin");
    test::writeFile(path, bytes);
    return path;
}

struct Read {
    std::int64_t result;
    std::vector<std::uint8_t> bytes;
};

Read readWith(RandomAccessFile& f, std::size_t size, std::uint64_t offset, std::size_t shift = 0) {
    // shift puts the caller's buffer off any alignment.
    std::vector<std::uint8_t> buffer(size + shift + 1, 0xA5);
    Read r{f.readAt(buffer.data() + shift, size, offset), {}};
    if (r.result > 0)
        r.bytes.assign(buffer.begin() + static_cast<std::ptrdiff_t>(shift),
                       buffer.begin() + static_cast<std::ptrdiff_t>(shift) + r.result);
    EXPECT_EQ(buffer[shift + size], 0xA5) << "wrote past the request";
    return r;
}

void expectSameRead(RandomAccessFile& direct, RandomAccessFile& plain, std::size_t size,
                    std::uint64_t offset, std::size_t shift = 0) {
    const Read d = readWith(direct, size, offset, shift);
    const Read p = readWith(plain, size, offset, shift);
    ASSERT_EQ(d.result, p.result) << size << " bytes at " << offset;
    ASSERT_TRUE(d.bytes == p.bytes) << size << " bytes at " << offset;
}

TEST(DirectFile, UnalignedRequestsAndTheEndOfTheFileReadAsPlainReadsDo) {
    TempDir dir;
    const std::size_t size = (std::size_t{19} << 20) + 777;  // ends off any alignment
    const std::string path = randomFile(dir, size, 3);
    auto direct = openDirect(path);
    ASSERT_TRUE(direct) << "the temp directory's file system takes O_DIRECT";
    auto plain = openBuffered(path);
    ASSERT_TRUE(plain);
    EXPECT_GT(direct->preferredReadSize(), plain->preferredReadSize());
    const std::vector<std::pair<std::size_t, std::uint64_t>> cases = {
        {512, 0},          {512, 512},         {1, 4095},          {8192, 100},
        {65536, 4096},     {4096, 4096},       {12 << 20, 0},      {(9 << 20) + 3, 511},
        {1000, size - 10}, {4096, size - 777}, {512, size},        {1, size + 4096},
        {20 << 20, 0},     {8 << 20, 1 << 20}, {(8 << 20) - 1, 1}, {777, size - 777}};
    for (auto [n, offset] : cases) {
        expectSameRead(*direct, *plain, n, offset);
        expectSameRead(*direct, *plain, n, offset, 1);  // the caller's buffer unaligned
    }

    // As the writer's readers meet it: as many threads as it takes reads at once, each going
    // through the cases from another one on, unaligned reads among them.
    ASSERT_GT(direct->readsAtOnce(), 1);
    std::vector<std::thread> readers;
    for (int t = 0; t < direct->readsAtOnce(); ++t)
        readers.emplace_back([&, t] {
            for (std::size_t i = 0; i < cases.size(); ++i) {
                const auto [n, offset] =
                    cases[(i + static_cast<std::size_t>(t) * 5) % cases.size()];
                expectSameRead(*direct, *plain, n, offset, static_cast<std::size_t>(t % 2));
            }
        });
    for (std::thread& r : readers)
        r.join();

    // One stream of consecutive pieces of 1 MiB and a bit, dealt out to the threads in turn, as
    // the writer's readers take the pieces of a long fragment: the read-ahead starts, and its
    // buffers are asked for by several threads at once.
    const std::size_t piece = (std::size_t{1} << 20) + 4096;
    for (int round = 0; round < 3; ++round) {
        std::atomic<std::size_t> next{0};
        readers.clear();
        for (int t = 0; t < direct->readsAtOnce(); ++t)
            readers.emplace_back([&] {
                for (std::size_t i = next++; (i + 1) * piece <= size; i = next++)
                    expectSameRead(*direct, *plain, piece, i * piece);
            });
        for (std::thread& r : readers)
            r.join();
    }
}

TEST(DirectFile, TheReadAheadHandsOutOnlyBytesOfTheRangeAsked) {
    TempDir dir;
    const std::size_t size = (std::size_t{40} << 20) + 4096 + 512;
    const std::string path = randomFile(dir, size, 11);
    auto direct = openDirect(path);
    ASSERT_TRUE(direct);
    auto plain = openBuffered(path);
    // Runs of sequential reads of varying sizes, which start read-aheads, broken by jumps
    // backwards and forwards, into the middle of a read-ahead, and past the end.
    std::mt19937_64 rng(5);
    std::uint64_t offset = 0;
    for (int i = 0; i < 400; ++i) {
        const std::size_t n = 512 * (1 + rng() % (i % 7 == 0 ? 16384 : 256));
        switch (rng() % 10) {
            case 0:
                offset = (rng() % (size / 512)) * 512;
                break;
            case 1:
                offset = offset >= 4096 ? offset - 4096 : 0;
                break;
            case 2:
                offset += 512 * (rng() % 64);
                break;
            default:
                break;
        }
        if (offset > size + 8192) offset = 0;
        expectSameRead(*direct, *plain, n, offset);
        offset += n;
    }
}

TEST(DirectFile, ASectorSourceOverItReadsWholeWindowsAtOnceAndCutsAsBefore) {
    TempDir dir;
    const std::size_t size = std::size_t{20000} * 512;
    const std::string path = randomFile(dir, size, 7);
    SectorSource direct(openDirectOrReadOnly), plain(openBuffered);
    for (SectorSource* s : {&direct, &plain}) {
        s->select(SourceKind::ImageFile, path, 20000);
        s->setReadLimit(20000);
    }
    std::vector<std::uint8_t> a(12288 * 512), b(12288 * 512);
    ASSERT_TRUE(direct.readSectors(12288, a.data(), 0));
    EXPECT_EQ(direct.platformReads(), 1u);
    for (std::int64_t sector : {0, 1, 12288, 7711}) {
        const bool ok = direct.readSectors(12288, a.data(), sector);
        EXPECT_EQ(ok, plain.readSectors(12288, b.data(), sector));
        EXPECT_TRUE(a == b) << sector;
    }
    EXPECT_FALSE(direct.readWholeSectors(16, a.data(), 19990));
    EXPECT_FALSE(direct.readSectors(1, a.data(), 20000));
}

TEST(DirectFile, AScanThroughItFindsWhatAPlainScanFinds) {
    TempDir dir;
    test::DatabaseRecipe recipe;
    recipe.pages = 3000;
    test::SyntheticDatabase db(recipe);
    test::RawImageOptions o;
    o.staleCopies = 10;
    o.computeHashes = false;
    const std::string image = dir.file("raw.img");
    test::buildRawImage(db, image, o);
    std::vector<std::vector<FragmentRecord>> found;
    for (FileOpener opener : {FileOpener(openDirectOrReadOnly), FileOpener(openBuffered)}) {
        SilentReporter reporter;
        RecoverySession session(reporter, opener);
        session.openImage(image, ImageKind::WholeDisk);
        session.settings().sectorsPerCluster = 8;
        ASSERT_TRUE(session.startScan() == StartResult::Started);
        session.waitForJobs();
        ASSERT_EQ(session.lastScanOutcome(), ScanOutcome::Finished);
        found.emplace_back(session.fragments().begin(), session.fragments().end());
    }
    ASSERT_GT(found[0].size(), 50u);
    ASSERT_EQ(found[0].size(), found[1].size());
    for (std::size_t i = 0; i < found[0].size(); ++i) {
        EXPECT_EQ(found[0][i].fsec, found[1][i].fsec) << i;
        EXPECT_EQ(found[0][i].sizeKB, found[1][i].sizeKB) << i;
        EXPECT_EQ(found[0][i].beginPage, found[1][i].beginPage) << i;
        EXPECT_EQ(found[0][i].memo, found[1][i].memo) << i;
    }
}

}  // namespace
}  // namespace mdf
