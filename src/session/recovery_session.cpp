#include "session/recovery_session.h"

#include <charconv>

namespace mdf {
namespace {

std::optional<std::int64_t> parseInteger(const std::string& text) {
    std::int64_t value = 0;
    auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || ptr != text.data() + text.size()) return std::nullopt;
    return value;
}

}  // namespace

RecoverySession::RecoverySession(Reporter& r, FileOpener opener) : reporter(r), source(std::move(opener)) {}

RecoverySession::~RecoverySession() {
    stopRequested = true;
    jobs_.waitAll();
}

ScanContext RecoverySession::scanContext() {
    return {source, volume, settings, freeSpace, fragments, index, stopRequested, scanFileId, pendingMemo, reporter};
}

void RecoverySession::execute(const std::string& mode) {
    if (mode == "scan") {
        ScanContext ctx = scanContext();
        lastScanOutcome = runScanJob(ctx);
    }
}

bool RecoverySession::btnscanClick() {
    auto fileId = parseInteger(settings.fileIdText);
    if (!fileId) {
        reporter.showMessage("'" + settings.fileIdText + "' is not a valid integer value", "message",
                             MessageIcon::Error);
        return false;
    }
    scanFileId = static_cast<std::uint16_t>(*fileId);
    return N2Click();
}

bool RecoverySession::N2Click() {
    if (!sourceChosen) {
        reporter.showMessage("choose datasource first！", "message", MessageIcon::Warning);
        return false;
    }
    stopRequested = false;
    jobMode = "scan";
    jobs_.start(jobMode, [this](const std::string& mode) { execute(mode); });
    return true;
}

std::vector<CatalogueRow> RecoverySession::refreshFileCatalogue() {
    return mdf::refreshFileCatalogue(fragments, readFromSource, content, reporter);
}

}  // namespace mdf
