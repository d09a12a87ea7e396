// Hostile inputs and faults, tried on the command-line program as a careful user would: every
// output pointed at the source, full and missing places to write, unreadable sectors, a source that
// changed under a saved session, damaged saved files, absurd boot sectors and ranges. Each case
// checks the exit code, the message, and that the source is byte for byte what it was.
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>

#include "assembly/sha256.h"
#include "scan/scan_info_file.h"
#include "testworld/process.h"
#include "testworld/temp_dir.h"
#include "testworld/test_world.h"

namespace mdf::test {
namespace {

namespace fs = std::filesystem;

constexpr int kPartial = 1, kBadInput = 3, kIoError = 4;

CommandResult cli(std::vector<std::string> args, std::vector<std::string> environment = {}) {
    args.insert(args.begin(), MDF_CLI);
    // The sanitizers' runtime wants to be loaded first; the fault library is preloaded before it.
    environment.push_back("ASAN_OPTIONS=verify_asan_link_order=0:detect_leaks=0");
    return runCommand(args, environment);
}

bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

nlohmann::json jsonIn(const std::string& output) {
    return nlohmann::json::parse(output.substr(output.find("{\n")));
}

DatabaseRecipe recipe(std::uint64_t seed) {
    DatabaseRecipe r;
    r.pages = 256;
    r.seed = seed;
    return r;
}

// A raw image holding one database of file id 1 (with stale copies and a file of file id 2).
struct Source {
    TempDir dir;
    SyntheticDatabase db;
    ImageManifest m;
    std::string image = dir.file("source.img");
    std::string sha;

    explicit Source(std::uint64_t seed = 31) : db(recipe(seed)) {
        RawImageOptions options;
        options.seed = seed + 46;
        options.sameFileIdDatabase = false;
        m = buildRawImage(db, image, options);
        sha = sha256OfFile(image);
    }
    ~Source() { EXPECT_EQ(sha256OfFile(image), sha) << "the source was changed"; }
    std::string file(const std::string& name) const { return dir.file(name); }
    void scan() { ASSERT_EQ(cli({"scan", image, "-o", file("scan.info")}).exitCode, 0); }
    void analyse(const std::string& content = "") {
        scan();
        std::vector<std::string> args = {"analyse", file("scan.info"), "--session", file("s.json")};
        if (content.empty()) {
            args.insert(args.end(), {"--source", image});
        } else {
            args.insert(args.end(), {"--content", content});
        }
        CommandResult r = cli(args);
        ASSERT_EQ(r.exitCode, 0) << r.output;
    }
};

TEST(HostileOutputs, EveryOutputPointedAtTheSourceIsRefusedBeforeAnythingIsRead) {
    Source s;
    s.analyse();
    fs::create_hard_link(s.image, s.file("hard.img"));
    fs::create_symlink(s.image, s.file("soft.img"));
    for (const std::string& target : {s.image, s.file("hard.img"), s.file("soft.img")}) {
        const std::vector<std::vector<std::string>> commands = {
            {"scan", s.image, "-o", target},
            {"scan", s.image, "-o", s.file("other.info"), "--content", target},
            {"recover", s.image, "-o", target},
            {"recover", s.image, "-o", s.file("out.mdf"), "--save-scan", target},
            {"analyse", s.file("scan.info"), "--source", s.image, "--session", target},
            {"export", s.file("scan.info"), "--source", s.image, "--all", "--single", target},
            {"create", "--session", s.file("s.json"), "-o", target},
        };
        for (const auto& command : commands) {
            CommandResult r = cli(command);
            EXPECT_EQ(r.exitCode, kBadInput) << command[0] << " " << target << "\n" << r.output;
            EXPECT_TRUE(contains(r.output, "is the source being recovered")) << r.output;
            EXPECT_FALSE(contains(r.output, "begin scan")) << "nothing may be read first";
        }
    }
    EXPECT_FALSE(fs::exists(s.file("out.mdf")));
    EXPECT_FALSE(fs::exists(s.file("other.info")));
}

TEST(HostileOutputs, ALoopDeviceSourceAndDevicesAsOutputsAreRefused) {
    Source s;
    CommandResult attach = runCommand({"losetup", "-r", "-f", "--show", s.image});
    if (attach.exitCode != 0) GTEST_SKIP() << "no loop devices here: " << attach.output;
    std::string loop = attach.output.substr(0, attach.output.find('\n'));
    CommandResult r = cli({"recover", loop, "-o", loop});
    EXPECT_EQ(r.exitCode, kBadInput) << r.output;
    EXPECT_TRUE(contains(r.output, "is the source being recovered")) << r.output;
    r = cli({"scan", s.image, "-o", "/dev/null"});
    EXPECT_EQ(r.exitCode, kBadInput) << r.output;
    EXPECT_TRUE(contains(r.output, "is a device")) << r.output;
    runCommand({"losetup", "-d", loop});
}

TEST(HostileOutputs, FoldersMissingFoldersAndExistingFilesAreRefusedWithTheReason) {
    Source s;
    CommandResult r = cli({"scan", s.image, "-o", s.dir.path().string()});
    EXPECT_EQ(r.exitCode, kBadInput);
    EXPECT_TRUE(contains(r.output, "is a folder")) << r.output;
    r = cli({"recover", s.image, "-o", s.file("no/such/folder/out.mdf")});
    EXPECT_EQ(r.exitCode, kBadInput);
    EXPECT_TRUE(contains(r.output, "No such file or directory")) << r.output;
    // One file cannot be both the list and the pages: the two would overwrite each other.
    r = cli(
        {"scan", s.image, "-o", s.file("both"), "--content", s.dir.path().string() + "/./both"});
    EXPECT_EQ(r.exitCode, kBadInput);
    EXPECT_TRUE(contains(r.output, "cannot be the same file")) << r.output;
    EXPECT_FALSE(fs::exists(s.file("both")));
    r = cli({"recover", s.image, "-o", s.file("o.mdf"), "--save-scan", s.file("same"),
             "--save-content", s.file("same")});
    EXPECT_EQ(r.exitCode, kBadInput);
    EXPECT_FALSE(fs::exists(s.file("o.mdf")));

    writeFile(s.file("kept.mdf"), std::vector<std::uint8_t>{1, 2, 3});
    r = cli({"recover", s.image, "-o", s.file("kept.mdf")});
    EXPECT_EQ(r.exitCode, kBadInput);
    EXPECT_TRUE(contains(r.output, "exists; it is kept")) << r.output;
    EXPECT_EQ(readFile(s.file("kept.mdf")).size(), 3u);
    r = cli({"recover", s.image, "-o", s.file("kept.mdf"), "--force"});
    EXPECT_EQ(r.exitCode, 0) << r.output;
    EXPECT_EQ(sha256OfFile(s.file("kept.mdf")), s.m.expectedSha256);

    s.scan();
    r = cli({"export", s.file("scan.info"), "--source", s.image, "--rows", "9999", "--single",
             s.file("rows.bin")});
    EXPECT_EQ(r.exitCode, kBadInput);
    EXPECT_TRUE(contains(r.output, "has no row 9999")) << r.output;
    EXPECT_FALSE(fs::exists(s.file("rows.bin")));
    r = cli({"files", s.file("scan.info"), "--content", s.file("missing.content")});
    EXPECT_EQ(r.exitCode, kIoError);
    EXPECT_TRUE(contains(r.output, "missing.content: No such file or directory")) << r.output;
}

TEST(HostileOutputs, AFullDiskIsAnErrorWithTheReasonAndLeavesNoHalfFile) {
    Source s;
    const std::string full = s.file("full");
    fs::create_directory(full);
    std::vector<std::string> environment;
    const bool mounted = ::mount("tmpfs", full.c_str(), "tmpfs", 0, "size=256k") == 0;
    if (!mounted) {  // not root: the same fault, injected
        environment = {"LD_PRELOAD=" MDF_FAULT_PRELOAD, "MDF_FAULT_FULL=" + full,
                       "MDF_FAULT_FULL_AFTER=262144"};
    }
    CommandResult r = cli({"recover", s.image, "-o", full + "/out.mdf"}, environment);
    EXPECT_EQ(r.exitCode, kIoError) << r.output;
    EXPECT_TRUE(contains(r.output, "No space left on device")) << r.output;
    EXPECT_FALSE(fs::exists(full + "/out.mdf"));
    for (const auto& e : fs::directory_iterator(full))
        EXPECT_NE(e.path().extension(), ".partial") << "a half-written file was left behind";
    r = cli({"scan", s.image, "-o", s.file("scan.info"), "--content", full + "/c.content"},
            environment);
    EXPECT_EQ(r.exitCode, kIoError) << r.output;
    EXPECT_FALSE(fs::exists(full + "/c.content"));
    if (mounted) ::umount(full.c_str());
}

// A sector of the database that cannot be read: the recovery goes on, writes every page it can,
// and names the page it could not.
TEST(HostileSectors, UnreadableSectorsInsideTheDatabaseArePartialOutsideHarmless) {
    Source s;
    const ManifestFragment* victim = nullptr;
    for (const auto& f : s.m.fragments)
        if (f.firstPage > 40 && f.pages >= 4 && !victim) victim = &f;
    ASSERT_NE(victim, nullptr);
    const std::int64_t badSector = victim->firstSector + 2 * 16 + 5;  // inside its third page
    const std::int32_t badPage = victim->firstPage + 2;
    std::vector<std::string> environment = {"LD_PRELOAD=" MDF_FAULT_PRELOAD,
                                            "MDF_FAULT_FILE=" + fs::canonical(s.image).string(),
                                            "MDF_FAULT_EIO=" + std::to_string(badSector) + ":1"};
    CommandResult r = cli({"recover", s.image, "-o", s.file("out.mdf"), "--json"}, environment);
    ASSERT_EQ(r.exitCode, kPartial) << r.output;
    auto summary = jsonIn(r.output);
    EXPECT_EQ(summary["status"], "partial");
    EXPECT_EQ(summary["unreadable_pages"]["list"], nlohmann::json::array({badPage}));
    // Every other page is the original's.
    auto out = readFile(s.file("out.mdf"));
    s.db.writeTo(s.file("original.mdf"));
    auto original = readFile(s.file("original.mdf"));
    ASSERT_EQ(out.size(), original.size());
    for (std::size_t p = 0; p < out.size() / 8192; ++p) {
        const bool same = std::equal(out.begin() + 8192 * p, out.begin() + 8192 * (p + 1),
                                     original.begin() + 8192 * p);
        EXPECT_EQ(same, static_cast<std::int32_t>(p) != badPage) << "page " << p;
    }

    // A bad sector in the junk between the fragments costs nothing.
    auto occupied = [&](std::int64_t sector) {
        for (const auto* list : {&s.m.fragments, &s.m.decoys})
            for (const auto& f : *list)
                if (sector >= f.firstSector && sector < f.firstSector + 16 * std::int64_t{f.pages})
                    return true;
        return false;
    };
    std::int64_t junk = static_cast<std::int64_t>(fs::file_size(s.image) / 512 / 2);
    while (occupied(junk))
        ++junk;
    environment.back() = "MDF_FAULT_EIO=" + std::to_string(junk) + ":1";
    r = cli({"recover", s.image, "-o", s.file("clean.mdf")}, environment);
    EXPECT_EQ(r.exitCode, 0) << r.output;
    EXPECT_EQ(sha256OfFile(s.file("clean.mdf")), s.m.expectedSha256);
}

TEST(HostileFiles, ASourceThatChangedUnderASavedSessionIsRefused) {
    Source s;
    s.analyse();
    // The "same" path now holds another disk, as device names do between boots.
    Source other(32);
    const std::string moved = s.file("moved.img");
    fs::copy_file(other.image, moved);
    nlohmann::json session = nlohmann::json::parse(std::ifstream(s.file("s.json")));
    session["source"] = moved;
    std::ofstream(s.file("s.json")) << session.dump();
    CommandResult r = cli({"create", "--session", s.file("s.json"), "-o", s.file("out.mdf")});
    EXPECT_EQ(r.exitCode, kBadInput) << r.output;
    EXPECT_TRUE(contains(r.output, "no longer holds the pages")) << r.output;
    EXPECT_FALSE(fs::exists(s.file("out.mdf")));
}

TEST(HostileFiles, DamagedScanInfoContentAndSessionFiles) {
    Source s;
    ASSERT_EQ(
        cli({"scan", s.image, "-o", s.file("c.info"), "--content", s.file("c.content")}).exitCode,
        0);
    // One flipped byte inside a saved page (page 2 of the file): it fails its checksum and is
    // named.
    auto saved = readScanInfo(s.file("c.info"));
    ASSERT_TRUE(saved.error.empty());
    std::size_t offset = 0;
    for (const auto& record : saved.records) {
        if (record.beginPage == 0) break;
        offset += 7680 + static_cast<std::size_t>(record.pages()) * 8192;
    }
    auto content = readFile(s.file("c.content"));
    content[offset + 7680 + 2 * 8192 + 1000] ^= 0x40;
    writeFile(s.file("flipped.content"), content);
    s.analyse(s.file("flipped.content"));
    (void)cli({"search-more", "--session", s.file("s.json")});
    CommandResult r =
        cli({"create", "--session", s.file("s.json"), "-o", s.file("f.mdf"), "--json"});
    EXPECT_EQ(r.exitCode, kPartial) << r.output;
    EXPECT_EQ(jsonIn(r.output)["failed_pages"]["count"], 1);

    // A scan-info file cut in the middle of a line.
    auto info = readFile(s.file("c.info"));
    info.resize(info.size() / 2 + 3);
    writeFile(s.file("cut.info"), info);
    r = cli({"fragments", s.file("cut.info")});
    EXPECT_EQ(r.exitCode, kBadInput);
    EXPECT_TRUE(contains(r.output, "of the scan-info file is damaged")) << r.output;

    // A record of no pages would be taken into every gap for ever.
    std::string line = "1|0|0|0|5|5| |Y|";
    std::ofstream(s.file("zero.info")) << encodeLine(line, kScanInfoKey, 7) << "\r\n";
    r = cli({"files", s.file("zero.info")});
    EXPECT_EQ(r.exitCode, kBadInput);
    EXPECT_TRUE(contains(r.output, "line 1")) << r.output;

    // A memo that is no UTF-8 text: shown with "?", and the analysis goes on.
    for (auto& record : saved.records)
        if (record.beginPage == 0) record.memo = "Sales\xff\xfeX";
    std::ofstream bad(s.file("memo.info"), std::ios::binary);
    for (const auto& record : saved.records)
        bad << encodeLine(record.text(), kScanInfoKey, 1) << "\r\n";
    bad.close();
    r = cli({"files", s.file("memo.info")});
    EXPECT_EQ(r.exitCode, 0) << r.output;
    EXPECT_TRUE(contains(r.output,
                         "Sales?"
                         "?X"))
        << r.output;
    r = cli({"analyse", s.file("memo.info"), "--source", s.image, "--session", s.file("m.json")});
    EXPECT_EQ(r.exitCode, 0) << r.output;

    // A session file cut short.
    auto json = readFile(s.file("m.json"));
    json.resize(json.size() / 2);
    writeFile(s.file("cut.json"), json);
    r = cli({"create", "--session", s.file("cut.json"), "-o", s.file("cut.mdf")});
    EXPECT_EQ(r.exitCode, kBadInput) << r.output;
    EXPECT_TRUE(contains(r.output, "is not a session file")) << r.output;
}

TEST(HostileRanges, BootSectorsAndNumbersThatMakeNoSense) {
    Source s;
    writeFile(s.file("tiny.img"), std::vector<std::uint8_t>(100, 0x55));
    CommandResult r = cli({"volume-info", s.file("tiny.img"), "--partition"});
    EXPECT_EQ(r.exitCode, kIoError) << r.output;
    r = cli({"volume-info", s.dir.path().string(), "--partition"});
    EXPECT_EQ(r.exitCode, kIoError) << r.output;
    EXPECT_TRUE(contains(r.output, "neither an image file nor a block device")) << r.output;

    // A FAT32 boot sector claiming 65535 reserved sectors on a volume of 2048 sectors.
    std::vector<std::uint8_t> boot(512, 0);
    std::memcpy(&boot[82], "FAT32", 5);
    boot[13] = 8;
    boot[14] = 0xFF;
    boot[15] = 0xFF;
    boot[36] = 100;
    writeFile(s.file("absurd.img"), boot);
    fs::resize_file(s.file("absurd.img"), 2048 * 512);
    r = cli({"volume-info", s.file("absurd.img"), "--partition"});
    EXPECT_EQ(r.exitCode, 0) << r.output;
    EXPECT_TRUE(contains(r.output, "boot sector is damaged")) << r.output;
    EXPECT_TRUE(contains(r.output, "end sector        2048")) << r.output;

    const std::string sectors = std::to_string(fs::file_size(s.image) / 512);
    r = cli({"scan", s.image, "-o", s.file("far.info"), "--end", "999999999"});
    EXPECT_EQ(r.exitCode, 0) << r.output;
    EXPECT_TRUE(contains(r.output, "the scan ends at sector " + sectors)) << r.output;
    EXPECT_FALSE(contains(r.output, "512error")) << "no read past the source, no error flood";

    r = cli({"scan", s.image, "-o", s.file("x.info"), "--start", "9223372036854775000"});
    EXPECT_EQ(r.exitCode, kBadInput) << r.output;
    r = cli({"read-sectors", s.image, "--sector", "9223372036854775807", "--count", "65535"});
    EXPECT_EQ(r.exitCode, kBadInput) << r.output;
    EXPECT_TRUE(contains(r.output, "lies outside")) << r.output;
    r = cli({"scan", s.image, "-o", s.file("y.info"), "--stride", "0"});
    EXPECT_EQ(r.exitCode, kBadInput) << r.output;
}

}  // namespace
}  // namespace mdf::test
