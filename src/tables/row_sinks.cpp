// The two places rows go: one SQLite file, written as every output is; and a folder of CSV files.
#include <fmt/core.h>
#include <sqlite3.h>
#include <sys/stat.h>

#include <climits>
#include <set>

#include "source/output_file.h"
#include "tables/row_export.h"

namespace mdf {
namespace {

std::string quoted(const std::string& name) {
    std::string q = "\"";
    for (char c : name)
        q += c == '"' ? std::string("\"\"") : std::string(1, c);
    return q + "\"";
}

// Names come from the file's catalogue, and a damaged one can give any bytes: each name an export
// gives is unique whatever the case (as SQLite and most file systems compare them), never one the
// export keeps for itself, and, for a file, nothing that leads out of the folder.
class UniqueNames {
  public:
    // Tables' names: never the account's, never one SQLite keeps for itself.
    explicit UniqueNames(bool tables = true) : tables_(tables) {
        if (tables) taken_.insert("_recovery");
    }

    std::string take(std::string name, bool forFile) {
        if (forFile)
            for (char& c : name)
                if (c == '/' || c == '\\' || c == '\0' || static_cast<unsigned char>(c) < 0x20)
                    c = '_';
        if (name.empty() || name == "." || name == ".." || (forFile && name.front() == '.'))
            name = "_" + name;
        if (tables_ && lowered(name).rfind("sqlite_", 0) == 0) name = "_" + name;
        std::string unique = name;
        for (int n = 2; !taken_.insert(lowered(unique)).second; ++n)
            unique = name + "_" + std::to_string(n);
        return unique;
    }

  private:
    static std::string lowered(std::string s) {
        for (char& c : s)
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        return s;
    }
    bool tables_;
    std::set<std::string> taken_;
};

// The name a table is exported under, before it is made unique: its own for dbo, schema.name for
// the others; its deleted rows in _deleted_ and that.
std::string exportedName(const TableInfo& table, bool deleted) {
    const std::string name = table.schema == "dbo" ? table.name : table.qualifiedName();
    return deleted ? "_deleted_" + name : name;
}

const char* sqliteType(std::uint8_t type) {
    using namespace sqltype;
    switch (type) {
        case kTinyInt:
        case kSmallInt:
        case kInt:
        case kBit:
        case kBigInt:
            return "INTEGER";
        case kReal:
        case kFloat:
            return "REAL";
        case kImage:
        case kVarBinary:
        case kBinary:
        case kTimestamp:
            return "BLOB";
        default:
            return "TEXT";
    }
}

std::string hex(const std::vector<std::uint8_t>& bytes) {
    std::string s = "0x";
    for (std::uint8_t b : bytes)
        s += fmt::format("{:02X}", b);
    return s;
}

std::string joined(const std::vector<std::string>& parts) {
    std::string s;
    for (const std::string& p : parts)
        s += (s.empty() ? "" : "; ") + p;
    return s;
}

// The _recovery column: what could not be read of each column, and the computed ones.
std::string columnsNotDecoded(const TableExport& t) {
    std::vector<std::string> columns = t.notDecoded;
    for (const std::string& c : t.notStored)
        columns.push_back(c + ": computed, not stored");
    return joined(columns);
}

class SqliteSink final : public RowSink {
  public:
    // SQLite writes the file the output is created as (never through a link, never over the
    // source), and the file is renamed to its name only when the export is complete.
    SqliteSink(const std::string& path, const OutputGuard& guard) : out_(path, guard) {
        if (!out_.ok()) {
            error_ = out_.error();
            return;
        }
        const int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOFOLLOW;
        if (sqlite3_open_v2(out_.partialPath().c_str(), &db_, flags, nullptr) != SQLITE_OK) {
            fail();
            return;
        }
        // A file nobody else reads until it is renamed: no journal, no syncs until the end.
        exec("PRAGMA journal_mode = OFF");
        exec("PRAGMA synchronous = OFF");
        exec("BEGIN");
    }
    ~SqliteSink() override {
        sqlite3_finalize(insert_);
        sqlite3_close(db_);
    }

    bool beginTable(const TableInfo& table, bool deleted) override {
        const std::string name = tables_.take(exportedName(table, deleted), false);
        std::string create = "CREATE TABLE " + quoted(name) + " (";
        std::string insert = "INSERT INTO " + quoted(name) + " VALUES (";
        UniqueNames columns(false);
        for (std::size_t i = 0; i < table.columns.size(); ++i) {
            create += (i ? ", " : "") + quoted(columns.take(table.columns[i].name, false)) + " " +
                      sqliteType(table.columns[i].type);
            insert += i ? ", ?" : "?";
        }
        if (!exec(create + ")")) return false;
        return prepare(insert + ")");
    }

    bool row(const std::vector<CellValue>& values) override {
        // A bind that fails must not leave the row before's value in the column.
        sqlite3_clear_bindings(insert_);
        for (std::size_t i = 0; i < values.size(); ++i) {
            const CellValue& v = values[i];
            const int at = static_cast<int>(i) + 1;
            int bound = SQLITE_OK;
            switch (v.kind) {
                case CellValue::Kind::Integer:
                    bound = sqlite3_bind_int64(insert_, at, v.integer);
                    break;
                case CellValue::Kind::Real:
                    bound = sqlite3_bind_double(insert_, at, v.real);
                    break;
                case CellValue::Kind::Text:
                    bound = sqlite3_bind_text64(insert_, at, v.text.data(), v.text.size(),
                                                SQLITE_TRANSIENT, SQLITE_UTF8);
                    break;
                case CellValue::Kind::Blob:
                    bound = sqlite3_bind_blob64(insert_, at, v.blob.data(), v.blob.size(),
                                                SQLITE_TRANSIENT);
                    break;
                default:
                    break;
            }
            if (bound != SQLITE_OK) return fail();
        }
        const bool ok = sqlite3_step(insert_) == SQLITE_DONE;
        sqlite3_reset(insert_);
        return ok || fail();
    }

    bool endTable() override {
        sqlite3_finalize(insert_);
        insert_ = nullptr;
        return true;
    }

    bool finish(const std::vector<TableExport>& account) override {
        if (!exec("CREATE TABLE _recovery (\"table\" TEXT, rows_written INTEGER, "
                  "deleted_rows_written "
                  "INTEGER, pages_read INTEGER, pages_missing INTEGER, records_skipped INTEGER, "
                  "columns_not_decoded TEXT)") ||
            !prepare("INSERT INTO _recovery VALUES (?, ?, ?, ?, ?, ?, ?)"))
            return false;
        for (const TableExport& t : account) {
            const std::string notDecoded = columnsNotDecoded(t);
            sqlite3_bind_text(insert_, 1, t.table.c_str(), -1, SQLITE_TRANSIENT);
            sqlite3_bind_int64(insert_, 2, t.rowsWritten);
            sqlite3_bind_int64(insert_, 3, t.deletedRowsWritten);
            sqlite3_bind_int64(insert_, 4, t.pagesRead);
            sqlite3_bind_int64(insert_, 5, t.pagesMissing);
            sqlite3_bind_int64(insert_, 6, t.recordsSkipped);
            if (notDecoded.empty())
                sqlite3_bind_null(insert_, 7);
            else
                sqlite3_bind_text(insert_, 7, notDecoded.c_str(), -1, SQLITE_TRANSIENT);
            const bool ok = sqlite3_step(insert_) == SQLITE_DONE;
            sqlite3_reset(insert_);
            if (!ok) return fail();
        }
        endTable();
        if (!exec("COMMIT")) return false;
        const bool closed = sqlite3_close(db_) == SQLITE_OK;
        db_ = nullptr;
        if (!closed) {
            error_ = "SQLite could not close " + out_.partialPath();
            return false;
        }
        if (!out_.commit()) {
            error_ = out_.error();
            return false;
        }
        return true;
    }

    std::string error() const override { return error_; }

  private:
    bool exec(const std::string& sql) {
        return !db_ || sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, nullptr) == SQLITE_OK ||
               fail();
    }
    bool prepare(const std::string& sql) {
        if (!db_) return false;
        sqlite3_finalize(insert_);
        insert_ = nullptr;
        return sqlite3_prepare_v2(db_, sql.c_str(), -1, &insert_, nullptr) == SQLITE_OK || fail();
    }
    bool fail() {
        if (error_.empty()) error_ = std::string("SQLite: ") + sqlite3_errmsg(db_);
        return false;
    }

    OutputFile out_;
    UniqueNames tables_;
    sqlite3* db_ = nullptr;
    sqlite3_stmt* insert_ = nullptr;
    std::string error_;
};

// RFC 4180: every field that holds a comma, a quote or a line break is quoted, quotes doubled,
// lines ended by CRLF.
std::string csvField(const std::string& s) {
    if (s.find_first_of(",\"\r\n") == std::string::npos) return s;
    std::string q = "\"";
    for (char c : s)
        q += c == '"' ? std::string("\"\"") : std::string(1, c);
    return q + "\"";
}

std::string csvValue(const CellValue& v) {
    switch (v.kind) {
        case CellValue::Kind::Integer:
            return std::to_string(v.integer);
        case CellValue::Kind::Real:
            return fmt::format("{}", v.real);
        case CellValue::Kind::Text:
            // An empty string is quoted: an empty field is null.
            return v.text.empty() ? "\"\"" : csvField(v.text);
        case CellValue::Kind::Blob:
            return hex(v.blob);
        default:
            return {};
    }
}

class CsvSink final : public RowSink {
  public:
    CsvSink(std::string folder, const OutputGuard& guard, bool replace)
        : folder_(std::move(folder)), guard_(guard), replace_(replace) {}

    bool beginTable(const TableInfo& table, bool deleted) override {
        std::vector<std::string> names;
        for (const ColumnInfo& c : table.columns)
            names.push_back(c.name);
        return open(files_.take(exportedName(table, deleted), true), names);
    }

    bool row(const std::vector<CellValue>& values) override {
        std::string text;
        for (std::size_t i = 0; i < values.size(); ++i)
            text += (i ? "," : "") + csvValue(values[i]);
        return line(text);
    }

    bool endTable() override {
        const bool ok = file_ && file_->commit();
        if (!ok) fail();
        file_.reset();
        return ok;
    }

    bool finish(const std::vector<TableExport>& account) override {
        if (!open("_recovery", {"table", "rows_written", "deleted_rows_written", "pages_read",
                                "pages_missing", "records_skipped", "columns_not_decoded"}))
            return false;
        for (const TableExport& t : account)
            if (!line(fmt::format("{},{},{},{},{},{},{}", csvField(t.table), t.rowsWritten,
                                  t.deletedRowsWritten, t.pagesRead, t.pagesMissing,
                                  t.recordsSkipped, csvField(columnsNotDecoded(t)))))
                return false;
        return endTable();
    }

    std::string error() const override { return error_; }

  private:
    // Starts NAME.csv with its header line.
    bool open(const std::string& name, const std::vector<std::string>& columns) {
        const std::string path = folder_ + "/" + name + ".csv";
        if (struct stat existing{}; !replace_ && ::lstat(path.c_str(), &existing) == 0) {
            error_ = path + " exists (--force replaces it)";
            return false;
        }
        file_ = std::make_unique<OutputFile>(path, guard_);
        if (!file_->ok()) return fail();
        std::string header;
        UniqueNames unique(false);
        for (std::size_t i = 0; i < columns.size(); ++i)
            header += (i ? "," : "") + csvField(unique.take(columns[i], false));
        return line(header);
    }
    bool line(const std::string& text) {
        const std::string l = text + "\r\n";
        return file_->write({reinterpret_cast<const std::uint8_t*>(l.data()), l.size()}) || fail();
    }
    bool fail() {
        if (error_.empty() && file_) error_ = file_->error();
        return false;
    }

    std::string folder_;
    OutputGuard guard_;
    bool replace_;
    UniqueNames files_;
    std::unique_ptr<OutputFile> file_;
    std::string error_;
};

}  // namespace

std::unique_ptr<RowSink> sqliteSink(const std::string& path, const OutputGuard& guard) {
    return std::make_unique<SqliteSink>(path, guard);
}

std::unique_ptr<RowSink> csvSink(const std::string& folder, const OutputGuard& guard,
                                 bool replace) {
    return std::make_unique<CsvSink>(folder, guard, replace);
}

}  // namespace mdf
