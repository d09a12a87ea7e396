// Saving a scan and opening a saved one: the scan-info file and the content file.
#include <algorithm>

#include "report/work_aside.h"
#include "scan/rounding.h"
#include "scan/scan_info_file.h"
#include "session/content_blocks.h"
#include "session/recovery_session.h"

namespace mdf {
bool RecoverySession::saveScan(const std::optional<std::string>& scanInfoPath,
                               const std::optional<std::string>& contentPath,
                               std::uint32_t contentSeed) {
    if (!idle()) return false;
    ForegroundCommand command(*this);
    if (scanInfoPath) {
        // A list of a million rows takes a second to write: the window goes on meanwhile.
        auto write = [&] {
            return writeScanInfo(*scanInfoPath, fragments_, contentSeed ^ 0x5CA1AB1Eu,
                                 outputGuard());
        };
        const std::string error = workAside(reporter_, write);
        if (!error.empty()) {
            reporter_.showMessage("error,file create error: " + error, "message",
                                  MessageIcon::Error);
            return false;
        }
        // The sums of a large disk run to gigabytes: copied aside as the list was written.
        auto keep = [&] {
            keepScanEvidence(*scanInfoPath);
            return 0;
        };
        workAside(reporter_, keep);
    }
    if (!contentPath) return true;
    if (!listPagesReachable() || !saveContent(*contentPath, contentSeed)) return false;
    reporter_.tell(said(Saying::Success), "message");
    return true;
}

void RecoverySession::spoolContentOfNextScan(const std::string& path, std::uint32_t seed) {
    spooler_ = std::make_unique<ContentSpooler>(path, seed, outputGuard(), source_, fragments_);
}

// A sector that cannot be read is stored as zeros and named at the end: the content of every other
// page is worth more to the user than a file abandoned at the first bad sector.
bool RecoverySession::saveContent(const std::string& path, std::uint32_t seed) {
    contentUnreadable_ = 0;
    ContentRecord record;
    record.madeFrom = absolutePath(source_.devicePath());
    record.sourceSectors = source_.endSector();
    record.scanId = scanId();
    std::vector<SectorRange> unreadable;
    std::string error;
    bool written = false;
    // What the scan wrote as it read, when it was this file and the list is still the one it
    // wrote it for; otherwise every fragment is read again.
    if (std::unique_ptr<ContentSpooler> spooled = std::move(spooler_);
        spooled && spooled->matches(path, seed)) {
        const ContentSpooler::Finish finish = spooled->finish(volume_.sectorsPerCluster, record);
        written = finish == ContentSpooler::Finish::Written;
        unreadable = spooled->unreadable();
        if (finish == ContentSpooler::Finish::Failed) error = spooled->error();
    }
    if (!written && error.empty()) {
        OutputFile out(path, outputGuard(), OutputFile::Kind::Large);
        ContentBlockWriter blocks(out, source_, seed);
        const std::size_t lines = fragments_.size();
        for (std::size_t i = 0; i < lines && out.ok(); ++i) {
            reporter_.processEvents();
            if (lines > 1)
                reporter_.setProgress(static_cast<int>(roundHalfEven(
                    static_cast<std::int64_t>(i) * 100, static_cast<std::int64_t>(lines) - 1)));
            blocks.append(fragments_[i]);
        }
        record.unreadable = blocks.unreadable();
        out.write(contentRecordBytes(record));
        out.write(contentTrailer(seed, volume_.sectorsPerCluster));
        written = out.commit();
        unreadable = blocks.unreadable();
        if (!written) error = out.error();
    }
    if (!written) {
        reporter_.showMessage("error,file create error: " + error, "message", MessageIcon::Error);
        return false;
    }
    if (!unreadable.empty()) {
        contentUnreadable_ = 0;
        std::string first;
        for (std::size_t i = 0; i < unreadable.size(); ++i) {
            contentUnreadable_ += static_cast<std::size_t>(unreadable[i].count);
            if (i < 10) first += (i ? ", " : "") + std::to_string(unreadable[i].first);
        }
        reporter_.showMessage("read disk error: " + std::to_string(contentUnreadable_) +
                                  " sectors could not be read; the content file holds them as "
                                  "zeros and marks them unreadable (first sectors: " +
                                  first + ")",
                              "message", MessageIcon::Warning);
        return false;
    }
    return true;
}

bool RecoverySession::useFragments(std::vector<FragmentRecord> records) {
    if (!idle()) return false;
    takeFileId();
    fragments_.replace(std::move(records));
    listIsLastScans_ = false;
    evidencePending_.clear();
    volume_.sectorsPerCluster = strideOrDefault(settings_);
    index_ = buildFragmentIndex(fragments_);
    headsNamed_ = false;
    return true;
}

bool RecoverySession::openScan(const std::optional<std::string>& scanInfoPath,
                               const std::optional<std::string>& contentPath) {
    if (!idle()) return false;
    ForegroundCommand command(*this);
    if (scanInfoPath) {
        takeFileId();
        // Reading and decoding a list of a million rows takes a second: the window goes on
        // meanwhile.
        auto read = [&] { return readScanInfo(*scanInfoPath); };
        ScanInfoContents saved = workAside(reporter_, read);
        if (!saved.error.empty()) {
            reporter_.showMessage("error," + saved.error + "; the fragment list was kept",
                                  "message", MessageIcon::Error);
            return false;
        }
        fragments_.replace(std::move(saved.records));
        listIsLastScans_ = false;
        openedScanInfo_ = *scanInfoPath;
        listSource_ = sourceChosen_ ? source_.devicePath() : std::string();
        volume_.sectorsPerCluster = strideOrDefault(settings_);
    }
    auto index = [this] { return buildFragmentIndex(fragments_); };
    index_ = workAside(reporter_, index);
    headsNamed_ = false;
    if (scanInfoPath) {
        auto lend = [&] {
            lendScanEvidence(*scanInfoPath);
            return 0;
        };
        workAside(reporter_, lend);
    }
    if (!contentPath) return true;
    if (!content_.open(*contentPath)) {
        reporter_.tell(said(Saying::CannotOpenFile), "提示");
        return true;
    }
    if (auto spc = content_.trailerSectorsPerCluster(); spc && !settings_.sectorsPerCluster) {
        volume_.sectorsPerCluster = static_cast<std::uint16_t>(*spc);
        settings_.sectorsPerCluster = *spc;
    }
    openedContent_ = *contentPath;
    // The pages now come from the content file: its record says which source they are of.
    if (content_.record() && !content_.record()->madeFrom.empty())
        listSource_ = content_.record()->madeFrom;
    if (!content_.record())
        reporter_.say(Memo::Scan, said(Saying::ContentWithoutRecord, *contentPath));
    readFromSource_ = false;
    return true;
}

}  // namespace mdf
