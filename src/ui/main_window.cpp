#include "ui/window_parts.h"

namespace mdf::ui {

TForm1::TForm1(WindowOptions options, QWidget* parent)
    : QMainWindow(parent),
      reporter_(*this),
      ownDialogs_(options.dialogs ? nullptr : std::make_unique<QtDialogs>(this)),
      dialogs_(options.dialogs ? options.dialogs : ownDialogs_.get()),
      devices_(options.devices ? std::move(*options.devices) : DeviceCatalog()),
      session_(std::make_unique<RecoverySession>(reporter_, std::move(options.opener))) {
    setObjectName(QStringLiteral("Form1"));
    setWindowTitle(QStringLiteral("SarvelMDF文件恢复工具5.0"));
    // A single fixed border: system menu, minimise and close; no maximise, no resizing.
    setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint);

    buildMenus();
    auto* central = new QWidget(this);
    central->setObjectName(QStringLiteral("clientArea"));
    setCentralWidget(central);

    PageControl1 = named(new QTabWidget(central), "PageControl1");
    PageControl1->setGeometry(0, 0, 993, 537);
    TabSheet1 = named(new QWidget, "TabSheet1");
    TabSheet2 = named(new QWidget, "TabSheet2");
    TabSheet3 = named(new QWidget, "TabSheet3");
    TabSheet4 = named(new QWidget, "TabSheet4");
    PageControl1->addTab(TabSheet1, QStringLiteral("  Ⅰ  选择数据源(DATA SOURCE)     "));
    PageControl1->addTab(TabSheet2, QStringLiteral("  Ⅱ  碎片列表(FRAGMENT LIST )        "));
    PageControl1->addTab(TabSheet3, QStringLiteral("  Ⅲ  分析碎片(FILTER)       "));
    PageControl1->addTab(TabSheet4, QStringLiteral("   Ⅳ  组合MDF(CREATE MDF)     "));
    buildTab1(TabSheet1);
    buildTab2(TabSheet2);
    buildTab3(TabSheet3);
    buildTab4(TabSheet4);
    connect(PageControl1, &QTabWidget::currentChanged, this, &TForm1::PageControl1Change);

    g1 = named(new QProgressBar(central), "g1");
    g1->setGeometry(1, 543, 784, 28);
    g1->setRange(0, 100);
    g1->setValue(0);
    Button7 = named(new QPushButton(QStringLiteral("业务联系专业恢复(ABOUT)"), central), "Button7");
    Button7->setGeometry(795, 543, 198, 28);
    connect(Button7, &QPushButton::clicked, this, &TForm1::Button7Click);

    stat1 = named(new QStatusBar(this), "stat1");
    stat1->setSizeGripEnabled(false);
    stat1Panel0 = named(new QLabel(stat1), "stat1Panel0");
    stat1Panel0->setFixedWidth(200);
    stat1->addWidget(stat1Panel0);
    setStatusBar(stat1);

    jobTimer_ = new QTimer(this);
    jobTimer_->setInterval(50);
    connect(jobTimer_, &QTimer::timeout, this, &TForm1::pollJobs);

    // The client area is fixed: 1084 x 615 below the title bar.
    setFixedSize(1084, 615);
    session_->setFragmentListener(this);
    FormCreate();
}

TForm1::~TForm1() {
    reporter_.shutDown();
    session_->requestStop();
    session_->waitForJobs();
    session_->setFragmentListener(nullptr);
}

void TForm1::buildMenus() {
    mm1 = named(new QMenuBar(this), "mm1");
    setMenuBar(mm1);
    QMenu* operation = mm1->addMenu(QStringLiteral("操作(OPERATION)"));
    operation->setObjectName(QStringLiteral("N1menu"));
    N1 = named(operation->menuAction(), "N1");
    N2 = named(operation->addAction(QStringLiteral("开始扫描(SCAN)")), "N2");
    N3 = named(operation->addAction(QStringLiteral("停止扫描(STOP)")), "N3");
    N4 = named(operation->addSeparator(), "N4");
    N5 = named(operation->addAction(QStringLiteral("退出")), "N5");
    N6 = named(mm1->addAction(QStringLiteral("关于(ABOUT)")), "N6");
    connect(N2, &QAction::triggered, this, &TForm1::N2Click);
    connect(N3, &QAction::triggered, this, &TForm1::N3Click);
    connect(N5, &QAction::triggered, this, &QWidget::close);
    connect(N6, &QAction::triggered, this, &TForm1::N6Click);
}

QTableView* TForm1::makeList(QWidget* parent, const char* name, QAbstractItemModel* model,
                             const std::vector<int>& widths) {
    auto* view = named(new QTableView(parent), name);
    view->setModel(model);
    view->setSelectionBehavior(QAbstractItemView::SelectRows);
    view->setSelectionMode(QAbstractItemView::SingleSelection);
    view->setShowGrid(false);
    view->setWordWrap(false);
    view->setEditTriggers(QAbstractItemView::NoEditTriggers);
    view->verticalHeader()->setVisible(false);
    view->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    view->verticalHeader()->setDefaultSectionSize(20);
    view->setIconSize(QSize(16, 16));
    QHeaderView* header = view->horizontalHeader();
    header->setMinimumSectionSize(0);
    header->setSectionsClickable(true);
    header->setHighlightSections(false);
    header->setStretchLastSection(false);
    for (std::size_t i = 0; i < widths.size(); ++i)
        header->resizeSection(static_cast<int>(i), widths[i]);
    // The selection stays as visible when the list loses the focus.
    QPalette pal = view->palette();
    pal.setColor(QPalette::Inactive, QPalette::Highlight,
                 pal.color(QPalette::Active, QPalette::Highlight));
    pal.setColor(QPalette::Inactive, QPalette::HighlightedText,
                 pal.color(QPalette::Active, QPalette::HighlightedText));
    view->setPalette(pal);
    return view;
}

// ---- Start-up and shut-down ----

void TForm1::FormCreate() {
    {
        const QSignalBlocker quiet(PageControl1);
        PageControl1->setCurrentWidget(TabSheet1);
    }
    // The session starts with pages read from the source, no scan running and no file system;
    // the file id box gives the scan its file id.
    takeFileIdBox();
    session_->takeFileId();
    Memo1->clear();
    Memo2->clear();
    buildSourceMenu();
}

void TForm1::closeEvent(QCloseEvent* event) {
    if (busy_ > 0) {
        // A command on the window's thread is under way: it is asked to stop where it is (a file
        // being written is left unwritten), and the window closes when it has ended.
        closePending_ = true;
        session_->requestStop();
        if (frmuserchoose_ && frmuserchoose_->waiting()) frmuserchoose_->btncancelClick();
        event->ignore();
        return;
    }
    // FormClose: a running scan is stopped and every worker has ended before the window goes.
    reporter_.shutDown();
    session_->requestStop();
    session_->waitForJobs();
    jobTimer_->stop();
    if (frmuserchoose_) frmuserchoose_->hide();
    event->accept();
}

bool TForm1::eventFilter(QObject* watched, QEvent* event) {
    if (watched == Label7 && event->type() == QEvent::MouseButtonPress) {
        Label7Click();
        return true;
    }
    return QMainWindow::eventFilter(watched, event);
}

void TForm1::waitForJobs() {
    session_->waitForJobs();
    reporter_.deliverPending();
    pollJobs();
}

// ---- The Reporter's updates ----

void TForm1::appendLog(Memo memo, const QString& lines) {
    QPlainTextEdit* m = memo == Memo::Scan ? Memo1 : memo == Memo::Analysis ? Memo2 : Memo3;
    m->appendPlainText(lines);
}

void TForm1::clearLog(Memo memo) {
    (memo == Memo::Scan ? Memo1 : memo == Memo::Analysis ? Memo2 : Memo3)->clear();
}

void TForm1::setStatus(const QString& text) {
    stat1Panel0->setText(text);
}

void TForm1::setProgress(int percent) {
    g1->setValue(std::clamp(percent, 0, 100));
}

void TForm1::showMessage(const std::string& text, const std::string& caption, MessageIcon icon) {
    dialogs_->message(text, caption, icon);
}

void TForm1::updatesDelivered() {
    ListView2Model->commitAppended();
}

void TForm1::recordAppended(std::size_t recordIndex, const FragmentRecord& r) {
    // Built here, while the record cannot change; shown on the window's thread.
    FragmentRow row{static_cast<std::int32_t>(recordIndex),
                    0,
                    r.sizeKB,
                    r.beginPage,
                    r.endPage,
                    r.memo,
                    r.fsec,
                    r.esec};
    reporter_.post([this, row = std::move(row)]() mutable { fragmentAppended(std::move(row)); });
}

void TForm1::lastRecordRemoved() {
    reporter_.post([this] { lastFragmentRemoved(); });
}

void TForm1::listReplaced() {
    reporter_.post([this] { showFragmentList(); });
}

// ---- Window ----

void TForm1::N6Click() {
    Tfrmabout about(this);
    about.exec();
}

void TForm1::Button7Click() {
    N6Click();
}

}  // namespace mdf::ui
