#include "scan/fragment_memo.h"

#include <array>
#include <optional>

#include "report/reporter.h"
#include "scan/file_header_readers.h"
#include "source/sector_source.h"

namespace mdf {
namespace {

using Page = std::array<std::uint8_t, kPageSize>;

std::optional<Page> readRepairedPage(FragmentRecorder& r, std::int64_t sector) {
    Page page{};
    if (!r.source.readWholeSectors(kSectorsPerPage, page.data(), sector)) {
        r.reporter.showMessage("read disk error", "message");
        r.reporter.logLine(Memo::Scan, readErrorLine(sector));
        return std::nullopt;
    }
    restoreTornBits(page);
    return page;
}

std::optional<std::int64_t> pageCountOf(FragmentRecorder& r, std::int64_t firstSector) {
    auto page0 = readRepairedPage(r, firstSector);
    if (!page0) return std::nullopt;
    PageCountResult count = readFilePageCount(*page0);
    if (count.result != 0) r.reporter.logLine(Memo::Scan, "get fileinfo1 error");
    return count.pages;
}

// The memo of a fragment that begins a database file; nothing when a page cannot be read.
std::optional<std::string> fileStartMemo(FragmentRecorder& r, std::int32_t pages,
                                         std::int64_t firstSector) {
    if (pages > 32 && r.pendingMemo.find("wrong file head") == std::string::npos)
        return r.pendingMemo;
    auto count = pageCountOf(r, firstSector);
    if (!count) return std::nullopt;
    if (pages <= 32) return "wrong file head,size:" + std::to_string(*count * 8) + "KB";
    auto page32 = readRepairedPage(r, firstSector + 32 * kSectorsPerPage);
    if (!page32) return std::nullopt;
    FileNameResult name = readFileName(*page32);
    if (name.result != 0) {
        r.reporter.logLine(Memo::Scan, "get fileinfo2 error");
        name.name = "none";
    }
    return name.name + "(" + fileSizeText(*count);
}

}  // namespace

bool addFragment(FragmentRecorder& r, std::int32_t sn, std::int32_t pages, std::int64_t firstSector,
                 std::int32_t firstPage) {
    if (r.startPageLimit && firstPage >= r.maxStartPage) return false;
    std::string memo = " ";
    if (firstPage == 0) {
        auto fileMemo = fileStartMemo(r, pages, firstSector);
        if (!fileMemo) return false;
        memo = std::move(*fileMemo);
    }
    r.fragments.append(composeFragment(sn, pages, firstSector, firstPage, std::move(memo)));
    return true;
}

}  // namespace mdf
