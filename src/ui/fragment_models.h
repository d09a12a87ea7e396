#pragma once

#include <QAbstractTableModel>
#include <QIcon>
#include <QStringList>
#include <vector>

#include "assembly/combination_list.h"
#include "assembly/fragment_tools.h"
#include "scan/file_catalogue.h"

namespace mdf::ui {

// Background of even and odd rows, shared by the three lists of fragments.
QColor evenRowColour();
QColor oddRowColour();
// The row icon of an ordinary fragment, or of one that begins a database file.
QIcon rowIcon(bool beginsFile);

// The fragment list as the second tab shows it: one row per visible record, each standing for its
// record whatever its caption, with its check box.
struct FragmentListView {
    std::vector<FragmentRow> rows;
    std::vector<bool> checked;

    void fill(const FragmentList& list) { show(visibleRows(list)); }
    // Shows these rows, none checked.
    void show(std::vector<FragmentRow> shown);
    // Sorts by a column, ascending; each row keeps its check.
    void sortBy(int column) { take(sorted(column)); }

    // The rows sorted by a column (stable), as a copy with the order that gives it: made from
    // the rows without changing them, so that it may be made aside while the window shows them.
    struct Sorted {
        std::vector<std::size_t> order;  // the index each sorted row had
        std::vector<FragmentRow> rows;
    };
    Sorted sorted(int column) const;
    // Shows the rows as sorted; each keeps its check. The rows must not have changed since.
    void take(Sorted&& sorted);
    void checkAll() { checked.assign(rows.size(), true); }
    void uncheckAll() { checked.assign(rows.size(), false); }
    void invertChecks() { checked.flip(); }
    // The checked rows, in the list's order.
    std::vector<FragmentRow> checkedRows() const;
};

// A list of fragments shown as a table: the caption with its icon (and check box, when the list
// has them), then size in KB, start page, end page, remark, start and end sector. The rows live
// in a vector the model does not own; whoever changes the vector tells the model.
class FragmentTableModel : public QAbstractTableModel {
    Q_OBJECT

  public:
    FragmentTableModel(QStringList headers, std::vector<FragmentRow>& rows,
                       std::vector<bool>* checked, QObject* parent = nullptr);

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    int columnCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    bool setData(const QModelIndex& index, const QVariant& value, int role) override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

    // The rows were replaced or reordered.
    void reload();
    // Appends a row; it shows after commitAppended (batched while a scan delivers rows).
    void appendRow(FragmentRow row);
    void commitAppended();
    // Removes the last row (a scan joined it with the run that followed it).
    void removeLastRow();
    // The checks of every row changed.
    void checksChanged();
    // A cell's text changed outside the model.
    void rowChanged(int row);

  private:
    QStringList headers_;
    std::vector<FragmentRow>& rows_;
    std::vector<bool>* checked_;
    int shown_ = 0;  // rows the views know about
};

// The database files found, for the third tab: caption and name, then size, pages and sectors in
// collapsed columns.
class CatalogueModel : public QAbstractTableModel {
    Q_OBJECT

  public:
    explicit CatalogueModel(QObject* parent = nullptr);

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    int columnCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

    void setRows(std::vector<CatalogueRow> rows);
    const std::vector<CatalogueRow>& rows() const { return rows_; }

  private:
    std::vector<CatalogueRow> rows_;
};

}  // namespace mdf::ui
