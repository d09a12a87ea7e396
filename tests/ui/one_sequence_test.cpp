// The window's CREATE MDF, the command line's create (after scan and analyse) and its recover run
// one sequence after the analysis: on the same deleted database they write the same bytes and
// give the same verdict. Real files on FAT32 with 4 KB clusters, where half the pages lie across
// two clusters and only the split-page search brings them back.
#include <QCheckBox>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QTabWidget>
#include <QTableView>
#include <QTest>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>

#include "assembly/sha256.h"
#include "scripted_dialogs.h"
#include "testworld/fidelity_world.h"
#include "testworld/process.h"
#include "testworld/temp_dir.h"
#include "testworld/test_world.h"
#include "ui/main_window.h"

using namespace mdf;
using namespace mdf::ui;
using mdf::ui::test::ScriptedDialogs;

namespace {

nlohmann::json verdictOf(const std::string& output) {
    return nlohmann::json::parse(std::ifstream(output + ".report.json"))["verdict"];
}

}  // namespace

class OneSequenceTest : public QObject {
    Q_OBJECT

    mdf::test::TempDir empty_;  // a machine without disks

    // What the window writes from the image: scan of the volume's free space, the database
    // chosen, automatic analysis, CREATE MDF.
    void recoverInTheWindow(const std::string& image, std::int64_t headSector,
                            const std::string& output) {
        ScriptedDialogs d;
        WindowOptions o;
        o.dialogs = &d;
        o.devices.emplace(empty_.path());
        TForm1 w(o);
        d.paths.push_back(image);
        d.yesNo.push_back(true);  // a volume image
        w.N7Click();
        w.chkfreespace->setChecked(true);
        w.btnscanClick();
        w.waitForJobs();
        w.PageControl1->setCurrentIndex(2);
        QAbstractItemModel* files = w.ListView3->model();
        for (int row = 0; row < files->rowCount(); ++row)
            if (files->index(row, 5).data().toLongLong() == headSector)
                w.ListView3->setCurrentIndex(files->index(row, 0));
        QVERIFY(w.ListView3->currentIndex().isValid());
        w.ListView3Click();
        w.Button1Click();
        w.waitForJobs();
        QVERIFY(w.session().lastAnalysisCompleted());
        w.PageControl1->setCurrentIndex(3);
        d.paths.push_back(output);
        w.Button2Click();
        QVERIFY2(std::filesystem::exists(output), w.Memo3->toPlainText().toUtf8().constData());
    }

  private slots:
    void everyFrontEndWritesTheSameFile() {
        for (const char* name : {"pubs_sql2008.mdf", "db_Examination_sql2016_created2000.mdf"}) {
            const std::string original = std::string(MDF_TESTDATA_DIR) + "/" + name;
            mdf::test::TempDir dir;
            const std::string image = dir.file("fat.img");
            mdf::test::FileSystemImageOptions options;
            options.clusterSectors = 8;
            options.seed = 71;
            const auto m = mdf::test::buildFat32Image(
                mdf::test::databaseOnDisk(original, "C:\\dbs\\db.mdf"), image, options);
            std::int64_t headSector = -1;
            for (const auto& f : m.fragments)
                if (f.firstPage == 0) headSector = f.firstSector;

            const std::string sourceBefore = sha256OfFile(image);
            const std::string fromWindow = dir.file("window.mdf");
            recoverInTheWindow(image, headSector, fromWindow);

            const std::string fromRecover = dir.file("recover.mdf");
            const auto recover = mdf::test::runCommand({MDF_CLI, "recover", image, "--partition",
                                                        "--free-space-only", "--file", "1", "-o",
                                                        fromRecover, "--no-save-scan"});
            const std::string fromCreate = dir.file("create.mdf");
            mdf::test::runChecked({MDF_CLI, "scan", image, "--partition", "--free-space-only", "-o",
                                   dir.file("scan.info")});
            const auto analyse = mdf::test::runCommand({MDF_CLI, "analyse", dir.file("scan.info"),
                                                        "--source", image, "--partition", "--file",
                                                        "1", "--session", dir.file("session")});
            QVERIFY2(analyse.exitCode <= 1, analyse.output.c_str());
            const auto create = mdf::test::runCommand(
                {MDF_CLI, "create", "--session", dir.file("session"), "-o", fromCreate});

            QCOMPARE(sha256OfFile(image), sourceBefore);
            QVERIFY2(recover.exitCode == create.exitCode,
                     (recover.output + "\n----\n" + create.output).c_str());
            const std::string sha = sha256OfFile(fromWindow);
            QCOMPARE(sha256OfFile(fromRecover), sha);
            QCOMPARE(sha256OfFile(fromCreate), sha);
            const nlohmann::json verdict = verdictOf(fromWindow);
            QVERIFY2(verdictOf(fromRecover) == verdict, verdictOf(fromRecover).dump().c_str());
            QVERIFY2(verdictOf(fromCreate) == verdict, verdictOf(fromCreate).dump().c_str());
            // The verdict is the file's: complete only when every allocated page is the original's.
            const auto want = mdf::test::readPageFile(original);
            const auto got = mdf::test::readPageFile(fromWindow);
            bool same = got.size() == want.size();
            for (std::int32_t p : mdf::test::allocatedPages(want))
                same =
                    same && got[static_cast<std::size_t>(p)] == want[static_cast<std::size_t>(p)];
            QVERIFY(same || recover.exitCode != 0);
            QCOMPARE(recover.exitCode, std::string(name).rfind("pubs", 0) == 0 ? 0 : 1);
        }
    }
};

int runOneSequenceTests(int argc, char** argv) {
    OneSequenceTest t;
    return QTest::qExec(&t, argc, argv);
}

#include "one_sequence_test.moc"
