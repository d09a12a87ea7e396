#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "analysis/chain_analysis.h"
#include "analysis/fragment_pages.h"
#include "analysis/headless_file.h"
#include "analysis/split_page_search.h"
#include "assembly/assembly_context.h"
#include "assembly/fragment_tools.h"
#include "assembly/mdf_writer.h"
#include "assembly/search_more.h"
#include "report/kept_log.h"
#include "report/reporter.h"
#include "scan/content_file.h"
#include "scan/file_catalogue.h"
#include "scan/fragment_list.h"
#include "scan/scan_engine.h"
#include "scan/sector_sums.h"
#include "session/content_spooler.h"
#include "session/job_runner.h"
#include "source/ddrescue_map.h"
#include "source/free_space_map.h"
#include "source/ntfs_file_map.h"
#include "source/scan_settings.h"
#include "source/sector_source.h"
#include "source/source_selection.h"
#include "source/volume_layout.h"
#include "tables/table_census.h"

namespace mdf {

enum class StartResult { Started, NoSource, Busy, BadInput };

// What tells one source from another: its size, and short hashes of 8 KiB at its start and at
// places spread evenly over it ("" for a place that could not be read).
struct SourceFingerprint {
    std::int64_t sectors = 0;
    std::vector<std::string> samples;
    // Whether two fingerprints may be of one source: the same size, and every place that both
    // could read the same.
    bool matches(const SourceFingerprint& other) const;
    // matches, and at least one place read by both: places neither could read prove nothing.
    bool matchesWhereBothRead(const SourceFingerprint& other) const;
};

// What the one sequence after an analysis did, for every front end alike.
struct RecoveryResult {
    SearchOutcome searched;
    std::vector<std::int32_t> piecedPages;  // put together by the split-page search
    std::vector<std::int32_t> newerCopies;  // written from a better copy than the chain gave
    MissingPageReport missing;
    AssemblyOutcome written;  // with the verdict on the file as written
    // For a partial file: its tables read from its own catalogue, and which of them the missing
    // or failing pages hit.
    FileCensus tables;
    // Beside the output: the verdict with its lists (OUT.report.json) and the run's log lines
    // (OUT.log); why they could not be written, when they could not.
    std::string reportPath, logPath, keptError;
};

// A path as it is found again from another folder; as given when it cannot be made absolute.
std::string absolutePath(const std::string& path);

// What an analysis concluded, in a form a front end can keep between runs of the program: the
// map of page owners is not kept, it is built again by recording the same fragments in the same
// order.
struct AnalysisSnapshot {
    std::int32_t expectedPages = 0;
    std::string lostFileName;
    std::vector<std::int32_t> recorded;  // record indices in the order their pages were recorded
    bool firstRecordedWithPfsPassOnly = false;
    std::vector<std::int32_t> combination;  // marked record indices
    std::vector<std::int32_t> guessed;      // AnalysisResults::guessedFragments
    std::string firstRowRemark;
    // SHA-256 of the first recorded fragment's first page as it was read: device names change
    // between runs, and a source that now holds other data must not be taken for the old one.
    std::string firstPageSha256;
};

// Everything one recovery works on: the source, what the scan found, what the analysis
// concluded, and the combination built from it. The window owns one; a command-line run owns
// one; a test makes its own. Its methods are the steps of the workflow, with the user's answers
// passed in; the core never asks.
//
// One operation at a time: while a scan or an automatic analysis runs on its worker, every other
// step is refused with a message rather than racing it.
class RecoverySession {
  public:
    explicit RecoverySession(Reporter& reporter, FileOpener opener = openReadOnly);
    ~RecoverySession();
    RecoverySession(const RecoverySession&) = delete;
    RecoverySession& operator=(const RecoverySession&) = delete;

    // The data source. Each choice fills the scan settings as the data-source tab shows them.
    bool chooseDisk(const DiskEntry& disk, const DeviceCatalog& catalog);
    bool chooseVolume(const VolumeEntry& volume);
    bool openImage(const std::string& path, ImageKind kind);
    bool choosePartition(const PartitionEntry& partition);
    // A GNU ddrescue map of the source: what it does not list as rescued reads as unreadable,
    // for the current source and every one chosen after it, until another map replaces it or
    // dropRescueMap. A choice made before the map read the source without it: choose again.
    // False, with the problem (the line of a malformed map), when it cannot be used; the map in
    // use before stays. Refused (with a message, and no problem text) while a job runs.
    bool useRescueMap(const std::string& mapPath, MapProblem& problem);
    void dropRescueMap();
    // The map in use; empty when there is none.
    const std::string& rescueMapPath() const { return rescueMapPath_; }
    // The partitions of the current disk or whole-disk image.
    PartitionTable listPartitions();
    bool sourceChosen() const { return sourceChosen_; }
    // One past the last sector of the source, in its own addressing; 0 when not known.
    std::int64_t sourceEndSector() const { return source_.endSector(); }
    const SectorSource& source() const { return source_; }
    // Reads the source past the page cache with O_DIRECT and a read-ahead (block devices always
    // are), or as it was opened before; refused while a job runs.
    bool readSourceDirectly(bool direct);
    // Whether a scan names short file heads before it says it has finished (the default: what
    // lists or analyses the catalogue next needs it). A scan that is only saved leaves it to
    // whoever opens the saved scan.
    void nameHeadsWhenScanEnds(bool name) { nameHeadsAtScanEnd_ = name; }
    const VolumeLayout& volume() const { return volume_; }
    // What the next scan runs with.
    ScanSettings& settings() { return settings_; }
    const ScanSettings& settings() const { return settings_; }

    // Scanning. The file id is taken from the settings by takeFileId (the scan button does, the
    // menu command does not).
    void takeFileId();
    // The list holds fragments of a source other than the one chosen now. A scan adds to the list
    // only while it is the list's source (several ranges of one disk); a scan of another source
    // starts a new list, so that two disks' fragments never mix. A front end offers to save the
    // old list first.
    bool listIsOfAnotherSource() const;
    // False, after saying why, when the list's pages would be read from a source it is not of.
    bool listPagesReachable();
    std::uint16_t scanFileId() const { return scanFileId_; }
    StartResult startScan();
    // Makes the next startScan go on from where a stopped scan stood, over the fragments that
    // scan found (opened with openScan), instead of starting at the start sector.
    // The scan-info file opened for it is the one the scan goes on to rewrite: no longer kept.
    void resumeScanAt(const ScanPosition& position) {
        resumeAt_ = position;
        openedScanInfo_.clear();
    }
    // What names the scan across its saved files (the content file's record and the resume
    // file): drawn when a scan starts afresh, taken over when one goes on.
    const std::string& scanId();
    void setScanId(std::string id) { scanId_ = std::move(id); }
    // The first sectors of split pages the scan met in free space: kept with a saved scan, so
    // that a scan opened again has their pieces looked for as the scan that met them would.
    const std::vector<SplitHead>& splitHeads() const { return splitHeads_; }
    void setSplitHeads(std::vector<SplitHead> heads) { splitHeads_ = std::move(heads); }
    // Where a scan kept in files keeps what the split-page search needs of the sectors it read,
    // so that going on with it later, or opening it again, needs no second pass over the source
    // either; empty (the default): a file with no name in the temporary folder.
    void keepSectorSumsAt(std::string path) { keptSumsPath_ = std::move(path); }
    // The kept sums of the last scan and the sectors they hold, written through to the disk
    // first: what a record of the scan keeps. Nothing when the sums are not kept.
    std::optional<SectorSums::Kept> keptSectorSums() const;
    // The sums a kept scan of this source left: taken where the file is that scan's, so that the
    // search reads the source only where they have a hole.
    bool adoptSectorSums(const SectorSums::Kept& kept, const std::string& scanId);
    // The source the content file now open was read from, as its record says; empty when it
    // does not say.
    std::string contentMadeFrom() const {
        return content_.record() ? content_.record()->madeFrom : std::string();
    }
    // Where the last scan stood when it ended; a cursor of -1 when it never began to read.
    const ScanPosition& scanPosition() const { return scanPosition_; }
    // The position the running scan is examining, for a gauge on another thread; -1 before.
    std::int64_t scanReached() const { return scanReached_.load(std::memory_order_relaxed); }
    // The memo the scan carries from one run it follows to the next.
    std::string& scanMemo() { return pendingMemo_; }
    // SHA-256 of the source's first 8 KiB; empty when they cannot be read. With the source's
    // size it tells whether a saved scan was made of the source now chosen.
    std::string sourceFirstPageSha256();
    // The source's size and what lies at its start and at places spread over it: two disks of
    // one size with the same first sectors (a clone, or the same partitioning) still differ.
    SourceFingerprint sourceFingerprint();
    // Called on the scan's worker at most once per interval while the scan runs, with the
    // position and the fragments as they stand (scanPosition, fragments); nothing else of the
    // session may be used from it.
    void checkpointScans(std::function<void()> checkpoint,
                         std::chrono::steady_clock::duration interval) {
        checkpoint_ = std::move(checkpoint);
        checkpointInterval_ = interval;
    }
    // Ends a running scan; and the analysis, search more, the split-page search and the writer,
    // each where it is (the writer leaves no file).
    // False, after saying so, while a job or another command runs: a front end asks before it
    // asks the user for files, so that nobody picks a file for a command that is then refused.
    bool acceptsCommands() { return idle(); }
    // Whether a job or a command runs, without saying so.
    bool commandRunning() const {
        return busy() || writingMdf_ || foreground_ > 0 || analysisRunning_;
    }
    void requestStop() {
        stopRequested_ = true;
        workStopRequested_ = true;
    }
    bool scanRunning() const { return !stopRequested_; }
    ScanOutcome lastScanOutcome() const { return lastScanOutcome_; }
    // Told of every fragment the scan adds or joins, on the scan's worker.
    void setFragmentListener(FragmentListener* listener) { fragments_.setListener(listener); }
    // Runs work as a command on a thread of its own while the front end's events go on: for long
    // work on what the front end shows (sorting the fragment list), which no other command may
    // change meanwhile. False, after saying so, while a job or another command runs.
    bool runAside(const std::function<void()>& work);
    // Indexes the fragment list as it stands: a stopped scan leaves the index as it was before it.
    void indexFragments() { index_ = buildFragmentIndex(fragments_); }
    // Waits until every started job has ended.
    void waitForJobs() { jobs_.waitAll(); }
    bool busy() const { return activeJobs_.load() > 0; }

    // Saved scans: the scan-info file (when a name is given) and the content file (when wanted).
    bool saveScan(const std::optional<std::string>& scanInfoPath,
                  const std::optional<std::string>& contentPath, std::uint32_t contentSeed);
    // Replaces the fragment list by a saved one and opens its content. False when the scan-info
    // file is damaged: the list is kept.
    bool openScan(const std::optional<std::string>& scanInfoPath,
                  const std::optional<std::string>& contentPath);
    // Replaces the fragment list by one kept elsewhere (a resume file), as opening a scan-info
    // file does. Refused while a job runs.
    bool useFragments(std::vector<FragmentRecord> records);
    bool readFromSource() const { return readFromSource_; }
    // The next scan writes the content file PATH as it reads, so that saving it (saveScan with
    // this path and seed) does not read every fragment again.
    void spoolContentOfNextScan(const std::string& path, std::uint32_t seed);
    // Drops a spooled content file that was not saved (the scan-info file could not be).
    void dropContentSpool() { spooler_.reset(); }
    // Sectors the last content file saved could not read and holds as zeros (saveScan is false
    // then, though the file was written).
    std::size_t contentUnreadable() const { return contentUnreadable_; }

    // The database files found.
    std::vector<CatalogueRow> listDatabaseFiles();

    // Works out which fragments make up the file of a catalogue row. Without a chooser
    // (automatic mode) it runs on a worker; with one it runs here and ties are put to it.
    StartResult startAnalysis(const CatalogueRow& file, NextFragmentChooser* chooser = nullptr);
    bool analysisRunning() const { return analysisRunning_; }
    bool lastAnalysisCompleted() const { return lastAnalysisCompleted_; }

    // Where outputs may go: never the source, a link to it, or (unless allowed) the device
    // being recovered. Every step that writes checks it; a front end checks its outputs with it
    // before anything is read.
    OutputGuard outputGuard() const;
    void allowWritingOnSourceDevice(bool allow) { allowSourceDevice_ = allow; }
    // A file the session's outputs must never replace besides the source and the files it read
    // itself: a session or resume file a front end read, the source a saved scan was made of.
    void keepFile(const std::string& path, const std::string& role) {
        if (!path.empty()) alsoKept_.push_back({path, role});
    }

    // With no file header page found: the databases whose other pages remain.
    std::vector<HeadlessDatabase> findHeadlessDatabases();
    // Analyses such a database here, with an empty, hidden record standing for its lost page 0
    // (so that the combination, the check and the writer see page 0 as a gap). Refused while a
    // job runs.
    bool analyseHeadless(const HeadlessDatabase& database);

    // With clusters smaller than a page: looks for the missing later sectors of every row's last
    // page that does not verify among the clusters no accepted fragment claims, and hands the
    // pages it puts together to the writer. The page ids restored, in order.
    std::vector<std::int32_t> restoreSplitPages();

    // The one sequence after an analysis, the same for the window's CREATE MDF, `create` and
    // `recover`: search more, the split-page search, the newest copy of every page, the
    // missing-page check, the file written and judged as a database, and the report and the log
    // written beside it.
    RecoveryResult completeRecovery(const std::string& outputPath);
    // Every log line and message of this session so far, in order.
    std::vector<std::string> logLines() const { return keptLog_.lines(); }

    // The fourth tab.
    SearchOutcome searchMore();
    MissingPageReport checkMissingPages();
    AssemblyOutcome writeMdf(const std::string& outputPath);
    void sortCombination(int column);
    const CombinationList& combination() const { return combination_; }

    // Runs a command of the front end's own on the session's pages (export, the list's tools)
    // as the session's commands run: refused while a job or another command runs, and every
    // other command refused while it runs. False when refused.
    bool runCommand(const std::function<void()>& body);

    // The fragment list's tools.
    bool filterFragments(const FilterInput& input);
    bool addToCombination(std::span<const FragmentRow> chosen);
    FragmentTools fragmentTools();
    // Saves the pages of candidate fragments as FIRSTSECTOR.hex files into a folder.
    void saveCandidates(const std::vector<std::int32_t>& recordIndices, const std::string& folder);

    // Builds the free-space map of the volume now chosen (what a scan of free space only would
    // use); 1 on failure, after its messages.
    int buildFreeSpaceMap();
    const FreeSpaceMap& freeSpace() const { return freeSpace_; }

    const FragmentList& fragments() const { return fragments_; }
    const FragmentIndex& index() const { return index_; }
    const AnalysisResults& analysis() const { return analysis_; }
    PageOrigin& pages() { return pageOrigin_; }

    AnalysisSnapshot snapshotAnalysis();
    // Builds the analysis of a snapshot again over the scan now open. False (after a message)
    // when the snapshot names records the list does not have, or the source no longer holds the
    // pages it was taken from.
    bool restoreAnalysis(const AnalysisSnapshot& snapshot);

  private:
    // Commands that run on the caller's thread and let a window handle its events meanwhile
    // (save, open, search more, check, the whole recovery): while one runs, every other command
    // is refused as while a job runs, never run inside it.
    struct ForegroundCommand {
        explicit ForegroundCommand(RecoverySession& s) : session(s) {
            if (session.foreground_++ == 0) session.workStopRequested_ = false;
        }
        ~ForegroundCommand() { --session.foreground_; }
        ForegroundCommand(const ForegroundCommand&) = delete;
        ForegroundCommand& operator=(const ForegroundCommand&) = delete;
        RecoverySession& session;
    };
    int foreground_ = 0;
    // The commands' bodies, for the one sequence that runs them inside its own command.
    std::vector<std::int32_t> restoreSplitPagesNow();
    bool readsFreeSpaceOnly() const;
    bool clusterInUse(std::int64_t sector);
    bool allocatesNextFree() const;
    const NtfsFileMap* ntfsFiles();
    SplitSearchSettings splitSearchSettings();
    void claimClustersInUse(SplitSearchSettings& settings);
    std::optional<BrokenPage> splitHeadPage(const SplitHead& head);
    void nameFromSplitNamePages(std::vector<CatalogueRow>& heads,
                                const std::vector<CatalogueRow>& all);
    SearchOutcome searchMoreNow();
    MissingPageReport checkMissingPagesNow();
    AssemblyOutcome writeMdfNow(const std::string& outputPath);
    // Refuses (with a message) while a job or another command runs.
    bool idle();
    SourceContext sourceContext();
    ScanContext scanContext();
    AnalysisContext analysisContext(NextFragmentChooser* chooser);
    AssemblyContext assemblyContext();
    std::int64_t sectorsTheFileLayOn() const;
    void startJob(std::function<void()> job);
    void analyse(const CatalogueRow& file, NextFragmentChooser* chooser);
    // Reads every fragment's pages in ascending sector order before the analysis asks for them.
    void prefetchFragmentPages();
    // Names the catalogue's short heads once per fragment list; the scan does it while its
    // pages are still at hand, a list opened from files on first use.
    void nameShortHeadsOnce(std::vector<CatalogueRow>& rows);
    // The catalogue with its short heads named (listDatabaseFiles without the busy check).
    std::vector<CatalogueRow> namedCatalogue();
    bool saveContent(const std::string& path, std::uint32_t seed);

    // Takes, for every page of the combination, the best copy the scan holds of it.
    std::vector<std::int32_t> takeNewestCopies();
    // A file that page 32 could not name (split across clusters) is named once it is pieced.
    void nameFromPiecedPage();
    // The report and log of a recovery beside its output; empty, or why not.
    std::string keepReport(const std::string& outputPath, RecoveryResult& result);
    FileCensus tablesOfWrittenFile(const std::string& outputPath);

    KeptLog keptLog_;
    Reporter& reporter_;

    // Sets the source's opener from what was asked: direct reads or not, through the map or not.
    void applyOpener();

    FileOpener opener_;
    bool readDirectly_ = false;
    std::optional<RescueMap> rescueMap_;
    std::string rescueMapPath_;
    SectorSource source_;
    VolumeLayout volume_;
    ScanSettings settings_;
    bool sourceChosen_ = false;
    FreeSpaceMap freeSpace_;

    FragmentList fragments_;
    FragmentIndex index_;
    // Catalogue rows named through their page 32, by first sector; void when the list changes.
    std::map<std::int64_t, CatalogueRow> namedHeads_;
    std::map<std::int64_t, std::int64_t> headSizesKB_;  // by first sector, read with the names
    bool headsNamed_ = false;
    bool nameHeadsAtScanEnd_ = true;
    // Set while no scan runs; the stop command sets it to end a running scan.
    std::atomic<bool> stopRequested_{true};
    // Set by the stop command for the work after the scan; cleared as each command begins.
    std::atomic<bool> workStopRequested_{false};
    std::uint16_t scanFileId_ = 1;
    std::string pendingMemo_;
    std::atomic<ScanOutcome> lastScanOutcome_{ScanOutcome::NotRun};
    std::optional<ScanPosition> resumeAt_;
    std::string scanId_;
    std::function<void()> checkpoint_;
    std::chrono::steady_clock::duration checkpointInterval_{};
    ScanPosition scanPosition_;
    std::atomic<std::int64_t> scanReached_{-1};
    // Pages the scan found sound at the end of its runs, and the source state they were read in.
    std::vector<std::int64_t> soundRunEnds_;  // ascending
    std::uint64_t soundRunEndsGeneration_ = 0;
    // The files the chosen NTFS volume holds, read when a split page first needs them.
    std::optional<NtfsFileMap> ntfsFiles_;
    std::uint64_t ntfsFilesGeneration_ = UINT64_MAX;
    // Heads of pages whose later sectors lie in clusters in use, as the last scan met them.
    std::vector<SplitHead> splitHeads_;
    // What the split-page search needs of the sectors the scan read (clusters smaller than a
    // page only), and the source state they were read in.
    std::unique_ptr<SectorSums> sectorSums_;
    std::uint64_t sectorSumsGeneration_ = UINT64_MAX;
    std::string keptSumsPath_;
    // The list is the last scan's (the split heads above are of it), not one opened or given.
    bool listIsLastScans_ = false;
    // Beside a scan-info file saved or opened: what its scan knew beyond the fragments (the
    // sums, the split heads), so that a scan opened again needs no second pass for split pages.
    void keepScanEvidence(const std::string& scanInfo);
    void lendScanEvidence(const std::string& scanInfo);
    // The scan-info file opened before a source was chosen: lent when the analysis starts.
    std::string evidencePending_;

    ContentFile content_;
    std::unique_ptr<ContentSpooler> spooler_;
    void prepareSectorSums(bool resuming);
    bool writingMdf_ = false;
    std::size_t contentUnreadable_ = 0;
    bool readFromSource_ = true;

    AnalysisResults analysis_;
    std::atomic<bool> analysisRunning_{false};
    std::atomic<bool> lastAnalysisCompleted_{false};
    CombinationList combination_;

    PageOrigin pageOrigin_{source_, content_, fragments_, readFromSource_};
    bool allowSourceDevice_ = false;
    mutable std::optional<OutputGuard> sourceGuard_;
    std::string openedScanInfo_, openedContent_;
    // The source the fragment list was found on (its path); empty when not known.
    std::string listSource_;
    // Forgets the list and everything made from it, for a scan of another source.
    void startNewList();
    std::vector<GuardedFile> alsoKept_;
    std::atomic<int> activeJobs_{0};
    JobRunner jobs_;
};

}  // namespace mdf
