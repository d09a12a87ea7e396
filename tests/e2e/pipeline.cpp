#include "pipeline.h"

#include <stdexcept>

#include "assembly/sha256.h"

namespace mdf::test {

RecoveryOptions optionsFor(const ImageManifest& m) {
    RecoveryOptions o;
    if (m.kind == "disk")
        o.partition = 1;
    else if (m.scanAsPartition)
        o.partition = 0;
    o.freeSpaceOnly = m.fileInFreeSpace && o.partition.has_value();
    return o;
}

RecoveryRun recoverImage(const ImageManifest& m, const std::string& image,
                         const std::string& output, const RecoveryOptions& options) {
    RecordingReporter reporter;
    RecoverySession session(reporter, options.opener);
    if (!options.partition || *options.partition == 0) {
        session.openImage(image, options.partition ? ImageKind::Partition : ImageKind::WholeDisk);
    } else {
        session.openImage(image, ImageKind::WholeDisk);
        PartitionTable table = session.listPartitions();
        session.choosePartition(
            table.partitions.at(static_cast<std::size_t>(*options.partition - 1)));
    }
    session.settings().freeSpaceOnly = options.freeSpaceOnly;
    session.settings().fileIdText = std::to_string(m.fileId);
    if (!session.takeFileId() || session.startScan() != StartResult::Started)
        throw std::runtime_error("the scan did not start");
    session.waitForJobs();
    if (session.lastScanOutcome() != ScanOutcome::Finished)
        throw std::runtime_error("the scan did not finish");

    RecoveryRun run;
    run.fragments.assign(session.fragments().begin(), session.fragments().end());
    run.catalogue = session.listDatabaseFiles();
    const ManifestFragment* start = nullptr;
    for (const auto& f : m.fragments)
        if (f.firstPage == 0) start = &f;
    if (!start) throw std::runtime_error("the manifest has no first fragment");
    std::optional<CatalogueRow> row;
    for (const auto& r : run.catalogue)
        if (r.fsec == start->firstSector) row = r;
    if (!row) throw std::runtime_error("the catalogue does not list the database");

    session.startAnalysis(*row);
    session.waitForJobs();
    if (!session.lastAnalysisCompleted()) throw std::runtime_error("the analysis ended early");
    run.analysed = session.analysis().recordedFragments;

    reporter.clear();
    if (!session.searchMore().completed) throw std::runtime_error("search more ended early");
    run.searchLines = reporter.lines(Memo::Assembly);
    for (const auto& r : session.combination().rows)
        run.combined.push_back(r.recordIndex);
    session.checkMissingPages();
    run.checkLines = reporter.lines(Memo::Assembly);
    run.outcome = session.writeMdf(output);
    run.outputSha256 = sha256OfFile(output);
    run.lostFileName = session.analysis().lostFileName;
    return run;
}

}  // namespace mdf::test
