// SAVE and OPEN of a scan: the scan-info file and the content file.
#include <fstream>

#include "scan/rounding.h"
#include "scan/scan_info_file.h"
#include "session/recovery_session.h"
#include "source/text_numbers.h"

namespace mdf {
void RecoverySession::btnsaveClick(const std::optional<std::string>& scanInfoPath,
                                   const std::optional<std::string>& contentPath,
                                   std::uint32_t contentSeed) {
    if (scanInfoPath && !writeScanInfo(*scanInfoPath, fragments, contentSeed ^ 0x5CA1AB1Eu)) {
        reporter.showMessage("error,file create error", "message");
        return;
    }
    if (!contentPath) return;
    if (saveContent(*contentPath, contentSeed)) reporter.showMessage("success", "message");
}

bool RecoverySession::saveContent(const std::string& path, std::uint32_t seed) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!out) {
        reporter.showMessage("error,file create error", "message");
        return false;
    }
    auto readError = [&] {
        reporter.showMessage("read disk error", "message");
        return false;
    };
    const std::size_t lines = fragments.size();
    std::vector<std::uint8_t> prefix(kContentPrefixBytes);
    std::array<std::uint8_t, 8192> page{};
    for (std::size_t i = 0; i < lines; ++i) {
        reporter.processEvents();
        if (lines > 1)
            reporter.setProgress(static_cast<int>(roundHalfEven(
                static_cast<std::int64_t>(i) * 100, static_cast<std::int64_t>(lines) - 1)));
        const FragmentRecord r = fragments[i];
        // Sectors before sector 0 do not exist; they are kept as zeros rather than failing the
        // save.
        std::fill(prefix.begin(), prefix.end(), 0);
        const std::int64_t before = std::max<std::int64_t>(0, kContentPrefixSectors - r.fsec);
        if (before < kContentPrefixSectors &&
            !source.readWholeSectors(static_cast<std::uint32_t>(kContentPrefixSectors - before),
                                     &prefix[static_cast<std::size_t>(before) * 512],
                                     r.fsec - kContentPrefixSectors + before))
            return readError();
        out.write(reinterpret_cast<const char*>(prefix.data()),
                  static_cast<std::streamsize>(prefix.size()));
        for (std::int32_t k = 0; k < r.pages(); ++k) {
            if (!source.readWholeSectors(16, page.data(), r.fsec + 16 * std::int64_t{k}))
                return readError();
            scramblePage(page, seed);
            out.write(reinterpret_cast<const char*>(page.data()), page.size());
        }
    }
    auto trailer = contentTrailer(seed, volume.sectorsPerCluster);
    out.write(reinterpret_cast<const char*>(trailer.data()), trailer.size());
    if (!out.flush()) {
        reporter.showMessage("error,file create error", "message");
        return false;
    }
    return true;
}

bool RecoverySession::Button3Click(const std::optional<std::string>& scanInfoPath,
                                   const std::optional<std::string>& contentPath) {
    if (scanInfoPath) {
        if (!takeScanFileId()) return false;
        ScanInfoContents saved = readScanInfo(*scanInfoPath);
        if (!saved.error.empty()) {
            reporter.showMessage("error," + saved.error + "; the fragment list was kept", "message",
                                 MessageIcon::Error);
            return false;
        }
        fragments.replace(std::move(saved.records));
        volume.sectorsPerCluster =
            static_cast<std::uint16_t>(parseInteger(settings.sectorsPerCluster).value_or(8));
    }
    index = buildFragmentIndex(fragments);
    if (!contentPath) return true;
    if (!content.open(*contentPath)) {
        reporter.showMessage("error,无法打开文件", "提示");
        return true;
    }
    if (auto spc = content.trailerSectorsPerCluster();
        spc && trimBlanks(settings.sectorsPerCluster).empty()) {
        volume.sectorsPerCluster = static_cast<std::uint16_t>(*spc);
        settings.sectorsPerCluster = std::to_string(*spc);
    }
    readFromSource = false;
    return true;
}

}  // namespace mdf
