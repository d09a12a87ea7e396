// The ddrescue map row of the data-source tab: a malformed map is refused with its line, a real
// one (written by ddrescuelog) turns what ddrescue did not read into unreadable pages of the
// file the window writes, and choosing another image takes the map away.
#include <QAction>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTabWidget>
#include <QTableView>
#include <QTest>
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <set>

#include "assembly/sha256.h"
#include "scripted_dialogs.h"
#include "testworld/process.h"
#include "testworld/temp_dir.h"
#include "testworld/test_world.h"
#include "ui/main_window.h"

using namespace mdf;
using namespace mdf::ui;
using mdf::ui::test::ScriptedDialogs;

namespace {

std::vector<std::string> memoLines(QPlainTextEdit* memo) {
    std::vector<std::string> out;
    for (const QString& line : memo->toPlainText().split(QLatin1Char('\n')))
        if (!line.isEmpty()) out.push_back(line.toStdString());
    return out;
}

bool hasLineStarting(const std::vector<std::string>& lines, const std::string& start) {
    return std::any_of(lines.begin(), lines.end(),
                       [&](const std::string& l) { return l.rfind(start, 0) == 0; });
}

// A rescue that left some pages unread: the image holds older versions of them there (a reused
// target disk), which pass for data unless the map says those sectors were never read.
struct Rescue {
    mdf::test::TempDir dir;
    mdf::test::ImageManifest m;
    std::string image = dir.file("rescued.img");
    std::string map = dir.file("rescued.map");
    std::set<std::int32_t> unreadPages;

    Rescue() {
        mdf::test::DatabaseRecipe recipe;
        recipe.pages = 600;
        recipe.seed = 17;
        mdf::test::SyntheticDatabase db(recipe);
        mdf::test::RawImageOptions options;
        options.seed = 12;
        options.damage.loseFragmentStarts = 3;
        options.damage.unreadable = true;
        options.sameFileIdDatabase = false;
        m = mdf::test::buildRawImage(db, image, options);
        std::string blocks;
        for (const auto& [first, count] : m.unreadableSectors) {
            const std::int32_t page = pageAt(first);
            unreadPages.insert(page);
            mdf::test::writeAt(image, static_cast<std::uint64_t>(first) * 512,
                               db.stalePage(page, 77));
            for (std::int64_t s = first; s < first + count; ++s)
                blocks += std::to_string(s) + "\n";
        }
        std::ofstream(dir.file("unread.txt")) << blocks;
        // The listed sectors bad ('-'), every other one finished ('+').
        mdf::test::runChecked({"ddrescuelog", "-q", "-b", "512", "-s",
                               std::to_string(std::filesystem::file_size(image)), "-c-+", map},
                              {}, dir.file("unread.txt"));
    }

    std::int32_t pageAt(std::int64_t sector) const {
        for (const auto& e : m.extents)
            if (sector >= e.sector && sector < e.sector + e.sectors)
                return static_cast<std::int32_t>((e.fileOffset + (sector - e.sector) * 512) / 8192);
        return -1;
    }
    std::int64_t firstFragmentSector() const {
        for (const auto& f : m.fragments)
            if (f.firstPage == 0) return f.firstSector;
        return -1;
    }
};

std::string listed(const std::set<std::int32_t>& pages) {
    std::string out;
    for (std::int32_t p : pages)
        out += (out.empty() ? "" : " ") + std::to_string(p);
    return out;
}

}  // namespace

class RescueMapTest : public QObject {
    Q_OBJECT

    mdf::test::TempDir empty_;  // a machine without disks

    WindowOptions scripted(ScriptedDialogs& dialogs) {
        WindowOptions o;
        o.dialogs = &dialogs;
        o.devices.emplace(empty_.path().string());
        return o;
    }

  private slots:
    void theRowSitsInTheDataSourceBox() {
        ScriptedDialogs d;
        TForm1 w(scripted(d));
        QCOMPARE(w.Label10->text(), QString::fromUtf8("读盘记录(DDRESCUE MAP)"));
        QCOMPARE(w.btnMap->text(), QString::fromUtf8("浏览(BROWSE)"));
        QCOMPARE(w.btnNoMap->toolTip(), QString::fromUtf8("清除(CLEAR)"));
        // Every caption fits its control.
        QVERIFY(w.Label10->sizeHint().width() <= w.Label10->width());
        QVERIFY(w.btnMap->sizeHint().width() <= w.btnMap->width());
        for (QWidget* c : {static_cast<QWidget*>(w.Label10), static_cast<QWidget*>(w.edtMapFile),
                           static_cast<QWidget*>(w.btnMap), static_cast<QWidget*>(w.btnNoMap)}) {
            QCOMPARE(c->parentWidget(), static_cast<QWidget*>(w.grp1));
            QVERIFY2(w.grp1->rect().contains(c->geometry()), qPrintable(c->objectName()));
            QVERIFY(!c->geometry().intersects(w.edtDataStr->geometry()));
            QVERIFY(!c->geometry().intersects(w.btnscan->geometry()));
        }
        QVERIFY(w.edtMapFile->isReadOnly());
        QVERIFY(w.edtMapFile->text().isEmpty());
        QVERIFY(!w.btnNoMap->isEnabled());
        // The box still ends above the options heading.
        QVERIFY(w.grp1->geometry().bottom() < w.findChild<QLabel*>("pnl2")->geometry().top());

        // Without a source there is nothing to map.
        w.btnMapClick();
        QCOMPARE(d.messages(), std::vector<std::string>{"message: choose datasource first！"});
        QVERIFY(d.unexpected.empty());
        QVERIFY(w.session().rescueMapPath().empty());
    }

    // A map chosen after a partition reads that partition again through the map, from the
    // disk's start: the volume stays the one chosen, however often a partition is chosen.
    void aPartitionKeepsItsMapAndItsPlace() {
        mdf::test::TempDir dir;
        mdf::test::DatabaseRecipe recipe;
        recipe.pages = 256;
        mdf::test::SyntheticDatabase db(recipe);
        mdf::test::FileSystemImageOptions options;
        options.clusterSectors = 4;
        const std::string disk = dir.file("disk.img");
        const auto m = mdf::test::buildDiskImage(db, disk, options);
        std::ofstream(dir.file("none.txt")).close();  // ddrescue read every sector
        const std::string map = dir.file("disk.map");
        mdf::test::runChecked({"ddrescuelog", "-q", "-b", "512", "-s",
                               std::to_string(std::filesystem::file_size(disk)), "-c-+", map},
                              {}, dir.file("none.txt"));
        ScriptedDialogs d;
        TForm1 w(scripted(d));
        d.paths.push_back(disk);
        d.yesNo.push_back(false);
        w.N7Click();
        auto partitionEntry = [&] {
            for (QAction* a : w.pm1->actions())
                if (a->objectName() == QStringLiteral("partition0")) return a;
            return static_cast<QAction*>(nullptr);
        };
        QVERIFY(partitionEntry());
        partitionEntry()->trigger();
        const QString begin = w.edtbegin->text(), end = w.edtend->text();
        QCOMPARE(w.label5->text(), QStringLiteral("FAT32"));
        QCOMPARE(w.edtsecs->text(), QStringLiteral("4"));
        QVERIFY(partitionEntry());
        partitionEntry()->trigger();
        QCOMPARE(w.label5->text(), QStringLiteral("FAT32"));
        QCOMPARE(w.edtbegin->text(), begin);
        QCOMPARE(w.edtend->text(), end);

        d.paths.push_back(map);
        w.btnMapClick();
        QCOMPARE(w.session().rescueMapPath(), map);
        QCOMPARE(w.label5->text(), QStringLiteral("FAT32"));
        QCOMPARE(w.edtbegin->text(), begin);
        QCOMPARE(w.edtend->text(), end);
        QVERIFY(w.edtDataStr->text().contains(
            QStringLiteral("partition 1 (sector %1").arg(m.partitionStartSector)));
        QVERIFY(d.messages().empty());
        QVERIFY(d.unexpected.empty());
    }

    void unreadSectorsBecomeUnreadablePagesOfTheFile() {
        Rescue r;
        QVERIFY(r.unreadPages.size() >= 3);
        ScriptedDialogs d;
        TForm1 w(scripted(d));
        d.paths.push_back(r.image);
        d.yesNo.push_back(false);  // a disk image
        w.N7Click();
        const QString end = w.edtend->text();
        w.btnscanClick();
        w.waitForJobs();
        QCOMPARE(w.session().lastScanOutcome(), ScanOutcome::Finished);

        // A malformed map: the reason with its line, and no map in use.
        std::ofstream(r.dir.file("bad.map")) << "# Mapfile\n0x0 +\n0x0 0x200 +\n0x200 zz -\n";
        d.paths.push_back(r.dir.file("bad.map"));
        w.btnMapClick();
        QCOMPARE(d.last("open")->text, std::string(kMapOpenTitle));
        QCOMPARE(d.last("open")->caption, std::string(kMapFilter));
        QCOMPARE(d.messages().back(),
                 "提示: map file " + r.dir.file("bad.map") + ": line 4: bad size 'zz'");
        QCOMPARE(d.last("message")->icon, MessageIcon::Warning);
        QVERIFY(w.edtMapFile->text().isEmpty());
        QVERIFY(w.session().rescueMapPath().empty());
        QVERIFY(!w.btnNoMap->isEnabled());

        // The scan found the older pages where ddrescue read nothing; with the map chosen now,
        // the analysis and the writer find those sectors unreadable.
        d.paths.push_back(r.map);
        w.btnMapClick();
        QCOMPARE(w.edtMapFile->text().toStdString(), r.map);
        QCOMPARE(w.session().rescueMapPath(), r.map);
        QVERIFY(w.btnNoMap->isEnabled());
        QCOMPARE(w.edtend->text(), end);
        QVERIFY(hasLineStarting(memoLines(w.Memo1), "ddrescue map " + r.map + ": "));

        w.PageControl1->setCurrentIndex(2);
        QAbstractItemModel* files = w.ListView3->model();
        for (int row = 0; row < files->rowCount(); ++row)
            if (files->index(row, 5).data().toLongLong() == r.firstFragmentSector())
                w.ListView3->setCurrentIndex(files->index(row, 0));
        QVERIFY(w.ListView3->currentIndex().isValid());
        w.ListView3Click();
        w.Button1Click();
        w.waitForJobs();
        w.PageControl1->setCurrentIndex(3);
        w.Button6Click();
        w.ListView4ColumnClick(2);
        w.Button5Click();
        const std::string output = r.dir.file("Sales.mdf");
        d.paths.push_back(output);
        w.Button2Click();
        QVERIFY(std::filesystem::exists(output));

        // The verdict names exactly the pages the map says were never read.
        const auto lines = memoLines(w.Memo3);
        QVERIFY2(
            std::any_of(lines.begin(), lines.end(),
                        [](const std::string& l) { return l.rfind("不完整(PARTIAL): ", 0) == 0; }),
            w.Memo3->toPlainText().toUtf8().constData());
        const nlohmann::json report = nlohmann::json::parse(std::ifstream(output + ".report.json"));
        std::set<std::int32_t> unreadable;
        for (const auto& range : report["verdict"]["unreadable"]["ranges"])
            for (std::int32_t p = range[0]; p <= range[1].get<std::int32_t>(); ++p)
                unreadable.insert(p);
        QCOMPARE(listed(unreadable), listed(r.unreadPages));
        QCOMPARE(d.last("message")->caption, std::string("提示"));
        // The older pages were never written: those pages are zeros, as the manifest expects
        // of pages the disk lost.
        QCOMPARE(sha256OfFile(output), r.m.expectedSha256);

        // CLEAR takes the map away; another image goes without it too.
        w.btnNoMapClick();
        QVERIFY(w.edtMapFile->text().isEmpty());
        QVERIFY(w.session().rescueMapPath().empty());
        QVERIFY(!w.btnNoMap->isEnabled());
        d.paths.push_back(r.map);
        w.btnMapClick();
        QCOMPARE(w.session().rescueMapPath(), r.map);
        d.paths.push_back(r.image);
        d.yesNo.push_back(false);
        w.N7Click();
        QVERIFY(w.edtMapFile->text().isEmpty());
        QVERIFY(w.session().rescueMapPath().empty());
        QVERIFY(!w.btnNoMap->isEnabled());
        QVERIFY2(d.unexpected.empty(), d.unexpected.empty() ? "" : d.unexpected.front().c_str());
    }
};

int runRescueMapTests(int argc, char** argv) {
    RescueMapTest t;
    return QTest::qExec(&t, argc, argv);
}

#include "rescue_map_test.moc"
