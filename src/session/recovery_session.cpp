#include "session/recovery_session.h"

#include <fmt/core.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <exception>
#include <filesystem>
#include <random>
#include <set>

#include "analysis/allocation_order_pieces.h"
#include "analysis/file_run_pieces.h"
#include "analysis/next_fragment_chooser.h"
#include "analysis/split_page_search.h"
#include "assembly/sha256.h"
#include "report/work_aside.h"
#include "scan/file_header_readers.h"
#include "scan/page_header.h"
#include "scan/page_protection.h"
#include "scan/page_structure.h"
#include "session/catalogue_names.h"
#include "session/scan_evidence_file.h"
#include "source/image_format.h"
#include "source/source_description.h"

namespace mdf {
namespace {

std::string newScanId() {
    std::random_device random;
    return fmt::format("{:08x}{:08x}{:08x}{:08x}", random(), random(), random(), random());
}

}  // namespace

std::string absolutePath(const std::string& path) {
    std::error_code ec;
    const std::filesystem::path absolute = std::filesystem::absolute(path, ec);
    return ec || path.empty() ? path : absolute.string();
}

RecoverySession::RecoverySession(Reporter& r, FileOpener opener)
    : keptLog_(r), reporter_(keptLog_), opener_(opener), source_(std::move(opener)) {}

// Direct reads suit a raw disk or image; a forensic or virtual-disk image is read through its
// format's reader whatever is asked.
static std::unique_ptr<RandomAccessFile> openRawDirectly(const std::string& path) {
    OpenedSource opened = openSource(path);
    if (opened.file && opened.format == ImageFormat::Raw)
        if (auto direct = openDirect(path)) return direct;
    return std::move(opened.file);
}

bool RecoverySession::readSourceDirectly(bool direct) {
    if (!idle()) return false;
    readDirectly_ = direct;
    applyOpener();
    return true;
}

// The map wraps whichever opener reads the source, so that asking for direct reads after the
// map (or a map after direct reads) keeps both.
void RecoverySession::applyOpener() {
    FileOpener base = readDirectly_ ? FileOpener(openRawDirectly) : opener_;
    source_.setOpener(rescueMap_ ? openerWithRescueMap(std::move(base), *rescueMap_)
                                 : std::move(base));
}

RecoverySession::~RecoverySession() {
    stopRequested_ = true;
    jobs_.waitAll();
}

bool RecoverySession::idle() {
    // A manual analysis runs on the caller's thread while its chooser waits: no job counts it.
    if (!busy() && !writingMdf_ && foreground_ == 0 && !analysisRunning_) return true;
    reporter_.showMessage("busy: a scan or an analysis is running; wait until it ends", "message",
                          MessageIcon::Warning);
    return false;
}

bool RecoverySession::runAside(const std::function<void()>& work) {
    if (!idle()) return false;
    ForegroundCommand command(*this);
    workAside(reporter_, work);
    return true;
}

SourceContext RecoverySession::sourceContext() {
    return {source_, volume_, settings_, sourceChosen_, reporter_};
}

ScanContext RecoverySession::scanContext() {
    ScanContext ctx{source_, volume_,        settings_,   freeSpace_,   fragments_,
                    index_,  stopRequested_, scanFileId_, pendingMemo_, reporter_};
    ctx.windowObserver = &pageOrigin_.scannedPages();
    if (spooler_) {
        spooler_->forwardTo(ctx.windowObserver);
        ctx.windowObserver = spooler_.get();
    }
    if (sectorSums_) {
        sectorSums_->forwardTo(ctx.windowObserver);
        ctx.windowObserver = sectorSums_.get();
    }
    ctx.position = &scanPosition_;
    ctx.reached = &scanReached_;
    ctx.soundRunEnds = &soundRunEnds_;
    ctx.splitHeads = &splitHeads_;
    ctx.checkpoint = checkpoint_;
    if (checkpointInterval_.count() > 0) ctx.checkpointInterval = checkpointInterval_;
    // Short file heads are named while the scan's pages are at hand, before the scan says it
    // has finished (a window then lists the catalogue at once).
    if (nameHeadsAtScanEnd_) ctx.completing = [this] { namedCatalogue(); };
    return ctx;
}

AnalysisContext RecoverySession::analysisContext(NextFragmentChooser* chooser) {
    return {fragments_,  index_,
            pageOrigin_, analysis_,
            reporter_,   volume_.sectorsPerCluster,
            chooser,     &workStopRequested_};
}

AssemblyContext RecoverySession::assemblyContext() {
    return {fragments_,
            index_,
            pageOrigin_,
            analysis_,
            combination_,
            reporter_,
            volume_.sectorsPerCluster,
            outputGuard(),
            sectorsTheFileLayOn(),
            &workStopRequested_};
}

// How large the source the file lay on was: the source itself, or the one the content file was
// read from; for an older content file that does not say, as far as the fragments reach.
std::int64_t RecoverySession::sectorsTheFileLayOn() const {
    if (readFromSource_) return source_.endSector();
    if (content_.record() && content_.record()->sourceSectors > 0)
        return content_.record()->sourceSectors;
    std::int64_t end = 0;
    for (const FragmentRecord& r : fragments_)
        end = std::max(end, r.esec);
    return end;
}

OutputGuard RecoverySession::outputGuard() const {
    // Opening the source to learn its files (an E01 set's segments) is done once per source.
    const std::string path = source_.devicePath();
    if (!sourceGuard_ || sourceGuard_->sourcePath != path)
        sourceGuard_ = guardOfSource(path, false);
    OutputGuard guard = *sourceGuard_;
    guard.allowSourceDevice = allowSourceDevice_;
    guard.keep(rescueMapPath_, "the ddrescue map of the source");
    guard.keep(openedScanInfo_, "the scan-info file this session was opened from");
    guard.keep(openedContent_, "the content file this session reads its pages from");
    for (const GuardedFile& f : alsoKept_)
        guard.keep(f.path, f.role);
    return guard;
}

bool RecoverySession::chooseDisk(const DiskEntry& disk, const DeviceCatalog& catalog) {
    if (!idle()) return false;
    SourceContext ctx = sourceContext();
    mdf::chooseDisk(ctx, disk, catalog);
    return true;
}

bool RecoverySession::chooseVolume(const VolumeEntry& volume) {
    if (!idle()) return false;
    SourceContext ctx = sourceContext();
    return mdf::chooseVolume(ctx, volume);
}

bool RecoverySession::openImage(const std::string& path, ImageKind kind) {
    if (!idle()) return false;
    SourceContext ctx = sourceContext();
    return mdf::openImage(ctx, path, kind);
}

bool RecoverySession::choosePartition(const PartitionEntry& partition) {
    if (!idle()) return false;
    SourceContext ctx = sourceContext();
    return mdf::choosePartition(ctx, partition);
}

bool RecoverySession::useRescueMap(const std::string& mapPath, MapProblem& problem) {
    problem = {};
    if (!idle()) return false;
    RescueMap map;
    if (!loadRescueMap(mapPath, map, problem)) return false;
    reporter_.logLine(Memo::Scan,
                      fmt::format("ddrescue map {}: {} bytes rescued of {} listed; every other "
                                  "sector reads as unreadable",
                                  mapPath, map.rescuedBytes, map.listedEnd));
    rescueMap_ = std::move(map);
    rescueMapPath_ = mapPath;
    applyOpener();
    return true;
}

void RecoverySession::dropRescueMap() {
    if (!rescueMap_ || !idle()) return;
    rescueMap_.reset();
    rescueMapPath_.clear();
    applyOpener();
}

int RecoverySession::buildFreeSpaceMap() {
    if (!idle()) return 1;
    std::vector<std::uint8_t> work(std::size_t{kFatBlockSectors} * kSectorSize);
    return mdf::buildFreeSpaceMap(freeSpace_, source_, volume_, reporter_, work);
}

PartitionTable RecoverySession::listPartitions() {
    SourceContext ctx = sourceContext();
    return mdf::listPartitions(ctx);
}

void RecoverySession::takeFileId() {
    scanFileId_ = settings_.fileId;
}

// A job that throws ends as a failed job with a message, never by taking the program down.
void RecoverySession::startJob(std::function<void()> job) {
    ++activeJobs_;
    jobs_.start([this, job = std::move(job)] {
        try {
            job();
        } catch (const std::exception& e) {
            reporter_.showMessage(std::string("error,") + e.what(), "message", MessageIcon::Error);
        }
        --activeJobs_;
    });
}

StartResult RecoverySession::startScan() {
    if (!sourceChosen_) {
        reporter_.tell(said(Saying::ChooseSourceFirst), "message", MessageIcon::Warning);
        return StartResult::NoSource;
    }
    if (!idle()) return StartResult::Busy;
    if (!resumeAt_ && listIsOfAnotherSource()) startNewList();
    listSource_ = source_.devicePath();
    stopRequested_ = false;
    lastScanOutcome_ = ScanOutcome::NotRun;
    // A scan goes on from a saved position only when asked to just before; otherwise it starts
    // at the start sector, as the scan button always did.
    scanPosition_ = resumeAt_.value_or(ScanPosition{});
    const bool resuming = resumeAt_.has_value();
    if (!resuming) scanId_ = newScanId();
    resumeAt_.reset();
    listIsLastScans_ = true;
    evidencePending_.clear();
    scanReached_ = -1;
    prepareSectorSums(resuming);
    startJob([this, resuming] {
        pageOrigin_.scannedPages().begin(source_.generation());
        // A scan that goes on from a saved position did not see the runs before it.
        soundRunEnds_.clear();
        soundRunEndsGeneration_ = source_.generation();
        if (!resuming) splitHeads_.clear();
        ScanContext ctx = scanContext();
        ScanOutcome outcome = ScanOutcome::Failed;
        try {
            headsNamed_ = false;
            outcome = runScanJob(ctx);
        } catch (...) {
            stopRequested_ = true;
            lastScanOutcome_ = ScanOutcome::Failed;
            throw;
        }
        lastScanOutcome_ = outcome;
    });
    return StartResult::Started;
}

namespace {

// The sums take at most a quarter of their folder's free room, so that the file and the kept
// scan written beside them still find theirs (a large disk's sums run to gigabytes: five bytes a
// sector read), and at most 256 MiB of a folder held in memory (tmpfs). 0: no bound known.
std::int64_t sumsBoundIn(const std::string& path) {
    constexpr std::int64_t kMostInMemory = std::int64_t{256} << 20;
    struct statfs folderFs {};
    std::error_code ec;
    const std::string folder = std::filesystem::absolute(path, ec).parent_path().string();
    if (::statfs(folder.c_str(), &folderFs) != 0) return 0;
    const auto quarterOfFree = static_cast<std::int64_t>(
        std::min<unsigned long long>(static_cast<unsigned long long>(folderFs.f_bavail) *
                                         static_cast<unsigned long long>(folderFs.f_bsize) / 4,
                                     INT64_MAX));
    const bool inMemory = folderFs.f_type == 0x01021994;  // TMPFS_MAGIC
    return std::max<std::int64_t>(
        1, inMemory ? std::min(kMostInMemory, quarterOfFree) : quarterOfFree);
}

}  // namespace

// Sums are gathered where a page may be split: clusters smaller than a page, read from the
// source. A scan that goes on from where this one stopped adds to them (where they are kept where
// this run keeps its scan); any other starts afresh. Kept beside a kept scan, or else in the
// temporary folder, never where the guard refuses; without them the search reads the source
// again, as it always could.
void RecoverySession::prepareSectorSums(bool resuming) {
    // The scan takes its stride as the volume's cluster size.
    const std::int64_t stride = settings_.sectorsPerCluster.value_or(0);
    const bool wanted = readFromSource_ && stride > 0 && stride < 16;
    const bool keptHere =
        sectorSums_ &&
        (keptSumsPath_.empty() ? !sectorSums_->kept() : sectorSums_->path() == keptSumsPath_);
    if (resuming && keptHere && sectorSumsGeneration_ == source_.generation() && wanted) return;
    sectorSums_.reset();
    sectorSumsGeneration_ = UINT64_MAX;
    if (!wanted) return;
    auto made = [this](const std::string& path, const std::string& keptFor) {
        const OutputGuard guard = outputGuard();
        auto sums = std::make_unique<SectorSums>(path, sumsBoundIn(path), keptFor, &guard);
        if (!sums->ok()) return false;
        sectorSums_ = std::move(sums);
        sectorSumsGeneration_ = source_.generation();
        return true;
    };
    if (!keptSumsPath_.empty() && made(keptSumsPath_, scanId())) return;
    std::error_code ec;
    const auto folder = std::filesystem::temp_directory_path(ec);
    if (!ec)
        made((folder / fmt::format("mdfrecover-{}-{}.sums", ::getpid(), newScanId())).string(), {});
}

std::optional<SectorSums::Kept> RecoverySession::keptSectorSums() const {
    if (!sectorSums_ || !sectorSums_->kept() || sectorSumsGeneration_ != source_.generation() ||
        !sectorSums_->sync())
        return std::nullopt;
    return SectorSums::Kept{sectorSums_->path(), sectorSums_->fileId(), sectorSums_->coverage()};
}

bool RecoverySession::adoptSectorSums(const SectorSums::Kept& kept, const std::string& scanId) {
    // Sums said to hold sectors past the source's end were not made by a scan of it.
    for (const auto& [first, end] : kept.covered)
        if (end > source_.endSector()) return false;
    const OutputGuard guard = outputGuard();
    auto sums = SectorSums::reopen(kept, scanId, sumsBoundIn(kept.path), &guard);
    if (!sums) return false;
    sectorSums_ = std::move(sums);
    sectorSumsGeneration_ = source_.generation();
    return true;
}

void RecoverySession::keepScanEvidence(const std::string& scanInfo) {
    if (!sourceChosen_ || listIsOfAnotherSource()) return;
    const std::string path = ScanEvidence::pathFor(scanInfo);
    const std::string sumsPath = ScanEvidence::sumsPathFor(scanInfo);
    std::error_code ec;
    // Names beside the user's file that hold something else are left alone.
    const bool otherEvidence = std::filesystem::exists(path, ec) &&
                               std::filesystem::file_size(path, ec) > 0 &&
                               !ScanEvidence::load(scanInfo);
    const bool otherSums =
        std::filesystem::exists(sumsPath, ec) && !SectorSums::isKeptFile(sumsPath);
    if (otherEvidence || otherSums) {
        reporter_.logLine(Memo::Scan, path + " or " + sumsPath +
                                          " is another file: the scan's sector sums are not kept");
        return;
    }
    ScanEvidence evidence;
    evidence.scanId = scanId();
    evidence.fragmentsSha256 = fragmentsDigest(fragments_);
    evidence.fingerprint = sourceFingerprint();
    // A source read at none of its places would later pass for any other of its size.
    if (!evidence.fingerprint.matchesWhereBothRead(evidence.fingerprint)) return;
    evidence.listOfThisScan = listIsLastScans_;
    if (listIsLastScans_) evidence.splitHeads = splitHeads_;
    const OutputGuard guard = outputGuard();
    if (sectorSums_ && sectorSumsGeneration_ == source_.generation()) {
        if (sectorSums_->kept() && sectorSums_->path() == sumsPath)
            evidence.sums = keptSectorSums();  // a scan kept there already (the command line's)
        else
            evidence.sums =
                sectorSums_->keepCopy(sumsPath, evidence.scanId, sumsBoundIn(sumsPath), &guard,
                                      [this](int percent) { reporter_.setProgress(percent); });
    }
    if (const std::string error = evidence.save(path, guard); !error.empty())
        reporter_.logLine(Memo::Scan,
                          "what the scan knew beyond its fragments was not kept: " + error);
    else if (evidence.sums)
        reporter_.logLine(Memo::Scan, "the scan's sector sums are kept in " + sumsPath);
}

void RecoverySession::lendScanEvidence(const std::string& scanInfo) {
    // Without a source there is no search to spare a read yet: nothing to say either (a listing
    // of the scan's files goes on the same stream).
    evidencePending_ = sourceChosen_ ? std::string() : scanInfo;
    if (!sourceChosen_) return;
    const std::optional<ScanEvidence> evidence = ScanEvidence::load(scanInfo);
    if (!evidence) return;
    const std::string path = ScanEvidence::pathFor(scanInfo);
    if (evidence->fragmentsSha256 != fragmentsDigest(fragments_)) {
        reporter_.logLine(Memo::Scan, path + " is of another list than " + scanInfo +
                                          ": the split-page search reads the source again");
        return;
    }
    if (!sourceFingerprint().matchesWhereBothRead(evidence->fingerprint)) {
        reporter_.logLine(Memo::Scan, path +
                                          " is of another source than the one chosen: the "
                                          "split-page search reads the source again");
        return;
    }
    if (evidence->listOfThisScan) splitHeads_ = evidence->splitHeads;
    listIsLastScans_ = evidence->listOfThisScan;
    // The list is that scan's: saved again, it names the same scan and the same sums.
    scanId_ = evidence->scanId;
    if (evidence->sums && adoptSectorSums(*evidence->sums, evidence->scanId))
        reporter_.logLine(Memo::Scan,
                          "the scan's sector sums are taken from " + evidence->sums->path);
    else if (evidence->sums)
        reporter_.logLine(Memo::Scan, evidence->sums->path +
                                          " is missing, or not the one this scan kept: the "
                                          "split-page search reads the source again");
}

bool RecoverySession::listPagesReachable() {
    if (!readFromSource_ || !listIsOfAnotherSource()) return true;
    reporter_.tell(said(Saying::ListOfAnotherSource, listSource_), "message", MessageIcon::Warning);
    return false;
}

bool RecoverySession::listIsOfAnotherSource() const {
    if (!sourceChosen_ || listSource_.empty() || fragments_.size() == 0) return false;
    std::error_code ec;  // a path that no longer exists is compared as written
    return listSource_ != source_.devicePath() &&
           !std::filesystem::equivalent(listSource_, source_.devicePath(), ec);
}

void RecoverySession::startNewList() {
    reporter_.say(Memo::Scan, said(Saying::NewSourceNewList, listSource_));
    fragments_.replace({});
    index_ = buildFragmentIndex(fragments_);
    combination_.rows.clear();
    analysis_ = AnalysisResults{};
    lastAnalysisCompleted_ = false;
    namedHeads_.clear();
    headsNamed_ = false;
    splitHeads_.clear();
    sectorSums_.reset();
    soundRunEnds_.clear();
    pendingMemo_.clear();
    scanPosition_ = ScanPosition{};
    openedScanInfo_.clear();
    openedContent_.clear();
    content_.close();
    readFromSource_ = true;
}

const std::string& RecoverySession::scanId() {
    if (scanId_.empty()) scanId_ = newScanId();
    return scanId_;
}

bool SourceFingerprint::matches(const SourceFingerprint& other) const {
    if (sectors != other.sectors || samples.size() != other.samples.size()) return false;
    for (std::size_t i = 0; i < samples.size(); ++i)
        if (!samples[i].empty() && !other.samples[i].empty() && samples[i] != other.samples[i])
            return false;
    return true;
}

bool SourceFingerprint::matchesWhereBothRead(const SourceFingerprint& other) const {
    if (!matches(other)) return false;
    for (std::size_t i = 0; i < samples.size(); ++i)
        if (!samples[i].empty() && !other.samples[i].empty()) return true;
    return false;
}

SourceFingerprint RecoverySession::sourceFingerprint() {
    constexpr std::int64_t kPlaces = 32;
    SourceFingerprint f;
    f.sectors = source_.endSector();
    if (!sourceChosen_ || busy()) return f;
    std::array<std::uint8_t, 8192> page{};
    for (std::int64_t i = 0; i < kPlaces; ++i) {
        // Page-aligned places from the start to the last whole page.
        const std::int64_t pages = f.sectors / 16;
        const std::int64_t sector = pages > 1 ? i * (pages - 1) / (kPlaces - 1) * 16 : 0;
        f.samples.push_back(source_.readWholeSectors(16, page.data(), sector)
                                ? sha256Hex(page).substr(0, 16)
                                : std::string());
    }
    return f;
}

std::string RecoverySession::sourceFirstPageSha256() {
    if (!sourceChosen_ || busy()) return {};
    std::array<std::uint8_t, 8192> page{};
    if (!source_.readWholeSectors(16, page.data(), 0)) return {};
    return sha256Hex(page);
}

std::vector<CatalogueRow> RecoverySession::listDatabaseFiles() {
    if (busy() || (readFromSource_ && listIsOfAnotherSource())) return {};
    return namedCatalogue();
}

std::vector<CatalogueRow> RecoverySession::namedCatalogue() {
    std::vector<CatalogueRow> rows =
        refreshFileCatalogue(fragments_, readFromSource_, content_, reporter_);
    nameShortHeadsOnce(rows);
    return rows;
}

void RecoverySession::nameShortHeadsOnce(std::vector<CatalogueRow>& rows) {
    if (!headsNamed_) {
        namedHeads_.clear();
        std::vector<CatalogueRow> shortHeads;
        for (const CatalogueRow& row : rows)
            if (row.sizeKB / 8 <= 32) shortHeads.push_back(row);
        if (!shortHeads.empty()) {
            // Naming walks each short head's chain; the fragments' pages are read once, in
            // ascending order (taken from the scan's own reads when it just ran), not one by one.
            prefetchFragmentPages();
            nameShortHeads(shortHeads, fragments_, index_, pageOrigin_, volume_.sectorsPerCluster,
                           reporter_);
        }
        nameFromSplitNamePages(shortHeads, rows);
        // Each head's file size, from its header page, once per list.
        headSizesKB_.clear();
        std::array<std::uint8_t, 8192> header{};
        for (const CatalogueRow& row : rows)
            if (pageOrigin_.readFragmentSectors(row.fsec, 0, 16, header.data())) {
                restoreTornBits(header);
                if (const PageCountResult count = readFilePageCount(header); count.result == 0)
                    headSizesKB_[row.fsec] = std::int64_t{count.pages} * 8;
            }
        for (CatalogueRow& row : shortHeads)
            if (!row.resolvedPath.empty()) namedHeads_[row.fsec] = std::move(row);
        headsNamed_ = true;
    }
    for (CatalogueRow& row : rows) {
        if (auto size = headSizesKB_.find(row.fsec); size != headSizesKB_.end())
            row.fileSizeKB = size->second;
        if (auto named = namedHeads_.find(row.fsec); named != namedHeads_.end()) {
            row.resolvedPath = named->second.resolvedPath;
            row.name = named->second.name;
        }
    }
}

// With clusters smaller than a page, page 32 itself may lie in pieces in free space, none of which
// any fragment holds. Each page 32 whose head the scan saw there is pieced in the order the file
// system hands out free clusters; when the pieced pages that verify give one name, and one head
// alone lacks a name, that head takes it. Two heads never share one page 32 by guess, and a name
// another head already has (an older copy of that database) is no candidate.
void RecoverySession::nameFromSplitNamePages(std::vector<CatalogueRow>& heads,
                                             const std::vector<CatalogueRow>& all) {
    if (!readFromSource_ || !allocatesNextFree() || volume_.sectorsPerCluster >= 16) return;
    CatalogueRow* unnamed = nullptr;
    std::set<std::string> taken;  // names other heads already have
    for (CatalogueRow& row : heads) {
        if (!row.resolvedPath.empty()) {
            taken.insert(row.resolvedPath);
            continue;
        }
        if (unnamed) return;
        unnamed = &row;
    }
    if (!unnamed) return;
    // A head long enough to hold its own page 32 has its name in its memo: "path(size)".
    for (const CatalogueRow& row : all)
        if (row.sizeKB / 8 > 32 && row.name.rfind('(') != std::string::npos)
            taken.insert(row.name.substr(0, row.name.rfind('(')));
    std::vector<BrokenPage> namePages;
    for (const SplitHead& h : splitHeads_)
        if (h.pageId == 32)  // the page that holds the file's own path
            if (auto head = splitHeadPage(h)) namePages.push_back(*head);
    if (namePages.empty()) return;
    SplitSearchSettings settings = splitSearchSettings();
    for (const FragmentRecord& r : fragments_)
        if (r.isVisible() && r.pages() > 0) settings.claimed.push_back({r.fsec, r.esec});
    std::set<std::string> names;
    for (auto& [id, page] : pieceInAllocationOrder(source_, namePages, settings)) {
        restoreTornBits(page);
        const FileNameResult name = readFileName(page);
        if (name.result == 0 && !taken.count(name.name)) names.insert(name.name);
    }
    std::array<std::uint8_t, 8192> page0{};
    if (names.size() != 1 || !readFragmentPage(pageOrigin_, unnamed->fsec, 0, page0)) return;
    restoreTornBits(page0);
    const PageCountResult count = readFilePageCount(page0);
    if (count.result != 0) return;
    unnamed->resolvedPath = *names.begin();
    unnamed->name = unnamed->resolvedPath + "(" + fileSizeText(count.pages);
    reporter_.say(Memo::Analysis, said(Saying::NameFromPiecedPage, unnamed->resolvedPath));
}

void RecoverySession::analyse(const CatalogueRow& file, NextFragmentChooser* chooser) {
    AnalysisContext ctx = analysisContext(chooser);
    bool completed = false;
    try {
        prefetchFragmentPages();
        completed = analyseChain(ctx, {file.fsec, file.sizeKB});
    } catch (...) {
        analysisRunning_ = false;
        throw;
    }
    if (analysis_.lostFileName == kNoName && !file.resolvedPath.empty())
        analysis_.lostFileName = file.resolvedPath;
    if (completed) combination_.refresh(fragments_, analysis_.combinationMarks);
    lastAnalysisCompleted_ = completed;
    analysisRunning_ = false;
}

void RecoverySession::prefetchFragmentPages() {
    std::vector<PageOrigin::Span> spans;
    spans.reserve(fragments_.size());
    for (const FragmentRecord& r : fragments_)
        spans.push_back({r.fsec, r.pages()});
    pageOrigin_.prefetch(std::move(spans), [this](int percent) { reporter_.setProgress(percent); });
}

StartResult RecoverySession::startAnalysis(const CatalogueRow& file, NextFragmentChooser* chooser) {
    if (scanRunning()) {
        reporter_.showMessage("the scan is processing", "message");
        return StartResult::Busy;
    }
    // Not even beside a command on the window's thread: the analysis would change the marks and
    // read pages while that command reads them.
    if (!idle()) return StartResult::Busy;
    if (!listPagesReachable()) return StartResult::BadInput;
    if (!evidencePending_.empty()) {
        // The source's fingerprint is read at places spread over it: aside, as a command.
        ForegroundCommand command(*this);
        auto lend = [this, scanInfo = evidencePending_] {
            lendScanEvidence(scanInfo);
            return 0;
        };
        workAside(reporter_, lend);
    }
    analysisRunning_ = true;
    lastAnalysisCompleted_ = false;
    workStopRequested_ = false;
    if (chooser) {
        analyse(file, chooser);
    } else {
        startJob([this, file] { analyse(file, nullptr); });
    }
    return StartResult::Started;
}

std::vector<HeadlessDatabase> RecoverySession::findHeadlessDatabases() {
    if (busy()) return {};
    return mdf::findHeadlessDatabases(fragments_, index_, pageOrigin_);
}

bool RecoverySession::analyseHeadless(const HeadlessDatabase& database) {
    if (scanRunning()) {
        reporter_.showMessage("the scan is processing", "message");
        return false;
    }
    if (analysisRunning_ || !idle()) return false;
    workStopRequested_ = false;
    const std::int64_t anchor =
        database.namePageRecord >= 0
            ? fragments_[static_cast<std::size_t>(database.namePageRecord)].fsec
            : 0;
    FragmentRecord placeholder = composeFragment(static_cast<std::int32_t>(fragments_.size() + 1),
                                                 0, anchor, 0, kLostFileHeaderMemo);
    placeholder.visible = "N";
    fragments_.append(std::move(placeholder));
    indexFragments();
    AnalysisContext ctx = analysisContext(nullptr);
    const bool completed =
        mdf::analyseHeadless(ctx, database, static_cast<std::int32_t>(fragments_.size() - 1));
    combination_.refresh(fragments_, analysis_.combinationMarks);
    lastAnalysisCompleted_ = completed;
    return completed;
}

// Whether a page read whole is sound as it stands: by its protection, or without protection by
// its structure.
static bool soundAsItStands(const std::array<std::uint8_t, 8192>& page) {
    if (pageProtection(page) != PageProtection::None) return verifyPage(page);
    return structureHoldsAsMeant(page);
}

std::vector<std::int32_t> RecoverySession::restoreSplitPages() {
    if (!idle()) return {};
    ForegroundCommand command(*this);
    return restoreSplitPagesNow();
}

bool RecoverySession::readsFreeSpaceOnly() const {
    return settings_.freeSpaceOnly && volume_.hasFileSystem;
}

const NtfsFileMap* RecoverySession::ntfsFiles() {
    // A scan of free space only took nothing from files in use; neither may a piece.
    if (volume_.fsKind != "NTFS" || !volume_.hasFileSystem || readsFreeSpaceOnly()) return nullptr;
    if (ntfsFilesGeneration_ != source_.generation()) {
        std::string why;
        ntfsFiles_ = NtfsFileMap::read(source_, why, &workStopRequested_);
        // A read cut short by a stop is made again next time.
        if (!workStopRequested_) ntfsFilesGeneration_ = source_.generation();
        if (!ntfsFiles_) reporter_.logLine(Memo::Assembly, "no file map of the volume: " + why);
    }
    return ntfsFiles_ ? &*ntfsFiles_ : nullptr;
}

// FAT and exFAT hand a growing file the next free cluster: the free clusters after a page's head,
// in order, are where the rest of it went. Other file systems place clusters by policies of their
// own, where that order is no evidence.
bool RecoverySession::allocatesNextFree() const {
    return readsFreeSpaceOnly() && (volume_.fsKind == "FAT32" || volume_.fsKind == "exFAT");
}

bool RecoverySession::clusterInUse(std::int64_t sector) {
    return readsFreeSpaceOnly() &&
           freeSpace_.isClusterInUse(sector, settings_.fileSystemLabel, volume_);
}

// The volume's clusters for the split-page search; the clusters in use of a scan of free space
// only are asked for one by one, as the walk in allocation order reaches them.
SplitSearchSettings RecoverySession::splitSearchSettings() {
    SplitSearchSettings settings;
    settings.clusterSectors = volume_.sectorsPerCluster;
    if (volume_.sectorsPerCluster > 0)
        settings.clusterOrigin = volume_.dataStartSector % volume_.sectorsPerCluster;
    settings.endSector = source_.endSector();
    settings.stop = &workStopRequested_;
    if (sectorSums_ && sectorSumsGeneration_ == source_.generation())
        settings.sums = sectorSums_.get();
    if (readsFreeSpaceOnly())
        settings.inUse = [this](std::int64_t sector) { return clusterInUse(sector); };
    return settings;
}

// The pass over the source takes no piece from a cluster in use: every one of them, as ranges.
// A sweep of the whole volume, made only when the pass is needed.
void RecoverySession::claimClustersInUse(SplitSearchSettings& settings) {
    if (!readsFreeSpaceOnly() || volume_.sectorsPerCluster <= 0) return;
    for (std::int64_t sector = volume_.dataStartSector % volume_.sectorsPerCluster;
         sector < settings.endSector; sector += volume_.sectorsPerCluster)
        if (clusterInUse(sector)) {
            if (!settings.claimed.empty() && settings.claimed.back().second == sector)
                settings.claimed.back().second += volume_.sectorsPerCluster;
            else
                settings.claimed.push_back({sector, sector + volume_.sectorsPerCluster});
        }
}

// A split page's head as found in free space: its first sectors up to the first cluster in use.
std::optional<BrokenPage> RecoverySession::splitHeadPage(const SplitHead& h) {
    BrokenPage head;
    head.pageId = h.pageId;
    head.firstSector = h.sector;
    head.knownSectors = h.freeSectors;
    if (head.knownSectors <= 0) head.knownSectors = 0;
    if (head.knownSectors == 0)
        while (head.knownSectors < 16 && !clusterInUse(h.sector + head.knownSectors))
            ++head.knownSectors;
    if (head.knownSectors == 0 || head.knownSectors >= 16 ||
        !source_.readWholeSectors(static_cast<std::uint32_t>(head.knownSectors), head.asRead.data(),
                                  h.sector) ||
        PageHeader::from(head.asRead).pageId() != h.pageId)
        return std::nullopt;
    return head;
}

std::vector<std::int32_t> RecoverySession::restoreSplitPagesNow() {
    if (!readFromSource_ || volume_.sectorsPerCluster >= 16) return {};
    std::vector<BrokenPage> broken;
    std::vector<BrokenPage> rowEnds;  // the last page of every row, sound as read or not
    SplitSearchSettings settings = splitSearchSettings();
    // A scan of free space only took nothing from clusters in use; neither may a piece.
    const bool freeOnly = readsFreeSpaceOnly();
    std::vector<SplitHead> heads = splitHeads_;
    // Where the run that begins with a page id lies.
    std::map<std::int32_t, std::int64_t> runStarting;
    for (const FragmentRow& row : combination_.rows)
        if (row.pages() > 0) runStarting[row.startPage] = row.startSector;
    auto nextRun = [&](std::int32_t pageId) {
        auto it = runStarting.find(pageId + 1);
        return it == runStarting.end() ? std::int64_t{-1} : it->second;
    };
    // A file the volume still holds says itself where a page cut by the end of one of its runs
    // goes on: every row's last page is asked of it. Without such a file, the row ends are not
    // kept (a page's worth each: hundreds of megabytes on a large, fragmented file).
    const NtfsFileMap* files = ntfsFiles();
    if (files) rowEnds.reserve(combination_.rows.size());
    for (const FragmentRow& row : combination_.rows) {
        if (row.pages() <= 0) continue;
        const FragmentRecord& r = fragments_[static_cast<std::size_t>(row.recordIndex)];
        settings.claimed.push_back({r.fsec, r.esec});
        // The page after a run of free space that ends where a cluster in use begins (found so
        // again when the scan was opened from files): its first sectors are its own.
        if (freeOnly && !clusterInUse(r.esec)) heads.push_back({r.esec, row.endPage, 0});
        BrokenPage page;
        page.pageId = row.startPage + row.pages() - 1;
        page.firstSector = r.fsec + 16 * std::int64_t{row.pages() - 1};
        page.nextRunSector = nextRun(page.pageId);
        if (files) rowEnds.push_back(page);
        // The scan found it sound when it read it: no need to read it again to know.
        if (soundRunEndsGeneration_ == source_.generation() &&
            std::binary_search(soundRunEnds_.begin(), soundRunEnds_.end(), page.firstSector))
            continue;
        if (!readFragmentPage(pageOrigin_, r.fsec, row.pages() - 1, page.asRead)) continue;
        if (soundAsItStands(page.asRead)) continue;
        settings.clusterOrigin = page.firstSector;
        broken.push_back(page);
    }
    const std::ptrdiff_t brokenRowEnds = static_cast<std::ptrdiff_t>(broken.size());
    // Heads of split pages no row holds: the first sectors lie in free clusters, the rest is
    // looked for among the clusters no fragment claims.
    std::set<std::int32_t> headed;
    for (const SplitHead& h : heads) {
        if (combination_.holdsPage(h.pageId) || !headed.insert(h.pageId).second) continue;
        std::optional<BrokenPage> head = splitHeadPage(h);
        if (!head) continue;
        head->nextRunSector = nextRun(h.pageId);
        settings.clusterOrigin = h.sector;
        broken.push_back(*head);
    }
    SplitSearchResult found;
    // What reading the file gives wins over a form that merely holds as read.
    std::set<std::int32_t> alongFileRuns;
    if (files) {
        rowEnds.insert(rowEnds.end(), broken.begin() + brokenRowEnds, broken.end());  // the heads
        for (auto& [pageId, bytes] : pieceByFileRuns(source_, rowEnds, *files)) {
            alongFileRuns.insert(pageId);
            found.restored[pageId] = bytes;
        }
        std::erase_if(broken, [&](const BrokenPage& p) { return found.restored.count(p.pageId); });
    }
    const std::size_t toRestore = broken.size() + found.restored.size();
    if (toRestore == 0) return {};
    // From free space, a page's pieces follow each other in the order the file system hands out
    // free clusters: read there first, without a pass over the source.
    if (allocatesNextFree() && !broken.empty()) {
        found.restored.merge(pieceInAllocationOrder(source_, broken, settings));
        std::erase_if(broken, [&](const BrokenPage& p) { return found.restored.count(p.pageId); });
    }
    if (!broken.empty()) {
        claimClustersInUse(settings);
        // A second pass over the source: on a large disk it takes long enough to be shown.
        reporter_.sayStatus(said(Saying::SplitSearch));
        settings.progress = [this](int percent) {
            reporter_.setProgress(percent);
            reporter_.processEvents();
        };
        SplitSearchResult searched = searchSplitPages(source_, broken, settings);
        reporter_.setProgress(100);
        if (searched.stopped) {
            reporter_.say(Memo::Assembly, said(Saying::Stopped));
            return {};
        }
        found.restored.merge(searched.restored);
        found.ambiguous = std::move(searched.ambiguous);
        found.candidateClusters = searched.candidateClusters;
        reporter_.say(Memo::Assembly,
                      said(Saying::SplitSearchReads, searched.summedChunks, searched.readChunks));
    }
    std::vector<std::int32_t> restored;
    for (const auto& [pageId, bytes] : found.restored) {
        analysis_.restoredPages[pageId] = bytes;
        restored.push_back(pageId);
        // Restored again, a page is labelled by how it was pieced this time.
        const bool alongFile = alongFileRuns.count(pageId) > 0;
        if (alongFile)
            analysis_.followedFileRuns.insert(pageId);
        else
            analysis_.followedFileRuns.erase(pageId);
        reporter_.say(
            Memo::Assembly,
            said(alongFile ? Saying::SplitPageFollowedFile : Saying::SplitPagePieced, pageId));
    }
    for (std::int32_t pageId : found.ambiguous)
        reporter_.say(Memo::Assembly, said(Saying::SplitPageAmbiguous, pageId));
    reporter_.say(Memo::Assembly, said(Saying::SplitSearchDone, found.restored.size(), toRestore,
                                       found.candidateClusters));
    return restored;
}

bool RecoverySession::runCommand(const std::function<void()>& body) {
    if (!idle() || !listPagesReachable()) return false;
    ForegroundCommand command(*this);
    body();
    return true;
}

SearchOutcome RecoverySession::searchMore() {
    if (!idle() || !listPagesReachable()) return {};
    ForegroundCommand command(*this);
    return searchMoreNow();
}

SearchOutcome RecoverySession::searchMoreNow() {
    AssemblyContext ctx = assemblyContext();
    return mdf::searchMore(ctx);
}

MissingPageReport RecoverySession::checkMissingPages() {
    if (!idle()) return {};
    ForegroundCommand command(*this);
    return checkMissingPagesNow();
}

MissingPageReport RecoverySession::checkMissingPagesNow() {
    AssemblyContext ctx = assemblyContext();
    return mdf::checkMissingPages(ctx);
}

AssemblyOutcome RecoverySession::writeMdf(const std::string& outputPath) {
    if (!idle()) {
        AssemblyOutcome outcome;
        outcome.error = "busy";
        return outcome;
    }
    workStopRequested_ = false;
    return writeMdfNow(outputPath);
}

AssemblyOutcome RecoverySession::writeMdfNow(const std::string& outputPath) {
    AssemblyContext ctx = assemblyContext();
    // The writer lets a window handle its events, and reads pages on a thread of its own: no
    // other command may touch the pages or the combination meanwhile.
    writingMdf_ = true;
    struct Done {
        bool& flag;
        ~Done() { flag = false; }
    } done{writingMdf_};
    return mdf::writeMdf(ctx, outputPath);
}

void RecoverySession::sortCombination(int column) {
    if (!idle()) return;
    combination_.sortBy(column);
}

bool RecoverySession::filterFragments(const FilterInput& input) {
    if (!idle()) return false;
    return applyFilter(fragments_, input);
}

bool RecoverySession::addToCombination(std::span<const FragmentRow> chosen) {
    if (!idle()) return false;
    mdf::addToCombination(chosen, fragments_, analysis_, combination_);
    return true;
}

FragmentTools RecoverySession::fragmentTools() {
    return {fragments_, pageOrigin_, reporter_, volume_.sectorsPerCluster, outputGuard()};
}

void RecoverySession::saveCandidates(const std::vector<std::int32_t>& recordIndices,
                                     const std::string& folder) {
    saveCandidatesAsHex(pageOrigin_, fragments_, recordIndices, folder, reporter_, outputGuard());
}

namespace {

// Empty when the page cannot be read.
std::string firstPageDigest(PageOrigin& pages, const FragmentList& list, std::int32_t record) {
    std::array<std::uint8_t, 8192> page{};
    if (!readFragmentPage(pages, list[static_cast<std::size_t>(record)].fsec, 0, page)) return {};
    return sha256Hex(page);
}

}  // namespace

AnalysisSnapshot RecoverySession::snapshotAnalysis() {
    AnalysisSnapshot s;
    s.expectedPages = analysis_.expectedPageCount;
    s.lostFileName = analysis_.lostFileName;
    s.recorded = analysis_.recordedFragments;
    s.firstRecordedWithPfsPassOnly = analysis_.firstRecordedWithPfsPassOnly;
    s.guessed.assign(analysis_.guessedFragments.begin(), analysis_.guessedFragments.end());
    for (std::size_t i = 0; i < analysis_.combinationMarks.size(); ++i)
        if (analysis_.combinationMarks[i] == 1)
            s.combination.push_back(static_cast<std::int32_t>(i));
    s.firstRowRemark = combination_.rows.empty() ? std::string() : combination_.rows[0].remark;
    if (!s.recorded.empty())
        s.firstPageSha256 = firstPageDigest(pageOrigin_, fragments_, s.recorded[0]);
    return s;
}

bool RecoverySession::restoreAnalysis(const AnalysisSnapshot& s) {
    if (!idle()) return false;
    auto known = [&](std::int32_t r) {
        return r >= 0 && static_cast<std::size_t>(r) < fragments_.size();
    };
    for (std::int32_t r : s.combination)
        if (!known(r)) return false;
    for (std::int32_t r : s.recorded)
        if (!known(r)) return false;
    for (std::int32_t r : s.guessed)
        if (!known(r)) return false;
    if (!s.firstPageSha256.empty() && !s.recorded.empty() &&
        firstPageDigest(pageOrigin_, fragments_, s.recorded[0]) != s.firstPageSha256) {
        reporter_.showMessage(
            "error,the source no longer holds the pages this analysis was made from (the file's "
            "first page differs); open the source the scan was made of",
            "message", MessageIcon::Error);
        return false;
    }
    AnalysisResults& a = analysis_;
    a.expectedPageCount = s.expectedPages;
    a.lostFileName = s.lostFileName;
    a.combinationMarks.assign(fragments_.size(), 0);
    for (std::int32_t r : s.combination)
        a.mark(r);
    a.guessedFragments = std::set<std::int32_t>(s.guessed.begin(), s.guessed.end());
    // The map is built again the way it was built: the same fragments, in the same order.
    SilentReporter quiet;
    PageMapPass pass{a.pageMap, pageOrigin_, quiet, volume_.sectorsPerCluster, &a.unreadablePages};
    a.pageMap.reset(s.expectedPages);
    std::vector<PageOrigin::Span> spans;
    for (std::int32_t r : s.recorded)
        spans.push_back({fragments_[static_cast<std::size_t>(r)].fsec,
                         fragments_[static_cast<std::size_t>(r)].pages()});
    pageOrigin_.prefetch(std::move(spans), [this](int percent) { reporter_.setProgress(percent); });
    for (std::size_t i = 0; i < s.recorded.size(); ++i) {
        const FragmentRecord& r = fragments_[static_cast<std::size_t>(s.recorded[i])];
        pass.guessed = a.guessedFragments.count(s.recorded[i]) > 0;
        if (i == 0 && s.firstRecordedWithPfsPassOnly)
            recordPfsPages(pass, r.pages(), r.beginPage, r.fsec);
        else
            recordFragmentPages(pass, r.pages(), r.beginPage, r.fsec);
    }
    a.recordedFragments = s.recorded;
    a.firstRecordedWithPfsPassOnly = s.firstRecordedWithPfsPassOnly;
    if (!s.recorded.empty()) a.lastChosenFragment = s.recorded.back();
    combination_.refresh(fragments_, a.combinationMarks);
    sortCombination(kStartPageColumn);
    if (!s.firstRowRemark.empty() && !combination_.rows.empty())
        combination_.rows[0].remark = s.firstRowRemark;
    return true;
}

}  // namespace mdf
