// scan, fragments and files: finding fragments and looking at what was found.
#include <fmt/core.h>

#include <csignal>
#include <random>

#include "cli/commands.h"
#include "cli/console_reporter.h"
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
};

void scanCommand(const ScanCommand& o, ExitCode& exit) {
    ConsoleReporter reporter;
    RecoverySession session(reporter);
    if (!o.source.choose(session)) {
        exit.value = 2;
        return;
    }
    o.scan.applyTo(session);
    const ScanOutcome outcome = runScanInForeground(session);
    reporter.finishProgress();
    if (outcome == ScanOutcome::Failed) {
        exit.value = 1;
        return;
    }
    std::random_device random;
    session.saveScan(o.output, o.content.empty() ? std::nullopt : std::optional(o.content),
                     random() % 0x7FFFFFFF);
    fmt::print(stderr, "{} fragments, {} database file(s); saved to {}\n",
               session.fragments().size(), session.listDatabaseFiles().size(), o.output);
}

struct OpenCommand {
    std::string scanInfo;
    std::string content;
};

bool openSaved(RecoverySession& session, const OpenCommand& o) {
    return session.openScan(o.scanInfo,
                            o.content.empty() ? std::nullopt : std::optional(o.content));
}

void fragmentsCommand(const OpenCommand& o, ExitCode& exit) {
    ConsoleReporter reporter(false);
    RecoverySession session(reporter);
    if (!openSaved(session, o)) {
        exit.value = 1;
        return;
    }
    fmt::print("序号\t碎片大小(KB)\t开始页面号\t结束页面号\t备注\tbegin sector\tend sector\n");
    FragmentListView view;
    view.fill(session.fragments());
    for (const FragmentRow& row : view.rows)
        fmt::print("{}\t{}\t{}\t{}\t{}\t{}\t{}\n", row.caption, row.sizeKB, row.startPage,
                   row.endPage, row.remark, row.startSector, row.endSector);
}

void filesCommand(const OpenCommand& o, ExitCode& exit) {
    ConsoleReporter reporter(false);
    RecoverySession session(reporter);
    if (!openSaved(session, o)) {
        exit.value = 1;
        return;
    }
    fmt::print("序号\t文件名\tsize(KB)\tbegin sector\n");
    auto rows = session.listDatabaseFiles();
    for (std::size_t i = 0; i < rows.size(); ++i)
        fmt::print("{}\t{}\t{}\t{}\n", i + 1, rows[i].name, rows[i].sizeKB, rows[i].fsec);
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
    scan->callback([s, &exit] { scanCommand(*s, exit); });

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
    files->callback([c, &exit] { filesCommand(*c, exit); });
}

}  // namespace mdf::cli
