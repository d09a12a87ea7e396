// Scan throughput through the image readers: the same disk of about 2 GiB (a database of
// 250,000 pages cut into fragments with junk between them) as a raw image, as an E01 written by
// ewfacquire (fast compression, and none) and as a qcow2 written by qemu-img (plain, and
// compressed, scanned with every core and with one), each scanned at
// stride 8; the figures are ratios to the raw image's scan in the same run. The E01 is scanned
// with every core decompressing and with one, and compared with ewfexport (the library's own
// tool, one thread) writing the same image to /dev/null. The images are made once in
// /tmp/mdfrecover-bench. Usage: bench_image_formats
#include <fmt/core.h>

#include <filesystem>

#include "bench_util.h"
#include "source/image_format.h"
#include "source/platform_file.h"
#include "testworld/process.h"
#include "testworld/source_images.h"
#include "testworld/test_world.h"
#include "whole_scan.h"

int main() {
    using namespace mdf;
    const std::string dir = "/tmp/mdfrecover-bench";
    const std::string raw = dir + "/formats-2g.img";
    std::filesystem::create_directories(dir);
    if (!std::filesystem::exists(raw)) {
        test::DatabaseRecipe recipe;
        recipe.pages = 250000;
        recipe.usedPages = 250000;
        test::SyntheticDatabase db(recipe);
        test::RawImageOptions options;
        options.minFragmentPages = 50;
        options.maxFragmentPages = 400;
        options.computeHashes = false;
        fmt::print("building {} ...\n", raw);
        test::buildRawImage(db, raw + ".part", options);
        std::filesystem::rename(raw + ".part", raw);
    }
    struct Format {
        const char* name;
        std::string path;
        const char* tool;
        unsigned threads = 0;  // decoding threads; 0: one per core
    };
    const std::string e01 = dir + "/formats-2g.E01";
    const std::string qcowCompressed = dir + "/formats-2g-compressed.qcow2";
    const Format formats[] = {{"raw", raw, ""},
                              {"E01", e01, "ewf"},
                              {"E01 1 thr", e01, "ewf", 1},
                              {"E01 -c none", dir + "/formats-2g-plain.E01", "ewf-none"},
                              {"qcow2", dir + "/formats-2g.qcow2", "qcow2"},
                              {"qcow2 -c", qcowCompressed, "qcow2-c"},
                              {"qcow2 -c 1t", qcowCompressed, "qcow2-c", 1}};
    for (const Format& f : formats) {
        if (*f.tool == 0 || std::filesystem::exists(f.path)) continue;
        fmt::print("converting to {} ...\n", f.name);
        try {
            // One segment file: the whole disk fits below the 8 GiB asked for. Without
            // compression the E01 shows what the container costs apart from inflating.
            if (f.tool == std::string("qcow2-c"))
                test::runChecked({"qemu-img", "convert", "-q", "-c", "-O", "qcow2", raw, f.path});
            else if (f.tool == std::string("ewf-none"))
                test::runChecked({"ewfacquire", "-u", "-q", "-t",
                                  f.path.substr(0, f.path.size() - 4), "-f", "encase6", "-c",
                                  "none", "-S", std::to_string(std::int64_t{8} << 30), raw});
            else
                test::convertImage(raw, f.path, f.tool, std::int64_t{8} << 30);
        } catch (...) {
            std::filesystem::remove(f.path);
            throw;
        }
    }

    const std::int64_t bytes = byteSizeOf(raw);
    const std::int64_t sectors = bytes / 512;
    fmt::print("disk {:.2f} GiB, scan at stride 8, best of 3 (page-cached)\n",
               bytes / 1073741824.0);
    double rawSeconds = 0, e01Seconds = 0, e01OneThread = 0, qcowSeconds = 0, qcowOneThread = 0;
    for (const Format& f : formats) {
        setImageDecodeThreads(f.threads);
        const OpenedSource opened = openSource(f.path);
        if (!opened.file || opened.mediaBytes != bytes) {
            fmt::print("{}: cannot be read as the same disk: {}\n", f.name, opened.problem);
            return 1;
        }
        bench::bestShellSeconds(1, "cat '" + f.path + "' > /dev/null");
        std::size_t fragments = 0;
        const double seconds =
            bench::bestSeconds(3, [&] { fragments = bench::scanWholeImage(f.path, sectors); });
        if (rawSeconds == 0) rawSeconds = seconds;
        if (f.path == e01) (f.threads == 1 ? e01OneThread : e01Seconds) = seconds;
        if (f.path == qcowCompressed) (f.threads == 1 ? qcowOneThread : qcowSeconds) = seconds;
        fmt::print(
            "{:11} file {:5.2f} GiB  scan {:6.2f} s  {:7.1f} MB/s  {} fragments  "
            "time / raw {:.2f}\n",
            f.name, std::filesystem::file_size(f.path) / 1073741824.0, seconds,
            bench::mbPerSecond(static_cast<std::uint64_t>(bytes), seconds), fragments,
            seconds / rawSeconds);
    }
    setImageDecodeThreads(0);
    const double ewfexport =
        bench::bestShellSeconds(3, "ewfexport -q -u -f raw -t - '" + e01 + "' > /dev/null");
    fmt::print("E01 with {} decoding threads: one thread's time / all cores' {:.2f}\n",
               imageDecodeThreads(), e01OneThread / e01Seconds);
    fmt::print("compressed qcow2 with {} decoding threads: one thread's time / all cores' {:.2f}\n",
               imageDecodeThreads(), qcowOneThread / qcowSeconds);
    fmt::print("ewfexport to /dev/null {:6.2f} s: its time / the scan's with all cores {:.2f}\n",
               ewfexport, ewfexport / e01Seconds);
}
