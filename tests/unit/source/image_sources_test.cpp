// Image containers, ddrescue maps and update sequences, checked against the tools that write
// them: qemu-img, ewfacquire, ddrescue and ddrescuelog, mkntfs.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>

#include "source/byte_order.h"
#include "source/ddrescue_map.h"
#include "source/image_format.h"
#include "source/ntfs_record.h"
#include "source/platform_file.h"
#include "testworld/process.h"
#include "testworld/random.h"
#include "testworld/source_images.h"
#include "testworld/temp_dir.h"
#include "testworld/test_world.h"

namespace mdf {
namespace {

using test::TempDir;
namespace fs = std::filesystem;

// 4 MiB of noise with a 1 MiB hole of zeros that the sparse formats leave unallocated.
std::vector<std::uint8_t> diskBytes(std::uint64_t seed) {
    test::Random rng({seed, 0x1A6Eu});
    std::vector<std::uint8_t> bytes(4 << 20);
    for (auto& b : bytes)
        b = rng.byte();
    std::fill(bytes.begin() + (1 << 20), bytes.begin() + (2 << 20), 0);
    return bytes;
}

// Reads the whole media in odd-sized pieces at odd offsets, as nothing in the system does but
// any reader must survive.
std::vector<std::uint8_t> readAll(RandomAccessFile& file, std::int64_t size) {
    std::vector<std::uint8_t> out(static_cast<std::size_t>(size));
    std::int64_t at = 0;
    std::size_t piece = 100003;
    while (at < size) {
        const std::int64_t n =
            file.readAt(out.data() + at, std::min<std::size_t>(piece, out.size() - at),
                        static_cast<std::uint64_t>(at));
        if (n <= 0) throw std::runtime_error("read failed at " + std::to_string(at));
        at += n;
        piece = piece == 100003 ? 65536 : 100003;
    }
    return out;
}

// Sets how many threads decode an image for one test, and puts the default back.
struct DecodeThreads {
    explicit DecodeThreads(unsigned n) { setImageDecodeThreads(n); }
    ~DecodeThreads() { setImageDecodeThreads(0); }
};

TEST(ImageFormat, EachContainerReadsBackTheDiskItWasMadeFrom) {
    TempDir dir;
    const auto bytes = diskBytes(1);
    const std::string raw = dir.file("disk.raw");
    test::writeFile(raw, bytes);
    struct Case {
        std::string tool;
        ImageFormat format;
    } cases[] = {{"qcow2", ImageFormat::Qcow},
                 {"vhdx", ImageFormat::Vhdx},
                 {"vpc", ImageFormat::Vhd},
                 {"vmdk", ImageFormat::Vmdk},
                 {"ewf", ImageFormat::Ewf}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.tool);
        // Names that say nothing, or the wrong thing: the signature decides.
        const std::string image = dir.file(c.tool == "ewf" ? "evidence.E01" : "disk.img");
        test::convertImage(raw, image, c.tool);
        OpenedSource opened = openSource(image);
        ASSERT_TRUE(opened.file) << opened.problem;
        EXPECT_EQ(opened.format, c.format);
        EXPECT_EQ(opened.logicalSectorBytes, 512u);
        if (c.format == ImageFormat::Vhd)  // rounded up to whole cylinders by qemu-img
            EXPECT_GE(opened.mediaBytes, static_cast<std::int64_t>(bytes.size()));
        else
            EXPECT_EQ(opened.mediaBytes, static_cast<std::int64_t>(bytes.size()));
        EXPECT_EQ(byteSizeOf(image), opened.mediaBytes);
        EXPECT_TRUE(readAll(*opened.file, static_cast<std::int64_t>(bytes.size())) == bytes);
        // Nothing past the end of the disk.
        std::vector<std::uint8_t> past(512);
        EXPECT_EQ(opened.file->readAt(past.data(), past.size(),
                                      static_cast<std::uint64_t>(opened.mediaBytes)),
                  0);
        fs::remove(image);
    }
    // Compressed images decoded by several threads at once, each its own part of a long read
    // that starts and ends inside compressed blocks; two bits of noise a byte, so that every
    // block is stored compressed.
    auto packable = bytes;
    for (auto& b : packable)
        b &= 3;
    test::writeFile(dir.file("packable.raw"), packable);
    test::convertImage(dir.file("packable.raw"), dir.file("evidence.E01"), "ewf");
    test::runChecked({"qemu-img", "convert", "-c", "-f", "raw", "-O", "qcow2",
                      dir.file("packable.raw"), dir.file("packed.qcow2")});
    ASSERT_LT(fs::file_size(dir.file("packed.qcow2")), packable.size() / 2);
    ASSERT_LT(fs::file_size(dir.file("evidence.E01")), packable.size() / 2);
    for (const std::string image : {"evidence.E01", "packed.qcow2"})
        for (unsigned threads : {2u, 3u, 8u}) {
            SCOPED_TRACE(image + " " + std::to_string(threads));
            DecodeThreads decoding(threads);
            OpenedSource opened = openSource(dir.file(image));
            ASSERT_TRUE(opened.file) << opened.problem;
            const std::size_t from = 12345;
            std::vector<std::uint8_t> out(bytes.size() - from - 999);
            ASSERT_EQ(opened.file->readAt(out.data(), out.size(), from),
                      static_cast<std::int64_t>(out.size()));
            EXPECT_TRUE(std::equal(out.begin(), out.end(), packable.begin() + from));
            // Past the end: cut at the end of the disk, whichever part reaches it.
            const std::int64_t tail = 1'700'000;
            ASSERT_EQ(opened.file->readAt(out.data(), out.size(), packable.size() - tail), tail);
            EXPECT_TRUE(std::equal(out.begin(), out.begin() + tail, packable.end() - tail));
        }

    // A raw image named like a container is still raw.
    fs::copy_file(raw, dir.file("disk.qcow2"));
    EXPECT_EQ(openSource(dir.file("disk.qcow2")).format, ImageFormat::Raw);
    EXPECT_EQ(byteSizeOf(dir.file("disk.qcow2")), static_cast<std::int64_t>(bytes.size()));
}

TEST(ImageFormat, SignaturesAtTheStartOrInAVhdFooter) {
    auto sniff = [](std::string head, std::string tail = {}) {
        return sniffImageFormat(
            std::span(reinterpret_cast<const std::uint8_t*>(head.data()), head.size()),
            std::span(reinterpret_cast<const std::uint8_t*>(tail.data()), tail.size()));
    };
    EXPECT_EQ(sniff(std::string("EVF\x09\x0d\x0a\xff\x00", 8)), ImageFormat::Ewf);
    EXPECT_EQ(sniff("vhdxfile"), ImageFormat::Vhdx);
    EXPECT_EQ(sniff("\x00\x00", "conectix"), ImageFormat::Vhd);
    EXPECT_EQ(sniff("KDMV"), ImageFormat::Vmdk);
    EXPECT_EQ(sniff("  # Disk DescriptorFile\n"), ImageFormat::Vmdk);
    EXPECT_EQ(sniff("QFI\xfb"), ImageFormat::Qcow);
    EXPECT_EQ(sniff("QFI"), ImageFormat::Raw);
    EXPECT_EQ(sniff(""), ImageFormat::Raw);
    EXPECT_EQ(sniff(std::string(512, '\0')), ImageFormat::Raw);
}

TEST(ImageFormat, DamagedSplitAndDependentImagesAreRefusedWithTheReason) {
    TempDir dir;
    const auto bytes = diskBytes(2);
    const std::string raw = dir.file("disk.raw");
    test::writeFile(raw, bytes);

    // Damaged containers: a qcow2 header damaged after its signature, a qcow2 cut short inside
    // its data (whose clusters the library would read past the file's end and crash), one that
    // declares 2^63 bytes, and a VHDX that declares 1 PiB. Each is refused, bad input, before the
    // library reads any table; a compressed qcow2 whose tables hold together opens.
    test::convertImage(raw, dir.file("image.qcow2"), "qcow2");
    test::runChecked({"qemu-img", "convert", "-c", "-f", "raw", "-O", "qcow2", raw,
                      dir.file("compressed.qcow2")});
    test::runChecked({"qemu-img", "create", "-q", "-f", "vhdx", dir.file("huge.vhdx"), "1G"});
    const auto whole = test::readFile(dir.file("image.qcow2"));
    auto damaged = [&](const std::string& name, std::vector<std::uint8_t> bytes) {
        test::writeFile(dir.file(name), bytes);
        return dir.file(name);
    };
    auto at = [](std::vector<std::uint8_t> bytes, std::size_t offset,
                 std::vector<std::uint8_t> field) {
        std::copy(field.begin(), field.end(), bytes.begin() + static_cast<std::ptrdiff_t>(offset));
        return bytes;
    };
    // The VHDX's virtual disk size lies in its metadata, where 1 GiB is the only such value.
    auto vhdx = test::readFile(dir.file("huge.vhdx"));
    const std::vector<std::uint8_t> oneGiB = {0, 0, 0, 0x40, 0, 0, 0, 0};
    auto size = std::search(vhdx.begin(), vhdx.end(), oneGiB.begin(), oneGiB.end());
    ASSERT_NE(size, vhdx.end());
    std::fill(size, size + 8, 0);
    size[6] = 0x04;  // 2^50 bytes
    test::writeFile(dir.file("huge.vhdx"), vhdx);
    const struct {
        std::string path;
        const char* problem;
    } refused[] = {
        {damaged("version.qcow2", at(whole, 4, {0, 0, 0, 99})), "version 99 is not known"},
        {damaged("cut.qcow2",
                 std::vector<std::uint8_t>(whole.begin(), whole.begin() + whole.size() / 3)),
         "lies past the end of the file (cut short?)"},
        {damaged("declared.qcow2", at(whole, 24, {0x80, 0, 0, 0, 0, 0, 0, 0})),
         "more than its L1 table"},
        {dir.file("huge.vhdx"), "declares a disk of 1125899906842624 bytes, more than a VHDX"},
    };
    for (const auto& c : refused) {
        OpenedSource bad = openSource(c.path);
        EXPECT_FALSE(bad.file) << c.path;
        EXPECT_NE(bad.problem.find(c.problem), std::string::npos) << c.path << ": " << bad.problem;
        EXPECT_TRUE(bad.refused) << c.path;
        EXPECT_FALSE(openReadOnly(c.path));
        EXPECT_EQ(byteSizeOf(c.path), -1);
    }
    OpenedSource compressed = openSource(dir.file("compressed.qcow2"));
    ASSERT_TRUE(compressed.file) << compressed.problem;
    std::vector<std::uint8_t> back(bytes.size());
    EXPECT_EQ(compressed.file->readAt(back.data(), back.size(), 0),
              static_cast<std::int64_t>(back.size()));
    EXPECT_TRUE(back == bytes);

    // An overlay without its backing file would read the unchanged clusters as zeros.
    test::convertImage(raw, dir.file("base.qcow2"), "qcow2");
    test::runChecked({"qemu-img", "create", "-q", "-f", "qcow2", "-b", dir.file("base.qcow2"), "-F",
                      "qcow2", dir.file("overlay.qcow2")});
    OpenedSource overlay = openSource(dir.file("overlay.qcow2"));
    EXPECT_FALSE(overlay.file);
    EXPECT_NE(overlay.problem.find("backing file"), std::string::npos) << overlay.problem;
    EXPECT_TRUE(overlay.refused) << "read, but unusable without its base";

    // An E01 split into 1 MiB segments reads whole from its first segment, and not at all
    // when a segment is missing.
    test::convertImage(raw, dir.file("split.E01"), "ewf", 1 << 20);
    ASSERT_TRUE(fs::exists(dir.file("split.E02")));
    OpenedSource split = openSource(dir.file("split.E01"));
    ASSERT_TRUE(split.file) << split.problem;
    EXPECT_TRUE(readAll(*split.file, split.mediaBytes) == bytes);
    split.file.reset();
    fs::remove(dir.file("split.E02"));
    OpenedSource missing = openSource(dir.file("split.E01"));
    EXPECT_FALSE(missing.file);
    EXPECT_NE(missing.problem.find("segment"), std::string::npos) << missing.problem;
    EXPECT_FALSE(missing.refused);

    // A VMDK descriptor whose extent file is gone.
    test::runChecked({"qemu-img", "convert", "-f", "raw", "-O", "vmdk", "-o",
                      "subformat=twoGbMaxExtentFlat", raw, dir.file("flat.vmdk")});
    OpenedSource flat = openSource(dir.file("flat.vmdk"));
    ASSERT_TRUE(flat.file) << flat.problem;
    EXPECT_TRUE(readAll(*flat.file, flat.mediaBytes) == bytes);
    flat.file.reset();
    for (const auto& entry : fs::directory_iterator(dir.path()))
        if (entry.path().filename().string().starts_with("flat-")) fs::remove(entry.path());
    OpenedSource noExtent = openSource(dir.file("flat.vmdk"));
    EXPECT_FALSE(noExtent.file);
    EXPECT_NE(noExtent.problem.find("extent"), std::string::npos) << noExtent.problem;
}

// A chunk whose stored checksum fails is an I/O error, never its damaged bytes; the chunks
// around it read as they were acquired.
TEST(ImageFormat, AnEwfChunkWithABadChecksumFailsToRead) {
    TempDir dir;
    const auto bytes = diskBytes(3);
    const std::string raw = dir.file("disk.raw");
    test::writeFile(raw, bytes);
    test::runChecked(
        {"ewfacquire", "-u", "-q", "-t", dir.file("plain"), "-f", "encase6", "-c", "none", raw});
    // Uncompressed chunks hold the disk's bytes as they are: find one and damage it.
    auto e01 = test::readFile(dir.file("plain.E01"));
    const std::uint64_t target = 3 << 20;  // inside the 32 KiB chunk at 3 MiB
    auto at =
        std::search(e01.begin(), e01.end(), bytes.begin() + target, bytes.begin() + target + 64);
    ASSERT_NE(at, e01.end());
    const std::uint8_t flipped[1] = {static_cast<std::uint8_t>(*at ^ 0xFF)};
    test::writeAt(dir.file("plain.E01"), static_cast<std::uint64_t>(at - e01.begin()), flipped);

    OpenedSource opened = openSource(dir.file("plain.E01"));
    ASSERT_TRUE(opened.file) << opened.problem;
    std::vector<std::uint8_t> buffer(4096);
    EXPECT_EQ(opened.file->readAt(buffer.data(), buffer.size(), target), -1);
    EXPECT_EQ(opened.file->readAt(buffer.data(), buffer.size(), target + 4096), -1)
        << "the same chunk";
    ASSERT_EQ(opened.file->readAt(buffer.data(), buffer.size(), target + 65536), 4096);
    EXPECT_TRUE(std::equal(buffer.begin(), buffer.end(), bytes.begin() + target + 65536));
    ASSERT_EQ(opened.file->readAt(buffer.data(), buffer.size(), 0), 4096);
    EXPECT_TRUE(std::equal(buffer.begin(), buffer.end(), bytes.begin()));

    // Decoded by two threads, a long read fails when the chunk lies in either half, and only then.
    DecodeThreads decoding(2);
    OpenedSource twice = openSource(dir.file("plain.E01"));
    ASSERT_TRUE(twice.file) << twice.problem;
    std::vector<std::uint8_t> whole(bytes.size());
    EXPECT_EQ(twice.file->readAt(whole.data(), 3 << 20, 0), 3 << 20) << "both halves before it";
    EXPECT_TRUE(std::equal(whole.begin(), whole.begin() + (3 << 20), bytes.begin()));
    EXPECT_EQ(twice.file->readAt(whole.data(), 3 << 20, 1 << 20), -1) << "in the second half";
    EXPECT_EQ(twice.file->readAt(whole.data(), 2 << 20, target - 65536), -1) << "in the first";
}

// ddrescue's own map of a rescue limited to a domain, read back sector by sector against
// what ddrescuelog lists as finished.
TEST(RescueMap, AgreesWithDdrescuelogOnARealRescue) {
    TempDir dir;
    const auto bytes = diskBytes(4);
    test::writeFile(dir.file("disk.raw"), bytes);
    std::ofstream(dir.file("unread.txt")) << "5\n6\n7\n100\n2047\n4000\n4001\n8191\n";
    test::runChecked({"ddrescuelog", "-q", "-b", "512", "-s", std::to_string(bytes.size()), "-c-+",
                      dir.file("domain.map")},
                     {}, dir.file("unread.txt"));
    test::runChecked({"ddrescue", "-q", "-m", dir.file("domain.map"), dir.file("disk.raw"),
                      dir.file("copy.raw"), dir.file("rescue.map")});
    RescueMap map;
    MapProblem problem;
    ASSERT_TRUE(loadRescueMap(dir.file("rescue.map"), map, problem)) << problem.text;
    std::set<std::int64_t> finished;
    std::istringstream listed(
        test::runChecked({"ddrescuelog", "-q", "-b", "512", "-l+", dir.file("rescue.map")}));
    for (std::int64_t s; listed >> s;)
        finished.insert(s);
    ASSERT_GT(finished.size(), 8000u);
    for (std::int64_t s = 0; s < static_cast<std::int64_t>(bytes.size()) / 512; ++s)
        ASSERT_EQ(map.isRescued(static_cast<std::uint64_t>(s) * 512, 512), finished.count(s) == 1)
            << "sector " << s;
    EXPECT_EQ(map.rescuedBytes, finished.size() * 512);
    EXPECT_FALSE(map.isRescued(bytes.size(), 512)) << "past what the map lists";

    // Reads through the map: whole rescued runs arrive, anything touching sector 100 fails.
    FileOpener opener = openerWithRescueMap(openReadOnly, map);
    auto file = opener(dir.file("copy.raw"));
    ASSERT_TRUE(file);
    std::vector<std::uint8_t> buffer(8 * 512);
    EXPECT_EQ(file->readAt(buffer.data(), buffer.size(), 8 * 512), 4096);
    EXPECT_TRUE(std::equal(buffer.begin(), buffer.end(), bytes.begin() + 8 * 512));
    EXPECT_EQ(file->readAt(buffer.data(), buffer.size(), 96 * 512), -1);
    EXPECT_EQ(file->readAt(buffer.data(), 512, 99 * 512), 512);
    EXPECT_EQ(file->readAt(buffer.data(), 513, 99 * 512), -1);
}

TEST(RescueMap, MalformedMapsAreRefusedWithTheirLine) {
    const std::string status =
        "# Mapfile. Created by GNU ddrescue version 1.27\n"
        "# current_pos  current_status  current_pass\n"
        "0x00000000     +               1\n"
        "#      pos        size  status\n";
    struct Case {
        std::string text;
        std::string problem;
    } cases[] = {
        {"", "line 0: no status line; not a ddrescue map file"},
        {"# only comments\n", "line 1: no status line; not a ddrescue map file"},
        {"hello world\n", "line 1: expected the status line: current position and status"},
        {"0x0 X\n", "line 1: unknown current status 'X'"},
        {"0x0 + 0\n", "line 1: current pass '0' is not a pass number"},
        {status + "0x0 0x200\n", "line 5: expected position, size and status"},
        {status + "0x0 0x2g0 +\n", "line 5: bad size '0x2g0'"},
        {status + "-1 0x200 +\n", "line 5: bad position '-1'"},
        {status + "0x0 0x200 #\n", "line 5: expected position, size and status"},
        {status + "0x0 0x200 x\n", "line 5: unknown block status 'x'"},
        {status + "0x0 0x0 +\n", "line 5: block of size 0"},
        {status + "0x200 0x200 +\n0x0 0x200 -\n",
         "line 6: block overlaps or precedes the one before it"},
        {status + "0xFFFFFFFFFFFFFFFF 0x2 +\n", "line 5: block runs past the largest position"},
        {status + "0x0 0x200 + extra\n", "line 5: expected position, size and status"},
    };
    for (const Case& c : cases) {
        RescueMap map;
        std::string problem;
        EXPECT_FALSE(parseRescueMap(c.text, map, problem)) << c.text;
        EXPECT_EQ(problem, c.problem) << c.text;
        EXPECT_TRUE(map.rescued.empty());
    }
    // Decimal and octal numbers as ddrescue accepts them; gaps left out count as not rescued.
    RescueMap map;
    std::string problem;
    ASSERT_TRUE(
        parseRescueMap(status + "0 512 +\n512 01000 +\n2048 1024 +\n4096 512 -\n", map, problem))
        << problem;
    EXPECT_EQ(map.rescued,
              (std::vector<std::pair<std::uint64_t, std::uint64_t>>{{0, 1024}, {2048, 3072}}));
    EXPECT_TRUE(map.isRescued(0, 1024));
    EXPECT_FALSE(map.isRescued(512, 1024));
    EXPECT_EQ(map.listedEnd, 4608u);

    // A file that cannot be read is the disk's fault, a text that is no map the user's: the
    // command line gives them different exit codes.
    TempDir dir;
    MapProblem loadProblem;
    EXPECT_FALSE(loadRescueMap("/nonexistent/map", map, loadProblem));
    EXPECT_EQ(loadProblem.text, "cannot open map file /nonexistent/map");
    EXPECT_FALSE(loadProblem.malformed);
    EXPECT_FALSE(loadRescueMap(dir.path().string(), map, loadProblem)) << "a directory";
    EXPECT_EQ(loadProblem.text, "cannot read map file " + dir.path().string());
    EXPECT_FALSE(loadProblem.malformed);
    std::ofstream(dir.file("bad.map")) << status << "0x0 0x200 +\n0x200 zz -\n";
    EXPECT_FALSE(loadRescueMap(dir.file("bad.map"), map, loadProblem));
    EXPECT_EQ(loadProblem.text, "map file " + dir.file("bad.map") + ": line 6: bad size 'zz'");
    EXPECT_TRUE(loadProblem.malformed);
}

// MFT record 6 of a volume mkntfs made: its strides end in the update sequence number until
// the array puts the original bytes back; a torn stride is refused.
TEST(NtfsRecord, UpdateSequenceOfARecordMkntfsWrote) {
    TempDir dir;
    for (int sectorBytes : {512, 4096}) {
        SCOPED_TRACE(sectorBytes);
        const std::string image = dir.file("ntfs.img");
        fs::remove(image);
        { std::ofstream(image).close(); }
        fs::resize_file(image, 16 << 20);
        test::runChecked({"mkntfs", "-F", "-Q", "-q", "-s", std::to_string(sectorBytes), "-c",
                          "4096", "-p", "0", "-H", "0", "-S", "0", image});
        const std::string info = test::runChecked({"ntfsinfo", "-m", image});
        std::smatch x;
        ASSERT_TRUE(std::regex_search(info, x, std::regex(R"(MFT Record Size: (\d+))")));
        const std::size_t recordBytes = std::stoul(x[1]);
        ASSERT_TRUE(
            std::regex_search(info, x, std::regex(R"(LCN of Data Attribute for FILE_MFT: (\d+))")));
        const std::int64_t mft = std::stoll(x[1]) * 4096;
        auto all = test::readFile(image);
        std::vector<std::uint8_t> record(
            all.begin() + mft + 6 * static_cast<std::int64_t>(recordBytes),
            all.begin() + mft + 7 * static_cast<std::int64_t>(recordBytes));
        const std::uint16_t arrayAt = loadU16(&record[4]);
        const std::uint16_t usn = loadU16(&record[arrayAt]);
        for (std::size_t s = 1; s <= recordBytes / 512; ++s)
            ASSERT_EQ(loadU16(&record[s * 512 - 2]), usn);
        auto torn = record;
        ASSERT_TRUE(applyUpdateSequence(record));
        for (std::size_t s = 1; s <= recordBytes / 512; ++s)
            EXPECT_EQ(loadU16(&record[s * 512 - 2]), loadU16(&record[arrayAt + 2 * s]));
        torn[recordBytes - 1] ^= 0x01;
        EXPECT_FALSE(applyUpdateSequence(torn));
    }
    // Records that are not "FILE" records are left alone; a "FILE" record with an array that
    // lies outside it or does not cover it is refused.
    std::vector<std::uint8_t> record(1024, 0);
    EXPECT_TRUE(applyUpdateSequence(record));
    std::memcpy(record.data(), "FILE", 4);
    storeU16(&record[4], 1020);
    storeU16(&record[6], 3);
    EXPECT_FALSE(applyUpdateSequence(record));
    storeU16(&record[4], 48);
    storeU16(&record[6], 2);
    EXPECT_FALSE(applyUpdateSequence(record));
}

}  // namespace
}  // namespace mdf
