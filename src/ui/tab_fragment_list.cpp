// The second tab: the fragment list, its filter, its save and its tools.
#include "ui/window_parts.h"

namespace mdf::ui {

void TForm1::buildTab2(QWidget* tab) {
    ListView2Model = new FragmentTableModel(fragmentHeaders("序号", "开始页面号"),
                                            fragmentView_.rows, &fragmentView_.checked, this);
    ListView2 = makeList(tab, "ListView2", ListView2Model, {100, 80, 80, 80, 800, 0, 0});
    ListView2->setGeometry(0, 0, 987, 398);
    connect(ListView2->horizontalHeader(), &QHeaderView::sectionClicked, this,
            &TForm1::ListView2ColumnClick);
    connect(ListView2, &QTableView::clicked, this, &TForm1::ListView2Click);

    PopupMenu1 = named(new QMenu(ListView2), "PopupMenu1");
    auto item = [this](const char* name, const char* caption) {
        return named(PopupMenu1->addAction(QString::fromUtf8(caption)), name);
    };
    N9 = item("N9", "提取勾选碎片到文件");
    N10 = item("N10", "全部选择");
    N14 = item("N14", "全部取消选择");
    N15 = item("N15", "反向选择");
    N11 = item("N11", "碎片过滤");
    N12 = item("N12", "统计勾选的碎片信息");
    N13 = item("N13", "复制此碎片的开始扇区号到剪贴板");
    N16 = item("N16", "把选择的碎片加入组合");
    N17 = item("N17", "取勾选碎片的文件名");
    N18 = item("N18", "取更新信息");
    connect(N9, &QAction::triggered, this, &TForm1::N9Click);
    connect(N10, &QAction::triggered, this, &TForm1::N10Click);
    connect(N14, &QAction::triggered, this, &TForm1::N14Click);
    connect(N15, &QAction::triggered, this, &TForm1::N15Click);
    connect(N12, &QAction::triggered, this, &TForm1::N12Click);
    connect(N13, &QAction::triggered, this, &TForm1::N13Click);
    connect(N16, &QAction::triggered, this, &TForm1::N16Click);
    connect(N17, &QAction::triggered, this, &TForm1::N17Click);
    connect(N18, &QAction::triggered, this, &TForm1::N18Click);
    ListView2->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(ListView2, &QWidget::customContextMenuRequested, this, [this](const QPoint& at) {
        PopupMenu1->popup(ListView2->viewport()->mapToGlobal(at));
    });

    GroupBox1 = named(new QGroupBox(QStringLiteral("开始页面号范围"), tab), "GroupBox1");
    GroupBox1->setGeometry(8, 404, 600, 100);
    rb3 = named(new QRadioButton(QStringLiteral("全部显示"), GroupBox1), "rb3");
    rb3->setGeometry(10, 22, 120, 22);
    rb1 = named(new QRadioButton(QStringLiteral("开始页面号范围"), GroupBox1), "rb1");
    rb1->setGeometry(10, 46, 130, 22);
    auto* Label4 = named(new QLabel(QStringLiteral(">="), GroupBox1), "Label4");
    Label4->setGeometry(146, 48, 20, 20);
    Edit1 = named(new QLineEdit(QStringLiteral("edtbeginid"), GroupBox1), "Edit1");
    Edit1->setGeometry(168, 46, 110, 24);
    auto* Label8 = named(new QLabel(QStringLiteral("<"), GroupBox1), "Label8");
    Label8->setGeometry(286, 48, 14, 20);
    edtendid = named(new QLineEdit(QStringLiteral("edtendid"), GroupBox1), "edtendid");
    edtendid->setGeometry(302, 46, 110, 24);
    rb2 = named(new QRadioButton(QStringLiteral("含如ID的碎片"), GroupBox1), "rb2");
    rb2->setGeometry(10, 72, 130, 22);
    edtpgid = named(new QLineEdit(QStringLiteral("edtpgid"), GroupBox1), "edtpgid");
    edtpgid->setGeometry(168, 72, 110, 24);
    edtfilter = named(new QPushButton(QStringLiteral("过滤"), GroupBox1), "edtfilter");
    edtfilter->setGeometry(470, 40, 110, 32);
    connect(edtfilter, &QPushButton::clicked, this, &TForm1::edtfilterClick);

    btnsave = named(new QPushButton(QStringLiteral("保存此次扫描信息(SAVE)"), tab), "btnsave");
    btnsave->setGeometry(630, 420, 220, 34);
    Button3 = named(new QPushButton(QStringLiteral("打开扫描信息文件(OPEN)"), tab), "Button3");
    Button3->setGeometry(630, 462, 220, 34);
    connect(btnsave, &QPushButton::clicked, this, &TForm1::btnsaveClick);
    connect(Button3, &QPushButton::clicked, this, &TForm1::Button3Click);
}

// ---- Fragment list ----

void TForm1::showFragmentList() {
    // A command on the window's thread is under way (sorting the rows among them): the list is
    // shown anew when it has ended, so that nothing changes the rows a command works on.
    if (busy_ > 0) {
        listStale_ = true;
        return;
    }
    // A long list is made aside, the window answering meanwhile; not while a scan adds to it.
    constexpr std::size_t kRowsMadeAside = 50'000;
    if (session_->fragments().size() >= kRowsMadeAside && !session_->commandRunning()) {
        Busy busy(*this);
        std::vector<FragmentRow> rows;
        if (session_->runAside([&] { rows = visibleRows(session_->fragments()); })) {
            fragmentView_.show(std::move(rows));
            ListView2Model->reload();
            return;
        }
    }
    fragmentView_.fill(session_->fragments());
    ListView2Model->reload();
}

void TForm1::fragmentAppended(FragmentRow row) {
    row.caption = static_cast<std::int64_t>(fragmentView_.rows.size()) + 1;
    ListView2Model->appendRow(std::move(row));
}

void TForm1::lastFragmentRemoved() {
    ListView2Model->removeLastRow();
}

void TForm1::btnsaveClick() {
    if (!session_->acceptsCommands()) return;
    Busy busy(*this);
    const auto scanInfo = dialogs_->saveFile(kScanInfoSaveTitle, "", "");
    std::optional<std::string> content;
    if (dialogs_->askYesNo("save all the content", "save content")) {
        content = dialogs_->saveFile(kContentSaveTitle, "", "spcontent");
        if (!content && !scanInfo) return;
    }
    std::random_device random;
    const std::uint32_t seed = random() % 2147483647u;
    session_->saveScan(scanInfo, content, seed);
}

void TForm1::Button3Click() {
    if (!session_->acceptsCommands()) return;
    Busy busy(*this);
    {
        const QSignalBlocker quiet(PageControl1);
        PageControl1->setCurrentWidget(TabSheet3);
        PageControl1->setCurrentWidget(TabSheet2);
    }
    const auto scanInfo = dialogs_->openFile("打开扫描信息文件(OPEN)", "");
    std::optional<std::string> content;
    if (dialogs_->askYesNo("已经打开了扫描信息。是否需要打开所有碎片的内容文件", "打开碎片内容"))
        content = dialogs_->openFile("打开碎片内容", "");
    // The file id is taken with a scan-info file. The boxes the window shows again afterwards
    // keep what was typed in them.
    if (scanInfo && !takeFileIdBox()) return;
    ScanSettings& st = session_->settings();
    st.freeSpaceOnly = chkfreespace->isChecked();
    if (const auto begin = parseInteger(s(edtbegin->text()))) st.beginSector = *begin;
    if (const auto end = parseInteger(s(edtend->text()))) st.endSector = *end;
    // A blank stride box is filled from the content file; one that holds no number gives 8.
    const std::string stride = s(edtsecs->text());
    st.sectorsPerCluster =
        trimBlanks(stride).empty() ? std::nullopt : std::optional(parseInteger(stride).value_or(8));
    // A list that was replaced shows itself through listReplaced.
    session_->openScan(scanInfo, content);
    showSettings();
}

void TForm1::ListView2ColumnClick(int column) {
    sortFragmentList(column);
}

void TForm1::sortFragmentList(int column) {
    // A scan still adding rows would add them to a list in another order than its own; so would
    // one whose last rows the window has not taken yet.
    if (scanWasRunning_) return;
    // Sorting a million rows takes most of a second: the sorted copy is made aside as a command,
    // and shown once it is made.
    Busy busy(*this);
    FragmentListView::Sorted sorted;
    if (!session_->runAside([&] { sorted = fragmentView_.sorted(column); })) return;
    if (sorted.rows.size() != fragmentView_.rows.size()) return;
    fragmentView_.take(std::move(sorted));
    ListView2Model->reload();
}

std::optional<std::size_t> TForm1::selectedRow(QTableView* view) const {
    const QModelIndex current = view->currentIndex();
    if (!current.isValid()) return std::nullopt;
    return static_cast<std::size_t>(current.row());
}

void TForm1::selectClickedRow(QTableView* view) {
    const QModelIndex current = view->currentIndex();
    if (current.isValid()) view->selectRow(current.row());
}

void TForm1::ListView2Click() {
    selectClickedRow(ListView2);
}
void TForm1::ListView3Click() {
    selectClickedRow(ListView3);
}
void TForm1::ListView4Click() {
    selectClickedRow(ListView4);
}

void TForm1::edtfilterClick() {
    // While a job runs the filter is refused (the session says so) before any box is read.
    if (!session_->acceptsCommands()) return (void)session_->filterFragments(FilterInput{});
    FilterInput input;
    input.mode = rb3->isChecked()   ? FilterMode::ShowAll
                 : rb1->isChecked() ? FilterMode::BeginPageRange
                 : rb2->isChecked() ? FilterMode::ContainsPage
                                    : FilterMode::None;
    // Only the boxes the chosen filter reads must hold numbers.
    if (input.mode == FilterMode::BeginPageRange) {
        const auto from = numberInBox(Edit1);
        const auto below = from ? numberInBox(edtendid) : std::nullopt;
        if (!below) return;
        input.beginAtLeast = *from;
        input.beginBelow = *below;
    } else if (input.mode == FilterMode::ContainsPage) {
        const auto page = numberInBox(edtpgid);
        if (!page) return;
        input.containsPage = *page;
    }
    if (session_->filterFragments(input)) showFragmentList();
}

void TForm1::N9Click() {
    Busy busy(*this);
    session_->runCommand([this] { exportCheckedFragments(); });
}

void TForm1::exportCheckedFragments() {
    FragmentTools tools = session_->fragmentTools();
    const std::vector<FragmentRow> chosen = fragmentView_.checkedRows();
    if (dialogs_->askYesNo(
            "choose yes if save to a single file,choose no if save to multiple files", "message")) {
        const bool check = dialogs_->askYesNo(
            "choose yes if checking double pageid,choose no if no checking double pageid",
            "message");
        // Overlapping rows are refused before a file is asked for; the core tells the user which.
        if (check && overlapsPrevious(chosen)) {
            tools.exportToOneFile(chosen, true, {});
            return;
        }
        const auto path = dialogs_->saveFile("create file", "", "noname");
        if (!path) return;
        tools.exportToOneFile(chosen, check, *path);
    } else {
        const auto folder = dialogs_->chooseFolder("folder choose");
        if (!folder) return;
        tools.exportToFolder(chosen, *folder);
    }
}

void TForm1::N10Click() {
    fragmentView_.checkAll();
    ListView2Model->checksChanged();
}

void TForm1::N14Click() {
    fragmentView_.uncheckAll();
    ListView2Model->checksChanged();
}

void TForm1::N15Click() {
    fragmentView_.invertChecks();
    ListView2Model->checksChanged();
}

void TForm1::N12Click() {
    session_->fragmentTools().showStatistics(fragmentView_.checkedRows());
}

void TForm1::N13Click() {
    const auto row = selectedRow(ListView2);
    if (row && *row < fragmentView_.rows.size())
        QGuiApplication::clipboard()->setText(
            QString::number(fragmentView_.rows[*row].startSector));
}

void TForm1::N16Click() {
    if (session_->addToCombination(fragmentView_.checkedRows())) showCombination();
}

void TForm1::N17Click() {
    session_->runCommand(
        [this] { session_->fragmentTools().showFileNames(fragmentView_.checkedRows()); });
}

void TForm1::N18Click() {
    if (session_->runCommand(
            [this] { session_->fragmentTools().appendLogSequenceNumbers(fragmentView_.rows); }))
        ListView2Model->reload();
}

}  // namespace mdf::ui
