#include "cli/foreground_scan.h"

#include <csignal>
#include <filesystem>
#include <random>
#include <thread>

#include "cli/scan_gauge.h"

namespace mdf::cli {
namespace {

std::atomic<RecoverySession*> interruptedSession{nullptr};
std::atomic<bool> interruptSeen{false};

// Only atomic stores, signal and raise happen here, which is safe inside a signal handler. A
// second Ctrl-C ends the program at once, as if none had been caught: a person who insists is
// not kept waiting for a step that cannot stop midway.
extern "C" void stopOnInterrupt(int) {
    if (interruptSeen.exchange(true)) {
        std::signal(SIGINT, SIG_DFL);
        std::raise(SIGINT);
        return;
    }
    if (auto* session = interruptedSession.load()) session->requestStop();
}

// The sector the scan ends before: the end setting, cut at the source's end as the scan cuts it.
std::int64_t scanEnd(const RecoverySession& session) {
    const std::int64_t end = session.settings().endSector;
    const std::int64_t sourceEnd = session.sourceEndSector();
    return sourceEnd > 0 && end > sourceEnd ? sourceEnd : end;
}

void drawWhileRunning(RecoverySession& session, ConsoleReporter& reporter) {
    if (!reporter.drawsProgress()) return;
    ScanGauge gauge(scanEnd(session));
    while (session.busy()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(250));
        reporter.showProgressLine(gauge.line(session.scanReached(), session.fragments().sizeNow(),
                                             ScanGauge::Clock::now()));
    }
}

}  // namespace

StopOnInterrupt::StopOnInterrupt(RecoverySession& session)
    : previousSession_(interruptedSession.exchange(&session)) {
    if (!previousSession_) interruptSeen = false;
    previousHandler_ = std::signal(SIGINT, stopOnInterrupt);
}

StopOnInterrupt::~StopOnInterrupt() {
    std::signal(SIGINT, previousHandler_);
    interruptedSession = previousSession_;
}

bool StopOnInterrupt::interrupted() {
    return interruptSeen;
}

ScanOutcome runScanInForeground(RecoverySession& session, ConsoleReporter& reporter) {
    StopOnInterrupt interrupts(session);
    session.takeFileId();
    const bool started = session.startScan() == StartResult::Started;
    if (started) drawWhileRunning(session, reporter);
    session.waitForJobs();
    reporter.finishProgress();
    return started ? session.lastScanOutcome() : ScanOutcome::Failed;
}

std::optional<ResumeFile> loadResume(const std::string& scanInfo, const ScanOptions& given,
                                     SourceOptions& source, ExitCode& exit) {
    if (given.anyGiven()) {
        complain(
            "--resume goes on with the settings the scan began with; leave out --start, "
            "--end, --stride, --file-id, --free-space-only, --max-start-page and "
            "--direct-io");
        exit.raise(kBadInput);
        return std::nullopt;
    }
    std::string error;
    auto resume = ResumeFile::load(ResumeFile::pathFor(scanInfo), error);
    if (!resume) {
        complain("{}", error);
        exit.raise(kBadInput);
        return std::nullopt;
    }
    if (!resume->ownsContent(scanInfo)) {
        exit.raise(kBadInput);
        return std::nullopt;
    }
    resume->fillIn(source);
    return resume;
}

void addCheckpointOption(CLI::App& command, double& seconds) {
    command
        .add_option("--checkpoint", seconds,
                    "How often (in seconds) a running scan keeps its position and fragments in "
                    "SCANINFO.resume, so that even a killed run can go on with --resume")
        ->check(CLI::Range(0.05, 86400.0))
        ->default_str("10");
}

bool keptSumsAllowed(const std::string& sums, const OutputGuard& guard, bool force) {
    return sums.empty() || outputsAllowed({sums}, guard, force || SectorSums::isKeptFile(sums));
}

ResumeFile prepareResume(RecoverySession& session, const SourceOptions& source, bool directIo,
                         const KeptScan& kept, double checkpointSeconds) {
    ResumeFile next;
    next.source = source;
    next.directIo = directIo;
    next.content = kept.content;
    next.fingerprint = session.sourceFingerprint();
    next.firstPageSha256 = session.sourceFirstPageSha256();
    if (kept.scanInfo.empty()) return next;
    session.keepSectorSumsAt(ResumeFile::sumsPathFor(kept.scanInfo));
    const std::string path = ResumeFile::pathFor(kept.scanInfo);
    const OutputGuard guard = session.outputGuard();
    auto warned = std::make_shared<bool>(false);
    session.checkpointScans(
        [&session, next, path, guard, warned] {
            ResumeFile at = next;
            at.capture(session);
            // A checkpoint that cannot be written costs only the checkpoint: the scan goes on.
            if (std::string error = at.save(path, guard); !error.empty() && !*warned) {
                *warned = true;
                note("the scan's position cannot be kept while it runs: {}", error);
            }
        },
        std::chrono::duration_cast<std::chrono::steady_clock::duration>(
            std::chrono::duration<double>(checkpointSeconds)));
    return next;
}

void spoolKeptContent(RecoverySession& session, const KeptScan& kept, bool resuming) {
    if (!resuming && !kept.scanInfo.empty() && !kept.content.empty())
        session.spoolContentOfNextScan(kept.content, kept.seed);
}

bool keepScan(RecoverySession& session, ScanOutcome outcome, const KeptScan& kept,
              ResumeFile resume, ExitCode& exit) {
    // A content file the scan wrote as it read goes away unsaved when the scan is not kept.
    struct DropSpool {
        RecoverySession& session;
        ~DropSpool() { session.dropContentSpool(); }
    } dropSpool{session};
    const bool finished = outcome == ScanOutcome::Finished;
    if (outcome == ScanOutcome::Stopped) exit.raise(kInterrupted);
    if (outcome == ScanOutcome::Failed) exit.raise(kIoError);
    if (!finished) session.indexFragments();
    const ScanPosition position = session.scanPosition();
    // A scan that failed before it read anything (its settings, the free-space map) found
    // nothing and stood nowhere.
    if (outcome == ScanOutcome::Failed && position.cursor < 0) return false;
    if (kept.scanInfo.empty()) {
        if (!finished) note("the scan was not kept, so it cannot be resumed");
        return finished;
    }
    const std::uint32_t seed = kept.seed;
    if (!session.saveScan(kept.scanInfo, std::nullopt, seed)) {
        exit.raise(kIoError);
        return false;
    }
    // A finished scan keeps its position too: --resume then reads nothing more and hands its
    // fragments on, which spares a whole scan when only the choice of database was missing.
    bool saved = true;
    resume.content = kept.content;
    resume.capture(session);
    if (std::string error = resume.save(ResumeFile::pathFor(kept.scanInfo), session.outputGuard());
        !error.empty()) {
        complain("{}", error);
        exit.raise(kIoError);
        saved = false;
    } else if (!finished) {
        lastResumeCommand() = kept.goOn;
        lastComplaint() = say(
            "the scan {} at sector {} of {}; {} fragments are kept in {}. To go on from there: {}",
            outcome == ScanOutcome::Stopped ? "stopped" : "ended by a read failure",
            position.cursor, scanEnd(session), session.fragments().size(), kept.scanInfo,
            kept.goOn);
        note("{}", lastComplaint());
    }
    // The content comes last: it reads every fragment again, which on a failing source may not
    // succeed, and the position must be kept all the same.
    if (!kept.content.empty() && !session.saveScan(std::nullopt, kept.content, seed)) {
        const bool writtenWithZeros = session.contentUnreadable() > 0;
        if (kept.contentMustBeWhole || !writtenWithZeros) {
            exit.raise(kIoError);
            return false;
        }
    }
    return finished && saved;
}

}  // namespace mdf::cli
