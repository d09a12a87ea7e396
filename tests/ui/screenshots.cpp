// Takes the screenshots in docs/screenshots: a whole recovery of a test-world image through the
// window's handlers, the chooser captured while it asks, each tab captured at the end. Needs a
// real display (scripts/screenshots runs it under Xvfb).
#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScreen>
#include <QTabWidget>
#include <QTableView>
#include <QTreeWidget>
#include <cstdio>
#include <fstream>

#include "assembly/sha256.h"
#include "scripted_dialogs.h"
#include "testworld/process.h"
#include "testworld/temp_dir.h"
#include "testworld/test_world.h"
#include "ui/chooser_dialog.h"
#include "ui/main_window.h"
#include "ui/tables_dialog.h"

using namespace mdf;
using namespace mdf::ui;

namespace {

void settle() {
    for (int i = 0; i < 10; ++i)
        QApplication::processEvents();
}

bool save(const QRect& area, const QString& dir, const char* name) {
    settle();
    const QPixmap shot = QGuiApplication::primaryScreen()->grabWindow(0, area.x(), area.y(),
                                                                      area.width(), area.height());
    const QString path = dir + QLatin1Char('/') + QString::fromLatin1(name);
    if (!shot.save(path)) {
        std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
        return false;
    }
    std::printf("%s\n", qPrintable(path));
    return true;
}

QRect frameOf(QWidget* w) {
    return w->frameGeometry();
}

}  // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    if (QGuiApplication::platformName() == QLatin1String("offscreen")) {
        std::fprintf(stderr, "screenshots need a display (run scripts/screenshots)\n");
        return 2;
    }
    const QString out = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral(".");
    QDir().mkpath(out);

    mdf::test::TempDir dir;
    mdf::test::DatabaseRecipe recipe;
    recipe.pages = 512;
    recipe.seed = 1;
    mdf::test::SyntheticDatabase db(recipe);
    mdf::test::RawImageOptions options;
    options.seed = 21;
    const std::string image = dir.file("raw.img");
    mdf::test::ImageManifest m = mdf::test::buildRawImage(db, image, options);
    // A second copy of one fragment, so that the analysis has two candidates to ask about.
    const mdf::test::ManifestFragment* copied = nullptr;
    for (const auto& f : m.fragments)
        if (f.firstPage > 40 && (!copied || f.firstPage < copied->firstPage)) copied = &f;
    const auto bytes = mdf::test::readFile(image);
    const std::int64_t copySector = static_cast<std::int64_t>(bytes.size()) / 512 + 64;
    mdf::test::writeAt(image, static_cast<std::uint64_t>(copySector) * 512,
                       std::span(bytes.data() + copied->firstSector * 512,
                                 static_cast<std::size_t>(copied->pages) * 8192));
    mdf::test::writeAt(image, (static_cast<std::uint64_t>(copySector) + 16 * copied->pages) * 512,
                       std::vector<std::uint8_t>(64 * 512, 0));

    mdf::ui::test::ScriptedDialogs dialogs;
    WindowOptions wo;
    wo.dialogs = &dialogs;
    wo.devices.emplace(dir.path());
    TForm1 w(wo);
    w.move(0, 0);
    w.show();
    settle();
    bool ok = save(frameOf(&w), out, "0-start.png");

    dialogs.paths.push_back(image);
    dialogs.yesNo.push_back(false);
    w.N7Click();
    w.btnscanClick();
    w.waitForJobs();

    w.PageControl1->setCurrentIndex(2);
    QAbstractItemModel* files = w.ListView3->model();
    for (int r = 0; r < files->rowCount(); ++r)
        if (files->index(r, 5).data().toLongLong() == [&] {
                for (const auto& f : m.fragments)
                    if (f.firstPage == 0) return f.firstSector;
                return std::int64_t{-1};
            }())
            w.ListView3->setCurrentIndex(files->index(r, 0));
    w.ListView3Click();
    w.chkauto->setChecked(false);
    QObject::connect(&w, &TForm1::chooserCreated, [&](Tfrmuserchoose* chooser) {
        QObject::connect(chooser, &Tfrmuserchoose::questionAsked, chooser, [&, chooser] {
            chooser->move(w.x() + 180, w.y() + 120);
            int pick = 0;
            for (int r = 0; r < chooser->ListView2->topLevelItemCount(); ++r) {
                const auto sector = chooser->ListView2->topLevelItem(r)->text(4).toLongLong();
                for (const auto& f : m.fragments)
                    if (f.firstSector == sector) pick = r;
            }
            chooser->ListView2->topLevelItem(pick)->setCheckState(0, Qt::Checked);
            chooser->ListView2->setCurrentItem(chooser->ListView2->topLevelItem(pick));
            ok = save(frameOf(&w).united(frameOf(chooser)), out, "5-chooser.png") && ok;
            chooser->btnokClick();
        });
    });
    w.Button1Click();

    w.PageControl1->setCurrentIndex(3);
    w.Button6Click();
    w.ListView4ColumnClick(2);
    w.Button5Click();
    const std::string output = dir.file("Sales.mdf");
    dialogs.paths.push_back(output);
    w.Button2Click();
    const bool same = sha256OfFile(output) == m.expectedSha256;
    std::printf("recovered file %s the expected one\n", same ? "is" : "is NOT");

    w.PageControl1->setCurrentIndex(0);
    ok = save(frameOf(&w), out, "1-data-source.png") && ok;
    w.Label7Click();
    ok = save(frameOf(&w), out, "1-data-source-help.png") && ok;
    w.Label7Click();
    w.PageControl1->setCurrentIndex(1);
    w.ListView2->selectRow(3);
    ok = save(frameOf(&w), out, "2-fragment-list.png") && ok;
    w.PageControl1->setCurrentIndex(2);
    ok = save(frameOf(&w), out, "3-analysis.png") && ok;
    w.PageControl1->setCurrentIndex(3);
    ok = save(frameOf(&w), out, "4-create-mdf.png") && ok;
    {
        // TABLES in a window that has written nothing: it asks for a file; here the real pubs.
        TForm1 other(wo);
        other.move(0, 0);
        other.show();
        other.PageControl1->setCurrentIndex(3);
        dialogs.paths.push_back(std::string(MDF_TESTDATA_DIR) + "/pubs_sql2008.mdf");
        other.btntablesClick();
        auto* tables = other.findChild<mdf::ui::frmtables*>("frmtables");
        if (tables) {
            tables->move(other.x() + 120, other.y() + 90);
            settle();
            ok = save(frameOf(&other).united(frameOf(tables)), out, "4-tables.png") && ok;
            tables->close();
        } else {
            ok = false;
        }
    }

    // The source again with a ddrescue map (ddrescuelog's, every sector finished but two).
    const std::string map = dir.file("raw.map");
    std::ofstream(dir.file("unread.txt")) << "100\n101\n";
    mdf::test::runChecked(
        {"ddrescuelog", "-q", "-b", "512", "-s", std::to_string(bytes.size()), "-c-+", map}, {},
        dir.file("unread.txt"));
    dialogs.paths.push_back(map);
    w.PageControl1->setCurrentIndex(0);
    w.btnMapClick();
    ok = save(frameOf(&w), out, "1-data-source-map.png") && ok;
    return ok && same ? 0 : 1;
}
