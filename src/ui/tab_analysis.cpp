// The third tab: the database files found, and the analysis of the one chosen.
#include "ui/window_parts.h"

namespace mdf::ui {

void TForm1::buildTab3(QWidget* tab) {
    ListView3Model = new CatalogueModel(this);
    ListView3 = makeList(tab, "ListView3", ListView3Model, {100, 800, 0, 0, 0, 0, 0});
    ListView3->setGeometry(0, 0, 600, 504);
    connect(ListView3, &QTableView::clicked, this, &TForm1::ListView3Click);
    Button1 = named(new QPushButton(QStringLiteral("分析该碎片(FILTER)"), tab), "Button1");
    Button1->setGeometry(610, 8, 180, 32);
    chkauto = named(new QCheckBox(QStringLiteral("自动模式"), tab), "chkauto");
    chkauto->setGeometry(806, 14, 120, 22);
    chkauto->setChecked(true);
    Memo2 = named(new QPlainTextEdit(tab), "Memo2");
    Memo2->setGeometry(610, 48, 374, 456);
    Memo2->setReadOnly(true);
    connect(Button1, &QPushButton::clicked, this, &TForm1::Button1Click);
}

// ---- Analysis ----

void TForm1::PageControl1Change(int index) {
    if (index != 2) return;
    // While a job runs the list cannot be read; the rows shown stay until it has ended, and the
    // status bar says they may be out of date rather than leaving a stale list unexplained.
    if (session_->busy()) {
        stat1Panel0->setText(QStringLiteral(
            "数据库列表未更新:任务运行中 (the database list is not refreshed while a "
            "job runs; open this tab again when it has ended)"));
        return;
    }
    ListView3Model->setRows(session_->listDatabaseFiles());
}

void TForm1::Button1Click() {
    if (session_->scanRunning()) {
        session_->startAnalysis({});  // refused: tells the user that the scan is still running
        return;
    }
    if (!session_->acceptsCommands()) return;
    {
        const QSignalBlocker quiet(PageControl1);
        PageControl1->setCurrentWidget(TabSheet4);
        PageControl1->setCurrentWidget(TabSheet3);
    }
    if (frmuserchoose_) frmuserchoose_->deleteLater();
    frmuserchoose_ = new Tfrmuserchoose(*session_, *dialogs_, this);
    emit chooserCreated(frmuserchoose_.data());
    std::optional<CatalogueRow> selected;
    if (auto row = selectedRow(ListView3); row && *row < ListView3Model->rows().size())
        selected = ListView3Model->rows()[*row];
    if (!selected) return;
    Button1->setEnabled(false);
    chkauto->setEnabled(false);
    if (chkauto->isChecked()) {
        if (session_->startAnalysis(*selected) == StartResult::Started) {
            analysisWasRunning_ = true;
            jobTimer_->start();
            return;
        }
    } else {
        Busy busy(*this);
        session_->startAnalysis(*selected, frmuserchoose_.data());
        showCombination();
    }
    Button1->setEnabled(true);
    chkauto->setEnabled(true);
}

}  // namespace mdf::ui
