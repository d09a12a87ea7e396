// scan, fragments and files: finding fragments and looking at what was found.
#include <fmt/core.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <random>

#include "cli/commands.h"
#include "cli/console_reporter.h"
#include "cli/foreground_scan.h"
#include "cli/json_failure.h"
#include "cli/scan_options.h"
#include "cli/source_options.h"

namespace mdf::cli {
namespace {

struct ScanCommand {
    SourceOptions source;
    ScanOptions scan;
    std::string output;
    std::string content;
    std::string resume;
    double checkpointSeconds = 10;
    bool force = false;
};

void scanCommand(ScanCommand o, ExitCode& exit) {
    ConsoleReporter reporter;
    RecoverySession session(reporter);
    session.nameHeadsWhenScanEnds(false);  // nothing here lists the catalogue
    std::optional<ResumeFile> resume;
    if (!o.resume.empty()) {
        if (!(resume = loadResume(o.resume, o.scan, o.source, exit))) return;
        if (o.output.empty()) o.output = o.resume;
        if (o.content.empty()) o.content = resume->content;
    } else if (o.source.path.empty() || o.output.empty()) {
        complain("scan needs a SOURCE and -o SCANINFO (or --resume SCANINFO)");
        return exit.raise(kBadInput);
    }
    const OutputGuard guard = o.source.guard();
    // The files of the scan being continued are the ones it rewrites: no --force for those.
    for (const std::string& path : {o.output, o.content}) {
        const bool own = resume && (path == o.resume || path == resume->content);
        if (!outputsAllowed({path}, guard, o.force || own)) return exit.raise(kBadInput);
    }
    const std::string sums = ResumeFile::sumsPathFor(o.output);
    if (!keptSumsAllowed(sums, guard, o.force)) return exit.raise(kBadInput);
    if (!outputsDistinct({{o.output, "the scan-info file"},
                          {o.content, "the content file"},
                          {ResumeFile::pathFor(o.output), "the resume file"},
                          {sums, "the sector sums"}}))
        return exit.raise(kBadInput);
    if (int code = kIoError; !o.source.choose(session, &code)) return exit.raise(code);
    if (resume ? !resume->restore(session, o.resume) : !o.scan.applyTo(session))
        return exit.raise(kBadInput);
    const KeptScan kept{o.output, o.content, "mdfrecover scan --resume " + shellWord(o.output)};
    const ResumeFile next = prepareResume(
        session, o.source, resume ? resume->directIo : o.scan.directIo, kept, o.checkpointSeconds);
    spoolKeptContent(session, kept, resume.has_value());
    const ScanOutcome outcome = runScanInForeground(session, reporter);
    if (!keepScan(session, outcome, kept, next, exit)) return;
    // Counted from the records: listing the catalogue would name every short head first.
    std::size_t files = 0;
    for (const FragmentRecord& r : session.fragments())
        if (r.isVisible() && r.beginPage == 0) ++files;
    note("{} fragments, {} database file(s); saved to {}", session.fragments().size(), files,
         o.output);
    if (session.fragments().empty()) exit.raise(kNothingFound);
}

struct OpenCommand {
    std::string scanInfo;
    std::string content;
    bool json = false;
};

bool openSaved(RecoverySession& session, const OpenCommand& o, ExitCode& exit) {
    for (const std::string& path : {o.scanInfo, o.content}) {
        if (!path.empty() && ::access(path.c_str(), R_OK) != 0) {
            complain("cannot open {}: {}", path, std::strerror(errno));
            exit.raise(kIoError);
            return false;
        }
    }
    if (session.openScan(o.scanInfo, o.content.empty() ? std::nullopt : std::optional(o.content)) &&
        session.readFromSource() == o.content.empty())
        return true;
    exit.raise(kBadInput);
    return false;
}

void fragmentsCommand(const OpenCommand& o, ExitCode& exit) {
    ConsoleReporter reporter(false);
    RecoverySession session(reporter);
    if (!openSaved(session, o, exit)) return;
    fmt::print("{}\n",
               console().language == Language::Chinese
                   ? "序号\t碎片大小(KB)\t开始页面号\t结束页面号\t备注\tbegin sector\tend sector"
                   : "no.\tsize (KB)\tfirst page\tend page\tremark\tbegin sector\tend sector");
    const std::vector<FragmentRow> rows = visibleRows(session.fragments());
    for (const FragmentRow& row : rows)
        fmt::print("{}\t{}\t{}\t{}\t{}\t{}\t{}\n", row.recordIndex + 1, row.sizeKB, row.startPage,
                   row.endPage, row.remark, row.startSector, row.endSector);
    if (rows.empty()) exit.raise(kNothingFound);
}

void filesCommand(const OpenCommand& o, ExitCode& exit) {
    JsonOnFailure failure{o.json, exit};
    ConsoleReporter reporter(false);
    if (o.json) reporter.logToStderr(true);
    RecoverySession session(reporter);
    if (!openSaved(session, o, exit)) return;
    if (o.json) {
        auto rows = session.listDatabaseFiles();
        if (rows.empty()) {
            complain("no database file was found (no fragment begins with page 0)");
            return exit.raise(kNothingFound);
        }
        nlohmann::json files = nlohmann::json::array();
        for (std::size_t i = 0; i < rows.size(); ++i)
            files.push_back(
                {{"number", i + 1},
                 {"name", rows[i].name},
                 {"size_kb", rows[i].shownSizeKB()},
                 {"file_size_kb",
                  rows[i].fileSizeKB > 0 ? nlohmann::json(rows[i].fileSizeKB) : nlohmann::json()},
                 {"first_fragment_kb", rows[i].sizeKB},
                 {"first_sector", rows[i].fsec}});
        failure.resultPrinted = true;
        fmt::print("{}\n", nlohmann::json{{"status", "complete"}, {"files", files}}.dump(
                               2, ' ', false, nlohmann::json::error_handler_t::replace));
        return;
    }
    fmt::print("{}\n", console().language == Language::Chinese
                           ? "序号\t文件名\tsize(KB)\tbegin sector"
                           : "no.\tfile name\tsize (KB)\tbegin sector");
    auto rows = session.listDatabaseFiles();
    for (std::size_t i = 0; i < rows.size(); ++i)
        fmt::print("{}\t{}\t{}\t{}\n", i + 1, rows[i].name, rows[i].shownSizeKB(), rows[i].fsec);
    if (rows.empty()) exit.raise(kNothingFound);
}

}  // namespace

void addScanCommands(CLI::App& app, ExitCode& exit) {
    auto s = std::make_shared<ScanCommand>();
    auto* scan = app.add_subcommand("scan",
                                    "Find the fragments of SQL Server data files on a source "
                                    "(Ctrl-C stops and keeps what was found)");
    s->source.addTo(*scan, false);
    s->scan.addTo(*scan);
    scan->add_option("-o,--output", s->output, "Scan-info file to write (needed without --resume)");
    scan->add_option("--content", s->content,
                     "Also save every fragment's pages to this content file");
    scan->add_flag("--force", s->force, "Replace output files that exist");
    scan->add_option("--resume", s->resume,
                     "Go on with the scan that stopped early and saved to this scan-info file, "
                     "from where it stood (its source, settings and content file are taken from "
                     "SCANINFO.resume)");
    addCheckpointOption(*scan, s->checkpointSeconds);
    scan->callback([s, &exit] { scanCommand(*s, exit); });
    scan->footer(R"(Examples:
  mdfrecover scan disk.img --partition=1 -o scan.info --content scan.content
  mdfrecover scan /dev/sdb -o scan.info --start 2048 --end 4196352
  mdfrecover scan --resume scan.info

Ctrl-C, or a read failure that ends the scan, saves what was found and, in SCANINFO.resume,
where the scan stood; --resume goes on from there and ends with what one whole scan finds.

Exit status: 0 complete, 2 no fragment found, 3 bad usage or input (also a resume file whose
source no longer matches), 4 I/O error, 130 interrupted (what was found is saved).)");

    auto f = std::make_shared<OpenCommand>();
    auto* fragments = app.add_subcommand("fragments", "The fragment list of a saved scan");
    fragments->add_option("SCANINFO", f->scanInfo, "Scan-info file")->required();
    fragments->add_option("--content", f->content, "Its content file");
    fragments->callback([f, &exit] { fragmentsCommand(*f, exit); });

    auto c = std::make_shared<OpenCommand>();
    auto* files = app.add_subcommand("files", "The database files found in a saved scan");
    files->add_option("SCANINFO", c->scanInfo, "Scan-info file")->required();
    files->add_option("--content", c->content,
                      "Its content file: names are read again from the pages");
    files->add_flag("--json", c->json, "Machine-readable output, also on failure");
    files->callback([c, &exit] { filesCommand(*c, exit); });
}

}  // namespace mdf::cli
