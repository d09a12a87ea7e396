// The one-shot recovery of a large database, timed as a user meets it: the real `mdfrecover
// recover` process against one plain read of the same image (`dd bs=8M`), and against that read
// plus one durable write of a file of the database's size (`dd oflag=direct conv=fsync`), the
// least any recovery must do; rounds alternating so that all meet the same page cache, the
// ratios taken round by round.
//
// The layout: a checksum-protected database of 262144 pages x SCALE (2 GiB at scale 1) cut into
// runs of 3-40 pages in shuffled order at 8-sector positions, with odd 8-sector-multiple gaps
// between them, 200 stale copies of parts of it and two small other databases among them, in
// an image of twice the database's size. At scale 1 the gaps hold junk and every byte is
// written (a 4 GiB image); at larger scales gaps and the file's unused tail are holes, so that
// a 40 GiB image costs the disk only the pages that matter.
//
// Usage: bench_recover [--scale N] [--rounds R] [--direct-io] [--uncached] [--no-save-scan]
//                      [--no-reads] [--keep-output]
// The image is built once in /tmp/mdfrecover-bench; the recovered file is checked against the
// SHA-256 of the database the image was built from.
//
// --uncached meets the disk as a recovery does: the image's pages are dropped from the page cache
// before every run, the read is `dd iflag=direct` (a plain read of an uncached file goes through
// the kernel's small read-ahead and is several times slower here, which would flatter the ratio)
// and `recover` reads with --direct-io, as it does by itself on a device.
// --no-save-scan: `recover` keeps no scan-info and content file beside the output (it does by
// default, and the content file is most of the database written a second time).
#include <fcntl.h>
#include <fmt/core.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <stdexcept>
#include <string>
#include <vector>

#include "bench_util.h"
#include "session/recovery_session.h"
#include "testworld/random.h"
#include "testworld/synthetic_database.h"

namespace {

using namespace mdf;
namespace fs = std::filesystem;

constexpr std::int64_t kPage = 8192;

struct Item {
    const test::SyntheticDatabase* db;
    std::int32_t from, to;
    std::uint64_t staleSalt;
};

void writeAt(int fd, const void* data, std::size_t size, std::int64_t offset) {
    if (::pwrite(fd, data, size, offset) != static_cast<ssize_t>(size))
        throw std::runtime_error("short write to the image");
}

bool allZero(const test::Page& p) {
    return std::all_of(p.begin(), p.end(), [](std::uint8_t b) { return b == 0; });
}

// Builds the image and returns the SHA-256 a correct recovery writes (the database itself).
std::string buildImage(const std::string& path, int scale, bool sparse) {
    test::DatabaseRecipe recipe;
    recipe.pages = 262144 * scale;
    recipe.protection = test::Protection::Checksum;
    recipe.seed = 16;
    test::SyntheticDatabase db(recipe);
    test::Random rng({recipe.seed, 0xB16u});

    std::vector<Item> items;
    for (std::int32_t p = 0; p < db.pageCount();) {
        auto n = static_cast<std::int32_t>(rng.between(3, 40));
        const std::int32_t end = std::min(db.pageCount(), p + n);
        items.push_back({&db, p, end, 0});
        p = end;
    }
    for (int s = 0; s < 200; ++s) {
        auto from = static_cast<std::int32_t>(rng.between(41, db.usedPages() - 20));
        auto to = std::min(db.usedPages(), from + static_cast<std::int32_t>(rng.between(4, 20)));
        items.push_back({&db, from, to, static_cast<std::uint64_t>(s) + 1});
    }
    std::vector<std::unique_ptr<test::SyntheticDatabase>> others;
    for (std::uint16_t fileId : {std::uint16_t{2}, std::uint16_t{1}}) {
        test::DatabaseRecipe r;
        r.pages = 160;
        r.fileId = fileId;
        r.seed = 500 + fileId;
        r.physicalPath = fileId == 1 ? "E:\\old\\Archive.mdf" : "E:\\logs\\Archive_2.ndf";
        r.logicalName = "Archive";
        r.objects = 5;
        others.push_back(std::make_unique<test::SyntheticDatabase>(r));
        for (std::int32_t p = 0; p < others.back()->usedPages();) {
            const std::int32_t end = std::min<std::int32_t>(
                others.back()->usedPages(), p + static_cast<std::int32_t>(rng.between(8, 40)));
            items.push_back({others.back().get(), p, end, 0});
            p = end;
        }
    }
    for (std::size_t i = items.size(); i > 1; --i)
        std::swap(
            items[i - 1],
            items[static_cast<std::size_t>(rng.between(0, static_cast<std::int64_t>(i) - 1))]);

    fs::remove(path);
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) throw std::runtime_error("cannot create " + path);
    std::vector<std::uint8_t> junk(8 * 648 * 512);
    std::int64_t sector = 8 * rng.between(1, 20);
    std::vector<std::uint8_t> run;
    for (const Item& item : items) {
        run.clear();
        bool zero = true;
        for (std::int32_t p = item.from; p < item.to; ++p) {
            test::Page pg =
                item.staleSalt ? item.db->stalePage(p, item.staleSalt) : item.db->page(p);
            zero = zero && allZero(pg);
            run.insert(run.end(), pg.begin(), pg.end());
        }
        if (!(sparse && zero)) writeAt(fd, run.data(), run.size(), sector * 512);
        sector += static_cast<std::int64_t>(run.size() / 512);
        const std::int64_t gap = 8 * (2 * rng.between(0, 40) + 1);
        if (!sparse) {
            for (std::size_t i = 0; i < static_cast<std::size_t>(gap * 512); i += 8) {
                const std::uint64_t v = rng.next();
                std::memcpy(&junk[i], &v, 8);
            }
            writeAt(fd, junk.data(), static_cast<std::size_t>(gap * 512), sector * 512);
        }
        sector += gap;
    }
    const std::int64_t size = std::max<std::int64_t>(sector * 512, 2 * db.pageCount() * kPage);
    if (::ftruncate(fd, size) != 0) throw std::runtime_error("cannot size the image");
    ::close(fd);
    return db.sha256();
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    const std::size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

enum class ReadMode { OneByOne, Kept, KeptFromScan };

// Scan and analysis in this process, counting what the analysis reads from the image: with
// every page read alone where a pass needs it (how the analysis read before its pages were
// kept), with pages kept but nothing of the scan at hand, and as the same run reads now.
void countAnalysisReads(const std::string& image, const std::string& pick, ReadMode mode) {
    const bool oneByOne = mode == ReadMode::OneByOne;
    SilentReporter reporter;
    RecoverySession session(reporter);
    session.pages().readPassPagesOneByOne(oneByOne);
    session.openImage(image, ImageKind::WholeDisk);
    session.settings().sectorsPerCluster = 8;
    (void)(session.startScan() == StartResult::Started);
    session.waitForJobs();
    // As an analysis of a saved scan in another run has it: nothing the scan read is at hand.
    if (mode == ReadMode::Kept) session.pages().scannedPages().clear();
    for (const auto& row : session.listDatabaseFiles()) {
        if (row.name.find(pick) == std::string::npos) continue;
        const std::uint64_t before = session.source().platformReads();
        const PageOrigin::ReadCounts passBefore = session.pages().passReads();
        const auto start = std::chrono::steady_clock::now();
        session.startAnalysis(row);
        session.waitForJobs();
        const double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        const std::uint64_t reads = session.source().platformReads() - before;
        const std::size_t accepted = session.analysis().recordedFragments.size();
        const PageOrigin::ReadCounts pass = session.pages().passReads();
        const auto perAccepted = [&](std::uint64_t n) {
            return accepted ? static_cast<double>(n) / static_cast<double>(accepted) : 0.0;
        };
        fmt::print("analysis, {}\n",
                   oneByOne ? "every page read alone where a pass needs it"
                   : mode == ReadMode::Kept
                       ? "pages kept, read in blocks, in sector order (a saved scan)"
                       : "pages kept, taken from what the scan of the same run read");
        fmt::print("  {:.2f} s, {} of {} fragments accepted, {} platform reads\n", seconds,
                   accepted, session.fragments().size(), reads);
        fmt::print(
            "  {} page reads in {} requests, {:.2f} GiB: {:.2f} page reads and {:.2f} "
            "requests per accepted fragment\n",
            pass.pages - passBefore.pages, pass.requests - passBefore.requests,
            static_cast<double>(pass.bytes - passBefore.bytes) / 1073741824.0,
            perAccepted(pass.pages - passBefore.pages),
            perAccepted(pass.requests - passBefore.requests));
        break;
    }
}

}  // namespace

int main(int argc, char** argv) {
    int scale = 1, rounds = 3;
    bool directIo = false, reads = true, keepOutput = false, uncached = false, saveScan = true;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--scale" && i + 1 < argc)
            scale = std::atoi(argv[++i]);
        else if (a == "--rounds" && i + 1 < argc)
            rounds = std::atoi(argv[++i]);
        else if (a == "--direct-io")
            directIo = true;
        else if (a == "--uncached")
            uncached = directIo = true;
        else if (a == "--no-save-scan")
            saveScan = false;
        else if (a == "--no-reads")
            reads = false;
        else if (a == "--keep-output")
            keepOutput = true;
        else {
            fmt::print(stderr,
                       "usage: bench_recover [--scale N] [--rounds R] [--direct-io] [--uncached] "
                       "[--no-save-scan] [--no-reads] [--keep-output]\n");
            return 2;
        }
    }
    const std::string dir = "/tmp/mdfrecover-bench";
    fs::create_directories(dir);
    const std::string image = fmt::format("{}/recover-x{}.img", dir, scale);
    const std::string shaFile = image + ".sha256";
    std::string expected;
    if (fs::exists(shaFile) && fs::exists(image)) {
        std::ifstream(shaFile) >> expected;
    } else {
        fmt::print("building {} ...\n", image);
        const auto start = std::chrono::steady_clock::now();
        expected = buildImage(image, scale, scale > 1);
        std::ofstream(shaFile) << expected << "\n";
        fmt::print("built in {:.0f} s\n",
                   std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    }
    struct stat st {};
    ::stat(image.c_str(), &st);
    fmt::print("recover           {}{}{}\n",
               uncached   ? "--direct-io, image uncached before every run"
               : directIo ? "--direct-io"
                          : "image page-cached",
               saveScan ? ", keeps its scan (info and content)" : ", --no-save-scan", "");
    fmt::print("image             {} ({:.1f} GiB, {:.1f} GiB allocated), database {} GiB\n", image,
               static_cast<double>(st.st_size) / 1073741824.0,
               static_cast<double>(st.st_blocks) * 512 / 1073741824.0, 2 * scale);

    const std::string output = dir + "/recovered.mdf";
    const std::string json = dir + "/recover.json";
    // The first fragment is often too short to hold the file's name: the size tells ours.
    const std::string pick = fmt::format("size:{}KB", std::int64_t{262144} * scale * 8);
    std::vector<std::string> recover = {MDFRECOVER,   "recover", image,    "--stride", "8",
                                        "--database", pick,      "--json", "-o",       output};
    if (directIo) recover.push_back("--direct-io");
    if (!saveScan) recover.push_back("--no-save-scan");
    std::vector<std::string> dd = {"dd", "if=" + image, "of=/dev/null", "bs=8M"};
    if (uncached) dd.push_back("iflag=direct");
    // The write the output must cost at least: its size, to the same disk, through to it.
    const std::string written = dir + "/durable-write.tmp";
    const std::vector<std::string> ddWrite = {"dd",
                                              "if=/dev/zero",
                                              "of=" + written,
                                              "bs=8M",
                                              fmt::format("count={}", 256 * scale),
                                              "oflag=direct",
                                              "conv=fsync"};
    const auto removeOutputs = [&] {
        for (const char* suffix : {"", ".scan.info", ".scan.info.resume", ".scan.content"})
            fs::remove(output + suffix);
    };

    // A first read of each, not counted: the page cache then holds what it can.
    if (!uncached) bench::runProcess(dd);
    std::vector<double> readTimes, writeTimes, recoverTimes, ratios, baselineRatios;
    long peakKiB = 0;
    bool exact = true;
    for (int round = 0; round < rounds; ++round) {
        removeOutputs();
        if (uncached) mdf::bench::dropFromPageCache(image);
        const bench::Run read = bench::runProcess(dd);
        const bench::Run write = bench::runProcess(ddWrite);
        fs::remove(written);
        if (uncached) mdf::bench::dropFromPageCache(image);
        const bench::Run rec = bench::runProcess(recover, json);
        std::string sha;
        try {
            std::ifstream in(json);
            sha = nlohmann::json::parse(in).at("sha256").get<std::string>();
        } catch (const std::exception&) {
            sha = "(no summary)";
        }
        // Exit 1 says "partial": the PFS pages of the file's never-used tail lie nowhere on the
        // disk. Whether the output is right is told by its bytes.
        const bool same = (rec.status == 0 || rec.status == 1) && sha == expected;
        exact = exact && same;
        readTimes.push_back(read.seconds);
        writeTimes.push_back(write.seconds);
        recoverTimes.push_back(rec.seconds);
        ratios.push_back(rec.seconds / read.seconds);
        baselineRatios.push_back(rec.seconds / (read.seconds + write.seconds));
        peakKiB = std::max(peakKiB, rec.maxRssKiB);
        fmt::print(
            "round {}           read {:.2f} s, durable write {:.2f} s, recover {:.2f} s (exit {}), "
            "recover / read {:.2f}, recover / (read + write) {:.2f}, peak {:.0f} MiB, output {}\n",
            round + 1, read.seconds, write.seconds, rec.seconds, rec.status,
            rec.seconds / read.seconds, baselineRatios.back(),
            static_cast<double>(rec.maxRssKiB) / 1024.0, same ? "byte-exact" : "WRONG");
    }
    fmt::print("read (dd bs=8M{}) min {:.2f} s, median {:.2f} s\n", uncached ? " iflag=direct" : "",
               *std::min_element(readTimes.begin(), readTimes.end()), median(readTimes));
    fmt::print("durable write     min {:.2f} s, median {:.2f} s\n",
               *std::min_element(writeTimes.begin(), writeTimes.end()), median(writeTimes));
    fmt::print("recover           min {:.2f} s, median {:.2f} s\n",
               *std::min_element(recoverTimes.begin(), recoverTimes.end()), median(recoverTimes));
    fmt::print("ratio             min {:.2f}, median {:.2f}; peak memory {:.0f} MiB; output {}\n",
               *std::min_element(ratios.begin(), ratios.end()), median(ratios),
               static_cast<double>(peakKiB) / 1024.0, exact ? "byte-exact" : "NOT byte-exact");
    fmt::print("recover / (read + durable write) min {:.2f}, median {:.2f}\n",
               *std::min_element(baselineRatios.begin(), baselineRatios.end()),
               median(baselineRatios));
    if (!keepOutput) removeOutputs();
    if (reads) {
        countAnalysisReads(image, pick, ReadMode::OneByOne);
        countAnalysisReads(image, pick, ReadMode::Kept);
        countAnalysisReads(image, pick, ReadMode::KeptFromScan);
    }
    return exact ? 0 : 1;
}
