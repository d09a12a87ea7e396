// tables and rows on a 2 GiB database: pubs with its heap table roysched grown to 262,000 data
// pages (its data page copied under every page id from 288 on, its IAM page and the first PFS
// page saying so, each page's checksum made again). The baseline is one plain read of the same
// file in the same run; the census and the exports are timed against it.
// Usage: bench_rows [GiB]
#include <fcntl.h>
#include <fmt/core.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <vector>

#include "bench_util.h"
#include "scan/page_protection.h"
#include "source/byte_order.h"
#include "tables/catalogue.h"
#include "tables/row_export.h"
#include "tables/table_census.h"

namespace {

using namespace mdf;

constexpr std::int64_t kPage = 8192;
constexpr std::int32_t kRoyschedData = 194, kRoyschedIam = 195, kFirstNewPage = 288;

void protect(std::uint8_t* page) {
    storeU32(page + 60, pageChecksum(ConstPageBytes(page, 8192)));
}

void build(const std::string& path, std::int64_t pages) {
    if (std::filesystem::exists(path + ".done")) return;
    std::ifstream in(std::string(MDF_TESTDATA_DIR) + "/pubs_sql2008.mdf", std::ios::binary);
    std::vector<std::uint8_t> pubs(std::istreambuf_iterator<char>(in), {});
    std::uint8_t* pfs = &pubs[1 * kPage];
    const std::size_t pfsRecord = loadU16(pfs + 8190);
    for (std::int64_t p = kFirstNewPage; p < std::min<std::int64_t>(pages, 8088); ++p)
        pfs[pfsRecord + 4 + static_cast<std::size_t>(p)] = 0x40;
    protect(pfs);
    std::uint8_t* iam = &pubs[kRoyschedIam * kPage];
    const std::size_t bitmap = loadU16(iam + 8188);
    for (std::int64_t extent = kFirstNewPage / 8; extent < pages / 8; ++extent)
        iam[bitmap + 4 + static_cast<std::size_t>(extent / 8)] |=
            static_cast<std::uint8_t>(1 << (extent % 8));
    protect(iam);

    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0 || ::write(fd, pubs.data(), pubs.size()) != static_cast<ssize_t>(pubs.size()))
        std::abort();
    std::vector<std::uint8_t> chunk(1024 * kPage);
    const std::uint8_t* data = &pubs[kRoyschedData * kPage];
    for (std::int64_t first = kFirstNewPage; first < pages; first += 1024) {
        const std::int64_t n = std::min<std::int64_t>(1024, pages - first);
        for (std::int64_t k = 0; k < n; ++k) {
            std::uint8_t* page = &chunk[static_cast<std::size_t>(k * kPage)];
            std::copy(data, data + kPage, page);
            storeU32(page + 32, static_cast<std::uint32_t>(first + k));
            protect(page);
        }
        if (::write(fd, chunk.data(), static_cast<std::size_t>(n * kPage)) != n * kPage)
            std::abort();
    }
    ::close(fd);
    std::ofstream(path + ".done") << "built\n";
}

void plainRead(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY);
    std::vector<char> buffer(8 << 20);
    while (::read(fd, buffer.data(), buffer.size()) > 0) {
    }
    ::close(fd);
}

}  // namespace

int main(int argc, char** argv) {
    const std::int64_t gib = argc > 1 ? std::atoll(argv[1]) : 2;
    const std::string dir = "/tmp/mdfrecover-bench";
    std::filesystem::create_directories(dir);
    const std::string path = dir + "/rows-" + std::to_string(gib) + "g.mdf";
    const std::int64_t pages = gib * (std::int64_t{1} << 30) / kPage;
    build(path, pages);
    const auto bytes = static_cast<std::uint64_t>(pages * kPage);

    const double read = bench::bestSeconds(3, [&] { plainRead(path); });
    std::int64_t rows = 0, dataPages = 0;
    const double census = bench::bestSeconds(3, [&] {
        std::string error;
        auto file = DatabasePages::open(path, error);
        const FileCensus c = takeCensus(*file, readCatalogue(*file));
        rows = dataPages = 0;
        for (const TableCensus& t : c.tables) {
            rows += t.rows;
            dataPages += t.dataPages;
        }
    });
    auto exportTo = [&](bool sqlite) {
        return bench::bestSeconds(2, [&] {
            std::string error;
            auto file = DatabasePages::open(path, error);
            const Catalogue catalogue = readCatalogue(*file);
            const FileCensus c = takeCensus(*file, catalogue);
            const std::string out = dir + (sqlite ? "/rows.db" : "/rows-csv");
            std::filesystem::remove_all(out);
            if (!sqlite) std::filesystem::create_directories(out);
            OutputGuard guard;
            guard.sourcePath = path;
            auto sink = sqlite ? sqliteSink(out, guard) : csvSink(out, guard, true);
            std::vector<TableExport> account;
            if (!exportRows(*file, catalogue, c, {}, *sink, account)) std::abort();
        });
    };
    const double csv = exportTo(false);
    const double sqlite = exportTo(true);

    const double dataMb = static_cast<double>(dataPages) * kPage / (1 << 20);
    fmt::print("{} GiB, {} data pages, {} rows\n", gib, dataPages, rows);
    fmt::print("plain read          {:6.2f} s  {:7.0f} MB/s  1.00\n", read,
               bench::mbPerSecond(bytes, read));
    for (const auto& [name, s] : {std::pair{"tables (census)", census},
                                  std::pair{"rows --csv", csv}, std::pair{"rows --sqlite", sqlite}})
        fmt::print("{:<19} {:6.2f} s  {:7.0f} MB/s of data pages  {:9.0f} rows/s  {:5.2f} x read\n",
                   name, s, dataMb / s, static_cast<double>(rows) / s, s / read);
    return 0;
}
