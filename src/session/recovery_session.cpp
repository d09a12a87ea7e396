#include "session/recovery_session.h"

#include "source/text_numbers.h"

namespace mdf {
RecoverySession::RecoverySession(Reporter& r, FileOpener opener)
    : reporter(r), source(std::move(opener)) {}

RecoverySession::~RecoverySession() {
    stopRequested = true;
    jobs_.waitAll();
}

ScanContext RecoverySession::scanContext() {
    return {source, volume,        settings,   freeSpace,   fragments,
            index,  stopRequested, scanFileId, pendingMemo, reporter};
}

void RecoverySession::execute(const std::string& mode) {
    if (mode == "scan") {
        ScanContext ctx = scanContext();
        lastScanOutcome = runScanJob(ctx);
    } else if (mode == "anlys" && analysisTarget_) {
        analyse(*analysisTarget_, nullptr);
    }
}

AnalysisContext RecoverySession::analysisContext(NextFragmentChooser* chooser) {
    return {fragments, index, pageOrigin_, analysis, reporter, volume.sectorsPerCluster, chooser};
}

AssemblyContext RecoverySession::assemblyContext() {
    return {fragments,   index,      pageOrigin_, analysis,
            combination, sortColumn, reporter,    volume.sectorsPerCluster};
}

void RecoverySession::analyse(const CatalogueRow& selected, NextFragmentChooser* chooser) {
    AnalysisContext ctx = analysisContext(chooser);
    const bool completed = runChainAnalysis(ctx, {selected.fsec, selected.sizeKB});
    if (completed) combination.RefreshCombinationList(fragments, analysis.combinationMarks);
    lastAnalysisCompleted = completed;
    analysisRunning = false;
}

bool RecoverySession::Button1Click(const std::optional<CatalogueRow>& selected,
                                   NextFragmentChooser* chooser) {
    if (!stopRequested) {
        reporter.showMessage("the scan is processing", "message");
        return false;
    }
    if (analysisRunning) return false;
    if (!selected) return false;
    analysisRunning = true;
    lastAnalysisCompleted = false;
    jobMode = "anlys";
    if (!chooser) {
        analysisTarget_ = selected;
        jobs_.start(jobMode, [this](const std::string& mode) { execute(mode); });
    } else {
        analyse(*selected, chooser);
    }
    return true;
}

bool RecoverySession::Button6Click() {
    AssemblyContext ctx = assemblyContext();
    return mdf::Button6Click(ctx);
}

void RecoverySession::Button5Click() {
    AssemblyContext ctx = assemblyContext();
    mdf::Button5Click(ctx);
}

AssemblyOutcome RecoverySession::Button2Click(const std::string& outputPath,
                                              bool allowOnSourceDevice) {
    AssemblyContext ctx = assemblyContext();
    return mdf::Button2Click(ctx, outputPath, source.devicePath(), allowOnSourceDevice);
}

bool RecoverySession::takeScanFileId() {
    auto fileId = parseInteger(settings.fileIdText);
    if (!fileId) {
        reporter.showMessage("'" + settings.fileIdText + "' is not a valid integer value",
                             "message", MessageIcon::Error);
        return false;
    }
    scanFileId = static_cast<std::uint16_t>(*fileId);
    return true;
}

bool RecoverySession::btnscanClick() { return takeScanFileId() && N2Click(); }

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
