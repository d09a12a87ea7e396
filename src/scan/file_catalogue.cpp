#include "scan/file_catalogue.h"

#include <array>

#include "report/reporter.h"
#include "scan/content_file.h"
#include "scan/file_header_readers.h"

namespace mdf {
namespace {

// Describes a row from its saved pages; leaves it as it is when anything fails.
void describeFromContent(CatalogueRow& row, const FragmentList& list, ContentFile& content,
                         Reporter& reporter) {
    std::array<std::uint8_t, 8192> page{};
    if (!content.readContentSectors(list, 0, 16, page.data(), row.fsec)) {
        reporter.showMessage("read disk error", "message");
        reporter.logLine(Memo::Analysis, readErrorLine(row.fsec, 0));
        return;
    }
    restoreTornBits(page);
    PageCountResult count = readFilePageCount(page);
    if (count.result != 0) {
        reporter.showMessage("get file size error", "message");
        return;
    }
    if (!content.readContentSectors(list, 512, 16, page.data(), row.fsec)) {
        reporter.showMessage("read disk error", "message");
        reporter.logLine(Memo::Analysis, readErrorLine(row.fsec + 512, 32));
        return;
    }
    restoreTornBits(page);
    FileNameResult name = readFileName(page);
    if (name.result != 0) {
        reporter.showMessage("get file name error", "message");
        return;
    }
    row.name = name.name + ":" + std::to_string(std::int64_t{count.pages} * 8) + "KB";
}

}  // namespace

std::vector<CatalogueRow> refreshFileCatalogue(const FragmentList& list, bool readFromSource,
                                               ContentFile& content, Reporter& reporter) {
    std::vector<CatalogueRow> rows;
    for (std::size_t i = 0; i < list.size(); ++i) {
        const FragmentRecord& r = list[i];
        if (!r.isVisible() || r.beginPage > 0) continue;
        rows.push_back({static_cast<std::int32_t>(i),
                        r.memo,
                        r.sizeKB,
                        r.beginPage,
                        r.endPage,
                        r.fsec,
                        r.esec,
                        {},
                        r.memo});
    }
    if (!readFromSource) {
        for (CatalogueRow& row : rows)
            if (list[static_cast<std::size_t>(row.recordIndex)].pages() > 32)
                describeFromContent(row, list, content, reporter);
    }
    return rows;
}

}  // namespace mdf
