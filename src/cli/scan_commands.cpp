// scan, fragments and files: finding fragments and looking at what was found.
#include <fmt/core.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <random>

#include "cli/commands.h"
#include "cli/console_reporter.h"
#include "cli/json_failure.h"
#include "cli/scan_options.h"
#include "cli/source_options.h"

namespace mdf::cli {
namespace {

std::atomic<RecoverySession*> interruptedSession{nullptr};

// Only an atomic store happens here, which is safe inside a signal handler.
extern "C" void stopOnInterrupt(int) {
    if (auto* session = interruptedSession.load()) session->requestStop();
}

struct ScanCommand {
    SourceOptions source;
    ScanOptions scan;
    std::string output;
    std::string content;
    bool force = false;
};

void scanCommand(const ScanCommand& o, ExitCode& exit) {
    ConsoleReporter reporter;
    RecoverySession session(reporter);
    if (!outputsAllowed({o.output, o.content}, OutputGuard{o.source.path, false}, o.force))
        return exit.raise(kBadInput);
    if (int code = kIoError; !o.source.choose(session, &code)) return exit.raise(code);
    if (!o.scan.applyTo(session)) return exit.raise(kBadInput);
    const ScanOutcome outcome = runScanInForeground(session);
    reporter.finishProgress();
    if (outcome == ScanOutcome::Failed) return exit.raise(kIoError);
    // What a stopped scan found is saved all the same.
    if (outcome == ScanOutcome::Stopped) exit.raise(kInterrupted);
    std::random_device random;
    if (!session.saveScan(o.output, o.content.empty() ? std::nullopt : std::optional(o.content),
                          random() % 0x7FFFFFFF))
        return exit.raise(kIoError);
    const std::size_t files = session.listDatabaseFiles().size();
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
    FragmentListView view;
    view.fill(session.fragments());
    for (const FragmentRow& row : view.rows)
        fmt::print("{}\t{}\t{}\t{}\t{}\t{}\t{}\n", row.recordIndex + 1, row.sizeKB, row.startPage,
                   row.endPage, row.remark, row.startSector, row.endSector);
    if (view.rows.empty()) exit.raise(kNothingFound);
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
            files.push_back({{"number", i + 1},
                             {"name", rows[i].name},
                             {"size_kb", rows[i].sizeKB},
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
        fmt::print("{}\t{}\t{}\t{}\n", i + 1, rows[i].name, rows[i].sizeKB, rows[i].fsec);
    if (rows.empty()) exit.raise(kNothingFound);
}

}  // namespace

ScanOutcome runScanInForeground(RecoverySession& session) {
    interruptedSession = &session;
    auto previous = std::signal(SIGINT, stopOnInterrupt);
    const bool started = session.takeFileId() && session.startScan() == StartResult::Started;
    session.waitForJobs();
    std::signal(SIGINT, previous);
    interruptedSession = nullptr;
    return started ? session.lastScanOutcome() : ScanOutcome::Failed;
}

void addScanCommands(CLI::App& app, ExitCode& exit) {
    auto s = std::make_shared<ScanCommand>();
    auto* scan = app.add_subcommand("scan",
                                    "Find the fragments of SQL Server data files on a source "
                                    "(Ctrl-C stops and keeps what was found)");
    s->source.addTo(*scan);
    s->scan.addTo(*scan);
    scan->add_option("-o,--output", s->output, "Scan-info file to write")->required();
    scan->add_option("--content", s->content,
                     "Also save every fragment's pages to this content file");
    scan->add_flag("--force", s->force, "Replace output files that exist");
    scan->callback([s, &exit] { scanCommand(*s, exit); });
    scan->footer(R"(Examples:
  mdfrecover scan disk.img --partition=1 -o scan.info --content scan.content
  mdfrecover scan /dev/sdb -o scan.info --start 2048 --end 4196352

Exit status: 0 complete, 2 no fragment found, 3 bad usage or input, 4 I/O error,
130 interrupted (what was found is saved).)");

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
