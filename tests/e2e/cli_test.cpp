// The command-line program as a user calls it: one-shot recover, the step-by-step commands with
// their session file, the choice among several databases, stopping a scan with Ctrl-C and going on
// with --resume, the scan recover keeps, and the progress line on a terminal.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <nlohmann/json.hpp>
#include <regex>
#include <sstream>
#include <thread>

#include "assembly/sha256.h"
#include "scan/scan_info_file.h"
#include "support/background_command.h"
#include "testworld/process.h"
#include "testworld/temp_dir.h"
#include "testworld/test_world.h"

extern char** environ;

namespace mdf::test {
namespace {

CommandResult cli(std::vector<std::string> args) {
    args.insert(args.begin(), MDF_CLI);
    return runCommand(args);
}

nlohmann::json jsonIn(const std::string& output) {
    // The summary is the last JSON object printed; the log may precede it on the merged stream.
    return nlohmann::json::parse(output.substr(output.find("{\n")));
}

struct RawWorld {
    TempDir dir;
    SyntheticDatabase db{DatabaseRecipe{}};
    ImageManifest m;
    RawWorld() {
        RawImageOptions options;
        options.seed = 3;
        m = buildRawImage(db, dir.file("raw.img"), options);
    }
    std::string image() const { return dir.file("raw.img"); }
    int ourCatalogueNumber() {
        CommandResult files = cli({"scan", image(), "-o", dir.file("scan.info")});
        EXPECT_EQ(files.exitCode, 0) << files.output;
        std::string listing = cli({"files", dir.file("scan.info")}).output;
        std::int64_t first = 0;
        for (const auto& f : m.fragments)
            if (f.firstPage == 0) first = f.firstSector;
        std::istringstream in(listing);
        std::string line;
        std::getline(in, line);
        for (int n = 1; std::getline(in, line); ++n)
            if (line.size() > std::to_string(first).size() &&
                line.substr(line.rfind('\t') + 1) == std::to_string(first))
                return n;
        return 0;
    }
};

TEST(Cli, RecoverWithAChoiceOfDatabaseWritesTheFileAndASummary) {
    RawWorld w;
    const int number = w.ourCatalogueNumber();
    ASSERT_GT(number, 0);

    CommandResult ambiguous = cli({"recover", w.image(), "-o", w.dir.file("x.mdf")});
    EXPECT_NE(ambiguous.exitCode, 0);
    EXPECT_NE(ambiguous.output.find("several database files were found"), std::string::npos)
        << ambiguous.output;
    EXPECT_FALSE(std::filesystem::exists(w.dir.file("x.mdf")));

    CommandResult r = cli({"recover", w.image(), "--file", std::to_string(number), "-o",
                           w.dir.file("out.mdf"), "--json"});
    ASSERT_EQ(r.exitCode, 0) << r.output;
    auto summary = jsonIn(r.output);
    EXPECT_EQ(summary["database_name"], "D:\\data\\Sales.mdf");
    EXPECT_EQ(summary["expected_pages"], 512);
    EXPECT_EQ(summary["missing_pages"]["count"], 0);
    EXPECT_EQ(summary["fragments_used"], w.m.fragments.size());
    EXPECT_EQ(summary["output"], w.dir.file("out.mdf"));
    EXPECT_EQ(summary["sha256"], w.m.originalSha256);
}

TEST(Cli, StepByStepCommandsShareTheirStateThroughTheSessionFile) {
    RawWorld w;
    const int number = w.ourCatalogueNumber();
    const std::string session = w.dir.file("session.json");
    CommandResult analysed =
        cli({"analyse", w.dir.file("scan.info"), "--source", w.image(), "--file",
             std::to_string(number), "--session", session, "--lang", "zh"});
    ASSERT_EQ(analysed.exitCode, 0) << analysed.output;
    EXPECT_NE(analysed.output.find("分析已正常结束"), std::string::npos);
    ASSERT_EQ(cli({"search-more", "--session", session}).exitCode, 0);
    CommandResult check = cli({"check", "--session", session});
    EXPECT_NE(check.output.find("check done"), std::string::npos);
    CommandResult created = cli({"create", "--session", session, "-o", w.dir.file("steps.mdf")});
    ASSERT_EQ(created.exitCode, 0) << created.output;
    EXPECT_EQ(runChecked({"sha256sum", w.dir.file("steps.mdf")}).substr(0, 64), w.m.originalSha256);

    // The same from the saved content alone, without the source.
    ASSERT_EQ(
        cli({"scan", w.image(), "-o", w.dir.file("c.info"), "--content", w.dir.file("c.content")})
            .exitCode,
        0);
    ASSERT_EQ(cli({"analyse", w.dir.file("c.info"), "--content", w.dir.file("c.content"), "--file",
                   std::to_string(number), "--session", session})
                  .exitCode,
              0);
    cli({"search-more", "--session", session});
    ASSERT_EQ(cli({"create", "--session", session, "-o", w.dir.file("content.mdf")}).exitCode, 0);
    EXPECT_EQ(runChecked({"sha256sum", w.dir.file("content.mdf")}).substr(0, 64),
              w.m.originalSha256);
}

TEST(Cli, ASourceWithoutPagesIsNothingFound) {
    TempDir dir;
    const std::string image = dir.file("zeros.img");
    writeFile(image, std::vector<std::uint8_t>(std::size_t{4} << 20, 0));
    CommandResult r = cli({"scan", image, "-o", dir.file("z.info")});
    EXPECT_EQ(r.exitCode, 2) << r.output;
    EXPECT_TRUE(std::filesystem::exists(dir.file("z.info"))) << "an empty list is a result too";
    r = cli({"recover", image, "-o", dir.file("z.mdf")});
    EXPECT_EQ(r.exitCode, 2) << r.output;
    EXPECT_TRUE(r.output.find("no database file was found") != std::string::npos) << r.output;
    EXPECT_FALSE(std::filesystem::exists(dir.file("z.mdf")));
}

TEST(Cli, CreateRefusesToWriteOverTheSource) {
    RawWorld w;
    const int number = w.ourCatalogueNumber();
    std::vector<std::uint8_t> before = readFile(w.image());
    CommandResult r =
        cli({"recover", w.image(), "--file", std::to_string(number), "-o", w.image()});
    EXPECT_NE(r.exitCode, 0);
    EXPECT_EQ(readFile(w.image()), before);
}

TEST(Cli, CtrlCStopsTheScanAndKeepsWhatWasFound) {
    TempDir dir;
    const std::string image = dir.file("big.img");
    std::filesystem::resize_file((writeFile(image, {}), image), std::uintmax_t{64} << 30);
    std::string out = dir.file("scan.info");
    Background scan({"scan", image, "-o", out}, dir.file("log.txt"));
    EXPECT_EQ(scan.interruptAfter(std::chrono::milliseconds(700)), 130) << "interrupted";
    EXPECT_TRUE(std::filesystem::exists(out));
    const std::string text = scan.output();
    EXPECT_NE(text.find("begin scan"), std::string::npos);
    EXPECT_EQ(text.find("finished"), std::string::npos)
        << "64 GiB at every sector cannot be done in 0.7 s";
}

// Stopping a scan and going on with --resume: the same fragments, the same file, as one whole
// run; a source that is not the one the scan was made of is refused.
constexpr std::int64_t kGap = std::int64_t{1} << 30;

// The world's raw image twice, 1 GiB apart (a sparse hole between them): a scan stopped in the
// hole has found the first copy's fragments and not yet the second's.
std::string twoCopies(const RawWorld& w, const std::string& name, bool otherFirstPage = false) {
    const std::string path = w.dir.file(name);
    std::vector<std::uint8_t> bytes = readFile(w.image());
    if (otherFirstPage) bytes[100] ^= 0xFF;
    writeFile(path, bytes);
    std::filesystem::resize_file(path, static_cast<std::uintmax_t>(kGap));
    std::fstream out(path, std::ios::in | std::ios::out | std::ios::binary);
    out.seekp(kGap);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
    return path;
}

nlohmann::json readJson(const std::string& path) {
    std::ifstream in(path);
    return nlohmann::json::parse(in);
}

bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

// Every field of every record, serial numbers and memos included.
std::vector<std::string> recordsOf(const std::string& scanInfo) {
    ScanInfoContents contents = readScanInfo(scanInfo);
    EXPECT_EQ(contents.error, "");
    std::vector<std::string> texts;
    for (const FragmentRecord& r : contents.records)
        texts.push_back(r.text());
    return texts;
}

std::size_t lineCount(const std::string& text) {
    return static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n'));
}

TEST(CliResume, AStoppedScanGoesOnFromWhereItStoodToWhatOneWholeScanFinds) {
    RawWorld w;
    const std::string big = twoCopies(w, "two.img");
    const std::int64_t sectors = static_cast<std::int64_t>(std::filesystem::file_size(big) / 512);
    ASSERT_EQ(cli({"scan", big, "-o", w.dir.file("whole.info")}).exitCode, 0);
    const std::string whole = cli({"fragments", w.dir.file("whole.info")}).output;

    const std::string part = w.dir.file("part.info");
    Background stopped({"scan", big, "-o", part}, w.dir.file("stopped.log"), slowReads(big));
    ASSERT_EQ(stopped.interruptAfter(std::chrono::milliseconds(1500)), 130) << stopped.output();
    const nlohmann::json resume = readJson(part + ".resume");
    const std::int64_t cursor = resume["cursor"];
    EXPECT_GT(cursor, 0);
    EXPECT_LT(cursor, sectors);
    EXPECT_EQ(resume["source_sectors"], sectors);
    EXPECT_TRUE(contains(stopped.output(), "the scan stopped at sector " + std::to_string(cursor) +
                                               " of " + std::to_string(sectors)))
        << stopped.output();
    EXPECT_TRUE(contains(stopped.output(), "mdfrecover scan --resume " + part));
    EXPECT_FALSE(contains(stopped.output(), "MB/s")) << "no progress line when not a terminal";
    const std::string before = cli({"fragments", part}).output;
    EXPECT_LT(lineCount(before), lineCount(whole)) << "the second copy was not reached yet";
    EXPECT_GT(lineCount(before), 1u) << "the first copy was";

    // Another source, of another size or with another first page, is refused.
    CommandResult other = cli({"scan", "--resume", part, w.image()});
    EXPECT_EQ(other.exitCode, 3) << other.output;
    EXPECT_TRUE(contains(other.output, "is not the one the stopped scan was made of"));
    other = cli({"scan", "--resume", part, twoCopies(w, "changed.img", true)});
    EXPECT_EQ(other.exitCode, 3) << other.output;
    // A disk of the same size with the same first sectors (a clone, the same partitioning) that
    // holds other data further on.
    const std::string clone = w.dir.file("clone.img");
    std::filesystem::copy_file(big, clone);
    std::vector<std::uint8_t> tail(1 << 20, 0x5A);
    writeAt(clone, std::filesystem::file_size(clone) - tail.size(), tail);
    other = cli({"scan", "--resume", part, clone});
    EXPECT_EQ(other.exitCode, 3) << other.output;
    EXPECT_TRUE(contains(other.output, "is not the one the stopped scan was made of"));
    // So are settings of its own: the scan goes on as it began.
    other = cli({"scan", "--resume", part, "--end", "100"});
    EXPECT_EQ(other.exitCode, 3) << other.output;
    EXPECT_TRUE(contains(other.output, "goes on with the settings the scan began with"));
    EXPECT_EQ(cli({"fragments", part}).output, before) << "a refused resume changes nothing";

    // What lies before the window the scan stood in is not read again: it fails now.
    const std::int64_t window = resume["window_start"];
    ASSERT_GT(window, 16);
    CommandResult resumed =
        runCommand({MDF_CLI, "scan", "--resume", part}, failingReads(big, 16, window - 16));
    ASSERT_EQ(resumed.exitCode, 0) << resumed.output;
    EXPECT_FALSE(contains(resumed.output, "512error")) << resumed.output;
    EXPECT_TRUE(
        contains(resumed.output, "going on with the scan from sector " + std::to_string(cursor)))
        << resumed.output;
    EXPECT_EQ(cli({"fragments", part}).output, whole);
    EXPECT_EQ(recordsOf(part), recordsOf(w.dir.file("whole.info")));
    EXPECT_EQ(readJson(part + ".resume")["cursor"], sectors) << "a finished scan stands at the end";
    // Going on from a finished scan reads nothing more: every sector past the first page fails.
    CommandResult again =
        runCommand({MDF_CLI, "scan", "--resume", part}, failingReads(big, 16, sectors - 16));
    EXPECT_EQ(again.exitCode, 0) << again.output;
    EXPECT_TRUE(contains(again.output, "the scan had finished")) << again.output;
    EXPECT_FALSE(contains(again.output, "512error")) << again.output;
    EXPECT_EQ(recordsOf(part), recordsOf(w.dir.file("whole.info")));
}

// An unreadable first window is an unreadable area like any other: listed, and the scan goes on
// past it to find what a whole scan finds there; going on from the finished scan reads nothing.
TEST(CliResume, AnUnreadableFirstWindowIsListedAndTheScanGoesOn) {
    RawWorld w;
    ASSERT_EQ(cli({"scan", w.image(), "-o", w.dir.file("whole.info")}).exitCode, 0);
    const std::string failed = w.dir.file("failed.info");
    constexpr std::int64_t kWindow = 12288;
    CommandResult r = runCommand({MDF_CLI, "scan", w.image(), "-o", failed},
                                 failingReads(w.image(), 16, kWindow - 16));
    EXPECT_EQ(r.exitCode, 0) << r.output;
    EXPECT_TRUE(contains(r.output, "512error1sec0")) << r.output;
    EXPECT_TRUE(contains(r.output, "512error1sec16")) << r.output;
    // Past the window, the same runs (numbered on from fewer before them).
    auto beyond = [](const std::vector<std::string>& records) {
        std::vector<std::string> runs;
        for (const std::string& line : records)
            if (std::stoll(std::string(recordField(line, 2))) >= kWindow)
                runs.push_back(line.substr(line.find('|')));
        return runs;
    };
    EXPECT_FALSE(beyond(recordsOf(w.dir.file("whole.info"))).empty());
    EXPECT_EQ(beyond(recordsOf(failed)), beyond(recordsOf(w.dir.file("whole.info"))));
    EXPECT_EQ(readJson(failed + ".resume")["cursor"], std::filesystem::file_size(w.image()) / 512);
    CommandResult resumed = runCommand({MDF_CLI, "scan", "--resume", failed},
                                       failingReads(w.image(), 16, kWindow - 16));
    EXPECT_EQ(resumed.exitCode, 0) << resumed.output;
    EXPECT_TRUE(contains(resumed.output, "the scan had finished")) << resumed.output;
}

// The catalogue number of the database whose first page lies at firstSector.
int catalogueNumber(const std::string& scanInfo, std::int64_t firstSector) {
    std::istringstream in(cli({"files", scanInfo}).output);
    std::string line;
    std::getline(in, line);
    for (int n = 1; std::getline(in, line); ++n)
        if (line.substr(line.rfind('\t') + 1) == std::to_string(firstSector)) return n;
    return 0;
}

TEST(CliResume, RecoverKeepsItsScanBesideTheOutputAndGoesOnToTheSameFile) {
    RawWorld w;
    const std::string big = twoCopies(w, "two.img");
    ASSERT_EQ(cli({"scan", big, "-o", w.dir.file("whole.info")}).exitCode, 0);
    std::int64_t first = 0;
    for (const auto& f : w.m.fragments)
        if (f.firstPage == 0) first = f.firstSector;
    const std::string number = std::to_string(catalogueNumber(w.dir.file("whole.info"), first));
    ASSERT_NE(number, "0");

    const std::string whole = w.dir.file("whole.mdf");
    CommandResult r = cli({"recover", big, "--file", number, "-o", whole, "--no-save-scan"});
    ASSERT_EQ(r.exitCode, 0) << r.output;
    EXPECT_EQ(sha256OfFile(whole), w.m.originalSha256);
    EXPECT_FALSE(std::filesystem::exists(whole + ".scan.info")) << "--no-save-scan keeps nothing";

    const std::string out = w.dir.file("part.mdf");
    Background stopped({"recover", big, "--file", number, "-o", out}, w.dir.file("stopped.log"),
                       slowReads(big));
    ASSERT_EQ(stopped.interruptAfter(std::chrono::milliseconds(1500)), 130) << stopped.output();
    EXPECT_FALSE(std::filesystem::exists(out)) << "nothing is written from half a scan";
    EXPECT_TRUE(std::filesystem::exists(out + ".scan.content"));
    EXPECT_GT(readJson(out + ".scan.info.resume")["cursor"].get<std::int64_t>(), 0);
    EXPECT_TRUE(
        contains(stopped.output(), "mdfrecover recover --resume " + out + ".scan.info -o " + out))
        << stopped.output();

    r = cli({"recover", "--resume", out + ".scan.info", "--file", number, "-o", out});
    ASSERT_EQ(r.exitCode, 0) << r.output;
    EXPECT_EQ(sha256OfFile(out), sha256OfFile(whole));
    EXPECT_EQ(recordsOf(out + ".scan.info"), recordsOf(w.dir.file("whole.info")));
    EXPECT_EQ(readJson(out + ".scan.info.resume")["cursor"], std::filesystem::file_size(big) / 512);

    // The kept scan of a finished run spares a whole scan when only the choice was missing.
    const std::string again = w.dir.file("again.mdf");
    r = cli({"recover", "--resume", out + ".scan.info", "-o", again});
    EXPECT_EQ(r.exitCode, 5) << r.output;
    EXPECT_TRUE(contains(r.output, "several database files were found")) << r.output;
    EXPECT_TRUE(contains(r.output, "add --resume " + out + ".scan.info")) << r.output;
    r = cli({"recover", "--resume", out + ".scan.info", "--file", number, "-o", again});
    ASSERT_EQ(r.exitCode, 0) << r.output;
    EXPECT_TRUE(contains(r.output, "the scan had finished")) << r.output;
    EXPECT_EQ(sha256OfFile(again), sha256OfFile(whole));
    // The kept content file serves the step-by-step commands without the source.
    CommandResult files = cli({"files", out + ".scan.info", "--content", out + ".scan.content"});
    EXPECT_EQ(files.exitCode, 0) << files.output;
    EXPECT_EQ(catalogueNumber(out + ".scan.info", first), std::stoi(number));
    EXPECT_TRUE(contains(files.output, "\t" + std::to_string(first) + "\n")) << files.output;

    // A kept scan is an output like the file: refused before reading when it exists.
    const std::string kept = sha256OfFile(out + ".scan.info");
    r = cli({"recover", big, "--file", number, "-o", w.dir.file("new.mdf"), "--save-scan",
             out + ".scan.info"});
    EXPECT_EQ(r.exitCode, 3) << r.output;
    EXPECT_TRUE(contains(r.output, "part.mdf.scan.info exists; it is kept")) << r.output;
    EXPECT_FALSE(std::filesystem::exists(w.dir.file("new.mdf")));
    EXPECT_EQ(sha256OfFile(out + ".scan.info"), kept);
    r = cli({"recover", big, "--file", number, "-o", out});
    EXPECT_EQ(r.exitCode, 3) << r.output;
    r = cli({"recover", big, "--file", number, "-o", out, "--force"});
    EXPECT_EQ(r.exitCode, 0) << r.output;
    EXPECT_EQ(sha256OfFile(out), w.m.originalSha256);
}

TEST(CliResume, OnATerminalTheScanShowsItsPositionRateFindsAndTimeLeft) {
    if (!commandExists("script")) GTEST_SKIP() << "no script(1) for a terminal";
    RawWorld w;
    const std::string big = twoCopies(w, "two.img");
    std::string command = std::string(MDF_CLI) + " scan " + big + " -o " + w.dir.file("t.info");
    CommandResult r = runCommand({"script", "-qec", command, "/dev/null"}, slowReads(big));
    ASSERT_EQ(r.exitCode, 0) << r.output;
    EXPECT_TRUE(std::regex_search(
        r.output,
        std::regex("sector [0-9]+ of " + std::to_string(std::filesystem::file_size(big) / 512) +
                   R"( \([0-9.]+ %\)  [0-9.]+ MB/s  [0-9]+ fragments?)")))
        << r.output;
    EXPECT_TRUE(contains(r.output, " left")) << r.output;
}

}  // namespace
}  // namespace mdf::test
