// The command-line program as a user calls it: one-shot recover, the step-by-step commands with
// their session file, the choice among several databases, and stopping a scan with Ctrl-C.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <chrono>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <thread>

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
    std::string log = dir.file("log.txt");
    pid_t pid = 0;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    std::vector<std::string> args = {MDF_CLI, "scan", image, "-o", out};
    std::vector<char*> argv;
    for (auto& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    ASSERT_EQ(posix_spawn(&pid, MDF_CLI, &actions, nullptr, argv.data(), environ), 0);
    posix_spawn_file_actions_destroy(&actions);
    std::this_thread::sleep_for(std::chrono::milliseconds(700));
    ::kill(pid, SIGINT);
    int status = 0;
    ::waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 130) << "interrupted";
    EXPECT_TRUE(std::filesystem::exists(out));
    std::ifstream in(log);
    std::string text{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    EXPECT_NE(text.find("begin scan"), std::string::npos);
    EXPECT_EQ(text.find("finished"), std::string::npos)
        << "64 GiB at every sector cannot be done in 0.7 s";
}

}  // namespace
}  // namespace mdf::test
