// SPDX-License-Identifier: GPL-3.0-or-later
// The store in an SQLite file: a single bench, or stations sharing one disk.
#include <sqlite3.h>

#include "line/connection.h"
#include "line/store.h"

namespace line {
namespace {

// How long a writer waits for another connection's transaction to end.
constexpr int kBusyWaitMs = 10'000;

const Dialect kSqlite{"INTEGER PRIMARY KEY AUTOINCREMENT", "BLOB", "", ""};

class SqliteConnection : public Connection {
  public:
    explicit SqliteConnection(const std::string& path) : path_(path) {
        if (sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE,
                            nullptr) != SQLITE_OK) {
            const std::string why = db_ ? sqlite3_errmsg(db_) : "out of memory";
            sqlite3_close(db_);
            throw StoreError("cannot open the line store " + path + ": " + why);
        }
        sqlite3_busy_timeout(db_, kBusyWaitMs);
        // Readers do not wait for a writer, and a commit is one write of the log.
        query("PRAGMA journal_mode = WAL", {});
        query("PRAGMA foreign_keys = ON", {});
    }
    ~SqliteConnection() override { sqlite3_close(db_); }

    std::vector<Row> query(const std::string& sql, const std::vector<Value>& params) override;
    void begin() override { query("BEGIN IMMEDIATE", {}); }
    const Dialect& dialect() const override { return kSqlite; }

  private:
    [[noreturn]] void fail(const std::string& sql) const {
        throw StoreError("the line store " + path_ + " refused " + sql.substr(0, 40) +
                         "...: " + sqlite3_errmsg(db_));
    }
    void bind(sqlite3_stmt* statement, int index, const Value& value);
    Row rowOf(sqlite3_stmt* statement) const;

    std::string path_;
    sqlite3* db_ = nullptr;
};

void SqliteConnection::bind(sqlite3_stmt* statement, int index, const Value& value) {
    int rc = SQLITE_OK;
    if (const auto* n = std::get_if<std::int64_t>(&value))
        rc = sqlite3_bind_int64(statement, index, *n);
    else if (const auto* d = std::get_if<double>(&value))
        rc = sqlite3_bind_double(statement, index, *d);
    else if (const auto* s = std::get_if<std::string>(&value))
        rc = sqlite3_bind_text64(statement, index, s->data(), s->size(), SQLITE_TRANSIENT,
                                 SQLITE_UTF8);
    else if (const auto* b = std::get_if<Blob>(&value))
        rc = sqlite3_bind_blob64(statement, index, b->data, b->size, SQLITE_TRANSIENT);
    else
        rc = sqlite3_bind_null(statement, index);
    if (rc != SQLITE_OK)
        fail("a parameter");
}

Row SqliteConnection::rowOf(sqlite3_stmt* statement) const {
    Row row;
    const int columns = sqlite3_column_count(statement);
    for (int i = 0; i < columns; ++i) {
        if (sqlite3_column_type(statement, i) == SQLITE_NULL) {
            row.emplace_back();
            continue;
        }
        const void* bytes = sqlite3_column_blob(statement, i);
        const int size = sqlite3_column_bytes(statement, i);
        row.emplace_back(std::string(static_cast<const char*>(bytes), static_cast<size_t>(size)));
    }
    return row;
}

std::vector<Row> SqliteConnection::query(const std::string& sql, const std::vector<Value>& params) {
    sqlite3_stmt* statement = nullptr;
    if (sqlite3_prepare_v2(db_, sql.c_str(), -1, &statement, nullptr) != SQLITE_OK)
        fail(sql);
    std::unique_ptr<sqlite3_stmt, int (*)(sqlite3_stmt*)> owned(statement, sqlite3_finalize);
    for (std::size_t i = 0; i < params.size(); ++i)
        bind(statement, static_cast<int>(i + 1), params[i]);
    std::vector<Row> rows;
    for (;;) {
        const int rc = sqlite3_step(statement);
        if (rc == SQLITE_DONE)
            return rows;
        if (rc != SQLITE_ROW)
            fail(sql);
        rows.push_back(rowOf(statement));
    }
}

}  // namespace

std::unique_ptr<Connection> openSqlite(const std::string& path) {
    if (path.empty())
        throw StoreError("the line store needs a file: sqlite:PATH");
    return std::make_unique<SqliteConnection>(path);
}

}  // namespace line
