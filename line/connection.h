// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// What stands behind a line store: one connection to one database, SQLite or
// PostgreSQL. The store's logic and SQL are shared; a backend runs statements with `?`
// placeholders, hands back rows of text, and says how its SQL differs (the Dialect).

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace line {

// A parameter's bytes as a binary value (the image), not text.
struct Blob {
    const unsigned char* data = nullptr;
    std::size_t size = 0;
};

using Value = std::variant<std::nullptr_t, std::int64_t, double, std::string, Blob>;
// A row's columns as text (NULL as nothing); a binary column holds its raw bytes.
using Row = std::vector<std::optional<std::string>>;

// Where the two databases' SQL differs.
struct Dialect {
    const char* idColumn;  // an integer primary key the database counts up
    const char* blobType;
    // Appended to the SELECT that reads a job row in a transaction, to lock it.
    const char* forUpdate;
    // Run first in the transaction that creates or migrates the schema, so that two
    // stations starting at once do not both migrate.
    const char* migrationLock;
};

class Connection {
  public:
    virtual ~Connection() = default;
    // Runs one statement; throws StoreError when the database refuses it.
    virtual std::vector<Row> query(const std::string& sql, const std::vector<Value>& params) = 0;
    // Starts a transaction that writes: a writer waits for another's commit instead of
    // failing on it.
    virtual void begin() = 0;
    virtual const Dialect& dialect() const = 0;
};

std::unique_ptr<Connection> openSqlite(const std::string& path);
std::unique_ptr<Connection> openPostgres(const std::string& url);

}  // namespace line
