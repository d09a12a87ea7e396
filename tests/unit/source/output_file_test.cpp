// A large output written through aligned direct writes, a second thread and holes must be, byte
// for byte, what the caller wrote, and its observer must see exactly those bytes in order.
#include "source/output_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <random>
#include <vector>

#include "testworld/temp_dir.h"

namespace mdf {
namespace {

using test::TempDir;

std::vector<std::uint8_t> randomBytes(std::size_t size, std::uint32_t seed) {
    std::vector<std::uint8_t> bytes(size);
    std::mt19937 rng(seed);
    for (auto& b : bytes)
        b = static_cast<std::uint8_t>(rng() | 1);  // never zero, so a lost write shows
    return bytes;
}

// Pieces of data and runs of zeros of awkward sizes: below and above the hole threshold, across
// buffer boundaries, not multiples of the direct-I/O alignment, and a file ending in zeros.
struct Piece {
    bool zeros;
    std::size_t size;
};

std::vector<std::uint8_t> writePieces(OutputFile& out, const std::vector<Piece>& pieces) {
    std::vector<std::uint8_t> expected;
    std::uint32_t seed = 1;
    for (const Piece& p : pieces) {
        if (p.zeros) {
            EXPECT_TRUE(out.writeZeros(p.size)) << out.error();
            expected.insert(expected.end(), p.size, 0);
        } else {
            const auto bytes = randomBytes(p.size, seed++);
            // In several calls, as the writer hands pages one by one.
            for (std::size_t at = 0; at < bytes.size(); at += 8192)
                EXPECT_TRUE(out.write(
                    std::span(bytes).subspan(at, std::min<std::size_t>(8192, bytes.size() - at))));
            expected.insert(expected.end(), bytes.begin(), bytes.end());
        }
    }
    return expected;
}

TEST(LargeOutput, HoldsExactlyWhatWasWrittenAndTheObserverSeesItInOrder) {
    const std::vector<std::vector<Piece>> layouts = {
        {{false, 3 * 8192}, {true, 40 << 20}, {false, 9 << 20}, {true, 8192}, {false, 8192}},
        {{false, (8 << 20) - 8192}, {true, (2 << 20) + 512}, {false, 777}, {true, 3 << 20}},
        {{true, 17 << 20}},
        {{false, 100}},
    };
    for (std::size_t i = 0; i < layouts.size(); ++i) {
        SCOPED_TRACE(i);
        TempDir dir;
        const std::string path = dir.file("out.mdf");
        std::vector<std::uint8_t> seen;
        std::vector<std::uint8_t> expected;
        {
            OutputFile out(path, OutputGuard{}, OutputFile::Kind::Large);
            ASSERT_TRUE(out.ok()) << out.error();
            out.observeBytes([&](std::span<const std::uint8_t> b) {
                seen.insert(seen.end(), b.begin(), b.end());
            });
            expected = writePieces(out, layouts[i]);
            EXPECT_EQ(out.bytesWritten(), expected.size());
            ASSERT_TRUE(out.commit()) << out.error();
        }
        const std::vector<std::uint8_t> onDisk = test::readFile(path);
        ASSERT_EQ(onDisk.size(), expected.size());
        EXPECT_TRUE(onDisk == expected) << "the file differs from what was written";
        EXPECT_TRUE(seen == expected) << "the observer saw other bytes or another order";
    }
}

TEST(LargeOutput, LongZeroRunsTakeNoSpaceAndShortOnesAreWritten) {
    TempDir dir;
    const std::string path = dir.file("sparse.mdf");
    {
        OutputFile out(path, OutputGuard{}, OutputFile::Kind::Large);
        ASSERT_TRUE(out.ok());
        writePieces(out, {{false, 8192}, {true, 256 << 20}, {false, 8192}});
        ASSERT_TRUE(out.commit()) << out.error();
    }
    struct stat st {};
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_size, (256 << 20) + 2 * 8192);
    EXPECT_LT(st.st_blocks * 512, 16 << 20) << "256 MiB of zeros were written out";
}

TEST(LargeOutput, AFailedOrAbandonedWriteLeavesNoFileUnderTheName) {
    TempDir dir;
    const std::string path = dir.file("gone.mdf");
    {
        OutputFile out(path, OutputGuard{}, OutputFile::Kind::Large);
        writePieces(out, {{false, 20 << 20}});
        // Dropped without commit: a run that ended before the end.
    }
    EXPECT_FALSE(std::filesystem::exists(path));
    EXPECT_TRUE(std::filesystem::is_empty(dir.path())) << "a half-written file was left behind";
}

}  // namespace
}  // namespace mdf
