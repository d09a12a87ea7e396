// analyse, search-more, check, create, export and the one-shot recover.
#include <fmt/core.h>

#include <algorithm>
#include <nlohmann/json.hpp>
#include <random>

#include "assembly/sha256.h"
#include "cli/commands.h"
#include "cli/console_reporter.h"
#include "cli/scan_options.h"
#include "cli/session_file.h"
#include "cli/source_options.h"
#include "cli/terminal_chooser.h"

namespace mdf::cli {
namespace {

std::string lower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return s;
}

// The catalogue row to recover: by number, by part of its name, or the only one there is.
std::optional<CatalogueRow> pickDatabase(const std::vector<CatalogueRow>& rows, int file,
                                         const std::string& text) {
    std::vector<std::size_t> matches;
    for (std::size_t i = 0; i < rows.size(); ++i) {
        if (file > 0 ? static_cast<int>(i) + 1 == file
                     : lower(rows[i].name).find(lower(text)) != std::string::npos)
            matches.push_back(i);
    }
    if (matches.size() == 1) return rows[matches[0]];
    if (rows.empty()) {
        fmt::print(stderr, "no database file was found (no fragment begins with page 0)\n");
    } else {
        fmt::print(
            stderr, "{}: choose one with --file N or --database TEXT\n",
            matches.empty() ? "no database file matches" : "several database files were found");
        fmt::print(stderr, "{:>4}  {:<50} {:>12} {:>14}\n", "no.", "name", "size (KB)",
                   "first sector");
        for (std::size_t i = 0; i < rows.size(); ++i)
            fmt::print(stderr, "{:>4}  {:<50} {:>12} {:>14}\n", i + 1, rows[i].name, rows[i].sizeKB,
                       rows[i].fsec);
    }
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
};

void analyseCommand(const AnalyseCommand& o, ExitCode& exit) {
    ConsoleReporter reporter(false);
    RecoverySession session(reporter);
    if (!openScanAndSource(session, o.scanInfo, o.content, o.source.path, o.source.partition)) {
        exit.value = 2;
        return;
    }
    auto rows = session.listDatabaseFiles();
    auto row = pickDatabase(rows, o.file, o.database);
    if (!row) {
        exit.value = 2;
        return;
    }
    TerminalChooser chooser(session.fragments(), session.index());
    const bool completed = analyseInForeground(session, *row, o.manual ? &chooser : nullptr);
    fmt::print("combination ({} fragments):\n", session.combination().rows.size());
    for (const auto& r : session.combination().rows)
        fmt::print("  {:>6} {:>10} KB  pages {:>8} .. {:<8}  sector {}\n", r.caption, r.sizeKB,
                   r.startPage, r.endPage, r.startSector);
    SessionFile saved;
    saved.scanInfo = o.scanInfo;
    saved.content = o.content;
    saved.source = o.source.path;
    saved.partition = o.source.partition;
    saved.fileId = session.scanFileId();
    saved.file = static_cast<int>(std::find_if(rows.begin(), rows.end(),
                                               [&](const auto& r) { return r.fsec == row->fsec; }) -
                                  rows.begin()) +
                 1;
    saved.capture(session);
    if (!saved.save(o.sessionPath)) fmt::print(stderr, "cannot write {}\n", o.sessionPath);
    exit.value = completed ? 0 : 1;
}

std::optional<SessionFile> loadSession(const std::string& path, RecoverySession& session,
                                       ExitCode& exit) {
    std::string error;
    auto saved = SessionFile::load(path, error);
    if (!saved || !saved->restore(session)) {
        fmt::print(stderr, "{}\n",
                   error.empty() ? "cannot restore the session from " + path : error);
        exit.value = 2;
        return std::nullopt;
    }
    return saved;
}

struct SessionCommand {
    std::string sessionPath = "mdfrecover-session.json";
    std::string output;
    bool allowSourceDevice = false;
};

void searchMoreCommand(const SessionCommand& o, ExitCode& exit) {
    ConsoleReporter reporter(false);
    RecoverySession session(reporter);
    auto saved = loadSession(o.sessionPath, session, exit);
    if (!saved) return;
    if (!session.searchMore().completed) exit.value = 1;
    saved->capture(session);
    saved->save(o.sessionPath);
}

void checkCommand(const SessionCommand& o, ExitCode& exit) {
    ConsoleReporter reporter(false);
    RecoverySession session(reporter);
    if (loadSession(o.sessionPath, session, exit)) session.checkMissingPages();
}

void createCommand(const SessionCommand& o, ExitCode& exit) {
    ConsoleReporter reporter(false);
    RecoverySession session(reporter);
    if (!loadSession(o.sessionPath, session, exit)) return;
    AssemblyOutcome outcome = session.writeMdf(o.output, o.allowSourceDevice);
    exit.value = outcome.written ? 0 : 1;
}

struct ExportCommand {
    std::string scanInfo, content;
    SourceOptions source;
    std::vector<int> rows;
    bool all = false;
    std::string single, folder;
    bool checkDouble = false;
};

void exportCommand(const ExportCommand& o, ExitCode& exit) {
    ConsoleReporter reporter(false);
    RecoverySession session(reporter);
    if (!openScanAndSource(session, o.scanInfo, o.content, o.source.path, o.source.partition)) {
        exit.value = 2;
        return;
    }
    FragmentListView view;
    view.fill(session.fragments());
    if (o.all) view.checkAll();
    for (int r : o.rows)
        if (r >= 1 && static_cast<std::size_t>(r) <= view.rows.size())
            view.checked[static_cast<std::size_t>(r - 1)] = true;
    FragmentTools tools = session.fragmentTools();
    const bool ok = o.single.empty() ? tools.exportToFolder(view, o.folder)
                                     : tools.exportToOneFile(view, o.checkDouble, o.single);
    exit.value = ok ? 0 : 1;
}

struct RecoverCommand {
    SourceOptions source;
    ScanOptions scan;
    int file = 0;
    std::string database;
    std::string output;
    std::string scanInfo;
    bool json = false;
    bool allowSourceDevice = false;
};

void recoverCommand(const RecoverCommand& o, ExitCode& exit) {
    ConsoleReporter reporter(!o.json);
    if (o.json) reporter.logToStderr(true);
    RecoverySession session(reporter);
    exit.value = 1;
    if (!o.source.choose(session)) {
        exit.value = 2;
        return;
    }
    o.scan.applyTo(session);
    const ScanOutcome scanned = runScanInForeground(session);
    reporter.finishProgress();
    if (scanned == ScanOutcome::Failed) return;
    if (scanned == ScanOutcome::Stopped) session.indexFragments();
    if (!o.scanInfo.empty()) session.saveScan(o.scanInfo, std::nullopt, std::random_device{}());

    auto row = pickDatabase(session.listDatabaseFiles(), o.file, o.database);
    if (!row) {
        exit.value = 2;
        return;
    }
    if (!analyseInForeground(session, *row, nullptr)) return;
    if (!session.searchMore().completed) return;
    const MissingPageReport missing = session.checkMissingPages();
    const std::vector<std::int32_t>& lost = missing.pages;
    const std::vector<std::int32_t>& lostPfs = missing.pfsPages;
    AssemblyOutcome outcome = session.writeMdf(o.output, o.allowSourceDevice);
    if (!outcome.written) return;
    exit.value = 0;
    const std::string sha = sha256OfFile(o.output);
    if (o.json) {
        nlohmann::json summary = {{"database_name", session.analysis().lostFileName},
                                  {"expected_pages", session.analysis().expectedPageCount},
                                  {"pages_written", outcome.pages},
                                  {"fragments_used", session.combination().rows.size()},
                                  {"missing_pages", {{"count", lost.size()}, {"list", lost}}},
                                  {"missing_pfs_pages", lostPfs},
                                  {"zero_filled_pages", outcome.gapPages.size()},
                                  {"unreadable_pages", outcome.unreadablePages},
                                  {"output", o.output},
                                  {"sha256", sha}};
        fmt::print("{}\n", summary.dump(2));
    } else {
        fmt::print("recovered {} ({} pages, {} fragments) to {}\n", session.analysis().lostFileName,
                   outcome.pages, session.combination().rows.size(), o.output);
        fmt::print("missing allocated pages: {}, missing PFS pages: {}, unreadable pages: {}\n",
                   lost.size(), lostPfs.size(), outcome.unreadablePages.size());
        fmt::print("sha256 {}\n", sha);
    }
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
    addPickOptions(*analyse, a->file, a->database);
    analyse->add_flag("--manual", a->manual, "Ask on the terminal when several fragments fit");
    analyse->add_option("--session", a->sessionPath,
                        "Where to keep the result for search-more, check, create");
    analyse->callback([a, &exit] { analyseCommand(*a, exit); });

    auto s = std::make_shared<SessionCommand>();
    auto* more = app.add_subcommand("search-more",
                                    "Fill the gaps of the combination with further fragments");
    more->add_option("--session", s->sessionPath, "Session file written by analyse");
    more->callback([s, &exit] { searchMoreCommand(*s, exit); });
    auto* check = app.add_subcommand("check", "List the pages the combination still lacks");
    check->add_option("--session", s->sessionPath, "Session file written by analyse");
    check->callback([s, &exit] { checkCommand(*s, exit); });
    auto* create = app.add_subcommand("create", "Write the MDF file from the combination");
    create->add_option("--session", s->sessionPath, "Session file written by analyse");
    create->add_option("-o,--output", s->output, "The MDF file to write")->required();
    create->add_flag("--allow-source-device", s->allowSourceDevice,
                     "Write even onto the device being recovered");
    create->callback([s, &exit] { createCommand(*s, exit); });

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
    exp->add_option("--rows", e->rows, "Rows of the fragment list (from 1)")->delimiter(',');
    exp->add_flag("--all", e->all, "Every row");
    auto* single = exp->add_option("--single", e->single,
                                   "One file of all the pages, gaps filled with zero pages");
    exp->add_option("--folder", e->folder, "One FIRSTSECTOR.hex file per fragment in this folder")
        ->excludes(single);
    exp->add_flag("--check-double", e->checkDouble, "With --single: refuse fragments that overlap");
    exp->callback([e, &exit] { exportCommand(*e, exit); });

    auto r = std::make_shared<RecoverCommand>();
    auto* recover =
        app.add_subcommand("recover", "Scan, analyse, search more, check and create in one go");
    r->source.addTo(*recover);
    r->scan.addTo(*recover);
    addPickOptions(*recover, r->file, r->database);
    recover->add_option("-o,--output", r->output, "The MDF file to write")->required();
    recover->add_option("--save-scan", r->scanInfo, "Also save the scan-info file");
    recover->add_flag("--json", r->json, "Print a JSON summary on stdout (the log goes to stderr)");
    recover->add_flag("--allow-source-device", r->allowSourceDevice,
                      "Write even onto the device being recovered");
    recover->callback([r, &exit] { recoverCommand(*r, exit); });
}

}  // namespace mdf::cli
