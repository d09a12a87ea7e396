// The scan's progress line and the resume file beside a stopped scan.
#include <gtest/gtest.h>

#include <fstream>

#include "cli/resume_file.h"
#include "cli/scan_gauge.h"
#include "testworld/temp_dir.h"

namespace mdf::cli {
namespace {

using namespace std::chrono_literals;

TEST(ScanGauge, PositionRateFragmentsAndTimeLeft) {
    const auto t0 = ScanGauge::Clock::time_point{} + 100s;
    ScanGauge gauge(2'000'000);
    EXPECT_EQ(gauge.line(-1, 0, t0 - 1s), "") << "nothing before the first position";
    // 1,000,000 sectors of 512 bytes in 10 s are 51.2 MB/s; the other 1,000,000 take 10 s more.
    EXPECT_EQ(gauge.line(0, 0, t0), "sector 0 of 2000000 (0.0 %)  0 fragments")
        << "no rate from one position";
    EXPECT_EQ(gauge.line(1'000'000, 1, t0 + 10s),
              "sector 1000000 of 2000000 (50.0 %)  51.2 MB/s  1 fragment  10 s left");
    // 1,900,000 sectors in 19 s at the same rate; 100,000 sectors left are 1 s.
    EXPECT_EQ(gauge.line(1'900'000, 12, t0 + 19s),
              "sector 1900000 of 2000000 (95.0 %)  51.2 MB/s  12 fragments  1 s left");
}

TEST(ScanGauge, ARateCountsOnlyWhatThisRunReadAndLongTimesReadWell) {
    const auto t0 = ScanGauge::Clock::time_point{} + 5s;
    // A resumed scan starts at sector 1,000,000 of 1,000,000,000: the rate is of what it read.
    ScanGauge gauge(1'000'000'000);
    EXPECT_EQ(gauge.line(1'000'000, 4, t0), "sector 1000000 of 1000000000 (0.1 %)  4 fragments");
    // 2,000,000 sectors (1.024 GB) in 100 s: 10.24 MB/s; 997,000,000 sectors left are
    // 510,464,000,000 bytes, 49,850 s = 13 h 50 min 50 s.
    EXPECT_EQ(gauge.line(3'000'000, 4, t0 + 100s),
              "sector 3000000 of 1000000000 (0.3 %)  10.2 MB/s  4 fragments  13 h 50 min left");
    // 16,000 sectors left at 102,400 bytes a second are 80 s: minutes and seconds.
    ScanGauge small(20'000);
    small.line(0, 0, t0);
    EXPECT_EQ(small.line(4'000, 0, t0 + 20s),
              "sector 4000 of 20000 (20.0 %)  0.1 MB/s  0 fragments  1 min 20 s left");
}

TEST(ResumeFile, KeepsEverythingAScanNeedsAndRefusesDamagedOnes) {
    test::TempDir dir;
    ResumeFile r;
    r.source.path = "/dev/sdz";
    r.source.partition = 2;
    r.source.mapFile = "/tmp/map";
    r.directIo = true;
    r.settings.beginSector = 2048;
    r.settings.endSector = 4196352;
    r.settings.sectorsPerCluster = 8;
    r.settings.fileSystemLabel = "NTFS";
    r.settings.fileId = 3;
    r.settings.freeSpaceOnly = true;
    r.settings.maxStartPage = 77;
    r.content = "scan.content";
    r.position = {123456, 123480, 120000, 42};
    r.memo = "wrong file head";
    r.fingerprint = {4196352, {"0123456789abcdef", "", "fedcba9876543210"}};
    r.firstPageSha256 = std::string(64, 'a');
    r.fragments = {
        {composeFragment(1, 3, 4096, 0, "D:\\x.mdf|bad"), composeFragment(2, 5, 8192, 77, " ")}};
    const std::string path = dir.file("scan.info.resume");
    ASSERT_EQ(r.save(path, OutputGuard{}), "");

    std::string error;
    auto back = ResumeFile::load(path, error);
    ASSERT_TRUE(back) << error;
    EXPECT_EQ(back->source.path, "/dev/sdz");
    EXPECT_EQ(back->source.partition, 2);
    EXPECT_EQ(back->source.mapFile, "/tmp/map");
    EXPECT_TRUE(back->directIo);
    EXPECT_EQ(back->settings.beginSector, 2048);
    EXPECT_EQ(back->settings.endSector, 4196352);
    EXPECT_EQ(back->settings.sectorsPerCluster, 8);
    EXPECT_EQ(back->settings.fileSystemLabel, "NTFS");
    EXPECT_EQ(back->settings.fileId, 3);
    EXPECT_TRUE(back->settings.freeSpaceOnly);
    EXPECT_EQ(back->settings.maxStartPage, 77);
    EXPECT_EQ(back->content, "scan.content");
    EXPECT_EQ(back->position.cursor, 123456);
    EXPECT_EQ(back->position.skip, 123480);
    EXPECT_EQ(back->position.windowStart, 120000);
    EXPECT_EQ(back->position.counter, 42);
    EXPECT_EQ(back->memo, "wrong file head");
    EXPECT_EQ(back->fingerprint.sectors, 4196352);
    EXPECT_EQ(back->fingerprint.samples, r.fingerprint.samples);
    ASSERT_TRUE(back->fragments);
    ASSERT_EQ(back->fragments->size(), 2u);
    EXPECT_EQ((*back->fragments)[1].text(), (*r.fragments)[1].text());
    EXPECT_EQ((*back->fragments)[0].text(), (*r.fragments)[0].text());
    EXPECT_EQ(back->firstPageSha256, std::string(64, 'a'));

    EXPECT_FALSE(ResumeFile::load(dir.file("absent.resume"), error));
    EXPECT_NE(error.find("only a scan-info file written by scan or recover"), std::string::npos);
    for (const char* damaged : {"{\"source\": 1}", "[1, 2]", "not json", ""}) {
        std::ofstream(dir.file("bad.resume")) << damaged;
        EXPECT_FALSE(ResumeFile::load(dir.file("bad.resume"), error)) << damaged;
        EXPECT_NE(error.find("is not a resume file"), std::string::npos) << error;
    }
    // A scan that never began to read stood nowhere.
    r.position.cursor = -1;
    ASSERT_EQ(r.save(path, OutputGuard{}), "");
    EXPECT_FALSE(ResumeFile::load(path, error));
}

}  // namespace
}  // namespace mdf::cli
