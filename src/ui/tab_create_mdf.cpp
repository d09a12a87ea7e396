// The fourth tab: the combination, search more, check, the MDF written and its tables.
#include "ui/window_parts.h"

namespace mdf::ui {

void TForm1::buildTab4(QWidget* tab) {
    ListView4Model = new FragmentTableModel(fragmentHeaders("序号", "起始页面号"), combinationRows_,
                                            nullptr, this);
    ListView4 = makeList(tab, "ListView4", ListView4Model, {100, 100, 100, 100, 800, 0, 0});
    ListView4->setGeometry(0, 0, 987, 330);
    connect(ListView4->horizontalHeader(), &QHeaderView::sectionClicked, this,
            &TForm1::ListView4ColumnClick);
    connect(ListView4, &QTableView::clicked, this, &TForm1::ListView4Click);
    Button6 = named(new QPushButton(QStringLiteral("查找遗漏碎片(SEARCH MORE)"), tab), "Button6");
    Button6->setGeometry(8, 338, 220, 34);
    Button5 = named(new QPushButton(QStringLiteral("检查遗漏页(CHECK)"), tab), "Button5");
    Button5->setGeometry(238, 338, 200, 34);
    Button2 = named(new QPushButton(QStringLiteral("组合MDF(CREATE MDF)"), tab), "Button2");
    Button2->setGeometry(448, 338, 200, 34);
    Button5->setEnabled(false);
    Button2->setEnabled(false);
    btntables = named(new QPushButton(QStringLiteral("表与行(TABLES)"), tab), "btntables");
    btntables->setGeometry(658, 338, 180, 34);
    connect(btntables, &QPushButton::clicked, this, &TForm1::btntablesClick);
    Memo3 = named(new QPlainTextEdit(tab), "Memo3");
    Memo3->setGeometry(8, 378, 976, 126);
    Memo3->setReadOnly(true);
    connect(Button6, &QPushButton::clicked, this, &TForm1::Button6Click);
    connect(Button5, &QPushButton::clicked, this, &TForm1::Button5Click);
    connect(Button2, &QPushButton::clicked, this, &TForm1::Button2Click);
}

// ---- Combination ----

void TForm1::showCombination() {
    combinationRows_ = session_->combination().rows;
    ListView4Model->reload();
    updateTab4Buttons();
}

void TForm1::updateTab4Buttons() {
    const CombinationList& c = session_->combination();
    Button2->setEnabled(c.mayWrite());
    Button5->setEnabled(c.mayWrite());
    Button6->setEnabled(c.maySearch());
}

void TForm1::ListView4ColumnClick(int column) {
    session_->sortCombination(column);
    showCombination();
}

void TForm1::Button6Click() {
    Busy busy(*this);
    for (QPushButton* b : {Button2, Button5, Button6})
        b->setEnabled(false);
    session_->searchMore();
    showCombination();
}

void TForm1::Button5Click() {
    Busy busy(*this);
    session_->checkMissingPages();
}

void TForm1::Button2Click() {
    if (!session_->acceptsCommands()) return;
    Busy busy(*this);
    const CombinationList& c = session_->combination();
    if (c.rows.empty() || c.rows.front().startPage != 0) {
        Memo3->clear();
        return;
    }
    const auto path =
        dialogs_->saveFile(kMdfSaveTitle, "", defaultMdfName(session_->analysis().lostFileName));
    if (!path) return;
    // Writing onto the device being recovered can overwrite what is still to be found: only when
    // the user says so.
    OutputGuard guard = session_->outputGuard();
    const std::string refusal = guard.refusal(*path);
    guard.allowSourceDevice = true;
    bool allowed = false;
    if (!refusal.empty() && guard.refusal(*path).empty()) {
        if (!dialogs_->askYesNo(refusal + "\n仍要保存到这里吗?(save there anyway?)", "提示"))
            return;
        allowed = true;
    }
    session_->allowWritingOnSourceDevice(allowed);
    // The window keeps painting while the file is written, but takes no other command.
    PageControl1->setEnabled(false);
    mm1->setEnabled(false);
    // The same sequence as the command line's: search more, split pages, newest copies, check,
    // write, and the verdict on what was written.
    const RecoveryResult result = session_->completeRecovery(*path);
    PageControl1->setEnabled(true);
    mm1->setEnabled(true);
    session_->allowWritingOnSourceDevice(false);
    showCombination();
    if (!result.written.written) return;
    lastMdf_ = *path;
    const std::vector<std::string> lines = recoveryLines(*session_, result, *path);
    for (const std::string& line : lines)
        appendLog(Memo::Assembly, q(line));
    if (!result.written.verdict.complete) {
        // One box for the whole verdict: its judgement and the first pages of every list.
        std::string text = "MDF文件不完整(THE MDF FILE IS PARTIAL)";
        for (const std::string& line : verdictLines(result.written.verdict))
            text += "\n" + line;
        for (const std::string& line : tablesHit(result.tables))
            text += "\n" + line;
        dialogs_->message(text, "提示", MessageIcon::Warning);
    }
}

void TForm1::btntablesClick() {
    Busy busy(*this);
    std::string path = lastMdf_;
    if (path.empty()) {
        const auto chosen = dialogs_->openFile("打开MDF文件(open an MDF file)",
                                               "MDF文件(*.mdf)|*.mdf;*.MDF|所有文件(*.*)|*");
        if (!chosen) return;
        path = *chosen;
    }
    std::string error;
    auto file = std::shared_ptr<DatabasePages>(DatabasePages::open(path, error));
    if (!file) {
        dialogs_->message(error, "提示", MessageIcon::Warning);
        return;
    }
    auto catalogue = std::make_shared<Catalogue>(readCatalogue(*file));
    auto census = std::make_shared<FileCensus>(takeCensus(*file, *catalogue));
    if (frmtables_) frmtables_->close();
    // The export reads only the .mdf, and writes where the user says, never onto that file.
    frmtables_ = new frmtables(
        path, *census,
        [this, path, file, catalogue, census] {
            const auto db = dialogs_->saveFile("保存表行(save the rows)", "SQLite(*.db)|*.db",
                                               std::filesystem::path(path).stem().string() + ".db");
            if (!db) return;
            OutputGuard guard;
            guard.sourcePath = path;
            if (const std::string refusal = guard.refusal(*db); !refusal.empty()) {
                dialogs_->message(refusal, "提示", MessageIcon::Warning);
                return;
            }
            const std::unique_ptr<RowSink> sink = sqliteSink(*db, guard);
            std::vector<TableExport> account;
            if (!exportRows(*file, *catalogue, *census, {}, *sink, account)) {
                dialogs_->message(sink->error(), "提示", MessageIcon::Error);
                return;
            }
            std::int64_t rows = 0;
            std::string missing;
            for (const TableExport& t : account) {
                rows += t.rowsWritten;
                if (t.pagesMissing > 0 || !t.notDecoded.empty())
                    missing +=
                        "\n" + t.table + ": " + std::to_string(t.pagesMissing) + " pages missing" +
                        (t.notDecoded.empty() ? "" : ", not decoded: " + t.notDecoded.front());
            }
            dialogs_->message(std::to_string(rows) + " rows of " + std::to_string(account.size()) +
                                  " tables written to " + *db + missing,
                              "提示",
                              missing.empty() ? MessageIcon::Information : MessageIcon::Warning);
        },
        this);
    frmtables_->setAttribute(Qt::WA_DeleteOnClose);
    frmtables_->show();
}

}  // namespace mdf::ui
