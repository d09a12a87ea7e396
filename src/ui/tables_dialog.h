#pragma once

#include <QDialog>
#include <functional>
#include <string>

#include "tables/table_census.h"

class QLabel;
class QPushButton;
class QTableWidget;

namespace mdf::ui {

// The tables of a database file: rows, pages, and what of each is missing; and the export of
// the rows that are left. The window hands it the census and what the export button does.
class frmtables : public QDialog {
    Q_OBJECT

  public:
    frmtables(const std::string& path, const FileCensus& census, std::function<void()> exportRows,
              QWidget* parent);

    QTableWidget* ListTables = nullptr;
    QLabel* lblsummary = nullptr;
    QPushButton* btnexport = nullptr;
};

}  // namespace mdf::ui
