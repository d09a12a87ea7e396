// analyse, search-more, check, create, export and the one-shot recover.
#include <fmt/core.h>

#include <algorithm>
#include <nlohmann/json.hpp>

#include "assembly/verdict_report.h"
#include "cli/commands.h"
#include "cli/console_reporter.h"
#include "cli/foreground_scan.h"
#include "cli/json_failure.h"
#include "cli/scan_options.h"
#include "cli/session_file.h"
#include "cli/source_options.h"
#include "cli/terminal_chooser.h"
#include "session/recovery_report.h"

namespace mdf::cli {
namespace {

// The verdict's phrases as the console's language wants them: English alone, or as the window
// shows them, each Chinese phrase with its English in brackets.
VerdictWords verdictWords() {
    return console().language == Language::Chinese ? VerdictWords::Both : VerdictWords::English;
}

std::string lower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return s;
}

// The catalogue row to recover: by number, by part of its name, or the only one there is. When
// none can be chosen, says why and gives the exit code.
std::optional<CatalogueRow> pickDatabase(const std::vector<CatalogueRow>& rows, int file,
                                         const std::string& text, ExitCode& exit,
                                         nlohmann::json* candidates = nullptr) {
    std::vector<std::size_t> matches;
    for (std::size_t i = 0; i < rows.size(); ++i) {
        const auto holds = [&](const std::string& s) {
            return lower(s).find(lower(text)) != std::string::npos;
        };
        if (file > 0 ? static_cast<int>(i) + 1 == file : holds(rows[i].name) || holds(rows[i].memo))
            matches.push_back(i);
    }
    if (matches.size() == 1) return rows[matches[0]];
    if (rows.empty()) {
        complain("no database file was found (no fragment begins with page 0)");
        exit.raise(kNothingFound);
        return std::nullopt;
    }
    const bool noneMatches = matches.empty();
    if (noneMatches)
        complain("no database file matches: choose one with --file N or --database TEXT");
    else
        complain("several database files were found: choose one with --file N or --database TEXT");
    fmt::print(stderr, "{:>4}  {:<50} {:>12} {:>14}\n", "no.", "name", "size (KB)", "first sector");
    for (std::size_t i = 0; i < rows.size(); ++i) {
        fmt::print(stderr, "{:>4}  {:<50} {:>12} {:>14}\n", i + 1, rows[i].name,
                   rows[i].shownSizeKB(), rows[i].fsec);
        if (candidates)
            candidates->push_back({{"number", i + 1},
                                   {"name", rows[i].name},
                                   {"size_kb", rows[i].shownSizeKB()},
                                   {"first_fragment_kb", rows[i].sizeKB},
                                   {"first_sector", rows[i].fsec}});
    }
    exit.raise(noneMatches ? kBadInput : kChooseOne);
    return std::nullopt;
}

// Without any file header page: the database whose remaining pages to recover, by part of its
// name, or the only one there is. Several databases' pages are never mixed into one file.
std::optional<HeadlessDatabase> pickHeadlessDatabase(RecoverySession& session,
                                                     const std::string& text, ExitCode& exit) {
    const std::vector<HeadlessDatabase> found = session.findHeadlessDatabases();
    if (found.empty()) {
        complain(
            "no database file was found (no fragment begins with page 0, and no page of one "
            "remains)");
        exit.raise(kNothingFound);
        return std::nullopt;
    }
    std::vector<std::size_t> matches;
    for (std::size_t i = 0; i < found.size(); ++i)
        if (text.empty() || lower(found[i].path).find(lower(text)) != std::string::npos)
            matches.push_back(i);
    if (matches.size() == 1 && (found.size() == 1 || !text.empty())) {
        fmt::print(stderr,
                   "the file header page (page 0) was not found; recovering {} from the "
                   "pages that remain\n",
                   found[matches[0]].path.empty() ? "the database" : found[matches[0]].path);
        return found[matches[0]];
    }
    if (found.size() == 1 && found[0].path.empty()) {
        complain(
            "no database named so was found: the file header page (page 0) is lost, and the "
            "only database whose pages remain has lost its name with its page 32; recover it "
            "without --database");
        exit.raise(kBadInput);
        return std::nullopt;
    }
    fmt::print(stderr,
               "the file header page (page 0) was not found, and pages of {} databases lie "
               "on the source; they are not mixed: choose one with --database TEXT\n",
               found.size());
    for (std::size_t i = 0; i < found.size(); ++i)
        fmt::print(stderr, "{:>4}  {}\n", i + 1, found[i].path);
    exit.raise(matches.empty() && !text.empty() ? kBadInput : kChooseOne);
    return std::nullopt;
}

bool analyseInForeground(RecoverySession& session, const CatalogueRow& row,
                         NextFragmentChooser* chooser) {
    if (session.startAnalysis(row, chooser) != StartResult::Started) return false;
    session.waitForJobs();
    return session.lastAnalysisCompleted();
}

struct AnalyseCommand {
    std::string scanInfo, content, sessionPath = "mdfrecover-session.json";
    SourceOptions source;
    int file = 0;
    std::string database;
    bool manual = false;
    bool force = false;
    bool json = false;
};

void analyseCommand(const AnalyseCommand& o, ExitCode& exit) {
    JsonOnFailure failure{o.json, exit};
    ConsoleReporter reporter(!o.manual && !o.json);
    if (o.json) reporter.logToStderr(true);
    RecoverySession session(reporter);
    OutputGuard guard = o.source.guard();
    guard.keep(o.scanInfo, "the scan-info file this command reads")
        .keep(o.content, "the content file this command reads");
    // A session file is rewritten by every analysis: no --force needed for one, but a file that
    // is no session file is kept as any other output is.
    std::string ignored;
    const bool replacesSession = SessionFile::load(o.sessionPath, ignored).has_value();
    if (!outputsAllowed({o.sessionPath}, guard, o.force || replacesSession))
        return exit.raise(kBadInput);
    session.keepFile(o.scanInfo, "the scan-info file this command reads");
    session.keepFile(o.content, "the content file this command reads");
    if (int code = kBadInput; !openScanAndSource(session, o.scanInfo, o.content, o.source, &code))
        return exit.raise(code);
    auto rows = session.listDatabaseFiles();
    auto row = pickDatabase(rows, o.file, o.database, exit, &failure.candidates);
    if (!row) return;
    TerminalChooser chooser(session.fragments(), session.index(), stdin, &session.pages());
    const bool completed = analyseInForeground(session, *row, o.manual ? &chooser : nullptr);
    reporter.finishProgress();
    if (o.json) {
        nlohmann::json rows = nlohmann::json::array();
        for (const auto& r : session.combination().rows)
            rows.push_back({{"fragment", r.recordIndex + 1},
                            {"size_kb", r.sizeKB},
                            {"first_page", r.startPage},
                            {"end_page", r.endPage},
                            {"first_sector", r.startSector}});
        failure.resultPrinted = true;
        fmt::print("{}\n", nlohmann::json{{"status", completed ? "complete" : "partial"},
                                          {"database_name", session.analysis().lostFileName},
                                          {"expected_pages", session.analysis().expectedPageCount},
                                          {"combination", rows},
                                          {"session", o.sessionPath}}
                               .dump(2, ' ', false, nlohmann::json::error_handler_t::replace));
    } else {
        fmt::print("combination ({} fragments):\n", session.combination().rows.size());
    }
    for (const auto& r : o.json ? std::vector<FragmentRow>{} : session.combination().rows)
        fmt::print("  {:>6} {:>10} KB  pages {:>8} .. {:<8}  sector {}\n", r.recordIndex + 1,
                   r.sizeKB, r.startPage, r.endPage, r.startSector);
    SessionFile saved;
    saved.scanInfo = o.scanInfo;
    saved.content = o.content;
    saved.source = o.source.path;
    saved.partition = o.source.partition;
    saved.mapFile = o.source.mapFile;
    saved.fileId = session.scanFileId();
    saved.file = static_cast<int>(std::find_if(rows.begin(), rows.end(),
                                               [&](const auto& r) { return r.fsec == row->fsec; }) -
                                  rows.begin()) +
                 1;
    saved.madeFrom = madeFromOf(o.scanInfo, o.source.path, session);
    saved.capture(session);
    if (std::string error = saved.save(o.sessionPath, guard); !error.empty()) {
        complain("{}", error);
        return exit.raise(kIoError);
    }
    if (!completed) exit.raise(kPartial);
}

std::optional<SessionFile> loadSession(const std::string& path, RecoverySession& session,
                                       ExitCode& exit) {
    std::string error;
    auto saved = SessionFile::load(path, error);
    if (!saved || !saved->restore(session)) {
        if (error.empty())
            complain("cannot restore the session from {}", path);
        else
            complain("{}", error);
        exit.raise(kBadInput);
        return std::nullopt;
    }
    return saved;
}

struct SessionCommand {
    std::string sessionPath = "mdfrecover-session.json";
    std::string output;
    bool allowSourceDevice = false;
    bool force = false;
    bool json = false;
};

void searchMoreCommand(const SessionCommand& o, ExitCode& exit) {
    ConsoleReporter reporter;
    RecoverySession session(reporter);
    auto saved = loadSession(o.sessionPath, session, exit);
    if (!saved) return;
    if (!session.searchMore().completed) exit.raise(kPartial);
    saved->capture(session);
    if (std::string error = saved->save(o.sessionPath, saved->guard()); !error.empty()) {
        complain("{}", error);
        exit.raise(kIoError);
    }
}

void checkCommand(const SessionCommand& o, ExitCode& exit) {
    ConsoleReporter reporter;
    RecoverySession session(reporter);
    if (!loadSession(o.sessionPath, session, exit)) return;
    const MissingPageReport missing = session.checkMissingPages();
    if (!missing.completed)
        exit.raise(kBadInput);
    else if (!missing.pages.empty() || !missing.pfsPages.empty())
        exit.raise(kPartial);
}

// The summary of a recovery, as JSON or as the lines a person reads; the exit code follows the
// verdict on the file as written.
int printSummary(const RecoverySession& session, const RecoveryResult& result,
                 const std::string& output, bool json, bool headless = false) {
    nlohmann::json summary = recoveryJson(session, result, output);
    summary["file_header_missing"] = headless;
    if (json) {
        fmt::print("{}\n", summary.dump(2, ' ', false, nlohmann::json::error_handler_t::replace));
    } else {
        for (const std::string& line : recoveryLines(session, result, output, verdictWords()))
            fmt::print("{}\n", line);
    }
    return summary["status"] == "complete" ? kComplete : kPartial;
}

void createCommand(const SessionCommand& o, ExitCode& exit) {
    ConsoleReporter reporter(false);
    if (o.json) reporter.logToStderr(true);
    RecoverySession session(reporter);
    std::string error;
    auto saved = SessionFile::load(o.sessionPath, error);
    OutputGuard guard = saved ? saved->guard(o.allowSourceDevice) : OutputGuard{};
    guard.keep(o.sessionPath, "the session file this command reads");
    if (!outputsAllowed({o.output}, guard, o.force)) return exit.raise(kBadInput);
    session.allowWritingOnSourceDevice(o.allowSourceDevice);
    session.keepFile(o.sessionPath, "the session file this command reads");
    if (saved) session.keepFile(saved->madeFrom, "the source the saved scan was made of");
    if (!loadSession(o.sessionPath, session, exit)) return;
    StopOnInterrupt interrupts(session);
    const RecoveryResult result = session.completeRecovery(o.output);
    if (result.written.stopped) {
        complain("stopped: nothing was written; the same command goes on from the saved analysis");
        return exit.raise(kInterrupted);
    }
    if (!result.written.written) return exit.raise(kIoError);
    exit.raise(printSummary(session, result, o.output, o.json));
}

struct VerifyCommand {
    std::string path;
    bool json = false;
};

// Any .mdf file judged as a database, read only: what a technician runs before attaching one.
void verifyCommand(const VerifyCommand& o, ExitCode& exit) {
    std::string error;
    ConsoleReporter reporter;
    const std::optional<Verdict> verdict =
        verifyMdfFile(o.path, error, [&](int percent) { reporter.setProgress(percent); });
    reporter.finishProgress();
    if (!verdict) {
        complain("{}", error);
        return exit.raise(kIoError);
    }
    if (!error.empty()) note("{}", error);
    if (o.json) {
        fmt::print("{}\n",
                   nlohmann::json{{"file", o.path}, {"verdict", verdictJson(*verdict)}}.dump(
                       2, ' ', false, nlohmann::json::error_handler_t::replace));
    } else {
        for (const std::string& line : verdictLines(*verdict, verdictWords()))
            fmt::print("{}\n", line);
    }
    exit.raise(verdict->complete ? kComplete : kPartial);
}

struct ExportCommand {
    std::string scanInfo, content;
    SourceOptions source;
    std::vector<int> rows;
    bool all = false;
    std::string single, folder;
    bool checkDouble = false;
    bool force = false;
};

void exportCommand(const ExportCommand& o, ExitCode& exit) {
    ConsoleReporter reporter(false);
    RecoverySession session(reporter);
    OutputGuard guard = o.source.guard();
    guard.keep(o.scanInfo, "the scan-info file this command reads")
        .keep(o.content, "the content file this command reads");
    if (!outputsAllowed({o.single}, guard, o.force)) return exit.raise(kBadInput);
    session.keepFile(o.scanInfo, "the scan-info file this command reads");
    session.keepFile(o.content, "the content file this command reads");
    if (!o.folder.empty()) {
        // The folder is made only where an output may go: where its nearest existing parent is.
        std::filesystem::path existing = std::filesystem::absolute(o.folder);
        while (!std::filesystem::exists(existing) && existing.has_parent_path() &&
               existing.parent_path() != existing)
            existing = existing.parent_path();
        if (std::string why = guard.refusal((existing / "-").string()); !why.empty()) {
            complain("{}", why);
            return exit.raise(kBadInput);
        }
        std::error_code ec;
        std::filesystem::create_directories(o.folder, ec);
        if (ec) {
            complain("cannot create the folder {}: {}", o.folder, ec.message());
            return exit.raise(kIoError);
        }
    }
    if (int code = kBadInput; !openScanAndSource(session, o.scanInfo, o.content, o.source, &code))
        return exit.raise(code);
    const std::vector<FragmentRow> rows = visibleRows(session.fragments());
    std::vector<bool> wanted(rows.size(), o.all);
    for (int r : o.rows) {
        if (r < 1 || static_cast<std::size_t>(r) > rows.size()) {
            complain("the fragment list has no row {} (rows 1 to {})", r, rows.size());
            return exit.raise(kBadInput);
        }
        wanted[static_cast<std::size_t>(r - 1)] = true;
    }
    // Rows go out in the list's order, whatever order they were named in.
    std::vector<FragmentRow> chosen;
    for (std::size_t i = 0; i < rows.size(); ++i)
        if (wanted[i]) chosen.push_back(rows[i]);
    FragmentTools tools = session.fragmentTools();
    const ExportOutcome outcome = o.single.empty()
                                      ? tools.exportToFolder(chosen, o.folder)
                                      : tools.exportToOneFile(chosen, o.checkDouble, o.single);
    if (!outcome.written) return exit.raise(chosen.empty() ? kBadInput : kIoError);
    if (!outcome.unreadablePages.empty()) {
        complain("{} pages could not be read and were exported as zeros",
                 outcome.unreadablePages.size());
        exit.raise(kPartial);
    }
}

struct RecoverCommand {
    SourceOptions source;
    ScanOptions scan;
    int file = 0;
    std::string database;
    std::string output;
    std::string scanInfo;
    std::string content;
    std::string resume;
    double checkpointSeconds = 10;
    bool noSaveScan = false;
    bool json = false;
    bool allowSourceDevice = false;
    bool force = false;
};

// Where recover keeps its scan: beside the output unless told otherwise, so that a stopped or
// failed run never has to scan again, and the scan can be looked at with files and fragments.
KeptScan keptScanOf(const RecoverCommand& o, const std::optional<ResumeFile>& resume) {
    KeptScan kept;
    if (resume) {
        kept.scanInfo = o.resume;
        kept.content = resume->content;
    } else if (!o.noSaveScan) {
        kept.scanInfo = o.scanInfo.empty() ? o.output + ".scan.info" : o.scanInfo;
        kept.content = o.content.empty() ? o.output + ".scan.content" : o.content;
    }
    // Word for word, the command goes on with the same database: every option that chose it.
    kept.goOn =
        "mdfrecover recover --resume " + shellWord(kept.scanInfo) + " -o " + shellWord(o.output);
    if (o.file > 0) kept.goOn += " --file " + std::to_string(o.file);
    if (!o.database.empty()) kept.goOn += " --database " + shellWord(o.database);
    if (o.force) kept.goOn += " --force";
    kept.contentMustBeWhole = false;
    return kept;
}

// Stopped after the scan: nothing is written, and a kept scan spares scanning again.
void stoppedAfterScan(const KeptScan& kept, bool scanKept, ExitCode& exit) {
    if (kept.scanInfo.empty() || !scanKept) {
        complain("stopped: nothing was written, and the scan was not kept");
    } else {
        lastResumeCommand() = kept.goOn;
        complain("stopped: nothing was written; the scan is kept in {}. To go on from there: {}",
                 kept.scanInfo, kept.goOn);
    }
    exit.raise(kInterrupted);
}

void recoverCommand(RecoverCommand o, ExitCode& exit) {
    JsonOnFailure failure{o.json, exit};
    ConsoleReporter reporter(!o.json);
    if (o.json) reporter.logToStderr(true);
    reporter.holdConfirmations(true);
    RecoverySession session(reporter);
    std::optional<ResumeFile> resume;
    if (!o.resume.empty()) {
        if (!(resume = loadResume(o.resume, o.scan, o.source, exit))) return;
    } else if (o.source.path.empty()) {
        complain("recover needs a SOURCE (or --resume SCANINFO)");
        return exit.raise(kBadInput);
    }
    const KeptScan kept = keptScanOf(o, resume);
    // Every output is checked before the first sector is read: a typo found after hours of
    // scanning would throw the scan away. The files of a scan being continued are the ones it
    // rewrites, so they need no --force.
    const OutputGuard guard = o.source.guard(o.allowSourceDevice);
    if (!outputsAllowed({o.output}, guard, o.force) ||
        !outputsAllowed({kept.scanInfo, kept.content}, guard, o.force || resume) ||
        !keptSumsAllowed(kept.sums(), guard, o.force) ||
        !outputsDistinct(
            {{o.output, "the MDF file"},
             {kept.scanInfo, "the scan-info file"},
             {kept.content, "the content file"},
             {kept.scanInfo.empty() ? "" : ResumeFile::pathFor(kept.scanInfo), "the resume file"},
             {kept.sums(), "the sector sums"}}))
        return exit.raise(kBadInput);
    session.allowWritingOnSourceDevice(o.allowSourceDevice);
    if (int code = kIoError; !o.source.choose(session, &code)) return exit.raise(code);
    if (resume ? !resume->restore(session, o.resume) : !o.scan.applyTo(session))
        return exit.raise(kBadInput);
    const ResumeFile next = prepareResume(
        session, o.source, resume ? resume->directIo : o.scan.directIo, kept, o.checkpointSeconds);
    spoolKeptContent(session, kept, resume.has_value());
    StopOnInterrupt interrupts(session);
    const ScanOutcome scanned = runScanInForeground(session, reporter);
    // A scan that could not be kept (a full disk) is said so and raises the exit code; the
    // recovery itself still goes on, as the fragments are in memory.
    const bool scanKept = keepScan(session, scanned, kept, next, exit);
    if (scanned != ScanOutcome::Finished) return;
    // Ctrl-C while the scan was being kept: the analysis does not begin.
    if (StopOnInterrupt::interrupted()) return stoppedAfterScan(kept, scanKept, exit);

    const std::vector<CatalogueRow> rows = session.listDatabaseFiles();
    const bool headless = rows.empty();
    if (headless) {
        auto database = pickHeadlessDatabase(session, o.database, exit);
        if (!database) return;
        if (!session.analyseHeadless(*database)) {
            if (StopOnInterrupt::interrupted()) return stoppedAfterScan(kept, scanKept, exit);
            complain("the analysis ended early; nothing was written");
            return exit.raise(kPartial);
        }
    } else {
        auto row = pickDatabase(rows, o.file, o.database, exit, &failure.candidates);
        if (!row) {
            if (!kept.scanInfo.empty() && (exit.value == kBadInput || exit.value == kChooseOne)) {
                lastResumeCommand() = kept.goOn + " --file N";
                note("the scan is kept: add --resume {} to choose without scanning again",
                     kept.scanInfo);
            }
            return;
        }
        if (!analyseInForeground(session, *row, nullptr)) {
            if (StopOnInterrupt::interrupted()) return stoppedAfterScan(kept, scanKept, exit);
            complain("the analysis ended early; nothing was written");
            return exit.raise(session.analysis().expectedPageCount > 0 ? kPartial : kNothingFound);
        }
    }
    // Ctrl-C between the analysis and the recovery's own start is not lost.
    if (StopOnInterrupt::interrupted()) return stoppedAfterScan(kept, scanKept, exit);
    const RecoveryResult result = session.completeRecovery(o.output);
    if (result.written.stopped) return stoppedAfterScan(kept, scanKept, exit);
    if (!result.written.written) return exit.raise(kIoError);
    const int verdict = printSummary(session, result, o.output, o.json, headless);
    failure.resultPrinted = true;
    if (headless && !o.json)
        fmt::print(
            "{}the file header page, page 0, was not found: it is written as zeros, and "
            "the file's size is taken from the pages found ({} pages)\n",
            console().language == Language::Chinese ? "文件头页丢失: " : "",
            session.analysis().expectedPageCount);
    exit.raise(verdict);
}

void addPickOptions(CLI::App& c, int& file, std::string& database) {
    auto* f = c.add_option("--file", file, "Catalogue number of the database file (see `files`)");
    c.add_option("--database", database, "Part of the database file's name, any case")->excludes(f);
}

}  // namespace

void addRecoveryCommands(CLI::App& app, ExitCode& exit) {
    auto a = std::make_shared<AnalyseCommand>();
    auto* analyse =
        app.add_subcommand("analyse", "Work out which fragments make up a database file");
    analyse->add_option("SCANINFO", a->scanInfo, "Scan-info file")->required();
    analyse->add_option("--content", a->content, "Its content file (pages are then read from it)");
    analyse->add_option("--source", a->source.path, "The source the scan was made of");
    analyse
        ->add_option_function<int>(
            "--partition", [a](const int& n) { a->source.partition = n; },
            "The source is a partition (or --partition=N of its table)")
        ->expected(0, 1)
        ->default_str("0");
    analyse->add_option("--mapfile", a->source.mapFile, "As for scan");
    addPickOptions(*analyse, a->file, a->database);
    analyse->add_flag("--manual", a->manual, "Ask on the terminal when several fragments fit");
    analyse->add_flag("--force", a->force,
                      "Replace the --session file even when it is no session file");
    analyse->add_option("--session", a->sessionPath,
                        "Where to keep the result for search-more, check, create");
    analyse->add_flag("--json", a->json,
                      "Print the combination as JSON on stdout (the log goes to stderr)");
    analyse->callback([a, &exit] { analyseCommand(*a, exit); });

    auto more = std::make_shared<SessionCommand>();
    auto* searchMore = app.add_subcommand(
        "search-more", "Fill the gaps of the combination with further fragments");
    searchMore->add_option("--session", more->sessionPath, "Session file written by analyse");
    searchMore->callback([more, &exit] { searchMoreCommand(*more, exit); });

    auto chk = std::make_shared<SessionCommand>();
    auto* check = app.add_subcommand("check", "List the pages the combination still lacks");
    check->add_option("--session", chk->sessionPath, "Session file written by analyse");
    check->callback([chk, &exit] { checkCommand(*chk, exit); });

    auto c = std::make_shared<SessionCommand>();
    auto* create = app.add_subcommand("create", "Write the MDF file from the combination");
    create->add_option("--session", c->sessionPath, "Session file written by analyse");
    create->add_option("-o,--output", c->output, "The MDF file to write")->required();
    create->add_flag("--allow-source-device", c->allowSourceDevice,
                     "Write even onto the device being recovered");
    create->add_flag("--force", c->force, "Replace the output file if it exists");
    create->add_flag("--json", c->json, "Print a JSON summary on stdout");
    create->callback([c, &exit] { createCommand(*c, exit); });

    auto v = std::make_shared<VerifyCommand>();
    auto* verify = app.add_subcommand(
        "verify", "Judge a database file as a database, page by page (read only)");
    verify->add_option("FILE", v->path, "The .mdf file")->required();
    verify->add_flag("--json", v->json, "Print the verdict as JSON on stdout");
    verify->callback([v, &exit] { verifyCommand(*v, exit); });
    verify->footer(R"(Each page is judged by its own checksum or torn bits, its id and file id, the
structure of its header and slot array, and the file's own allocation pages (PFS, IAM): every
allocated page must be there, of the allocation unit that claims it, its links agreeing.

Exit status: 0 the file is whole, 1 pages are missing or wrong (listed), 4 it cannot be read.)");

    auto e = std::make_shared<ExportCommand>();
    auto* exp =
        app.add_subcommand("export", "Write fragments' pages to one file or one .hex file each");
    exp->add_option("SCANINFO", e->scanInfo, "Scan-info file")->required();
    exp->add_option("--content", e->content, "Its content file");
    exp->add_option("--source", e->source.path, "The source the scan was made of");
    exp->add_option_function<int>(
           "--partition", [e](const int& n) { e->source.partition = n; }, "As for scan")
        ->expected(0, 1)
        ->default_str("0");
    exp->add_option("--mapfile", e->source.mapFile, "As for scan");
    exp->add_option("--rows", e->rows, "Rows of the fragment list (from 1)")->delimiter(',');
    exp->add_flag("--all", e->all, "Every row");
    auto* single = exp->add_option("--single", e->single,
                                   "One file of all the pages, gaps filled with zero pages");
    auto* folder = exp->add_option("--folder", e->folder,
                                   "One FIRSTSECTOR.hex file per fragment in this folder")
                       ->excludes(single);
    single->excludes(folder);
    exp->add_flag("--check-double", e->checkDouble, "With --single: refuse fragments that overlap");
    exp->add_flag("--force", e->force, "Replace the --single file if it exists");
    exp->callback([e, &exit] {
        if (e->single.empty() && e->folder.empty()) {
            complain("export needs --single FILE or --folder DIR");
            return exit.raise(kBadInput);
        }
        exportCommand(*e, exit);
    });

    auto r = std::make_shared<RecoverCommand>();
    auto* recover =
        app.add_subcommand("recover", "Scan, analyse, search more, check and create in one go");
    r->source.addTo(*recover, false);
    r->scan.addTo(*recover);
    addPickOptions(*recover, r->file, r->database);
    recover->add_option("-o,--output", r->output, "The MDF file to write")->required();
    auto* saveScan = recover->add_option(
        "--save-scan", r->scanInfo, "Where to keep the scan-info file (default: OUTPUT.scan.info)");
    auto* saveContent =
        recover->add_option("--save-content", r->content,
                            "Where to keep the content file (default: OUTPUT.scan.content)");
    recover
        ->add_flag("--no-save-scan", r->noSaveScan,
                   "Keep neither file (a stopped run then cannot be resumed)")
        ->excludes(saveScan)
        ->excludes(saveContent);
    recover->add_option("--resume", r->resume,
                        "Go on with the scan of a run that stopped early, kept in this scan-info "
                        "file, from where it stood; then analyse and create as usual");
    addCheckpointOption(*recover, r->checkpointSeconds);
    recover->add_flag("--json", r->json, "Print a JSON summary on stdout (the log goes to stderr)");
    recover->add_flag("--allow-source-device", r->allowSourceDevice,
                      "Write even onto the device being recovered");
    recover->add_flag("--force", r->force, "Replace output files that exist");
    recover->callback([r, &exit] { recoverCommand(*r, exit); });
    recover->footer(R"(Examples:
  mdfrecover recover disk.img --partition=1 --free-space-only -o /mnt/other/Sales.mdf
  mdfrecover recover /dev/sdb1 --partition -o Sales.mdf --json > summary.json
  mdfrecover recover raw.img --database sales -o Sales.mdf --save-scan raw.info
  mdfrecover recover --resume Sales.mdf.scan.info -o Sales.mdf

The scan is kept beside the output (OUTPUT.scan.info and OUTPUT.scan.content) unless
--save-scan/--save-content point elsewhere or --no-save-scan is given; existing files are kept
unless --force. Ctrl-C, or a read failure that ends the scan, also saves where the scan stood
(SCANINFO.resume); --resume goes on from there.

Exit status: 0 complete, 1 partial (the file is written; the summary names what is missing),
2 nothing found, 3 bad usage or input, 4 I/O error, 5 several databases (choose one with --file
or --database; add --resume to skip the scan), 130 interrupted.)");
}

}  // namespace mdf::cli
