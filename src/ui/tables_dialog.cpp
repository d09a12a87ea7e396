#include "ui/tables_dialog.h"

#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QTableWidget>
#include <QVBoxLayout>

namespace mdf::ui {
namespace {

QString q(const std::string& s) {
    return QString::fromStdString(s);
}

QTableWidgetItem* number(std::int64_t n) {
    auto* item = new QTableWidgetItem;
    item->setData(Qt::DisplayRole, QVariant::fromValue<qlonglong>(n));
    item->setTextAlignment(Qt::AlignRight | Qt::AlignVCenter);
    return item;
}

}  // namespace

frmtables::frmtables(const std::string& path, const FileCensus& census,
                     std::function<void()> exportRows, QWidget* parent)
    : QDialog(parent) {
    setObjectName("frmtables");
    setWindowTitle(QStringLiteral("表(TABLES) - ") + q(path));
    resize(760, 460);
    auto* layout = new QVBoxLayout(this);

    ListTables = new QTableWidget(static_cast<int>(census.tables.size()), 5, this);
    ListTables->setObjectName("ListTables");
    ListTables->setHorizontalHeaderLabels(
        {QStringLiteral("表(table)"), QStringLiteral("行(rows)"), QStringLiteral("页(pages)"),
         QStringLiteral("缺页(missing)"), QStringLiteral("完整(whole)")});
    ListTables->setEditTriggers(QAbstractItemView::NoEditTriggers);
    ListTables->setSelectionBehavior(QAbstractItemView::SelectRows);
    ListTables->verticalHeader()->hide();
    int row = 0;
    std::int64_t rows = 0;
    int whole = 0;
    for (const TableCensus& t : census.tables) {
        ListTables->setItem(row, 0, new QTableWidgetItem(q(t.qualifiedName())));
        ListTables->setItem(row, 1, number(t.rows));
        ListTables->setItem(row, 2, number(t.pages));
        ListTables->setItem(
            row, 3,
            number(static_cast<std::int64_t>(t.pagesMissing.size() + t.pagesFailing.size())));
        ListTables->setItem(
            row, 4,
            new QTableWidgetItem(t.whole() ? QStringLiteral("是(yes)") : QStringLiteral("否(no)")));
        rows += t.rows;
        whole += t.whole() ? 1 : 0;
        ++row;
    }
    ListTables->horizontalHeader()->setSectionResizeMode(0, QHeaderView::Stretch);
    ListTables->setSortingEnabled(true);
    ListTables->sortItems(0, Qt::AscendingOrder);
    layout->addWidget(ListTables);

    std::string summary = std::to_string(census.tables.size()) + " tables, " +
                          std::to_string(whole) + " whole, " + std::to_string(rows) + " rows";
    for (const std::string& line : tablesHit(census))
        summary += "\n" + line;
    for (const std::string& problem : census.problems)
        summary += "\ncatalogue: " + problem;
    lblsummary = new QLabel(q(summary), this);
    lblsummary->setObjectName("lblsummary");
    lblsummary->setWordWrap(true);
    layout->addWidget(lblsummary);

    btnexport = new QPushButton(QStringLiteral("导出行到SQLite(EXPORT ROWS TO SQLITE)"), this);
    btnexport->setObjectName("btnexport");
    btnexport->setEnabled(!census.tables.empty());
    layout->addWidget(btnexport);
    connect(btnexport, &QPushButton::clicked, this, std::move(exportRows));
}

}  // namespace mdf::ui
