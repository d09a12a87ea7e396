// The fragment list of the window with a million rows: filling the model, sorting by a column,
// scrolling, and the longest time the window's thread is kept from its events while a worker
// appends rows as a scan does. Runs offscreen.
#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QHeaderView>
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

}  // namespace

int main(int argc, char** argv) {
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    ui::WindowOptions options;
    options.devices.emplace("/nonexistent");
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

    t.restart();
    w.session().openScan(saved.toStdString(), std::nullopt);
    settle();
    std::printf("  opened (read, decode, show): %8.1f ms\n", ms(t));

    t.restart();
    w.showFragmentList();
    settle();
    std::printf("  model filled and shown:      %8.1f ms\n", ms(t));
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
        w.sortFragmentList(column);
        settle();
        std::printf("  sorted by column %d:          %8.1f ms\n", column, ms(t));
    }
    const QString first = w.ListView2->model()->index(0, 0).data().toString();

    // A worker appends a million rows as fast as it can, as a scan of a disk full of fragments
    // would, while the window's thread measures the gaps between its timer ticks.
    if (!writeScanInfo(saved.toStdString(), FragmentList{}, 1).empty()) return 1;
    w.session().openScan(saved.toStdString(), std::nullopt);
    QFile::remove(saved);
    settle();
    std::atomic<bool> done{false};
    qint64 longestGapNs = 0;
    QElapsedTimer tick;
    tick.start();
    QTimer probe;
    probe.setInterval(1);
    QObject::connect(&probe, &QTimer::timeout, [&] {
        longestGapNs = std::max(longestGapNs, tick.nsecsElapsed());
        tick.restart();
    });
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
    probe.stop();
    std::printf("  worker appended %d rows in:  %8.1f ms (shown: %d)\n", kRows, ms(t),
                w.ListView2->model()->rowCount());
    std::printf("  longest GUI-thread stall:    %8.1f ms (limit 100)\n",
                static_cast<double>(longestGapNs) / 1e6);
    std::printf("  first row after sorting by caption: %s\n", first.toUtf8().constData());
    return longestGapNs < 100'000'000 && w.ListView2->model()->rowCount() == kRows ? 0 : 1;
}
