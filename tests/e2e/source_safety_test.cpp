// The source is never written, whatever an output is pointed at: a link in place of the name the
// tool writes under, a file system mounted from the source, a folder swapped for a link while the
// tool runs, another file the source is made of, or a file the run reads. And a saved scan never
// forgets what could not be read. Every case checks the exit code, the message, and that every
// file of the source is byte for byte what it was.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/inotify.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <thread>

#include "assembly/sha256.h"
#include "support/background_command.h"
#include "support/pubs_file.h"
#include "testworld/process.h"
#include "testworld/source_images.h"
#include "testworld/temp_dir.h"
#include "testworld/test_world.h"

namespace mdf::test {
namespace {

namespace fs = std::filesystem;

constexpr int kComplete = 0, kPartial = 1, kBadInput = 3;

CommandResult cli(std::vector<std::string> args, std::vector<std::string> environment = {}) {
    args.insert(args.begin(), MDF_CLI);
    environment.push_back("ASAN_OPTIONS=verify_asan_link_order=0:detect_leaks=0");
    return runCommand(args, environment);
}

bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

nlohmann::json jsonIn(const std::string& output) {
    return nlohmann::json::parse(output.substr(output.find("{\n")));
}

// The files that must come through untouched, with their hashes when the test began.
class Untouched {
  public:
    void add(const std::string& path) { sha_[path] = sha256OfFile(path); }
    ~Untouched() {
        for (const auto& [path, sha] : sha_)
            EXPECT_EQ(sha256OfFile(path), sha) << path << " was changed";
    }

  private:
    std::map<std::string, std::string> sha_;
};

// A raw image holding one database (no second one of its file id), with its original.
struct RawSource {
    TempDir dir;
    SyntheticDatabase db{[] {
        DatabaseRecipe r;
        r.pages = 256;
        r.seed = 41;
        return r;
    }()};
    ImageManifest m;
    std::string image = dir.file("source.img");
    Untouched untouched;

    explicit RawSource(const std::string& name = "source.img") : image(dir.file(name)) {
        RawImageOptions options;
        options.seed = 42;
        options.sameFileIdDatabase = false;
        m = buildRawImage(db, image, options);
        untouched.add(image);
    }
    std::string file(const std::string& name) const { return dir.file(name); }
};

// Class 1: the name the tool writes under until a file is whole. A link there (to the source, or
// the source's own device), a hard link, or a source that is itself named OUTPUT.partial: none is
// opened; every output comes out whole beside them and the links stay what they were.
TEST(SourceSafety, LinksWhereAnOutputIsWrittenAreNeverFollowed) {
    RawSource s;
    ASSERT_EQ(cli({"scan", s.image, "-o", s.file("scan.info")}).exitCode, kComplete);
    ASSERT_EQ(
        cli({"analyse", s.file("scan.info"), "--source", s.image, "--session", s.file("s.json")})
            .exitCode,
        kComplete);
    std::int64_t firstSector = 0;
    for (const auto& f : s.m.fragments)
        if (f.firstPage == 0) firstSector = f.firstSector;
    fs::create_directory(s.file("hex"));
    const struct {
        std::vector<std::string> args;
        std::string output;
    } commands[] = {
        {{"scan", s.image, "-o", s.file("o1.info")}, s.file("o1.info")},
        {{"scan", s.image, "-o", s.file("o2.info"), "--content", s.file("o2.content")},
         s.file("o2.content")},
        {{"recover", s.image, "-o", s.file("o3.mdf")}, s.file("o3.mdf")},
        {{"recover", s.image, "-o", s.file("o4.mdf"), "--save-scan", s.file("o4.info")},
         s.file("o4.info")},
        {{"recover", s.image, "-o", s.file("o5.mdf"), "--save-content", s.file("o5.content")},
         s.file("o5.content")},
        {{"export", s.file("scan.info"), "--source", s.image, "--all", "--single",
          s.file("o6.bin")},
         s.file("o6.bin")},
        {{"export", s.file("scan.info"), "--source", s.image, "--all", "--folder", s.file("hex")},
         s.file("hex/" + std::to_string(firstSector) + ".hex")},
        {{"analyse", s.file("scan.info"), "--source", s.image, "--session", s.file("o8.json")},
         s.file("o8.json")},
        {{"create", "--session", s.file("s.json"), "-o", s.file("o9.mdf")}, s.file("o9.mdf")},
    };
    int n = 0;
    for (const auto& c : commands) {
        // A symbolic link where the old tool wrote, and a hard link beside it.
        fs::create_symlink(s.image, c.output + ".partial");
        fs::create_hard_link(s.image, c.output + ".partial.partial");
        CommandResult r = cli(c.args);
        EXPECT_EQ(r.exitCode, kComplete) << c.args[0] << "\n" << r.output;
        EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(c.output))) << c.output;
        EXPECT_TRUE(fs::is_symlink(c.output + ".partial"));
        EXPECT_EQ(fs::hard_link_count(s.image), 2u + static_cast<unsigned>(n++));
    }
    EXPECT_EQ(sha256OfFile(s.file("o3.mdf")), s.m.expectedSha256);

    // A source named as the old tool's half-written output would have been.
    RawSource named("Sales.mdf.partial");
    CommandResult r = cli({"recover", named.image, "-o", named.file("Sales.mdf")});
    EXPECT_EQ(r.exitCode, kComplete) << r.output;
    EXPECT_EQ(sha256OfFile(named.file("Sales.mdf")), named.m.expectedSha256);
}

// A loop device over an image, detached and its mount undone when the test ends; skipped where
// this machine lets no test attach or mount one.
struct LoopMount {
    std::string device, point;
    bool mounted = false;
    LoopMount(const std::string& image, const std::string& at, bool readOnly) : point(at) {
        CommandResult attach =
            runCommand(readOnly ? std::vector<std::string>{"losetup", "-r", "-f", "--show", image}
                                : std::vector<std::string>{"losetup", "-f", "--show", image});
        if (attach.exitCode != 0) return;
        device = attach.output.substr(0, attach.output.find('\n'));
        fs::create_directories(point);
        mounted = ::mount(device.c_str(), point.c_str(), "ext4",
                          (readOnly ? MS_RDONLY : 0) | MS_NOATIME, nullptr) == 0;
    }
    ~LoopMount() {
        if (mounted) ::umount(point.c_str());
        if (!device.empty()) runCommand({"losetup", "-d", device});
    }
};

std::string ext4Source(const TempDir& dir, const std::string& name) {
    SyntheticDatabase db{DatabaseRecipe{}};
    FileSystemImageOptions options;
    options.seed = 7;
    options.clusterSectors = 8;
    buildExt4Image(db, dir.file(name), options);
    return dir.file(name);
}

// Class 2: a file system mounted from the source, through a loop device over the image or the
// loop device itself as the source, or a FUSE file system read from the image: no output may go
// there (the free clusters it would take are the deleted database's).
TEST(SourceSafety, NoOutputOnAFileSystemMountedFromTheSource) {
    TempDir dir;
    const std::string image = ext4Source(dir, "ext4.img");
    Untouched untouched;
    untouched.add(image);
    LoopMount mount(image, dir.file("mnt"), true);
    if (!mount.mounted) GTEST_SKIP() << "no loop mount here";
    for (const auto& args : std::vector<std::vector<std::string>>{
             {"recover", image, "-o", mount.point + "/out.mdf"},
             {"scan", image, "-o", dir.file("a.info"), "--content", mount.point + "/a.content"},
             {"recover", image, "-o", dir.file("b.mdf"), "--save-scan", mount.point + "/b.info"},
         }) {
        CommandResult r = cli(args);
        EXPECT_EQ(r.exitCode, kBadInput) << r.output;
        EXPECT_TRUE(
            contains(r.output, "lies on a file system mounted from the source being recovered"))
            << r.output;
        EXPECT_FALSE(contains(r.output, "begin scan")) << "nothing may be read first";
    }
    CommandResult r = cli({"recover", mount.device, "-o", mount.point + "/out.mdf"});
    EXPECT_EQ(r.exitCode, kBadInput) << r.output;
    EXPECT_TRUE(contains(r.output, "lies on the device being recovered")) << r.output;

    // ntfs-3g reads an image file straight, with no loop device in between.
    SyntheticDatabase db{DatabaseRecipe{}};
    FileSystemImageOptions options;
    buildNtfsImage(db, dir.file("ntfs.img"), options);
    untouched.add(dir.file("ntfs.img"));
    fs::create_directory(dir.file("fuse"));
    // The daemon keeps whatever it was given open: it gets nothing a test run waits on.
    const std::string fuse = "ntfs-3g -o ro '" + dir.file("ntfs.img") + "' '" + dir.file("fuse") +
                             "' </dev/null >/dev/null 2>&1";
    if (std::system(fuse.c_str()) != 0) return;
    r = cli({"recover", dir.file("ntfs.img"), "-o", dir.file("fuse") + "/out.mdf"});
    ::umount(dir.file("fuse").c_str());
    EXPECT_EQ(r.exitCode, kBadInput) << r.output;
    EXPECT_TRUE(contains(r.output, "lies on a file system mounted from")) << r.output;
}

// Class 3: the output folder swapped for a link into the source's own mount, over and over,
// while recoveries run: each is refused or writes where its folder was when it opened it, and
// nothing reaches the source's device.
TEST(SourceSafety, AFolderSwappedForALinkIntoTheSourceNeverLeadsAWriteThere) {
    TempDir dir;
    const std::string image = ext4Source(dir, "ext4.img");
    LoopMount mount(image, dir.file("mnt"), false);
    if (!mount.mounted) GTEST_SKIP() << "no loop mount here";
    fs::create_directory(mount.point + "/inside");
    auto listing = [&] {
        std::vector<std::string> names;
        for (const auto& e : fs::recursive_directory_iterator(mount.point))
            names.push_back(e.path().string() + " " +
                            std::to_string(e.is_regular_file() ? e.file_size() : 0));
        std::sort(names.begin(), names.end());
        return names;
    };
    const auto before = listing();
    // Every file made in the mount, even one removed again at once, is told here.
    const int watch = ::inotify_init1(IN_NONBLOCK);
    ASSERT_GE(watch, 0);
    for (const std::string& folder : {mount.point, mount.point + "/inside"})
        ASSERT_GE(::inotify_add_watch(watch, folder.c_str(), IN_CREATE | IN_MODIFY | IN_MOVED_TO),
                  0);

    // out is a folder and swap a link into the mount; the two trade places all the time.
    const std::string out = dir.file("out"), swap = dir.file("swap");
    fs::create_directory(out);
    fs::create_symlink(mount.point + "/inside", swap);
    std::atomic<bool> done{false};
    std::thread swapper([&] {
        while (!done)
            ::renameat2(AT_FDCWD, out.c_str(), AT_FDCWD, swap.c_str(), RENAME_EXCHANGE);
    });
    // Runs refused at once, and runs that got past the first check and met the swap (or none)
    // as they created their files one after another.
    int refused = 0, wentOn = 0;
#ifdef __SANITIZE_ADDRESS__
    // Under the sanitizers each run is several times slower; the release build makes all 200.
    constexpr int kRuns = 50;
#else
    constexpr int kRuns = 200;
#endif
    for (int run = 0; run < kRuns; ++run) {
        CommandResult r = cli({"recover", image, "-o", out + "/r.mdf", "--force"});
        if (r.exitCode == kBadInput && contains(r.output, "mounted from the source"))
            ++refused;
        else
            ++wentOn;
    }
    done = true;
    swapper.join();
    EXPECT_EQ(listing(), before) << "a file appeared on the source's file system";
    char events[4096];
    EXPECT_LE(::read(watch, events, sizeof events), 0) << "a file was made on the source";
    // The watch does see a write that is let through.
    CommandResult allowed = cli({"recover", image, "-o", mount.point + "/inside/allowed.mdf",
                                 "--allow-source-device", "--no-save-scan"});
    EXPECT_TRUE(allowed.exitCode == kComplete || allowed.exitCode == kPartial) << allowed.output;
    EXPECT_GT(::read(watch, events, sizeof events), 0);
    ::close(watch);
    EXPECT_GT(wentOn, 0);
    EXPECT_GT(refused, 0);
    // What was written went to the folder itself, wherever it stands now.
    const std::string folder = fs::is_symlink(out) ? swap : out;
    EXPECT_FALSE(fs::is_empty(folder));
}

// Class 4: the other files a source is made of, kept whatever --force says; and the image a
// saved scan was made of, when only its content file is read.
TEST(SourceSafety, EverySegmentExtentAndTheScannedSourceAreKeptEvenWithForce) {
    RawSource s;
    convertImage(s.image, s.file("split.E01"), "ewf", 1 << 20);
    ASSERT_TRUE(fs::exists(s.file("split.E02")));
    runChecked({"qemu-img", "convert", "-q", "-f", "raw", "-O", "vmdk", "-o",
                "subformat=monolithicFlat", s.image, s.file("flat.vmdk")});
    ASSERT_TRUE(fs::exists(s.file("flat-flat.vmdk")));
    for (const char* f : {"split.E01", "split.E02", "flat.vmdk", "flat-flat.vmdk"})
        s.untouched.add(s.file(f));
    for (const auto& [source, output] : std::vector<std::pair<std::string, std::string>>{
             {"split.E01", "split.E02"}, {"flat.vmdk", "flat-flat.vmdk"}}) {
        CommandResult r = cli({"recover", s.file(source), "-o", s.file(output), "--force"});
        EXPECT_EQ(r.exitCode, kBadInput) << r.output;
        EXPECT_TRUE(contains(r.output, "is part of the source being recovered")) << r.output;
    }
    // A session made from the content file alone still knows the image it was read from.
    ASSERT_EQ(
        cli({"scan", s.image, "-o", s.file("c.info"), "--content", s.file("c.content")}).exitCode,
        kComplete);
    fs::remove(s.file("c.info.resume"));  // only the content file's own record tells now
    ASSERT_EQ(cli({"analyse", s.file("c.info"), "--content", s.file("c.content"), "--session",
                   s.file("c.json")})
                  .exitCode,
              kComplete);
    CommandResult r = cli({"create", "--session", s.file("c.json"), "-o", s.image, "--force"});
    EXPECT_EQ(r.exitCode, kBadInput) << r.output;
    EXPECT_TRUE(contains(r.output, "is the source the saved scan was made of")) << r.output;
}

// Class 5: the files a run reads are no outputs of it, and two outputs are never one file; a
// resume file changed to name another file as its content leaves that file alone.
TEST(SourceSafety, TheFilesARunReadsAreNeverItsOutputs) {
    RawSource s;
    ASSERT_EQ(cli({"scan", s.image, "-o", s.file("scan.info"), "--content", s.file("scan.content")})
                  .exitCode,
              kComplete);
    runChecked({"ddrescue", "-q", s.image, s.file("copy.img"), s.file("disk.map")});
    for (const char* f : {"scan.info", "scan.content", "disk.map"})
        s.untouched.add(s.file(f));
    for (const char* input : {"scan.info", "scan.content", "disk.map"})
        for (bool force : {false, true}) {
            std::vector<std::string> args = {"analyse",   s.file("scan.info"),
                                             "--content", s.file("scan.content"),
                                             "--source",  s.image,
                                             "--mapfile", s.file("disk.map"),
                                             "--session", s.file(input)};
            if (force) args.push_back("--force");
            CommandResult r = cli(args);
            EXPECT_EQ(r.exitCode, kBadInput) << input << "\n" << r.output;
            EXPECT_TRUE(contains(r.output, "(or a link to it); write elsewhere")) << r.output;
        }
    CommandResult r =
        cli({"recover", s.image, "-o", s.file("same"), "--save-scan", s.file("same")});
    EXPECT_EQ(r.exitCode, kBadInput) << r.output;
    EXPECT_TRUE(contains(r.output, "cannot be the same file")) << r.output;
    EXPECT_FALSE(fs::exists(s.file("same")));

    // A stopped scan whose resume file was changed to name an unrelated file as its content.
    writeFile(s.file("precious.doc"), std::vector<std::uint8_t>(5000, 7));
    s.untouched.add(s.file("precious.doc"));
    {
        Background stopped(
            {"scan", s.image, "-o", s.file("part.info"), "--content", s.file("part.content")},
            s.file("part.log"), slowReads(s.image, 2000));
        ASSERT_TRUE(stopped.waitForOutput("begin scan", std::chrono::seconds(30)));
        EXPECT_EQ(stopped.signalAndWait(SIGINT), 130) << stopped.output();
    }
    nlohmann::json resume = nlohmann::json::parse(std::ifstream(s.file("part.info.resume")));
    resume["content"] = s.file("precious.doc");
    std::ofstream(s.file("part.info.resume")) << resume.dump();
    r = cli({"scan", "--resume", s.file("part.info")});
    EXPECT_EQ(r.exitCode, kBadInput) << r.output;
    EXPECT_TRUE(contains(r.output, "is not the content file of the stopped scan")) << r.output;
}

// Class 6: a kept scan remembers the sectors it could not read. Analysing it again lists
// exactly the pages the first run could not read, and the result stays partial.
TEST(SourceSafety, AKeptScanRemembersWhatCouldNotBeRead) {
    RawSource s;
    const ManifestFragment* victim = nullptr;
    for (const auto& f : s.m.fragments)
        if (f.firstPage > 40 && f.pages >= 6 && !victim) victim = &f;
    ASSERT_NE(victim, nullptr);
    // One sector inside pages 2 and 3 of the fragment; their headers stay readable.
    std::vector<std::string> failing = failingReads(s.image, 0, 0);
    failing[2] = "MDF_FAULT_EIO=" + std::to_string(victim->firstSector + 2 * 16 + 5) + ":1," +
                 std::to_string(victim->firstSector + 3 * 16 + 5) + ":1";
    CommandResult first =
        runCommand({MDF_CLI, "recover", s.image, "-o", s.file("out.mdf"), "--json"}, failing);
    ASSERT_EQ(first.exitCode, kPartial) << first.output;
    const nlohmann::json lost = jsonIn(first.output)["unreadable_pages"]["list"];
    EXPECT_EQ(lost, nlohmann::json::array({victim->firstPage + 2, victim->firstPage + 3}));

    ASSERT_EQ(cli({"analyse", s.file("out.mdf.scan.info"), "--content",
                   s.file("out.mdf.scan.content"), "--session", s.file("again.json")})
                  .exitCode,
              kComplete);
    CommandResult again =
        cli({"create", "--session", s.file("again.json"), "-o", s.file("again.mdf"), "--json"});
    EXPECT_EQ(again.exitCode, kPartial) << again.output;
    EXPECT_EQ(jsonIn(again.output)["status"], "partial");
    EXPECT_EQ(jsonIn(again.output)["unreadable_pages"]["list"], lost);
}

}  // namespace
}  // namespace mdf::test

namespace mdf::test {
namespace {

// Class 7: a finished scan of a partition that starts past sector 0 can be gone on with again and
// again (it keeps the window it stood in, never sector 0 of the disk).
TEST(SourceSafety, AFinishedScanOfAPartitionGoesOnAsOftenAsAsked) {
    TempDir dir;
    SyntheticDatabase db{DatabaseRecipe{}};
    FileSystemImageOptions options;
    options.clusterSectors = 4;
    const ImageManifest m = buildDiskImage(db, dir.file("disk.img"), options);
    Untouched untouched;
    untouched.add(dir.file("disk.img"));
    const std::string out = dir.file("out.mdf");
    ASSERT_EQ(cli({"recover", dir.file("disk.img"), "--partition=1", "-o", out}).exitCode,
              kComplete);
    const nlohmann::json first = nlohmann::json::parse(std::ifstream(out + ".scan.info.resume"));
    for (int again = 0; again < 2; ++again) {
        CommandResult r = cli({"recover", "--resume", out + ".scan.info", "-o", out, "--force"});
        EXPECT_EQ(r.exitCode, kComplete) << r.output;
        EXPECT_TRUE(contains(r.output, "the scan had finished")) << r.output;
        EXPECT_EQ(sha256OfFile(out), m.expectedSha256);
        const nlohmann::json now = nlohmann::json::parse(std::ifstream(out + ".scan.info.resume"));
        EXPECT_EQ(now["window_start"], first["window_start"]);
        EXPECT_EQ(now["cursor"], first["cursor"]);
    }
}

// Class 8: hostile images and inputs are refused or read for what they are, never crash, hang
// or stop a scan that can go on.
TEST(SourceSafety, HostileImagesAndInputsAreReadForWhatTheyAre) {
    RawSource s;
    // A qcow2 cut short: refused before any table is read; nothing written at all.
    convertImage(s.image, s.file("whole.qcow2"), "qcow2");
    auto qcow = readFile(s.file("whole.qcow2"));
    qcow.resize(qcow.size() / 2);
    writeFile(s.file("cut.qcow2"), qcow);
    s.untouched.add(s.file("cut.qcow2"));
    CommandResult r = cli({"recover", s.file("cut.qcow2"), "-o", s.file("q.mdf")});
    EXPECT_EQ(r.exitCode, kBadInput) << r.output;
    EXPECT_TRUE(contains(r.output, "qcow2 image damaged")) << r.output;
    for (const auto& e : fs::directory_iterator(s.dir.path()))
        EXPECT_EQ(e.path().string().find("q.mdf"), std::string::npos) << e.path();

    // A pipe as map file would be read until someone writes to it.
    ASSERT_EQ(::mkfifo(s.file("map.fifo").c_str(), 0644), 0);
    r = cli({"scan", s.image, "-o", s.file("f.info"), "--mapfile", s.file("map.fifo")});
    EXPECT_EQ(r.exitCode, kBadInput) << r.output;
    EXPECT_TRUE(contains(r.output, "is not a regular file")) << r.output;

    // A page 0 that states 2^31 - 1 pages, analysed and written from a content file alone: the
    // file ends where the source it came from ended, and the summary says so.
    ASSERT_EQ(
        cli({"scan", s.image, "-o", s.file("c.info"), "--content", s.file("c.content")}).exitCode,
        kComplete);
    ASSERT_EQ(cli({"analyse", s.file("c.info"), "--content", s.file("c.content"), "--session",
                   s.file("c.json")})
                  .exitCode,
              kComplete);
    nlohmann::json session = nlohmann::json::parse(std::ifstream(s.file("c.json")));
    session["expected_pages"] = 2147483647;
    std::ofstream(s.file("c.json")) << session.dump();
    r = cli({"create", "--session", s.file("c.json"), "-o", s.file("c.mdf"), "--json"});
    EXPECT_EQ(r.exitCode, kPartial) << r.output;
    EXPECT_GT(jsonIn(r.output)["pages_cut"].get<std::int64_t>(), 2147483647 - 100000);
    EXPECT_LE(fs::file_size(s.file("c.mdf")), fs::file_size(s.image));

    // A boot sector of no known file system whose byte 13 is no cluster size: scanned at every
    // sector, and the database in it found.
    auto image = readFile(s.image);
    std::fill(image.begin(), image.begin() + 512, 0);
    image[13] = 3;
    writeFile(s.file("odd.img"), image);
    r = cli({"recover", s.file("odd.img"), "--partition", "-o", s.file("odd.mdf")});
    EXPECT_TRUE(contains(r.output, "is no cluster size: the volume is scanned at every sector"))
        << r.output;
    EXPECT_EQ(r.exitCode, kComplete) << r.output;
}

// A GPT whose primary header's checksum fails: its backup is used, and the log says so.
TEST(SourceSafety, ADamagedGptIsReadFromItsBackup) {
    TempDir dir;
    SyntheticDatabase db{DatabaseRecipe{}};
    FileSystemImageOptions options;
    const ImageManifest m = buildGptDiskImage(db, dir.file("gpt.img"), options);
    std::vector<std::uint8_t> junk(16, 0xEE);
    writeAt(dir.file("gpt.img"), 512 + 56, junk);  // the disk GUID, inside the header's checksum
    CommandResult r = cli({"partitions", dir.file("gpt.img")});
    EXPECT_EQ(r.exitCode, kComplete) << r.output;
    EXPECT_TRUE(contains(r.output, "its backup at LBA")) << r.output;
    r = cli({"recover", dir.file("gpt.img"), "--partition=1", "-o", dir.file("out.mdf")});
    EXPECT_EQ(r.exitCode, kComplete) << r.output;
    EXPECT_EQ(sha256OfFile(dir.file("out.mdf")), m.expectedSha256);
}

// A free-space map that cannot be built (the ext4 superblock damaged) leaves the volume to be
// scanned whole rather than not at all.
TEST(SourceSafety, AVolumeWhoseAllocationCannotBeReadIsScannedWhole) {
    TempDir dir;
    SyntheticDatabase db{DatabaseRecipe{}};
    FileSystemImageOptions options;
    options.clusterSectors = 8;
    const ImageManifest m = buildExt4Image(db, dir.file("ext4.img"), options);
    // The superblock's inode count: the volume's size and block size still read, but the
    // superblock's own checksum fails and the library will not open it.
    writeAt(dir.file("ext4.img"), 1024, std::vector<std::uint8_t>(4, 0xFF));
    CommandResult r = cli({"recover", dir.file("ext4.img"), "--partition", "--free-space-only",
                           "-o", dir.file("out.mdf")});
    EXPECT_TRUE(contains(r.output, "the whole volume is scanned")) << r.output;
    EXPECT_EQ(r.exitCode, kComplete) << r.output;
    EXPECT_EQ(sha256OfFile(dir.file("out.mdf")), m.expectedSha256);
}

}  // namespace
}  // namespace mdf::test
