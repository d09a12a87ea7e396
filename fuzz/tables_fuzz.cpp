// A database file as a damaged disk may give it back: the catalogue read from its system tables,
// the census of every table, and every row decoded, whatever its records, slot arrays, IAM pages
// and LOB links say. The input is either the file itself (first byte 0) or byte patches laid on
// one of the real files of the shared test data, so that the damage lands inside real structures;
// or (first byte 6 and up) one data page whose records are decoded with the columns of every
// table of pubs, its LOB values read from pubs: fast enough to search the record decoder deeply.
#include <cstdint>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "memory_file.h"
#include "tables/catalogue.h"
#include "tables/row_export.h"
#include "tables/table_census.h"

namespace {

using namespace mdf;

class NullSink final : public RowSink {
  public:
    bool beginTable(const TableInfo&, bool) override { return true; }
    bool row(const std::vector<CellValue>&) override { return true; }
    bool endTable() override { return true; }
    bool finish(const std::vector<TableExport>&) override { return true; }
    std::string error() const override { return {}; }
};

const std::vector<std::uint8_t>& realFile(std::size_t which) {
    static const char* names[] = {
        "pubs_sql2008.mdf", "aspnetdb_sql2005.mdf", "db_Examination_sql2016_created2000.mdf",
        "PayrollDatabase1_sql2008_cjk.mdf", "IMS_sql2012_mixedprotection.mdf"};
    static std::vector<std::uint8_t> files[5];
    std::vector<std::uint8_t>& f = files[which % 5];
    if (f.empty()) {
        std::ifstream in(std::string(MDF_TESTDATA_DIR) + "/" + names[which % 5], std::ios::binary);
        f.assign(std::istreambuf_iterator<char>(in), {});
    }
    return f;
}

// Patches: a 2-byte page number, a 2-byte offset in the page, a length byte, then that many bytes.
std::vector<std::uint8_t> patched(const std::uint8_t* data, std::size_t size) {
    std::vector<std::uint8_t> file = realFile(data[0]);
    const std::size_t pages = file.size() / 8192;
    for (std::size_t at = 1; pages > 0 && at + 5 <= size;) {
        const std::size_t page = (data[at] | (data[at + 1] << 8)) % pages;
        const std::size_t offset = (data[at + 2] | (data[at + 3] << 8)) % 8192;
        std::size_t length = data[at + 4];
        at += 5;
        length = std::min({length, size - at, 8192 - offset});
        std::memcpy(&file[page * 8192 + offset], data + at, length);
        at += length;
    }
    return file;
}

// pubs read once: its pages, catalogue and each table's layout.
struct Pubs {
    std::unique_ptr<DatabasePages> file;
    Catalogue catalogue;
    std::vector<std::pair<const TableInfo*, std::vector<PhysicalColumn>>> tables;
};

const Pubs& pubs() {
    static const Pubs p = [] {
        Pubs p;
        const std::vector<std::uint8_t>& bytes = realFile(0);
        std::string error;
        p.file = DatabasePages::read(std::make_unique<fuzz::MemoryFile>(bytes),
                                     static_cast<std::int64_t>(bytes.size()), "pubs", error);
        if (!p.file) return p;
        p.catalogue = readCatalogue(*p.file);
        for (const auto& [id, table] : p.catalogue.tables)
            for (const RowsetInfo* rowset : p.catalogue.rowsetsOf(id))
                if (rowset->index <= 1)
                    p.tables.emplace_back(&table, dataLayout(p.catalogue, table, *rowset));
        return p;
    }();
    return p;
}

void decodePage(const std::uint8_t* data, std::size_t size) {
    const Pubs& p = pubs();
    if (!p.file) return;
    Page page{};
    std::memcpy(page.data(), data, std::min(size, page.size()));
    const ConstPageBytes bytes(page.data(), page.size());
    for (std::uint16_t offset : slotOffsets(bytes)) {
        const std::optional<Record> record = readRecord(bytes, offset);
        if (!record) continue;
        for (const auto& [table, layout] : p.tables)
            (void)RowDecoder(*p.file, *table, layout).decode(*record);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) return 0;
    if (data[0] >= 6) {
        decodePage(data + 1, size - 1);
        return 0;
    }
    const std::vector<std::uint8_t> bytes =
        data[0] == 0 ? std::vector<std::uint8_t>(data + 1, data + size) : patched(data, size);
    std::string error;
    const auto file = DatabasePages::read(std::make_unique<fuzz::MemoryFile>(bytes),
                                          static_cast<std::int64_t>(bytes.size()), "input", error);
    if (!file) return 0;
    const Catalogue catalogue = readCatalogue(*file);
    const FileCensus census = takeCensus(*file, catalogue);
    (void)tablesHit(census);
    NullSink sink;
    std::vector<TableExport> account;
    exportRows(*file, catalogue, census, {"", true}, sink, account);
    return 0;
}
