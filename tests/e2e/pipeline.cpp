#include "pipeline.h"

#include <gtest/gtest.h>

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
    session.settings().fileId = m.fileId;
    session.takeFileId();
    if (session.startScan() != StartResult::Started)
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
    // Then the sequence every front end runs: split pages, newest copies, check, write, verdict.
    const RecoveryResult result = session.completeRecovery(output);
    run.outcome = result.written;
    // The check's lines as the fourth tab showed them (once the split pages were put together),
    // before the writer cleared the tab's log.
    std::vector<std::string> shown;
    for (const auto& e : reporter.events()) {
        if (e.memo != Memo::Assembly) continue;
        if (e.kind == RecordingReporter::Kind::Clear) shown.clear();
        if (e.kind != RecordingReporter::Kind::Log) continue;
        shown.push_back(e.text);
        if (e.text == "check done") run.checkLines = shown;
    }
    run.outputSha256 = sha256OfFile(output);
    run.lostFileName = session.analysis().lostFileName;
    return run;
}

std::set<Triple> triples(const std::vector<FragmentRecord>& list) {
    std::set<Triple> out;
    for (const auto& r : list)
        out.insert({r.fsec, r.pages(), r.beginPage});
    return out;
}

void expectScannedFragments(const ImageManifest& m, const std::vector<FragmentRecord>& scanned,
                            bool freeSpaceOnly) {
    std::set<Triple> seen = triples(scanned);
    for (const ManifestFragment& f : m.fragments) {
        if (seen.erase({f.firstSector, f.pages, f.firstPage})) continue;
        bool acrossItsEnd = false;
        const std::int64_t lastPage = f.firstSector + 16 * std::int64_t{f.pages - 1};
        for (const Extent& e : m.extents)
            if (e.sector <= f.firstSector && f.firstSector < e.sector + e.sectors)
                acrossItsEnd = lastPage + 16 > e.sector + e.sectors;
        const bool trimmed =
            freeSpaceOnly && acrossItsEnd &&
            (f.pages == 1 || seen.erase({f.firstSector, f.pages - 1, f.firstPage}));
        EXPECT_TRUE(trimmed) << "not seen: " << f.firstSector << " " << f.pages << " "
                             << f.firstPage;
    }
    EXPECT_TRUE(seen.empty()) << seen.size() << " fragments the manifest does not have, first at "
                              << std::get<0>(*seen.begin());
}

}  // namespace mdf::test
