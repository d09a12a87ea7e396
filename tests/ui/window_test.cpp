// The window driven through its handlers, offscreen, with scripted dialogs: its start-up state,
// the controls that only affect the window, and whole recoveries of a test-world image.
#include <QAction>
#include <QCheckBox>
#include <QClipboard>
#include <QFileInfo>
#include <QGroupBox>
#include <QGuiApplication>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QStatusBar>
#include <QTabWidget>
#include <QTableView>
#include <QTableWidget>
#include <QTest>
#include <QTimer>
#include <QTreeWidget>
#include <algorithm>
#include <filesystem>
#include <functional>
#include <set>
#include <thread>

#include "assembly/sha256.h"
#include "scan/scan_info_file.h"
#include "scripted_dialogs.h"
#include "testworld/temp_dir.h"
#include "testworld/test_world.h"
#include "ui/chooser_dialog.h"
#include "ui/fragment_models.h"
#include "ui/main_window.h"
#include "ui/tables_dialog.h"

using namespace mdf;
using namespace mdf::ui;
using mdf::ui::test::ScriptedDialogs;

namespace {

QString u(const char* text) {
    return QString::fromUtf8(text);
}

std::vector<std::string> memoLines(QPlainTextEdit* memo) {
    std::vector<std::string> out;
    for (const QString& line : memo->toPlainText().split(QLatin1Char('\n')))
        if (!line.isEmpty()) out.push_back(line.toStdString());
    return out;
}

// A window with no disks or volumes of the machine in its source menu.
WindowOptions scripted(ScriptedDialogs& dialogs, const std::string& emptyRoot,
                       FileOpener opener = openReadOnly) {
    WindowOptions o;
    o.dialogs = &dialogs;
    o.opener = std::move(opener);
    o.devices.emplace(emptyRoot);
    return o;
}

// A raw image of a 512-page database in shuffled fragments with stale copies and other files.
struct World {
    mdf::test::TempDir dir;
    mdf::test::ImageManifest manifest;
    std::string image;
    std::int64_t duplicateSector = -1;
    explicit World(bool duplicateAFragment = false, int loseFragmentStarts = 0,
                   std::uint64_t seed = 1) {
        mdf::test::DatabaseRecipe recipe;
        recipe.pages = 512;
        recipe.seed = seed;
        mdf::test::SyntheticDatabase db(recipe);
        mdf::test::RawImageOptions options;
        options.seed = 20 + seed;
        options.damage.loseFragmentStarts = loseFragmentStarts;
        image = dir.file("raw.img");
        manifest = mdf::test::buildRawImage(db, image, options);
        if (duplicateAFragment) duplicate();
    }
    // A second copy of one true fragment at the end of the image: two candidates that both
    // continue the chain, so that the analysis has to ask in manual mode.
    void duplicate() {
        const mdf::test::ManifestFragment* f = nullptr;
        for (const auto& m : manifest.fragments)
            if (m.firstPage > 40 && (!f || m.firstPage < f->firstPage)) f = &m;
        QVERIFY(f);
        const auto bytes = mdf::test::readFile(image);
        const auto from = bytes.begin() + f->firstSector * 512;
        std::vector<std::uint8_t> copy(from, from + std::int64_t{f->pages} * 8192);
        duplicateSector = static_cast<std::int64_t>(bytes.size()) / 512 + 64;
        mdf::test::writeAt(image, static_cast<std::uint64_t>(duplicateSector) * 512, copy);
        const std::vector<std::uint8_t> tail(64 * 512, 0);
        mdf::test::writeAt(
            image, (static_cast<std::uint64_t>(duplicateSector) + 16 * f->pages) * 512, tail);
    }
    std::int64_t firstFragmentSector() const {
        for (const auto& f : manifest.fragments)
            if (f.firstPage == 0) return f.firstSector;
        return -1;
    }
    bool isTrueFragment(std::int64_t sector) const {
        for (const auto& f : manifest.fragments)
            if (f.firstSector == sector) return true;
        return false;
    }
};

// Reads slowly from an offset on, so that a scan has found some fragments quickly and is still
// running when the test acts.
class SlowFile : public RandomAccessFile {
  public:
    SlowFile(std::unique_ptr<RandomAccessFile> inner, std::uint64_t slowFrom)
        : inner_(std::move(inner)), slowFrom_(slowFrom) {}
    std::int64_t readAt(void* buffer, std::size_t size, std::uint64_t offset) override {
        if (offset + size > slowFrom_) std::this_thread::sleep_for(std::chrono::milliseconds(5));
        return inner_->readAt(buffer, size, offset);
    }

  private:
    std::unique_ptr<RandomAccessFile> inner_;
    std::uint64_t slowFrom_;
};

FileOpener slowOpener(std::uint64_t slowFrom) {
    return [slowFrom](const std::string& path) -> std::unique_ptr<RandomAccessFile> {
        auto inner = openReadOnly(path);
        if (!inner) return nullptr;
        return std::make_unique<SlowFile>(std::move(inner), slowFrom);
    };
}

}  // namespace

class WindowTest : public QObject {
    Q_OBJECT

  private:
    mdf::test::TempDir empty_;  // a machine without disks
    std::string root() const { return empty_.path().string(); }

    // Chooses the image, scans it and waits for the scan to finish.
    void chooseAndScan(TForm1& w, ScriptedDialogs& d, const World& world) {
        d.paths.push_back(world.image);
        d.yesNo.push_back(false);  // a disk image, not a partition
        w.N7Click();
        QCOMPARE(w.edtDataStr->text().toStdString(), world.image);
        QCOMPARE(w.edtbegin->text(), QStringLiteral("0"));
        QCOMPARE(w.edtend->text().toLongLong(),
                 QFileInfo(QString::fromStdString(world.image)).size() / 512);
        w.Edit2->setText(QString::number(world.manifest.fileId));
        w.btnscanClick();
        QVERIFY(!w.btnscan->isEnabled());
        QVERIFY(!w.edtbegin->isEnabled());
        QCOMPARE(w.PageControl1->currentIndex(), 0);
        w.waitForJobs();
        QCOMPARE(w.session().lastScanOutcome(), ScanOutcome::Finished);
        QCOMPARE(w.stat1Panel0->text(), QStringLiteral("finished"));
        QCOMPARE(w.g1->value(), 100);
        QCOMPARE(static_cast<std::size_t>(w.ListView2->model()->rowCount()),
                 w.session().fragments().size());
        QVERIFY(memoLines(w.Memo1).front().rfind("begin scan", 0) == 0);
    }

    // Tab 3, the database of the manifest selected.
    void selectDatabase(TForm1& w, const World& world) {
        w.PageControl1->setCurrentIndex(2);
        QAbstractItemModel* files = w.ListView3->model();
        int row = -1;
        for (int r = 0; r < files->rowCount(); ++r)
            if (files->index(r, 5).data().toLongLong() == world.firstFragmentSector()) row = r;
        QVERIFY2(row >= 0, "the catalogue lists the database");
        const std::int64_t record =
            w.session().fragments().findFirstSector(world.firstFragmentSector());
        // A head too short to hold page 32 shows the name page 32 states, wherever it lies.
        const std::string& memo = w.session().fragments()[static_cast<std::size_t>(record)].memo;
        const std::string shown = files->index(row, 1).data().toString().toStdString();
        if (memo.rfind("wrong file head", 0) == 0)
            QVERIFY2(shown.rfind("D:\\data\\Sales.mdf(", 0) == 0, shown.c_str());
        else
            QCOMPARE(shown, memo);
        w.ListView3->setCurrentIndex(files->index(row, 0));
        w.ListView3Click();
    }

  private slots:
    void startUpState() {
        ScriptedDialogs d;
        TForm1 w(scripted(d, root()));
        QCOMPARE(w.windowTitle(), u("SarvelMDF文件恢复工具5.0"));
        QCOMPARE(w.size(), QSize(1084, 615));
        QCOMPARE(w.minimumSize(), w.maximumSize());
        QVERIFY(!(w.windowFlags() & Qt::WindowMaximizeButtonHint));
        QCOMPARE(w.PageControl1->currentIndex(), 0);
        QCOMPARE(w.PageControl1->count(), 4);
        QCOMPARE(w.PageControl1->tabText(0), u("  Ⅰ  选择数据源(DATA SOURCE)     "));
        QCOMPARE(w.PageControl1->tabText(1), u("  Ⅱ  碎片列表(FRAGMENT LIST )        "));
        QCOMPARE(w.PageControl1->tabText(2), u("  Ⅲ  分析碎片(FILTER)       "));
        QCOMPARE(w.PageControl1->tabText(3), u("   Ⅳ  组合MDF(CREATE MDF)     "));
        QVERIFY(!w.Button5->isEnabled());
        QVERIFY(!w.Button2->isEnabled());
        QVERIFY(w.Button6->isEnabled());
        QVERIFY(w.btnscan->isEnabled());
        QVERIFY(!w.img1->isHidden());
        QVERIFY(w.lbl1->isHidden());
        QVERIFY(w.lbl1->text().startsWith(u("恢复步骤")));
        QVERIFY(w.chkfreespace->isChecked());
        QVERIFY(w.chkauto->isChecked());
        QVERIFY(!w.CheckBox1->isChecked());
        QVERIFY(!w.edtmaxpageid->isEnabled());
        QCOMPARE(w.Edit2->text(), QStringLiteral("1"));
        QCOMPARE(w.edtDataStr->text(), u("......右键设置数据源(RIGHT CLICK TO CHOOSE DS )......"));
        QVERIFY(w.edtDataStr->isReadOnly());
        QCOMPARE(w.Edit1->text(), QStringLiteral("edtbeginid"));
        QCOMPARE(w.edtendid->text(), QStringLiteral("edtendid"));
        QCOMPARE(w.edtpgid->text(), QStringLiteral("edtpgid"));
        QVERIFY(!w.rb1->isChecked() && !w.rb2->isChecked() && !w.rb3->isChecked());
        QVERIFY(w.Memo1->toPlainText().isEmpty());
        QVERIFY(w.Memo2->toPlainText().isEmpty());
        QCOMPARE(w.g1->value(), 0);
        QCOMPARE(w.session().scanFileId(), std::uint16_t{1});

        // Every control carries its object name and caption.
        const std::pair<const char*, const char*> buttons[] = {
            {"btnscan", "开始扫描(SCAN)"},          {"btnstop", "停止扫描(STOP)"},
            {"Button7", "业务联系专业恢复(ABOUT)"}, {"edtfilter", "过滤"},
            {"btnsave", "保存此次扫描信息(SAVE)"},  {"Button3", "打开扫描信息文件(OPEN)"},
            {"Button1", "分析该碎片(FILTER)"},      {"Button6", "查找遗漏碎片(SEARCH MORE)"},
            {"Button5", "检查遗漏页(CHECK)"},       {"Button2", "组合MDF(CREATE MDF)"}};
        for (auto [name, caption] : buttons) {
            auto* b = w.findChild<QPushButton*>(QString::fromLatin1(name));
            QVERIFY2(b, name);
            QCOMPARE(b->text(), u(caption));
        }
        const std::pair<const char*, const char*> labels[] = {
            {"Label1", "开始扇区"},     {"Label2", "结束扇区"}, {"Label3", "每簇扇区数"},
            {"Label9", "文件ID"},       {"Label4", ">="},       {"Label8", "<"},
            {"Label7", "使  用  说 明"}};
        for (auto [name, caption] : labels) {
            auto* l = w.findChild<QLabel*>(QString::fromLatin1(name));
            QVERIFY2(l, name);
            QCOMPARE(l->text(), u(caption));
        }
        for (const char* name :
             {"grp1",      "pnl1",         "pnl2",      "pnl3",         "label5",       "img1",
              "lbl1",      "Memo1",        "Memo2",     "Memo3",        "edtbegin",     "edtend",
              "edtsecs",   "edtmaxpageid", "Edit1",     "Edit2",        "edtendid",     "edtpgid",
              "rb1",       "rb2",          "rb3",       "chkfreespace", "CheckBox1",    "chkauto",
              "GroupBox1", "g1",           "stat1",     "mm1",          "PageControl1", "TabSheet1",
              "TabSheet2", "TabSheet3",    "TabSheet4", "ListView2",    "ListView3",    "ListView4",
              "pm1",       "PopupMenu1"})
            QVERIFY2(w.findChild<QObject*>(QString::fromLatin1(name)), name);
        QCOMPARE(w.grp1->title(), u("  数据源(DATASOURCE)  "));
        QCOMPARE(w.chkfreespace->text(), u("只扫描空闲簇(FREE SPACE ONLY)"));
        QCOMPARE(w.CheckBox1->text(), u("开始页面号小于"));
        QCOMPARE(w.chkauto->text(), u("自动模式"));
        QCOMPARE(w.GroupBox1->title(), u("开始页面号范围"));
        QCOMPARE(w.rb3->text(), u("全部显示"));
        QCOMPARE(w.rb1->text(), u("开始页面号范围"));
        QCOMPARE(w.rb2->text(), u("含如ID的碎片"));
        QCOMPARE(w.stat1Panel0->width(), 200);
        QCOMPARE(w.g1->size(), QSize(784, 28));
        QCOMPARE(w.PageControl1->size(), QSize(993, 537));

        // Menus.
        QStringList mainItems;
        for (QAction* a : w.N1->menu()->actions())
            mainItems << (a->isSeparator() ? QStringLiteral("-") : a->text());
        QCOMPARE(w.N1->text(), u("操作(OPERATION)"));
        QCOMPARE(mainItems, (QStringList{u("开始扫描(SCAN)"), u("停止扫描(STOP)"),
                                         QStringLiteral("-"), u("退出")}));
        QCOMPARE(w.N6->text(), u("关于(ABOUT)"));
        QStringList popup;
        for (QAction* a : w.PopupMenu1->actions())
            popup << a->text();
        QCOMPARE(popup, (QStringList{u("提取勾选碎片到文件"), u("全部选择"), u("全部取消选择"),
                                     u("反向选择"), u("碎片过滤"), u("统计勾选的碎片信息"),
                                     u("复制此碎片的开始扇区号到剪贴板"), u("把选择的碎片加入组合"),
                                     u("取勾选碎片的文件名"), u("取更新信息")}));
        // A machine without disks: "Open disk img file", a separator, then the volume separator.
        QCOMPARE(w.pm1->actions().size(), 3);
        QCOMPARE(w.pm1->actions().front()->text(), QStringLiteral("Open disk img file"));

        // The three lists: seven columns, the sector columns present but collapsed.
        const std::pair<QTableView*, std::vector<int>> lists[] = {
            {w.ListView2, {100, 80, 80, 80, 800, 0, 0}},
            {w.ListView3, {100, 800, 0, 0, 0, 0, 0}},
            {w.ListView4, {100, 100, 100, 100, 800, 0, 0}}};
        for (const auto& [view, widths] : lists) {
            QCOMPARE(view->model()->columnCount(), 7);
            for (int c = 0; c < 7; ++c) {
                QCOMPARE(view->horizontalHeader()->sectionSize(c),
                         widths[static_cast<std::size_t>(c)]);
                QVERIFY(!view->isColumnHidden(c));
            }
            QCOMPARE(view->selectionBehavior(), QAbstractItemView::SelectRows);
            QCOMPARE(view->palette().color(QPalette::Inactive, QPalette::Highlight),
                     view->palette().color(QPalette::Active, QPalette::Highlight));
        }
        auto header = [](QTableView* v, int c) {
            return v->model()->headerData(c, Qt::Horizontal, Qt::DisplayRole).toString();
        };
        QCOMPARE(header(w.ListView2, 1), u("碎片大小(KB)"));
        QCOMPARE(header(w.ListView2, 2), u("开始页面号"));
        QCOMPARE(header(w.ListView4, 2), u("起始页面号"));
        QCOMPARE(header(w.ListView3, 1), u("文件名"));
        QCOMPARE(header(w.ListView3, 5), QStringLiteral("begin sector"));
        QVERIFY(d.asked.empty());
    }

    void helpTextTogglesWithItsLabel() {
        ScriptedDialogs d;
        TForm1 w(scripted(d, root()));
        w.Label7Click();
        QVERIFY(w.img1->isHidden());
        QVERIFY(!w.lbl1->isHidden());
        w.Label7Click();
        QVERIFY(!w.img1->isHidden());
        QVERIFY(w.lbl1->isHidden());
        // A click on the label itself does the same.
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        QTest::mouseClick(w.Label7, Qt::LeftButton);
        QVERIFY(w.img1->isHidden());
        QVERIFY(w.lbl1->isVisible());
    }

    void startPageLimitBoxFollowsItsCheckBox() {
        ScriptedDialogs d;
        TForm1 w(scripted(d, root()));
        w.show();
        QTest::mouseClick(w.CheckBox1, Qt::LeftButton, {}, QPoint(5, w.CheckBox1->height() / 2));
        QVERIFY(w.CheckBox1->isChecked());
        QVERIFY(w.edtmaxpageid->isEnabled());
        w.edtmaxpageid->setText(QStringLiteral("4242"));
        QTest::mouseClick(w.CheckBox1, Qt::LeftButton, {}, QPoint(5, w.CheckBox1->height() / 2));
        QVERIFY(!w.CheckBox1->isChecked());
        QVERIFY(!w.edtmaxpageid->isEnabled());
        QCOMPARE(w.edtmaxpageid->text(), QStringLiteral("4242"));
    }

    // The boxes are read when SCAN is clicked: one that holds no whole number refuses the scan
    // before anything is read, and blanks around a number are not part of it.
    void numberBoxesAreReadWhenTheScanStarts() {
        World world;
        struct Case {
            QLineEdit* TForm1::*box;
            const char* text;
            bool limitChecked;
            std::string message;  // empty: the scan runs
        };
        const std::string numbers = std::string("message: ") + mdf::kScanNumbersRule;
        const Case cases[] = {
            {&TForm1::Edit2, "x1", false, "message: 'x1' is not a valid integer value"},
            {&TForm1::edtsecs, "eight", false, numbers},
            {&TForm1::edtbegin, "", false, numbers},
            {&TForm1::edtmaxpageid, "", true, numbers},
            {&TForm1::edtmaxpageid, "", false, ""},  // unchecked: its text does not matter
            {&TForm1::edtsecs, " 8 ", false, ""},
        };
        for (const Case& c : cases) {
            ScriptedDialogs d;
            TForm1 w(scripted(d, root()));
            d.paths.push_back(world.image);
            d.yesNo.push_back(false);
            w.N7Click();
            w.Edit2->setText(QString::number(world.manifest.fileId));
            w.CheckBox1->setChecked(c.limitChecked);
            (w.*c.box)->setText(QString::fromUtf8(c.text));
            w.btnscanClick();
            w.waitForJobs();
            if (c.message.empty()) {
                QCOMPARE(w.session().lastScanOutcome(), ScanOutcome::Finished);
                QVERIFY(w.session().fragments().size() > 0);
            } else {
                QVERIFY2(!d.messages().empty() && d.messages().back() == c.message, c.text);
                QVERIFY(w.btnscan->isEnabled());
                QCOMPARE(w.session().fragments().size(), std::size_t{0});
            }
        }
        // Page headers hold 16 bits of file id: the box's low 16 bits are looked for.
        ScriptedDialogs d;
        TForm1 w(scripted(d, root()));
        d.paths.push_back(world.image);
        d.yesNo.push_back(false);
        w.N7Click();
        w.Edit2->setText(QString::number(65536 + world.manifest.fileId));
        w.btnscanClick();
        w.waitForJobs();
        QCOMPARE(w.session().scanFileId(), std::uint16_t(world.manifest.fileId));
    }

    void thirdTabRebuildsItsListEachTimeItIsEntered() {
        mdf::test::TempDir files;
        FragmentList two, three;
        two.append(composeFragment(1, 40, 2048, 0, "D:\\a.mdf(1.00 MB)"));
        two.append(composeFragment(2, 3, 4096, 7, " "));
        three.append(composeFragment(1, 40, 2048, 0, "D:\\a.mdf(1.00 MB)"));
        three.append(composeFragment(2, 3, 4096, 7, " "));
        three.append(composeFragment(3, 35, 9000, 0, "D:\\b.mdf(2.00 MB)"));
        QVERIFY(writeScanInfo(files.file("two.txt"), two, 7).empty());
        QVERIFY(writeScanInfo(files.file("three.txt"), three, 7).empty());

        ScriptedDialogs d;
        TForm1 w(scripted(d, root()));
        d.paths.push_back(files.file("two.txt"));
        d.yesNo.push_back(false);  // no content file
        w.Button3Click();
        QCOMPARE(w.PageControl1->currentIndex(), 1);
        QCOMPARE(w.ListView2->model()->rowCount(), 2);
        QCOMPARE(w.ListView3->model()->rowCount(), 0);  // entering tab 2 changed nothing else
        w.PageControl1->setCurrentIndex(2);
        QCOMPARE(w.ListView3->model()->rowCount(), 1);
        QCOMPARE(w.ListView3->model()->index(0, 1).data().toString(), u("D:\\a.mdf(1.00 MB)"));

        // A longer list opened meanwhile shows on tab 3 only once tab 3 is entered again.
        w.PageControl1->setCurrentIndex(0);
        d.paths.push_back(files.file("three.txt"));
        d.yesNo.push_back(false);
        w.Button3Click();
        QCOMPARE(w.ListView2->model()->rowCount(), 3);
        for (int tab : {3, 1, 0}) {
            w.PageControl1->setCurrentIndex(tab);
            QCOMPARE(w.ListView3->model()->rowCount(), 1);
            QCOMPARE(w.ListView2->model()->rowCount(), 3);
            QCOMPARE(w.ListView4->model()->rowCount(), 0);
        }
        w.PageControl1->setCurrentIndex(2);
        QCOMPARE(w.ListView3->model()->rowCount(), 2);
        QCOMPARE(w.ListView3->model()->index(1, 0).data().toString(), QStringLiteral("2"));
        QCOMPARE(w.ListView3->model()->index(1, 5).data().toLongLong(), 9000);
        // Rows carry image 1 and the alternating colours.
        QCOMPARE(w.ListView3->model()->index(0, 0).data(Qt::BackgroundRole).value<QColor>(),
                 QColor(120, 182, 93));
        QCOMPARE(w.ListView3->model()->index(1, 0).data(Qt::BackgroundRole).value<QColor>(),
                 QColor(120, 221, 139));
        QCOMPARE(d.last("yesno")->text,
                 std::string("已经打开了扫描信息。是否需要打开所有碎片的内容文件"));
        QCOMPARE(d.last("yesno")->caption, std::string("打开碎片内容"));
        QVERIFY(d.messages().empty());
    }

    // Tab 4's TABLES on a real file the user picks: its tables with their rows, and the rows
    // exported to a SQLite file that the sqlite3 shell reads back.
    void tablesOfAFileAndTheirRowsExported() {
        ScriptedDialogs d;
        TForm1 w(scripted(d, root()));
        mdf::test::TempDir dir;
        const std::string pubs = std::string(MDF_TESTDATA_DIR) + "/pubs_sql2008.mdf";
        d.paths.push_back(pubs);
        w.btntablesClick();
        auto* tables = w.findChild<frmtables*>("frmtables");
        QVERIFY(tables);
        QCOMPARE(tables->ListTables->rowCount(), 11);
        QVERIFY(tables->lblsummary->text().startsWith("11 tables, 11 whole, 255 rows"));
        const QList<QTableWidgetItem*> authors =
            tables->ListTables->findItems("dbo.authors", Qt::MatchExactly);
        QCOMPARE(authors.size(), 1);
        QCOMPARE(tables->ListTables->item(authors.front()->row(), 1)->text(), QStringLiteral("23"));

        d.paths.push_back(dir.file("pubs.db"));
        QTest::mouseClick(tables->btnexport, Qt::LeftButton);
        QCOMPARE(d.last("save")->defaultName, std::string("pubs_sql2008.db"));
        QCOMPARE(d.messages().back(),
                 "提示: 255 rows of 11 tables written to " + dir.file("pubs.db"));
        FILE* shell = ::popen(
            ("sqlite3 '" + dir.file("pubs.db") + "' 'select count(*) from sales'").c_str(), "r");
        char answer[32] = {};
        QVERIFY(shell && std::fgets(answer, sizeof answer, shell));
        ::pclose(shell);
        QCOMPARE(std::string(answer), std::string("21\n"));
        QCOMPARE(sha256OfFile(pubs),
                 std::string("88006367da7c31fb4a818148b2884f99a004047b3b2fa68528a88f7a125b3cbb"));
        QVERIFY2(d.unexpected.empty(), d.unexpected.empty() ? "" : d.unexpected.front().c_str());
    }

    void scanWithoutSourceTellsTheUserAndStartsNothing() {
        ScriptedDialogs d;
        TForm1 w(scripted(d, root()));
        w.N2Click();
        w.btnscanClick();
        QCOMPARE(d.messages(), (std::vector<std::string>{"message: choose datasource first！",
                                                         "message: choose datasource first！"}));
        QCOMPARE(d.asked.front().icon, MessageIcon::Warning);
        QVERIFY(w.btnscan->isEnabled());
        QVERIFY(w.edtbegin->isEnabled());
        QVERIFY(!w.session().scanRunning());
        QVERIFY(w.Memo1->toPlainText().isEmpty());
    }

    void wholeRecoveryInAutomaticMode();
    void wholeRecoveryInManualModeWithTheChooser();
    void lostPagesAreReportedAfterCreatingTheFile();
    void closingWhileTheChooserWaitsCancelsAndThenCloses();
    void savedScanWithContentRecoversTheSameFile();
    void partitionsOfADiskImageJoinTheSourceMenu();
    void fragmentListToolsAndSorting();
    void closingDuringAScanStopsIt();
    void aScanOfAnotherSourceStartsANewList();
    void whileTheChooserWaitsEveryOtherCommandIsRefused();
    void whileACommandRunsOnTheWindowsThreadEveryOtherIsRefused();
};

// SEARCH MORE, sort, CHECK, CREATE MDF through the handlers; the file must be the expected one.
static void finishRecovery(TForm1& w, ScriptedDialogs& d, const World& world,
                           const std::string& output) {
    QVERIFY(w.ListView4->model()->rowCount() > 0);
    w.Button6Click();
    const auto search = memoLines(w.Memo3);
    QVERIFY(!search.empty());
    QCOMPARE(search.back(), std::string("本次找到碎片数量0。二次查找完毕"));
    QCOMPARE(static_cast<std::size_t>(w.ListView4->model()->rowCount()),
             world.manifest.fragments.size());
    w.ListView4ColumnClick(1);
    QVERIFY(!w.Button2->isEnabled());
    QVERIFY(!w.Button5->isEnabled());
    w.ListView4ColumnClick(2);
    QVERIFY(w.Button2->isEnabled());
    QVERIFY(w.Button5->isEnabled());
    QVERIFY(w.Button6->isEnabled());
    QCOMPARE(w.ListView4->model()->index(0, 2).data().toInt(), 0);
    QCOMPARE(w.ListView4->model()->index(0, 0).data(Qt::DecorationRole).value<QIcon>().cacheKey(),
             rowIcon(1).cacheKey());
    w.Button5Click();
    QCOMPARE(memoLines(w.Memo3).back(), std::string("check done"));

    d.paths.push_back(output);
    w.Button2Click();
    const auto* save = d.last("save");
    QVERIFY(save);
    QCOMPARE(save->text, std::string(kMdfSaveTitle));
    QCOMPARE(save->defaultName, std::string("Sales.mdf"));
    QCOMPARE(sha256OfFile(output), world.manifest.expectedSha256);
    QCOMPARE(w.g1->value(), 100);
    // The report after writing, the same lines the command line prints: the verdict on the file
    // as written, its lists, the hash, and the report and log kept beside the file.
    const auto lines = memoLines(w.Memo3);
    auto lineStarting = [&](const std::string& start) {
        return std::find_if(lines.begin(), lines.end(),
                            [&](const std::string& l) { return l.rfind(start, 0) == 0; });
    };
    QVERIFY(std::find(lines.begin(), lines.end(), "sha256 " + world.manifest.expectedSha256) !=
            lines.end());
    QVERIFY(std::filesystem::exists(output + ".report.json"));
    QVERIFY(std::filesystem::exists(output + ".log"));
    if (world.manifest.lostPages.empty()) {
        QVERIFY(lineStarting("完整(COMPLETE): 已分配 ") != lines.end());
        QVERIFY(std::none_of(d.asked.begin(), d.asked.end(), [](const auto& a) {
            return a.kind == "message" && a.icon == MessageIcon::Warning;
        }));
    } else {
        // Pages the image no longer holds are named, in the log and in a warning.
        QVERIFY(lineStarting("不完整(PARTIAL): ") != lines.end());
        const auto missing = lineStarting("遗漏已分配页(allocated pages missing) " +
                                          std::to_string(world.manifest.lostPages.size()) + ": " +
                                          std::to_string(world.manifest.lostPages.front()));
        QVERIFY2(missing != lines.end(), w.Memo3->toPlainText().toUtf8().constData());
        QCOMPARE(d.last("message")->caption, std::string("提示"));
        QCOMPARE(d.last("message")->icon, MessageIcon::Warning);
        QVERIFY(d.last("message")->text.find(std::to_string(world.manifest.lostPages.front())) !=
                std::string::npos);
    }
}

void WindowTest::wholeRecoveryInAutomaticMode() {
    World world;
    ScriptedDialogs d;
    TForm1 w(scripted(d, root()));
    chooseAndScan(w, d, world);
    QCOMPARE(d.last("open")->caption, std::string(kImageFilter));
    QCOMPARE(d.last("yesno")->text,
             std::string("choose yes if it is a driver img,choose no if it is a disk img"));
    QCOMPARE(d.last("yesno")->caption, std::string("file type"));
    selectDatabase(w, world);
    QVERIFY(w.chkauto->isChecked());
    w.Button1Click();
    QCOMPARE(w.PageControl1->currentIndex(), 2);
    w.waitForJobs();
    QVERIFY(w.session().lastAnalysisCompleted());
    QVERIFY(w.Button1->isEnabled());
    QCOMPARE(memoLines(w.Memo2).back(), std::string("分析已正常结束,请组合前进行二次查找"));
    QVERIFY(w.chooser() && w.chooser()->isHidden());
    finishRecovery(w, d, world, world.dir.file("auto.mdf"));
    QVERIFY2(d.unexpected.empty(), d.unexpected.empty() ? "" : d.unexpected.front().c_str());
}

void WindowTest::wholeRecoveryInManualModeWithTheChooser() {
    World world(true);
    ScriptedDialogs d;
    TForm1 w(scripted(d, root()));
    chooseAndScan(w, d, world);
    selectDatabase(w, world);
    w.chkauto->setChecked(false);
    int questions = 0;
    bool pickedTrue = true;
    connect(&w, &TForm1::chooserCreated, this, [&](Tfrmuserchoose* chooser) {
        QVERIFY(chooser->windowFlags() & Qt::WindowStaysOnTopHint);
        QVERIFY(!chooser->isModal());
        connect(chooser, &Tfrmuserchoose::questionAsked, chooser, [&, chooser] {
            ++questions;
            QVERIFY(chooser->isVisible());
            QCOMPARE(chooser->windowTitle(), u("指定接续碎片"));
            QCOMPARE(chooser->ListView1->topLevelItemCount(), 1);
            const int rows = chooser->ListView2->topLevelItemCount();
            QVERIFY(rows >= 2 && rows <= 13);
            // Tick the candidate that really continues the file (column 4: first sector).
            int pick = -1;
            bool copyOffered = false;
            for (int r = 0; r < rows; ++r) {
                const std::int64_t sector =
                    chooser->ListView2->topLevelItem(r)->text(4).toLongLong();
                if (world.isTrueFragment(sector)) pick = r;
                if (sector == world.duplicateSector) copyOffered = true;
            }
            QVERIFY(copyOffered);
            if (pick < 0) {
                pickedTrue = false;
                pick = 0;
            }
            chooser->ListView2->topLevelItem(pick)->setCheckState(0, Qt::Checked);
            if (questions == 1) {
                // The ticked candidate saved as a file named after its first sector, raw pages.
                const QTreeWidgetItem* item = chooser->ListView2->topLevelItem(pick);
                d.paths.push_back(world.dir.path().string());
                chooser->Button1Click();
                QCOMPARE(d.last("folder")->text, std::string("保存目录"));
                QCOMPARE(d.messages().back(), std::string("提示: 保存完毕"));
                const QFileInfo hex(
                    QString::fromStdString(world.dir.file(item->text(4).toStdString() + ".hex")));
                QVERIFY(hex.exists());
                QCOMPARE(hex.size(), item->text(1).toLongLong() * 1024);
            }
            QTest::mouseClick(chooser->btnok, Qt::LeftButton);
        });
    });
    w.Button1Click();
    QVERIFY(questions > 0);
    QVERIFY(pickedTrue);
    QVERIFY(w.session().lastAnalysisCompleted());
    QVERIFY(w.Button1->isEnabled());
    QVERIFY(w.chooser()->isHidden());
    QCOMPARE(memoLines(w.Memo2).back(), std::string("分析已正常结束,请组合前进行二次查找"));
    finishRecovery(w, d, world, world.dir.file("manual.mdf"));
}

void WindowTest::lostPagesAreReportedAfterCreatingTheFile() {
    World world(false, 2);
    QVERIFY(!world.manifest.lostPages.empty());
    ScriptedDialogs d;
    TForm1 w(scripted(d, root()));
    chooseAndScan(w, d, world);
    selectDatabase(w, world);
    w.Button1Click();
    w.waitForJobs();
    QVERIFY(w.session().lastAnalysisCompleted());
    finishRecovery(w, d, world, world.dir.file("partial.mdf"));
}

void WindowTest::closingWhileTheChooserWaitsCancelsAndThenCloses() {
    World world(true);
    ScriptedDialogs d;
    TForm1 w(scripted(d, root()));
    w.show();
    chooseAndScan(w, d, world);
    selectDatabase(w, world);
    w.chkauto->setChecked(false);
    bool asked = false;
    connect(&w, &TForm1::chooserCreated, this, [&](Tfrmuserchoose* chooser) {
        connect(chooser, &Tfrmuserchoose::questionAsked, chooser, [&] {
            asked = true;
            // The analysis runs on the window's thread: the window waits for it to end.
            QVERIFY(!w.close());
            QVERIFY(w.isVisible());
        });
    });
    w.Button1Click();
    QVERIFY(asked);
    QVERIFY(!w.session().lastAnalysisCompleted());
    QCOMPARE(memoLines(w.Memo2).back(), std::string("user canceled"));
    QTRY_VERIFY(!w.isVisible());
}

void WindowTest::savedScanWithContentRecoversTheSameFile() {
    World world;
    mdf::test::TempDir saved;
    {
        ScriptedDialogs d;
        TForm1 w(scripted(d, root()));
        chooseAndScan(w, d, world);
        d.paths.push_back(saved.file("scan.txt"));
        d.yesNo.push_back(true);
        d.paths.push_back(saved.file("spcontent"));
        w.btnsaveClick();
        const auto& asked = d.asked;
        QVERIFY(asked.size() >= 4);
        const auto& info = asked[asked.size() - 4];
        QCOMPARE(info.kind, std::string("save"));
        QCOMPARE(info.text, std::string(kScanInfoSaveTitle));
        QCOMPARE(asked[asked.size() - 3].text, std::string("save all the content"));
        QCOMPARE(asked[asked.size() - 3].caption, std::string("save content"));
        QCOMPARE(asked[asked.size() - 2].text, std::string(kContentSaveTitle));
        QCOMPARE(asked[asked.size() - 2].defaultName, std::string("spcontent"));
        QCOMPARE(d.messages().back(), std::string("message: success"));
        QCOMPARE(w.g1->value(), 100);
    }
    // A new window opens the saved scan and its content and recovers without the image.
    ScriptedDialogs d;
    TForm1 w(scripted(d, root()));
    d.paths.push_back(saved.file("scan.txt"));
    d.yesNo.push_back(true);
    d.paths.push_back(saved.file("spcontent"));
    w.Button3Click();
    QVERIFY(!w.session().readFromSource());
    QCOMPARE(w.PageControl1->currentIndex(), 1);
    QVERIFY(w.ListView2->model()->rowCount() > 3);
    selectDatabase(w, world);
    w.Button1Click();
    w.waitForJobs();
    QVERIFY(w.session().lastAnalysisCompleted());
    finishRecovery(w, d, world, world.dir.file("from-content.mdf"));
    QVERIFY2(d.unexpected.empty(), d.unexpected.empty() ? "" : d.unexpected.front().c_str());
}

void WindowTest::partitionsOfADiskImageJoinTheSourceMenu() {
    mdf::test::TempDir dir;
    mdf::test::DatabaseRecipe recipe;
    recipe.pages = 256;
    mdf::test::SyntheticDatabase db(recipe);
    mdf::test::FileSystemImageOptions options;
    options.clusterSectors = 4;
    const auto m = mdf::test::buildDiskImage(db, dir.file("disk.img"), options);
    ScriptedDialogs d;
    TForm1 w(scripted(d, root()));
    d.paths.push_back(dir.file("disk.img"));
    d.yesNo.push_back(false);
    w.N7Click();
    QCOMPARE(w.edtsecs->text(), QStringLiteral("1"));
    QVERIFY(!w.chkfreespace->isEnabled());
    QAction* entry = nullptr;
    for (QAction* a : w.pm1->actions())
        if (a->objectName() == QStringLiteral("partition0")) entry = a;
    QVERIFY(entry);
    QVERIFY(entry->text().contains(QString::number(m.partitionStartSector)));
    entry->trigger();
    QCOMPARE(w.label5->text(), QStringLiteral("FAT32"));
    QCOMPARE(w.edtsecs->text(), QStringLiteral("4"));
    QVERIFY(w.chkfreespace->isEnabled());
    QVERIFY(w.chkfreespace->isChecked());
    // Choosing another image takes the old partition entries away.
    World world;
    d.paths.push_back(world.image);
    d.yesNo.push_back(false);
    w.N7Click();
    int partitions = 0;
    for (QAction* a : w.pm1->actions())
        if (a->objectName().startsWith(QStringLiteral("partition")) && !a->isSeparator())
            ++partitions;
    QCOMPARE(partitions, 0);
}

void WindowTest::fragmentListToolsAndSorting() {
    World world;
    ScriptedDialogs d;
    TForm1 w(scripted(d, root()));
    chooseAndScan(w, d, world);
    QAbstractItemModel* list = w.ListView2->model();
    const int rows = list->rowCount();
    QVERIFY(rows > 3);
    // Sorting by start page puts page 0 first; by size, the sizes ascend.
    w.ListView2ColumnClick(2);
    QCOMPARE(list->index(0, 2).data().toInt(), 0);
    for (int r = 1; r < rows; ++r)
        QVERIFY(list->index(r - 1, 2).data().toInt() <= list->index(r, 2).data().toInt());
    w.ListView2ColumnClick(1);
    for (int r = 1; r < rows; ++r)
        QVERIFY(list->index(r - 1, 1).data().toLongLong() <= list->index(r, 1).data().toLongLong());
    QCOMPARE(list->index(0, 0).data(Qt::BackgroundRole).value<QColor>(), QColor(120, 182, 93));
    QCOMPARE(list->index(1, 0).data(Qt::BackgroundRole).value<QColor>(), QColor(120, 221, 139));

    // Check marks: all, none, inverted; statistics of the checked rows.
    w.N10Click();
    for (int r = 0; r < rows; ++r)
        QCOMPARE(list->index(r, 0).data(Qt::CheckStateRole).toInt(), int(Qt::Checked));
    w.N15Click();
    QCOMPARE(list->index(0, 0).data(Qt::CheckStateRole).toInt(), int(Qt::Unchecked));
    list->setData(list->index(0, 0), Qt::Checked, Qt::CheckStateRole);
    list->setData(list->index(1, 0), Qt::Checked, Qt::CheckStateRole);
    w.N12Click();
    const std::int64_t kb =
        list->index(0, 1).data().toLongLong() + list->index(1, 1).data().toLongLong();
    QCOMPARE(d.messages().back(),
             "提示: 统计结果:碎片数量为2总大小为:" + std::to_string(kb) + "KB");

    // The selected row's start sector goes to the clipboard.
    w.ListView2->setCurrentIndex(list->index(1, 0));
    w.N13Click();
    QCOMPARE(QGuiApplication::clipboard()->text(), list->index(1, 5).data().toString());

    // Filter: only fragments that hold page 0.
    w.rb2->setChecked(true);
    w.edtpgid->setText(QStringLiteral("0"));
    w.edtfilterClick();
    QVERIFY(list->rowCount() >= 1 && list->rowCount() < rows);
    for (int r = 0; r < list->rowCount(); ++r)
        QCOMPARE(list->index(r, 2).data().toInt(), 0);
    // A box of the chosen filter that holds no number is named and changes nothing.
    const int filtered = list->rowCount();
    w.rb1->setChecked(true);
    w.edtfilterClick();
    QCOMPARE(d.messages().back(),
             std::string("message: 'edtbeginid' is not a valid integer value"));
    QCOMPARE(list->rowCount(), filtered);
    w.rb3->setChecked(true);
    w.edtfilterClick();
    QCOMPARE(list->rowCount(), rows);
}

void WindowTest::closingDuringAScanStopsIt() {
    World world;
    ScriptedDialogs d;
    const std::uint64_t slowFrom = QFileInfo(QString::fromStdString(world.image)).size() / 2;
    auto w = std::make_unique<TForm1>(scripted(d, root(), slowOpener(slowFrom)));
    w->show();
    d.paths.push_back(world.image);
    d.yesNo.push_back(false);
    w->N7Click();
    w->btnscanClick();
    // Rows show while the scan still runs.
    QTRY_VERIFY_WITH_TIMEOUT(w->ListView2->model()->rowCount() >= 5, 20000);
    QVERIFY(w->session().scanRunning());
    QAbstractItemModel* list = w->ListView2->model();
    auto captions = [&] {
        std::vector<std::int64_t> out;
        for (int r = 0; r < list->rowCount(); ++r)
            out.push_back(list->index(r, 0).data().toLongLong());
        return out;
    };
    auto endPages = [&] {
        std::vector<std::int32_t> out;
        for (int r = 0; r < list->rowCount(); ++r)
            out.push_back(list->index(r, 3).data().toInt());
        return out;
    };
    const auto shown = captions();
    QVERIFY(std::is_sorted(shown.begin(), shown.end()));
    QCOMPARE(shown.front(), 1);
    const auto ends = endPages();
    QVERIFY2(!std::is_sorted(ends.begin(), ends.end()),
             "the rows found so far are out of page order");
    // Sorting the fragment list is refused while the scan may still add rows.
    w->ListView2ColumnClick(3);
    const auto after = captions();
    QVERIFY(std::equal(shown.begin(), shown.end(), after.begin()));
    const auto endsAfter = endPages();
    QVERIFY(!std::is_sorted(endsAfter.begin(), endsAfter.end()));
    // The database list is not rebuilt while the scan runs, and the status bar says so.
    w->PageControl1->setCurrentIndex(2);
    QVERIFY(w->stat1Panel0->text().startsWith(QStringLiteral("数据库列表未更新")));

    QVERIFY(w->close());
    QVERIFY(!w->session().scanRunning());
    QVERIFY(!w->session().busy());
    QCOMPARE(w->session().lastScanOutcome(), ScanOutcome::Stopped);
    w.reset();
}

// Image A scanned, then image B chosen: A's list can no longer be analysed (its pages are on A),
// and B's scan starts a new list after offering to keep A's, from which B's database comes back
// whole.
void WindowTest::aScanOfAnotherSourceStartsANewList() {
    World a;
    World b(false, 0, 2);
    ScriptedDialogs d;
    TForm1 w(scripted(d, root()));
    chooseAndScan(w, d, a);
    QVERIFY(w.session().fragments().size() > 0);
    d.paths.push_back(b.image);
    d.yesNo.push_back(false);
    w.N7Click();
    QVERIFY(w.session().listIsOfAnotherSource());
    QVERIFY(w.session().listDatabaseFiles().empty());

    mdf::test::TempDir kept;
    d.yesNo.push_back(true);  // keep A's list first
    d.paths.push_back(kept.file("a.info"));
    w.Edit2->setText(QString::number(b.manifest.fileId) + " ");  // a blank typed after it
    w.btnscanClick();
    w.waitForJobs();
    QCOMPARE(w.session().lastScanOutcome(), ScanOutcome::Finished);
    QVERIFY(std::find_if(d.asked.begin(), d.asked.end(), [](const auto& a) {
                return a.kind == "yesno" && a.text.rfind("碎片列表属于另一个数据源", 0) == 0;
            }) != d.asked.end());
    QVERIFY(std::filesystem::exists(kept.file("a.info")));
    QVERIFY(!w.session().listIsOfAnotherSource());
    // The list is the one a window that only ever saw B finds.
    auto places = [](TForm1& window) {
        std::vector<std::string> out;
        for (std::size_t i = 0; i < window.session().fragments().size(); ++i) {
            const auto& r = window.session().fragments()[i];
            out.push_back(std::to_string(r.fsec) + ":" + std::to_string(r.esec) + ":" +
                          std::to_string(r.beginPage));
        }
        return out;
    };
    {
        ScriptedDialogs fresh;
        TForm1 onlyB(scripted(fresh, root()));
        chooseAndScan(onlyB, fresh, b);
        QCOMPARE(places(w), places(onlyB));
    }
    selectDatabase(w, b);
    w.Button1Click();
    w.waitForJobs();
    QVERIFY(w.session().lastAnalysisCompleted());
    finishRecovery(w, d, b, b.dir.file("b.mdf"));
    QVERIFY2(d.unexpected.empty(), d.unexpected.empty() ? "" : d.unexpected.front().c_str());
}

// The manual analysis runs on the window's thread while its chooser waits, and the window keeps
// handling events: every command clicked meanwhile is refused, the list and the source stay as
// they were, and the analysis then ends with the right file.
// Clicks every command that reads the source or changes the list, while another command runs:
// each must be refused with the busy message, leaving the list and the source as they were.
static void clickEveryCommandAndSeeItRefused(TForm1& w, ScriptedDialogs& d, const World& world,
                                             const World& other) {
    const std::uint64_t revision = w.session().fragments().revision();
    const std::size_t records = w.session().fragments().size();
    const std::string busy = "message: busy: a scan or an analysis is running; wait until it ends";
    const std::vector<std::pair<const char*, std::function<void()>>> clicks = {
        {"open image",
         [&] {
             d.paths.push_back(other.image);
             d.yesNo.push_back(false);
             w.N7Click();
         }},
        {"scan", [&] { w.btnscanClick(); }},
        {"menu scan", [&] { w.N2Click(); }},
        {"save",
         [&] {
             d.paths.push_back(world.dir.file("during.info"));
             d.yesNo.push_back(false);
             w.btnsaveClick();
         }},
        {"open scan",
         [&] {
             d.paths.push_back(world.dir.file("during.info"));
             d.yesNo.push_back(false);
             w.Button3Click();
         }},
        {"analysis", [&] { w.Button1Click(); }},
        {"search more", [&] { w.Button6Click(); }},
        {"check", [&] { w.Button5Click(); }},
        {"create mdf",
         [&] {
             d.paths.push_back(world.dir.file("during.mdf"));
             w.Button2Click();
         }},
        {"export", [&] { w.N9Click(); }},
        {"file names", [&] { w.N17Click(); }},
    };
    for (const auto& [clicked, click] : clicks) {
        const std::size_t said = d.messages().size();
        click();
        QVERIFY2(d.messages().size() > said && d.messages().back() == busy, clicked);
        QCOMPARE(w.session().fragments().revision(), revision);
        QCOMPARE(w.session().fragments().size(), records);
        QVERIFY2(!w.session().scanRunning(), clicked);
    }
    QVERIFY(!std::filesystem::exists(world.dir.file("during.info")));
    QVERIFY(!std::filesystem::exists(world.dir.file("during.mdf")));
    QCOMPARE(w.edtDataStr->text().toStdString(), world.image);
    // Refused before they asked for files: what they were given is not for later.
    d.paths.clear();
    d.yesNo.clear();
}

void WindowTest::whileTheChooserWaitsEveryOtherCommandIsRefused() {
    World world(true);
    World other(false, 0, 3);
    ScriptedDialogs d;
    TForm1 w(scripted(d, root()));
    chooseAndScan(w, d, world);
    selectDatabase(w, world);
    w.chkauto->setChecked(false);
    bool tried = false;
    connect(&w, &TForm1::chooserCreated, this, [&](Tfrmuserchoose* chooser) {
        connect(chooser, &Tfrmuserchoose::questionAsked, chooser, [&, chooser] {
            if (!tried) {
                tried = true;
                clickEveryCommandAndSeeItRefused(w, d, world, other);
                QVERIFY(!w.session().listIsOfAnotherSource());
                // The refusals said what they had to; what follows is judged on its own.
                d.asked.erase(std::remove_if(d.asked.begin(), d.asked.end(),
                                             [](const auto& a) {
                                                 return a.kind == "message" &&
                                                        a.text.rfind("busy:", 0) == 0;
                                             }),
                              d.asked.end());
            }
            for (int r = 0; r < chooser->ListView2->topLevelItemCount(); ++r)
                if (world.isTrueFragment(chooser->ListView2->topLevelItem(r)->text(4).toLongLong()))
                    chooser->ListView2->topLevelItem(r)->setCheckState(0, Qt::Checked);
            QTest::mouseClick(chooser->btnok, Qt::LeftButton);
        });
    });
    w.Button1Click();
    QVERIFY(tried);
    QVERIFY(w.session().lastAnalysisCompleted());
    finishRecovery(w, d, world, world.dir.file("after.mdf"));
    QVERIFY2(d.unexpected.empty(), d.unexpected.empty() ? "" : d.unexpected.front().c_str());
}

// SAVE, SEARCH MORE, CREATE MDF, export and sorting the list run on the window's thread (or
// aside, the window waiting) and let its events in while they work: every command clicked
// meanwhile is refused with the busy message, the list stays as it was, nothing else is written,
// and the running command still ends as it would alone.
void WindowTest::whileACommandRunsOnTheWindowsThreadEveryOtherIsRefused() {
    World world;
    World lossy(false, 2, 5);  // fragments the analysis misses: search more has work to do
    World other(false, 0, 3);
    using Step = std::function<void(TForm1&, ScriptedDialogs&)>;
    struct Running {
        const char* name;
        const World& world;
        Step prepare, start;
    };
    const Step nothing = [](TForm1&, ScriptedDialogs&) {};
    const std::vector<Running> running = {
        {"save", world, nothing,
         [&](TForm1& w, ScriptedDialogs& d) {
             d.paths.push_back(world.dir.file("saved.info"));
             d.yesNo.push_back(true);
             d.paths.push_back(world.dir.file("saved.content"));
             w.btnsaveClick();
         }},
        {"search more", lossy, nothing, [](TForm1& w, ScriptedDialogs&) { w.Button6Click(); }},
        {"create mdf", world,
         [](TForm1& w, ScriptedDialogs&) {
             w.Button6Click();
             w.ListView4ColumnClick(2);
         },
         [&](TForm1& w, ScriptedDialogs& d) {
             d.paths.push_back(world.dir.file("created.mdf"));
             w.Button2Click();
         }},
        {"export", world, [](TForm1& w, ScriptedDialogs&) { w.N10Click(); },
         [&](TForm1& w, ScriptedDialogs& d) {
             d.yesNo.push_back(false);  // one file per fragment
             std::filesystem::create_directory(world.dir.file("exported"));
             d.paths.push_back(world.dir.file("exported"));
             w.N9Click();
         }},
        {"sort", world, nothing, [](TForm1& w, ScriptedDialogs&) { w.ListView2ColumnClick(2); }},
    };
    const std::string busy = "message: busy: a scan or an analysis is running; wait until it ends";
    for (const Running& r : running) {
        const char* name = r.name;
        ScriptedDialogs d;
        TForm1 w(scripted(d, root()));
        chooseAndScan(w, d, r.world);
        selectDatabase(w, r.world);
        w.Button1Click();
        w.waitForJobs();
        r.prepare(w, d);
        const std::uint64_t revision = w.session().fragments().revision();
        bool inside = false;
        // Runs at the first moment the running command lets the window's events in.
        QTimer::singleShot(0, &w, [&] {
            inside = w.commandRunning();
            if (inside) clickEveryCommandAndSeeItRefused(w, d, r.world, other);
        });
        r.start(w, d);
        QVERIFY2(inside, name);
        QCOMPARE(w.session().fragments().revision(), revision);
    }
    QVERIFY(std::filesystem::exists(world.dir.file("saved.info")));
    QCOMPARE(sha256OfFile(world.dir.file("created.mdf")), world.manifest.expectedSha256);
}

int runReporterTests(int argc, char** argv);
int runRescueMapTests(int argc, char** argv);
int runOneSequenceTests(int argc, char** argv);

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    int failed = runReporterTests(argc, argv);
    WindowTest window;
    failed += QTest::qExec(&window, argc, argv);
    failed += runRescueMapTests(argc, argv);
    failed += runOneSequenceTests(argc, argv);
    return failed == 0 ? 0 : 1;
}

#include "window_test.moc"
