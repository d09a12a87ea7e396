#include "ui/chooser_dialog.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QGroupBox>
#include <QHeaderView>
#include <QPushButton>
#include <QTreeWidget>
#include <QVBoxLayout>

#include "session/recovery_session.h"
#include "ui/dialogs.h"

namespace mdf::ui {

namespace {
QTreeWidget* makeList(QWidget* parent, const char* name, const QStringList& headers) {
    auto* list = new QTreeWidget(parent);
    list->setObjectName(QString::fromLatin1(name));
    list->setHeaderLabels(headers);
    const int widths[] = {100, 80, 80, 80, 100, 100};
    for (int i = 0; i < headers.size(); ++i)
        list->setColumnWidth(i, widths[i]);
    list->setRootIsDecorated(false);
    list->setSelectionBehavior(QAbstractItemView::SelectRows);
    list->setSelectionMode(QAbstractItemView::SingleSelection);
    list->setLayoutDirection(Qt::RightToLeft);
    // The selection stays as visible when the list loses the focus.
    QPalette pal = list->palette();
    pal.setColor(QPalette::Inactive, QPalette::Highlight,
                 pal.color(QPalette::Active, QPalette::Highlight));
    pal.setColor(QPalette::Inactive, QPalette::HighlightedText,
                 pal.color(QPalette::Active, QPalette::HighlightedText));
    list->setPalette(pal);
    return list;
}

QTreeWidgetItem* addRow(QTreeWidget* list, const FragmentList& fragments, std::int32_t record,
                        bool checkable) {
    const auto cells = chooserRow(fragments, record);
    QStringList texts;
    for (const auto& c : cells)
        texts << QString::fromStdString(c);
    auto* item = new QTreeWidgetItem(list, texts);
    if (checkable) item->setCheckState(0, Qt::Unchecked);
    return item;
}
}  // namespace

Tfrmuserchoose::Tfrmuserchoose(RecoverySession& session, Dialogs& dialogs, QWidget* parent)
    : QDialog(parent), session_(session), dialogs_(dialogs) {
    setObjectName(QStringLiteral("frmuserchoose"));
    setWindowTitle(QStringLiteral("指定接续碎片"));
    setWindowFlags(Qt::Tool | Qt::WindowTitleHint | Qt::WindowCloseButtonHint |
                   Qt::WindowStaysOnTopHint);
    setModal(false);
    resize(734, 450);

    auto* outer = new QVBoxLayout(this);
    GroupBox1 = new QGroupBox(QStringLiteral("符合超过1个,请选择后续碎片"), this);
    GroupBox1->setObjectName(QStringLiteral("GroupBox1"));
    outer->addWidget(GroupBox1);
    auto* layout = new QVBoxLayout(GroupBox1);
    ListView1 = makeList(GroupBox1, "ListView1",
                         {QStringLiteral("上一有效碎片"), QStringLiteral("碎片大小(KB)"),
                          QStringLiteral("开始页面号"), QStringLiteral("结束页面号"),
                          QStringLiteral("开始扇区"), QStringLiteral("结束扇区")});
    ListView1->setFixedHeight(60);
    layout->addWidget(ListView1);
    ListView2 = makeList(
        GroupBox1, "ListView2",
        {QStringLiteral("序号"), QStringLiteral("碎片大小(KB)"), QStringLiteral("开始页面号"),
         QStringLiteral("结束页面号"), QStringLiteral("开始扇区"), QStringLiteral("结束扇区")});
    layout->addWidget(ListView2, 1);
    auto* buttons = new QHBoxLayout;
    btnok = new QPushButton(QStringLiteral("确定"), GroupBox1);
    btnok->setObjectName(QStringLiteral("btnok"));
    btncancel = new QPushButton(QStringLiteral("取消"), GroupBox1);
    btncancel->setObjectName(QStringLiteral("btncancel"));
    Button1 = new QPushButton(QStringLiteral("把勾选的碎片保存为文件"), GroupBox1);
    Button1->setObjectName(QStringLiteral("Button1"));
    buttons->addWidget(Button1);
    buttons->addStretch(1);
    buttons->addWidget(btnok);
    buttons->addWidget(btncancel);
    layout->addLayout(buttons);

    connect(btnok, &QPushButton::clicked, this, &Tfrmuserchoose::btnokClick);
    connect(btncancel, &QPushButton::clicked, this, &Tfrmuserchoose::btncancelClick);
    connect(Button1, &QPushButton::clicked, this, &Tfrmuserchoose::Button1Click);
    connect(ListView2, &QTreeWidget::itemClicked, this, &Tfrmuserchoose::ListView2Click);
    connect(ListView1, &QTreeWidget::itemClicked, this, &Tfrmuserchoose::ListView2Click);
    FormCreate();
}

void Tfrmuserchoose::FormCreate() {
    decision_ = ChooserDecision{};
}

std::optional<std::size_t> Tfrmuserchoose::chooseNextFragment(const std::vector<std::size_t>& group,
                                                              std::int32_t lastChosen) {
    decision_.cancel();  // a failure while filling counts as a cancel
    ListView1->clear();
    ListView2->clear();
    candidates_.clear();
    const FragmentList& fragments = session_.fragments();
    for (std::size_t position : group) {
        const std::int32_t record = session_.index()[position].recordIndex;
        candidates_.push_back(record);
        addRow(ListView2, fragments, record, true);
    }
    addRow(ListView1, fragments, lastChosen, false);

    decision_.beginQuestion();
    show();
    raise();
    emit questionAsked();
    while (waiting())
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    return decision_.answer(candidates_.size());
}

std::vector<bool> Tfrmuserchoose::ticked() const {
    std::vector<bool> out;
    for (int i = 0; i < ListView2->topLevelItemCount(); ++i)
        out.push_back(ListView2->topLevelItem(i)->checkState(0) == Qt::Checked);
    return out;
}

void Tfrmuserchoose::ListView2Click() {
    QTreeWidgetItem* current = ListView2->currentItem();
    if (!current) return;
    current->setSelected(true);
    decision_.rowClicked(ListView2->indexOfTopLevelItem(current));
}

void Tfrmuserchoose::btnokClick() {
    decision_.confirm(ticked());
    hide();
}

void Tfrmuserchoose::btncancelClick() {
    decision_.cancel();
    hide();
}

void Tfrmuserchoose::closeEvent(QCloseEvent* event) {
    decision_.closed();
    hide();
    event->ignore();
}

void Tfrmuserchoose::Button1Click() {
    const auto folder = dialogs_.chooseFolder("保存目录");
    if (!folder) return;
    std::vector<std::int32_t> records;
    const std::vector<bool> marks = ticked();
    for (std::size_t i = 0; i < marks.size() && i < candidates_.size(); ++i)
        if (marks[i]) records.push_back(candidates_[i]);
    session_.saveCandidates(records, *folder);
}

}  // namespace mdf::ui
