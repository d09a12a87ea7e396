// The fragment list of the window with a million rows: opening a saved scan of them, sorting by
// a column, scrolling, and the longest time the window's thread is kept from its events in each
// and while a worker appends rows as a scan does. Runs offscreen.
#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QHeaderView>
#include <QPushButton>
#include <QScrollBar>
#include <QTableView>
#include <QTimer>
#include <algorithm>
#include <cstdio>
#include <thread>

#include "scan/scan_info_file.h"
#include "ui/fragment_models.h"
#include "ui/main_window.h"

using namespace mdf;

namespace {

constexpr int kRows = 1'000'000;

FragmentRecord record(int i) {
    // Page ranges and sectors that do not come in order, as a scan of a fragmented disk gives.
    const std::int32_t pages = 1 + (i * 7919) % 64;
    const std::int32_t first = (i * 104729) % 5'000'000;
    return composeFragment(i + 1, pages, 2048 + std::int64_t{i} * 1024, first,
                           first == 0 ? "D:\\data\\Sales.mdf(4.00 MB)" : " ");
}

double ms(const QElapsedTimer& t) {
    return static_cast<double>(t.nsecsElapsed()) / 1e6;
}

void settle() {
    for (int i = 0; i < 5; ++i)
        QApplication::processEvents();
}

// Answers the window's questions as a technician opening a saved scan would: this file, and no
// content file.
class OpeningDialogs : public ui::Dialogs {
  public:
    std::string scanInfo;
    void message(const std::string&, const std::string&, MessageIcon) override {}
    bool askYesNo(const std::string&, const std::string&) override { return false; }
    std::optional<std::string> openFile(const std::string&, const std::string&) override {
        return scanInfo;
    }
    std::optional<std::string> saveFile(const std::string&, const std::string&,
                                        const std::string&) override {
        return std::nullopt;
    }
    std::optional<std::string> chooseFolder(const std::string&) override { return std::nullopt; }
};

// Measures the longest gap between ticks of a 1 ms timer on the window's thread: how long the
// window could not answer its user.
class StallProbe {
  public:
    StallProbe() {
        probe_.setInterval(1);
        QObject::connect(&probe_, &QTimer::timeout, [this] {
            longestNs_ = std::max(longestNs_, tick_.nsecsElapsed());
            tick_.restart();
        });
    }
    void start() {
        longestNs_ = 0;
        tick_.start();
        probe_.start();
    }
    double stopMs() {
        probe_.stop();
        return static_cast<double>(std::max(longestNs_, tick_.nsecsElapsed())) / 1e6;
    }

  private:
    QTimer probe_;
    QElapsedTimer tick_;
    qint64 longestNs_ = 0;
};

}  // namespace

int main(int argc, char** argv) {
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    ui::WindowOptions options;
    options.devices.emplace("/nonexistent");
    OpeningDialogs dialogs;
    options.dialogs = &dialogs;
    ui::TForm1 w(options);
    w.show();
    w.PageControl1->setCurrentIndex(1);
    settle();

    std::printf("fragment list of %d rows (offscreen)\n", kRows);
    QElapsedTimer t;
    t.start();
    const QString saved = QDir::temp().filePath(QStringLiteral("mdfrecover-bench-ui-list.txt"));
    {
        FragmentList list;
        for (int i = 0; i < kRows; ++i)
            list.append(record(i));
        if (!writeScanInfo(saved.toStdString(), list, 1).empty()) return 1;
    }
    std::printf("  scan-info file written:      %8.1f ms\n", ms(t));

    StallProbe probe;
    double longestStall = 0;
    t.restart();
    probe.start();
    dialogs.scanInfo = saved.toStdString();
    w.findChild<QPushButton*>(QStringLiteral("Button3"))->click();  // OPEN
    settle();
    double stall = probe.stopMs();
    longestStall = std::max(longestStall, stall);
    std::printf("  opened and shown:            %8.1f ms, longest stall %6.1f ms\n", ms(t), stall);
    if (w.ListView2->model()->rowCount() != kRows) {
        std::printf("  wrong row count %d\n", w.ListView2->model()->rowCount());
        return 1;
    }

    t.restart();
    w.ListView2->scrollToBottom();
    settle();
    w.ListView2->verticalScrollBar()->setValue(kRows / 2);
    settle();
    std::printf("  scrolled to the end and back: %7.1f ms\n", ms(t));

    for (int column : {2, 1, 4, 0}) {
        t.restart();
        probe.start();
        w.sortFragmentList(column);
        settle();
        stall = probe.stopMs();
        longestStall = std::max(longestStall, stall);
        std::printf("  sorted by column %d:          %8.1f ms, longest stall %6.1f ms\n", column,
                    ms(t), stall);
    }
    const QString first = w.ListView2->model()->index(0, 0).data().toString();

    // A worker appends a million rows as fast as it can, as a scan of a disk full of fragments
    // would, while the window's thread measures the gaps between its timer ticks.
    if (!writeScanInfo(saved.toStdString(), FragmentList{}, 1).empty()) return 1;
    w.session().openScan(saved.toStdString(), std::nullopt);
    QFile::remove(saved);
    settle();
    std::atomic<bool> done{false};
    probe.start();
    t.restart();
    std::thread worker([&] {
        FragmentList scratch;
        for (int i = 0; i < kRows; ++i) {
            scratch.append(record(i));
            FragmentRow row = fragmentRow(scratch, i, static_cast<std::size_t>(i) + 1);
            w.reporter().post(
                [&w, row = std::move(row)]() mutable { w.fragmentAppended(std::move(row)); });
            if (i % 1000 == 0)
                w.reporter().logLine(Memo::Scan, "8192error1sec" + std::to_string(i));
        }
        done = true;
    });
    while (!done || w.ListView2->model()->rowCount() < kRows) {
        QApplication::processEvents(QEventLoop::WaitForMoreEvents);
        if (t.elapsed() > 120'000) break;
    }
    worker.join();
    stall = probe.stopMs();
    longestStall = std::max(longestStall, stall);
    std::printf("  worker appended %d rows in:  %8.1f ms (shown: %d), longest stall %6.1f ms\n",
                kRows, ms(t), w.ListView2->model()->rowCount(), stall);
    std::printf("  longest GUI-thread stall of all: %6.1f ms (limit 100)\n", longestStall);
    std::printf("  first row after sorting by caption: %s\n", first.toUtf8().constData());
    return longestStall < 100 && w.ListView2->model()->rowCount() == kRows ? 0 : 1;
}
