// Pages cut where a run of a file ends, pieced along the file's run list as ntfs-3g laid the
// file out, against the real file's own pages.
#include "analysis/file_run_pieces.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <regex>

#include "source/ntfs_file_map.h"
#include "source/sector_source.h"
#include "testworld/process.h"
#include "testworld/temp_dir.h"

namespace mdf {
namespace {

struct Run {
    std::int64_t fileCluster, volumeCluster, clusters;
};

// Writes `bytes` to the volume as /name in three growing steps with another file written
// between them, so that it lies in several runs; returns the runs as ntfsinfo lists them.
std::vector<Run> writeGrown(const std::string& image, test::TempDir& dir, const std::string& name,
                            const std::vector<std::uint8_t>& bytes) {
    auto copy = [&](const std::string& as, std::size_t size, std::uint8_t fill) {
        std::ofstream out(dir.file(as), std::ios::binary | std::ios::trunc);
        if (fill == 0)
            out.write(reinterpret_cast<const char*>(bytes.data()),
                      static_cast<std::streamsize>(size));
        else
            out << std::string(size, static_cast<char>(fill));
        out.close();
        test::runChecked({"ntfscp", "-f", image, dir.file(as), "/" + as});
    };
    copy(name, bytes.size() / 4 / 512 * 512, 0);
    copy("FILLER1", 100 << 10, 0x5A);
    copy(name, bytes.size() * 6 / 10 / 512 * 512, 0);
    copy("FILLER2", 100 << 10, 0xA5);
    copy(name, bytes.size(), 0);
    const std::string info = test::runChecked({"ntfsinfo", "-v", "-F", "/" + name, image});
    std::vector<Run> runs;
    const std::regex line(R"(\s0x([0-9a-f]+)\s+0x([0-9a-f]+)\s+0x([0-9a-f]+)\s*\n)");
    for (auto it = std::sregex_iterator(info.begin(), info.end(), line);
         it != std::sregex_iterator(); ++it)
        runs.push_back({std::stoll((*it)[1], nullptr, 16), std::stoll((*it)[2], nullptr, 16),
                        std::stoll((*it)[3], nullptr, 16)});
    return runs;
}

// Every page of a file as a broken page at the volume sector where its first byte lies.
std::vector<BrokenPage> pagesOf(const std::vector<Run>& runs, std::int64_t pages) {
    std::vector<BrokenPage> out;
    for (std::int64_t p = 0; p < pages; ++p) {
        const std::int64_t cluster = p * 2;
        for (const Run& r : runs)
            if (cluster >= r.fileCluster && cluster < r.fileCluster + r.clusters) {
                BrokenPage page;
                page.pageId = static_cast<std::int32_t>(p);
                page.firstSector = (r.volumeCluster + cluster - r.fileCluster) * 8;
                out.push_back(page);
            }
    }
    return out;
}

// The database's own file gives each page cut by its runs back byte for byte. The same places
// taken for pages of other ids (as another database's pages lying in that file would be) are
// not where the file puts those pages: none is pieced along it.
TEST(FileRunPieces, APageComesBackAlongItsOwnFileOnly) {
    test::TempDir dir;
    const auto original =
        test::readFile(std::string(MDF_TESTDATA_DIR) + "/db_Examination_sql2016_created2000.mdf");
    ASSERT_FALSE(original.empty());
    const std::string image = dir.file("ntfs.img");
    std::ofstream(image).close();
    std::filesystem::resize_file(image, 64 << 20);
    test::runChecked({"mkntfs", "-F", "-q", "-c", "4096", "-s", "512", image});
    const auto runs = writeGrown(image, dir, "DB", original);

    SectorSource source;
    const auto sectors = static_cast<std::int64_t>(std::filesystem::file_size(image)) / 512;
    source.select(SourceKind::Volume, image, sectors - 1);
    std::string why;
    const auto files = NtfsFileMap::read(source, why);
    ASSERT_TRUE(files) << why;

    const std::int64_t pages = static_cast<std::int64_t>(original.size()) / 8192;
    const auto restored = pieceByFileRuns(source, pagesOf(runs, pages), *files);
    ASSERT_FALSE(restored.empty()) << "no page of the file was cut by its runs";
    for (const auto& [id, page] : restored)
        EXPECT_TRUE(std::equal(page.begin(), page.end(), original.begin() + id * 8192))
            << "page " << id;
    auto misnamed = pagesOf(runs, pages);
    for (BrokenPage& page : misnamed)
        ++page.pageId;
    EXPECT_TRUE(pieceByFileRuns(source, misnamed, *files).empty());
}

}  // namespace
}  // namespace mdf
