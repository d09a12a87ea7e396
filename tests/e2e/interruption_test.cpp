// A recovery stopped at a random moment, by Ctrl-C or killed outright, and then gone on with
// --resume, ends with exactly what one uninterrupted run gives: the same fragment list and the
// same file. On a raw image, and on a FAT32 partition that starts past sector 0 of its disk.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <iterator>
#include <random>
#include <sstream>

#include "assembly/sha256.h"
#include "scan/scan_info_file.h"
#include "support/background_command.h"
#include "testworld/process.h"
#include "testworld/temp_dir.h"
#include "testworld/test_world.h"

namespace mdf::test {
namespace {

namespace fs = std::filesystem;

CommandResult cli(std::vector<std::string> args) {
    args.insert(args.begin(), MDF_CLI);
    return runCommand(args);
}

std::vector<std::string> recordsOf(const std::string& scanInfo) {
    ScanInfoContents contents = readScanInfo(scanInfo);
    EXPECT_EQ(contents.error, "") << scanInfo;
    std::vector<std::string> texts;
    for (const FragmentRecord& r : contents.records)
        texts.push_back(r.text());
    return texts;
}

struct Source {
    std::string image;
    std::vector<std::string> partition;  // the source options after the image
    // Reads slowed so that the whole image takes about two seconds.
    int msPerMib() const {
        return std::max<int>(
            1, static_cast<int>(2000 / std::max<std::uintmax_t>(1, fs::file_size(image) >> 20)));
    }
};

struct Reference {
    std::vector<std::string> records;
    std::string sha256;
    int exitCode = 0;
};

Reference uninterrupted(const Source& s, const TempDir& dir) {
    std::vector<std::string> args = {"recover", s.image};
    args.insert(args.end(), s.partition.begin(), s.partition.end());
    args.insert(args.end(), {"-o", dir.file("reference.mdf")});
    CommandResult r = cli(args);
    EXPECT_TRUE(r.exitCode == 0 || r.exitCode == 1) << r.output;
    return {recordsOf(dir.file("reference.mdf.scan.info")), sha256OfFile(dir.file("reference.mdf")),
            r.exitCode};
}

// One trial: recover with slowed reads, the signal some time after the scan has said it began,
// then --resume (or, when the run was killed before it first kept its position, a run afresh).
// True when the run was stopped inside the scan and went on from a kept position.
bool trial(const Source& s, const Reference& expected, const TempDir& dir, int n, int sig,
           std::chrono::milliseconds delay) {
    SCOPED_TRACE("trial " + std::to_string(n) + (sig == SIGKILL ? " SIGKILL" : " SIGINT") +
                 " after " + std::to_string(delay.count()) + " ms");
    const std::string out = dir.file("t" + std::to_string(n) + ".mdf");
    std::vector<std::string> args = {"recover", s.image};
    args.insert(args.end(), s.partition.begin(), s.partition.end());
    args.insert(args.end(), {"-o", out, "--checkpoint", "0.05", "--file", "1"});
    std::vector<std::string> goOn = {"recover", "--resume", out + ".scan.info", "-o", out};
    {
        Background run(args, out + ".log", slowReads(s.image, s.msPerMib()));
        EXPECT_TRUE(run.waitForOutput("begin scan", std::chrono::seconds(30))) << run.output();
        std::this_thread::sleep_for(delay);
        const int status = run.signalAndWait(sig);
        if (status == expected.exitCode && run.output().find("sha256 ") != std::string::npos) {
            // Done before the signal came: nothing to go on with.
            EXPECT_EQ(sha256OfFile(out), expected.sha256);
            return false;
        }
        if (sig == SIGINT) {
            EXPECT_EQ(status, 130) << run.output();
            // The command the run printed is followed word for word: it keeps --file.
            const std::string hint = "To go on from there: mdfrecover ";
            if (const auto at = run.output().find(hint); at != std::string::npos) {
                std::istringstream words(run.output().substr(
                    at + hint.size(), run.output().find('\n', at) - at - hint.size()));
                goOn.assign(std::istream_iterator<std::string>(words), {});
                EXPECT_NE(std::find(goOn.begin(), goOn.end(), "--file"), goOn.end());
            }
        }
    }
    if (fs::exists(out)) {
        // Killed after the file was put in place (it is written under another name and renamed
        // whole): what is there is the whole file. Its finished scan's resume file stays, and
        // --resume then rightly refuses to replace the file.
        EXPECT_EQ(sha256OfFile(out), expected.sha256);
        return false;
    }
    CommandResult r = fs::exists(out + ".scan.info.resume") ? cli(goOn) : cli(args);
    EXPECT_EQ(r.exitCode, expected.exitCode) << r.output;
    EXPECT_EQ(recordsOf(out + ".scan.info"), expected.records);
    EXPECT_EQ(sha256OfFile(out), expected.sha256);
    return r.output.find("going on with the scan from sector") != std::string::npos;
}

void trials(const Source& s, const TempDir& dir, std::uint32_t seed) {
    const Reference expected = uninterrupted(s, dir);
    ASSERT_FALSE(expected.records.empty());
    std::mt19937 random(seed);
    int midScan[2] = {0, 0};
    for (int n = 0; n < 16; ++n)
        midScan[n % 2] += trial(s, expected, dir, n, n % 2 ? SIGKILL : SIGINT,
                                std::chrono::milliseconds(random() % 2200));
    // Most signals land inside the scan, which then goes on from where it was kept.
    EXPECT_GE(midScan[0], 3) << "Ctrl-C inside the scan";
    EXPECT_GE(midScan[1], 3) << "killed inside the scan";
}

// A raw image of one database in shuffled runs.
Source rawImage(const TempDir& dir, std::uint32_t seed) {
    SyntheticDatabase db{DatabaseRecipe{}};
    RawImageOptions options;
    options.seed = seed;
    options.sameFileIdDatabase = false;
    Source s{dir.file("raw.img"), {}};
    buildRawImage(db, s.image, options);
    return s;
}

TEST(Interruption, ARawImageGoesOnToWhatOneWholeRunFinds) {
    TempDir dir;
    trials(rawImage(dir, 11), dir, 5);
}

TEST(Interruption, AFat32PartitionPastSectorZeroGoesOnToWhatOneWholeRunFinds) {
    TempDir dir;
    SyntheticDatabase db{DatabaseRecipe{}};
    FileSystemImageOptions options;
    options.seed = 12;
    options.clusterSectors = 4;
    Source s{dir.file("disk.img"), {"--partition=1"}};
    buildDiskImage(db, s.image, options);
    trials(s, dir, 6);
}

// Ctrl-C while the file is written leaves no file and no half file, and the command the run
// printed goes on to the file one whole run gives.
TEST(Interruption, CtrlCAfterTheScanWritesNothingAndThePrintedCommandGoesOn) {
    TempDir dir;
    const Source s = rawImage(dir, 13);
    const Reference expected = uninterrupted(s, dir);
    const std::string out = dir.file("stopped.mdf");
    std::string printed;
    {
        // Slow enough that writing the file, which reads the database's pages again, takes
        // seconds after it has begun (-v shows the step).
        Background run({"recover", s.image, "-o", out, "--lang", "en", "-v"}, dir.file("run.txt"),
                       slowReads(s.image, 4 * s.msPerMib()));
        ASSERT_TRUE(run.waitForOutput("[writing ", std::chrono::seconds(60))) << run.output();
        EXPECT_EQ(run.signalAndWait(SIGINT), 130) << run.output();
        printed = run.output();
    }
    EXPECT_EQ(printed.find("sha256 "), std::string::npos) << printed;
    EXPECT_NE(printed.find("stopped: nothing was written"), std::string::npos) << printed;
    for (const auto& entry : fs::directory_iterator(dir.path())) {
        const std::string name = entry.path().filename().string();
        if (name.rfind("stopped.mdf", 0) == 0) {
            EXPECT_EQ(name.rfind("stopped.mdf.scan.", 0), 0u) << "only the kept scan: " << name;
        }
    }

    const std::string hint = "To go on from there: mdfrecover ";
    const auto at = printed.find(hint);
    ASSERT_NE(at, std::string::npos) << printed;
    std::istringstream words(
        printed.substr(at + hint.size(), printed.find('\n', at) - at - hint.size()));
    const CommandResult r = cli({std::istream_iterator<std::string>(words), {}});
    EXPECT_EQ(r.exitCode, expected.exitCode) << r.output;
    EXPECT_EQ(sha256OfFile(out), expected.sha256);
}

}  // namespace
}  // namespace mdf::test
