// Saving a scan and opening a saved one: the scan-info file and the content file.
#include <algorithm>

#include "scan/rounding.h"
#include "scan/scan_info_file.h"
#include "session/recovery_session.h"
#include "source/text_numbers.h"

namespace mdf {
bool RecoverySession::saveScan(const std::optional<std::string>& scanInfoPath,
                               const std::optional<std::string>& contentPath,
                               std::uint32_t contentSeed) {
    if (!idle()) return false;
    if (scanInfoPath) {
        const std::string error =
            writeScanInfo(*scanInfoPath, fragments_, contentSeed ^ 0x5CA1AB1Eu, outputGuard());
        if (!error.empty()) {
            reporter_.showMessage("error,file create error: " + error, "message",
                                  MessageIcon::Error);
            return false;
        }
    }
    if (!contentPath) return true;
    if (!saveContent(*contentPath, contentSeed)) return false;
    reporter_.showMessage("success", "message");
    return true;
}

namespace {

// Pages per read while saving content: a fragment's block (the 15 sectors before it, then its
// pages) is one stretch of the source, so it is read in large pieces, not page by page. On a disk
// read with O_DIRECT a read per page cost a seek-sized wait each: saving took six times as long
// as the scan that found the pages.
constexpr std::int32_t kContentReadPages = 1024;

}  // namespace

// A sector that cannot be read is stored as zeros and named at the end: the content of every other
// page is worth more to the user than a file abandoned at the first bad sector.
bool RecoverySession::saveContent(const std::string& path, std::uint32_t seed) {
    contentUnreadable_ = 0;
    OutputFile out(path, outputGuard(), OutputFile::Kind::Large);
    if (!out.ok()) {
        reporter_.showMessage("error,file create error: " + out.error(), "message",
                              MessageIcon::Error);
        return false;
    }
    std::vector<std::int64_t> unreadable;
    auto readOrZero = [&](std::uint32_t count, std::uint8_t* buffer, std::int64_t sector) {
        if (source_.readWholeSectors(count, buffer, sector)) return;
        std::fill(buffer, buffer + std::size_t{count} * 512, 0);
        unreadable.push_back(sector);
    };
    // Reads `pages` pages from `sector` into `pagesAt`, with `prefixSectors` sectors before them
    // into the bytes just before it (the block's first read), all in one read when it succeeds;
    // when it does not, piece by piece, so that only what cannot be read becomes zeros.
    auto readStretch = [&](std::uint8_t* pagesAt, std::int64_t prefixSectors, std::int64_t sector,
                           std::int32_t pages) {
        const std::int64_t sectors = prefixSectors + 16 * std::int64_t{pages};
        if (sectors > 0 &&
            source_.readWholeSectors(static_cast<std::uint32_t>(sectors),
                                     pagesAt - prefixSectors * 512, sector - prefixSectors))
            return;
        if (prefixSectors > 0)
            readOrZero(static_cast<std::uint32_t>(prefixSectors), pagesAt - prefixSectors * 512,
                       sector - prefixSectors);
        for (std::int32_t k = 0; k < pages; ++k)
            readOrZero(16, pagesAt + std::size_t{8192} * static_cast<std::size_t>(k),
                       sector + 16 * std::int64_t{k});
    };
    const std::size_t lines = fragments_.size();
    std::vector<std::uint8_t> chunk(kContentPrefixBytes + std::size_t{kContentReadPages} * 8192);
    std::uint8_t* const pagesAt = chunk.data() + kContentPrefixBytes;
    for (std::size_t i = 0; i < lines && out.ok(); ++i) {
        reporter_.processEvents();
        if (lines > 1)
            reporter_.setProgress(static_cast<int>(roundHalfEven(
                static_cast<std::int64_t>(i) * 100, static_cast<std::int64_t>(lines) - 1)));
        const FragmentRecord r = fragments_[i];
        // Sectors before sector 0 do not exist; they are kept as zeros.
        std::fill(chunk.begin(), chunk.begin() + kContentPrefixBytes, 0);
        const std::int64_t missing = std::max<std::int64_t>(0, kContentPrefixSectors - r.fsec);
        std::int64_t prefix = kContentPrefixSectors - std::min(missing, kContentPrefixSectors);
        const std::uint8_t* from = chunk.data();
        for (std::int32_t first = 0; first == 0 || first < r.pages(); first += kContentReadPages) {
            const std::int32_t count = std::clamp(r.pages() - first, 0, kContentReadPages);
            readStretch(pagesAt, prefix, r.fsec + 16 * std::int64_t{first}, count);
            for (std::int32_t k = 0; k < count; ++k)
                scramblePage(
                    PageBytes(pagesAt + std::size_t{8192} * static_cast<std::size_t>(k), 8192),
                    seed);
            out.write({from, static_cast<std::size_t>(pagesAt - from) +
                                 std::size_t{8192} * static_cast<std::size_t>(count)});
            prefix = 0;
            from = pagesAt;
        }
    }
    out.write(contentTrailer(seed, volume_.sectorsPerCluster));
    if (!out.commit()) {
        reporter_.showMessage("error,file create error: " + out.error(), "message",
                              MessageIcon::Error);
        return false;
    }
    if (!unreadable.empty()) {
        contentUnreadable_ = unreadable.size();
        std::string first;
        for (std::size_t i = 0; i < unreadable.size() && i < 10; ++i)
            first += (i ? ", " : "") + std::to_string(unreadable[i]);
        reporter_.showMessage("read disk error: " + std::to_string(unreadable.size()) +
                                  " reads failed and are kept as zeros in the content file "
                                  "(first sectors: " +
                                  first + ")",
                              "message", MessageIcon::Warning);
        return false;
    }
    return true;
}

bool RecoverySession::openScan(const std::optional<std::string>& scanInfoPath,
                               const std::optional<std::string>& contentPath) {
    if (!idle()) return false;
    if (scanInfoPath) {
        if (!takeFileId()) return false;
        ScanInfoContents saved = readScanInfo(*scanInfoPath);
        if (!saved.error.empty()) {
            reporter_.showMessage("error," + saved.error + "; the fragment list was kept",
                                  "message", MessageIcon::Error);
            return false;
        }
        fragments_.replace(std::move(saved.records));
        volume_.sectorsPerCluster =
            static_cast<std::uint16_t>(parseInteger(settings_.sectorsPerCluster).value_or(8));
    }
    index_ = buildFragmentIndex(fragments_);
    headsNamed_ = false;
    if (!contentPath) return true;
    if (!content_.open(*contentPath)) {
        reporter_.showMessage("error,无法打开文件", "提示");
        return true;
    }
    if (auto spc = content_.trailerSectorsPerCluster();
        spc && trimBlanks(settings_.sectorsPerCluster).empty()) {
        volume_.sectorsPerCluster = static_cast<std::uint16_t>(*spc);
        settings_.sectorsPerCluster = std::to_string(*spc);
    }
    readFromSource_ = false;
    return true;
}

}  // namespace mdf
