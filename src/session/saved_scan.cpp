// Saving a scan and opening a saved one: the scan-info file and the content file.
#include <fstream>

#include "scan/rounding.h"
#include "scan/scan_info_file.h"
#include "session/recovery_session.h"
#include "source/text_numbers.h"

namespace mdf {
bool RecoverySession::saveScan(const std::optional<std::string>& scanInfoPath,
                               const std::optional<std::string>& contentPath,
                               std::uint32_t contentSeed) {
    if (!idle()) return false;
    if (scanInfoPath && !writeScanInfo(*scanInfoPath, fragments_, contentSeed ^ 0x5CA1AB1Eu)) {
        reporter_.showMessage("error,file create error", "message");
        return false;
    }
    if (!contentPath) return true;
    if (!saveContent(*contentPath, contentSeed)) return false;
    reporter_.showMessage("success", "message");
    return true;
}

bool RecoverySession::saveContent(const std::string& path, std::uint32_t seed) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!out) {
        reporter_.showMessage("error,file create error", "message");
        return false;
    }
    auto readError = [&] {
        reporter_.showMessage("read disk error", "message");
        return false;
    };
    const std::size_t lines = fragments_.size();
    std::vector<std::uint8_t> prefix(kContentPrefixBytes);
    std::array<std::uint8_t, 8192> page{};
    for (std::size_t i = 0; i < lines; ++i) {
        reporter_.processEvents();
        if (lines > 1)
            reporter_.setProgress(static_cast<int>(roundHalfEven(
                static_cast<std::int64_t>(i) * 100, static_cast<std::int64_t>(lines) - 1)));
        const FragmentRecord r = fragments_[i];
        // Sectors before sector 0 do not exist; they are kept as zeros rather than failing the
        // save.
        std::fill(prefix.begin(), prefix.end(), 0);
        const std::int64_t before = std::max<std::int64_t>(0, kContentPrefixSectors - r.fsec);
        if (before < kContentPrefixSectors &&
            !source_.readWholeSectors(static_cast<std::uint32_t>(kContentPrefixSectors - before),
                                      &prefix[static_cast<std::size_t>(before) * 512],
                                      r.fsec - kContentPrefixSectors + before))
            return readError();
        out.write(reinterpret_cast<const char*>(prefix.data()),
                  static_cast<std::streamsize>(prefix.size()));
        for (std::int32_t k = 0; k < r.pages(); ++k) {
            if (!source_.readWholeSectors(16, page.data(), r.fsec + 16 * std::int64_t{k}))
                return readError();
            scramblePage(page, seed);
            out.write(reinterpret_cast<const char*>(page.data()), page.size());
        }
    }
    auto trailer = contentTrailer(seed, volume_.sectorsPerCluster);
    out.write(reinterpret_cast<const char*>(trailer.data()), trailer.size());
    if (!out.flush()) {
        reporter_.showMessage("error,file create error", "message");
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
