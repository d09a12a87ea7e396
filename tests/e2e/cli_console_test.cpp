// What the command line says and in which language: --lang and the locale, -q and -v, fragment
// numbers that agree between the log, the combination and the fragment list, the partitions
// command and --partition on a whole disk.
#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <regex>
#include <set>
#include <sstream>

#include "testworld/process.h"
#include "testworld/temp_dir.h"
#include "testworld/test_world.h"

namespace mdf::test {
namespace {

// With env, the locale variables are set through env(1): the test's own environment is cleared of
// them first, so that only the ones given count.
CommandResult cli(std::vector<std::string> args, std::vector<std::string> env = {}) {
    args.insert(args.begin(), MDF_CLI);
    if (!env.empty()) {
        env.insert(env.begin(), {"env", "-u", "LC_ALL", "-u", "LC_MESSAGES", "-u", "LANG"});
        args.insert(args.begin(), env.begin(), env.end());
    }
    return runCommand(args);
}

bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

bool hasChinese(const std::string& text) {
    for (unsigned char c : text)
        if (c >= 0xE3 && c <= 0xEF) return true;
    return false;
}

std::vector<std::string> linesOf(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

struct ScannedRaw {
    TempDir dir;
    SyntheticDatabase db{DatabaseRecipe{}};
    ImageManifest m;
    int number = 0;  // catalogue number of our database
    ScannedRaw() {
        RawImageOptions options;
        options.seed = 5;
        m = buildRawImage(db, image(), options);
        CommandResult scan = cli({"scan", image(), "-o", dir.file("scan.info"), "-q"});
        EXPECT_EQ(scan.exitCode, 0) << scan.output;
        std::int64_t first = 0;
        for (const auto& f : m.fragments)
            if (f.firstPage == 0) first = f.firstSector;
        auto rows = linesOf(cli({"files", dir.file("scan.info")}).output);
        for (std::size_t n = 1; n < rows.size(); ++n)
            if (rows[n].substr(rows[n].rfind('\t') + 1) == std::to_string(first))
                number = static_cast<int>(n);
    }
    std::string image() const { return dir.file("raw.img"); }
};

TEST(CliConsole, LanguageComesFromTheOptionOrTheLocale) {
    ScannedRaw w;
    ASSERT_GT(w.number, 0);
    const std::vector<std::string> analyse = {
        "analyse", w.dir.file("scan.info"),  "--source",  w.image(),
        "--file",  std::to_string(w.number), "--session", w.dir.file("s.json")};
    auto with = [&](std::vector<std::string> extra) {
        std::vector<std::string> args = analyse;
        args.insert(args.end(), extra.begin(), extra.end());
        return args;
    };

    CommandResult english = cli(with({"--lang", "en"}), {"LANG=zh_CN.UTF-8"});
    ASSERT_EQ(english.exitCode, 0) << english.output;
    EXPECT_FALSE(hasChinese(english.output)) << english.output;
    EXPECT_TRUE(contains(english.output, "the analysis ended normally")) << english.output;

    CommandResult chinese = cli(with({"--lang", "zh"}), {"LANG=C"});
    ASSERT_EQ(chinese.exitCode, 0) << chinese.output;
    EXPECT_TRUE(contains(chinese.output, "分析已正常结束,请组合前进行二次查找")) << chinese.output;
    EXPECT_TRUE(contains(chinese.output, "找到碎片号")) << chinese.output;

    // Without --lang: the locale, LC_ALL before LANG.
    EXPECT_TRUE(contains(cli(analyse, {"LANG=zh_CN.UTF-8"}).output, "找到碎片号"));
    EXPECT_TRUE(contains(cli(analyse, {"LANG=C", "LC_MESSAGES=zh_TW.UTF-8"}).output, "找到碎片号"));
    EXPECT_FALSE(hasChinese(cli(analyse, {"LANG=zh_CN.UTF-8", "LC_ALL=C"}).output));

    // The option may come before the command too, and a language we do not have is bad usage.
    EXPECT_TRUE(contains(cli({"--lang", "zh", "fragments", w.dir.file("scan.info")}).output,
                         "碎片大小(KB)"));
    CommandResult wrong = cli(with({"--lang", "fr"}));
    EXPECT_EQ(wrong.exitCode, 3) << wrong.output;
    EXPECT_TRUE(contains(wrong.output, "mdfrecover: ")) << wrong.output;

    // The CLI's own messages are translated too, with the OS reason kept.
    CommandResult missing =
        cli({"--lang", "zh", "scan", w.dir.file("none.img"), "-o", w.dir.file("n.info")});
    EXPECT_EQ(missing.exitCode, 4);
    EXPECT_TRUE(contains(missing.output, "mdfrecover: 无法打开 ")) << missing.output;
    EXPECT_TRUE(contains(missing.output, "No such file or directory")) << missing.output;
}

TEST(CliConsole, FragmentNumbersAgreeBetweenTheLogTheCombinationAndTheList) {
    ScannedRaw w;
    ASSERT_GT(w.number, 0);
    for (const char* lang : {"en", "zh"}) {
        CommandResult r =
            cli({"analyse", w.dir.file("scan.info"), "--source", w.image(), "--file",
                 std::to_string(w.number), "--session", w.dir.file("s.json"), "--lang", lang});
        ASSERT_EQ(r.exitCode, 0) << r.output;
        std::set<int> logged, combined;
        const std::regex found(std::string(lang) == "en" ? "^found fragment (\\d+)$"
                                                         : "^找到碎片号(\\d+)$");
        const std::regex row("^\\s+(\\d+)\\s+\\d+ KB\\s+pages\\s+(\\d+) \\.\\. .*sector (\\d+)$");
        std::map<int, std::string> sectorOf;
        for (const std::string& line : linesOf(r.output)) {
            std::smatch m;
            if (std::regex_match(line, m, found)) logged.insert(std::stoi(m[1]));
            if (std::regex_match(line, m, row)) {
                combined.insert(std::stoi(m[1]));
                sectorOf[std::stoi(m[1])] = m[3];
            }
        }
        ASSERT_GT(logged.size(), 1u) << r.output;
        // The combination is the file's first fragment and every fragment the log names.
        EXPECT_EQ(combined.size(), logged.size() + 1) << lang;
        for (int n : logged)
            EXPECT_TRUE(combined.count(n)) << "fragment " << n << " logged but not combined";
        // The same number is the fragment list's row of the same fragment.
        auto list = linesOf(cli({"fragments", w.dir.file("scan.info")}).output);
        for (int n : logged) {
            ASSERT_LT(static_cast<std::size_t>(n), list.size());
            std::istringstream fields(list[static_cast<std::size_t>(n)]);
            std::vector<std::string> cells;
            for (std::string cell; std::getline(fields, cell, '\t');)
                cells.push_back(cell);
            ASSERT_EQ(cells.size(), 7u) << list[static_cast<std::size_t>(n)];
            EXPECT_EQ(cells[0], std::to_string(n));
            EXPECT_EQ(cells[5], sectorOf[n]) << "fragment " << n;
        }
    }
}

TEST(CliConsole, QuietLeavesOnlyResultsAndVerboseAddsTheStatus) {
    ScannedRaw w;
    ASSERT_GT(w.number, 0);
    auto recover = [&](const std::string& flag, const std::string& out) {
        std::vector<std::string> args = {
            "recover", w.image(),       "--file", std::to_string(w.number),
            "-o",      w.dir.file(out), "--lang", "en"};
        if (!flag.empty()) args.push_back(flag);
        return cli(args);
    };
    CommandResult quiet = recover("-q", "q.mdf");
    ASSERT_EQ(quiet.exitCode, 0) << quiet.output;
    EXPECT_FALSE(contains(quiet.output, "begin scan"));
    EXPECT_FALSE(contains(quiet.output, "found fragment"));
    EXPECT_TRUE(contains(quiet.output, "sha256 " + w.m.originalSha256)) << quiet.output;

    CommandResult verbose = recover("-v", "v.mdf");
    ASSERT_EQ(verbose.exitCode, 0) << verbose.output;
    EXPECT_TRUE(contains(verbose.output, "mdfrecover: [begin scan")) << verbose.output;
    EXPECT_TRUE(contains(verbose.output, "found fragment")) << verbose.output;

    CommandResult normal = recover("", "n.mdf");
    // A blank between the words and the time, on the terminal and in the kept log alike.
    EXPECT_TRUE(contains(normal.output, "begin scan 2")) << normal.output;
    std::ifstream keptLog(w.dir.file("n.mdf.log"));
    const std::string logged{std::istreambuf_iterator<char>(keptLog), {}};
    EXPECT_TRUE(contains(logged, "scan: finished 2")) << logged;
    EXPECT_FALSE(contains(normal.output, "mdfrecover: [")) << "status only with -v";

    CommandResult both = cli({"-q", "-v", "fragments", w.dir.file("scan.info")});
    EXPECT_EQ(both.exitCode, 3) << both.output;
    // Errors are never silenced.
    CommandResult kept = cli({"-q", "recover", w.image(), "--file", std::to_string(w.number), "-o",
                              w.dir.file("q.mdf")});
    EXPECT_EQ(kept.exitCode, 3);
    EXPECT_TRUE(contains(kept.output, "mdfrecover: ")) << kept.output;
    EXPECT_TRUE(contains(kept.output, "exists; it is kept")) << kept.output;
}

TEST(CliConsole, PartitionsListsTheTableAsSfdiskReadsIt) {
    if (!commandExists("sfdisk") || !commandExists("mkfs.vfat")) GTEST_SKIP() << "no sfdisk";
    TempDir dir;
    SyntheticDatabase db{DatabaseRecipe{}};
    FileSystemImageOptions options;
    options.clusterSectors = 4;
    const std::string disk = dir.file("disk.img");
    buildDiskImage(db, disk, options);

    // The real tool's reading of the same table.
    auto table = nlohmann::json::parse(runChecked({"sfdisk", "--json", disk}));
    const auto& p = table["partitiontable"]["partitions"].at(0);
    const std::int64_t start = p["start"], size = p["size"];

    CommandResult listed = cli({"partitions", disk, "--json"});
    ASSERT_EQ(listed.exitCode, 0) << listed.output;
    auto json = nlohmann::json::parse(listed.output);
    EXPECT_EQ(json["scheme"], "MBR");
    ASSERT_EQ(json["partitions"].size(), table["partitiontable"]["partitions"].size());
    EXPECT_EQ(json["partitions"][0]["number"], 1);
    EXPECT_EQ(json["partitions"][0]["start"], start);
    EXPECT_EQ(json["partitions"][0]["sectors"], size);
    EXPECT_EQ(json["partitions"][0]["end"], start + size - 1);
    EXPECT_EQ(json["partitions"][0]["file_system"], "FAT32");

    CommandResult text = cli({"partitions", disk});
    ASSERT_EQ(text.exitCode, 0);
    EXPECT_TRUE(
        std::regex_search(text.output, std::regex("\\n\\s+1\\s+" + std::to_string(start) + "\\s+" +
                                                  std::to_string(start + size - 1) + "\\s+" +
                                                  std::to_string(size) + "\\s+.*FAT32")))
        << text.output;

    // --partition without a number on the whole disk says which numbers there are.
    CommandResult whole = cli({"scan", disk, "--partition", "-o", dir.file("w.info")});
    EXPECT_EQ(whole.exitCode, 3) << whole.output;
    EXPECT_TRUE(contains(whole.output, "mdfrecover: " + disk + " is a whole disk")) << whole.output;
    EXPECT_TRUE(contains(whole.output, "--partition=N (1 (FAT32, sector " + std::to_string(start)))
        << whole.output;
    EXPECT_FALSE(std::filesystem::exists(dir.file("w.info")));
    CommandResult absent = cli({"volume-info", disk, "--partition=2"});
    EXPECT_EQ(absent.exitCode, 3) << absent.output;
    EXPECT_TRUE(contains(absent.output, "has no partition 2; its partitions are: 1 (FAT32"))
        << absent.output;
    CommandResult first = cli({"volume-info", disk, "--partition=1"});
    EXPECT_EQ(first.exitCode, 0) << first.output;
    EXPECT_TRUE(contains(first.output, "FAT32")) << first.output;

    // The volume alone: no table, and --partition without a number is right for it.
    const std::string volume = dir.file("volume.img");
    runChecked({"dd", "if=" + disk, "of=" + volume, "bs=512", "skip=" + std::to_string(start),
                "count=" + std::to_string(size), "status=none"});
    CommandResult vol = cli({"partitions", volume});
    EXPECT_EQ(vol.exitCode, 0);
    EXPECT_TRUE(contains(vol.output, "no partition table; the source is a FAT32 volume"))
        << vol.output;
    EXPECT_EQ(cli({"volume-info", volume, "--partition"}).exitCode, 0);

    // Nothing at sector 0 at all.
    const std::string blank = dir.file("blank.img");
    std::filesystem::resize_file((writeFile(blank, {}), blank), 1 << 20);
    CommandResult none = cli({"partitions", blank});
    EXPECT_EQ(none.exitCode, 2) << none.output;
    EXPECT_EQ(cli({"partitions", dir.file("absent.img")}).exitCode, 4);
}

}  // namespace
}  // namespace mdf::test

namespace mdf::test {
namespace {

nlohmann::json lastJson(const std::string& output) {
    // The object --json prints on stdout; messages and the log (on stderr) hold none.
    return nlohmann::json::parse(output.substr(output.find("{\n")));
}

TEST(CliJson, FailuresPrintAStatusAnErrorAndTheCandidates) {
    ScannedRaw w;
    ASSERT_GT(w.number, 0);
    CommandResult ambiguous = cli({"recover", w.image(), "-o", w.dir.file("x.mdf"), "--json"});
    EXPECT_EQ(ambiguous.exitCode, 5);
    auto j = lastJson(ambiguous.output);
    EXPECT_EQ(j["status"], "ambiguous");
    EXPECT_EQ(j["error"]["exit_code"], 5);
    // The scan is kept: the command that chooses without scanning again.
    EXPECT_EQ(j["resume"], "mdfrecover recover --resume " + w.dir.file("x.mdf") + ".scan.info -o " +
                               w.dir.file("x.mdf") + " --file N");
    EXPECT_NE(j["error"]["message"].get<std::string>().find("several database files"),
              std::string::npos);
    ASSERT_GE(j["candidates"].size(), 2u) << ambiguous.output;
    const std::size_t candidates = j["candidates"].size();
    std::int64_t first = 0;
    for (const auto& f : w.m.fragments)
        if (f.firstPage == 0) first = f.firstSector;
    bool ours = false;
    for (const auto& c : j["candidates"])
        ours |= c["number"] == w.number && c["first_sector"] == first &&
                // the whole file's size, from its header: the head fragment is only part of it
                c["size_kb"] == w.db.pageCount() * 8 &&
                c["first_fragment_kb"] < w.db.pageCount() * 8;
    EXPECT_TRUE(ours) << j.dump();
    EXPECT_FALSE(std::filesystem::exists(w.dir.file("x.mdf")));

    CommandResult absent = cli(
        {"recover", w.dir.file("none.img"), "-o", w.dir.file("y.mdf"), "--json", "--lang", "en"});
    EXPECT_EQ(absent.exitCode, 4);
    j = lastJson(absent.output);
    EXPECT_EQ(j["status"], "io error");
    EXPECT_NE(j["error"]["message"].get<std::string>().find("No such file or directory"),
              std::string::npos);
    EXPECT_FALSE(j.contains("candidates"));

    CommandResult damaged = cli({"files", w.image(), "--json"});
    EXPECT_EQ(damaged.exitCode, 3) << damaged.output;
    EXPECT_EQ(lastJson(damaged.output)["status"], "bad input");

    CommandResult files = cli({"files", w.dir.file("scan.info"), "--json"});
    ASSERT_EQ(files.exitCode, 0) << files.output;
    j = lastJson(files.output);
    EXPECT_EQ(j["status"], "complete");
    EXPECT_EQ(j["files"][w.number - 1]["first_sector"], first);
    EXPECT_EQ(j["files"].size(), candidates);
    // Without the source no header page can be read: the size is the head fragment's, and said
    // to be so.
    EXPECT_TRUE(j["files"][w.number - 1]["file_size_kb"].is_null());
    EXPECT_EQ(j["files"][w.number - 1]["size_kb"], j["files"][w.number - 1]["first_fragment_kb"]);

    CommandResult analysed =
        cli({"analyse", w.dir.file("scan.info"), "--source", w.image(), "--file",
             std::to_string(w.number), "--session", w.dir.file("j.json"), "--json"});
    ASSERT_EQ(analysed.exitCode, 0) << analysed.output;
    j = lastJson(analysed.output);
    EXPECT_EQ(j["status"], "complete");
    EXPECT_EQ(j["expected_pages"], 512);
    EXPECT_GT(j["combination"].size(), 1u);
    bool start = false;
    for (const auto& row : j["combination"])
        start |= row["first_page"] == 0 && row["first_sector"] == first;
    EXPECT_TRUE(start) << j.dump();
    CommandResult unchosen = cli({"analyse", w.dir.file("scan.info"), "--source", w.image(),
                                  "--session", w.dir.file("k.json"), "--json"});
    EXPECT_EQ(unchosen.exitCode, 5);
    EXPECT_EQ(lastJson(unchosen.output)["status"], "ambiguous");
}

}  // namespace
}  // namespace mdf::test
