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

// A sector that cannot be read is stored as zeros and named at the end: the content of every other
// page is worth more to the user than a file abandoned at the first bad sector.
bool RecoverySession::saveContent(const std::string& path, std::uint32_t seed) {
    contentUnreadable_ = 0;
    OutputFile out(path, outputGuard());
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
    const std::size_t lines = fragments_.size();
    std::vector<std::uint8_t> prefix(kContentPrefixBytes);
    std::array<std::uint8_t, 8192> page{};
    for (std::size_t i = 0; i < lines && out.ok(); ++i) {
        reporter_.processEvents();
        if (lines > 1)
            reporter_.setProgress(static_cast<int>(roundHalfEven(
                static_cast<std::int64_t>(i) * 100, static_cast<std::int64_t>(lines) - 1)));
        const FragmentRecord r = fragments_[i];
        // Sectors before sector 0 do not exist; they are kept as zeros.
        std::fill(prefix.begin(), prefix.end(), 0);
        const std::int64_t before = std::max<std::int64_t>(0, kContentPrefixSectors - r.fsec);
        if (before < kContentPrefixSectors)
            readOrZero(static_cast<std::uint32_t>(kContentPrefixSectors - before),
                       &prefix[static_cast<std::size_t>(before) * 512],
                       r.fsec - kContentPrefixSectors + before);
        out.write(prefix);
        for (std::int32_t k = 0; k < r.pages(); ++k) {
            readOrZero(16, page.data(), r.fsec + 16 * std::int64_t{k});
            scramblePage(page, seed);
            out.write(page);
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
