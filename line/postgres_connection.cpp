// SPDX-License-Identifier: GPL-3.0-or-later
// The store in a PostgreSQL database: the line's stations on their own PCs.
#include <libpq-fe.h>

#include <cstdio>

#include "line/connection.h"
#include "line/store.h"

namespace line {
namespace {

// The type of bytea columns, whose text comes escaped as \x and hex digits.
constexpr Oid kByteaOid = 17;
constexpr int kBinaryFormat = 1;
constexpr int kTextFormat = 0;

// A station takes the schema lock by this number while it creates or migrates tables.
const Dialect kPostgres{"BIGINT GENERATED ALWAYS AS IDENTITY PRIMARY KEY", "BYTEA", " FOR UPDATE",
                        "SELECT pg_advisory_xact_lock(1819569765)"};

// `?` placeholders as PostgreSQL's $1, $2... (the store's SQL has no `?` in literals).
std::string numbered(const std::string& sql) {
    std::string out;
    int n = 0;
    for (char ch : sql)
        out += ch == '?' ? "$" + std::to_string(++n) : std::string(1, ch);
    return out;
}

std::string exactText(double d) {
    char text[32];
    std::snprintf(text, sizeof text, "%.17g", d);
    return text;
}

class PostgresConnection : public Connection {
  public:
    explicit PostgresConnection(const std::string& url) : pg_(PQconnectdb(url.c_str())) {
        if (PQstatus(pg_) != CONNECTION_OK) {
            const std::string why = PQerrorMessage(pg_);
            PQfinish(pg_);
            throw StoreError("cannot reach the line store: " + why.substr(0, why.find('\n')));
        }
        // The store's own notices (a table that exists already) are no news for a station.
        PQsetNoticeProcessor(
            pg_, [](void*, const char*) {}, nullptr);
    }
    ~PostgresConnection() override { PQfinish(pg_); }

    std::vector<Row> query(const std::string& sql, const std::vector<Value>& params) override;
    void begin() override { query("BEGIN", {}); }
    const Dialect& dialect() const override { return kPostgres; }

  private:
    Row rowOf(PGresult* result, int row) const;

    PGconn* pg_;
};

Row PostgresConnection::rowOf(PGresult* result, int row) const {
    Row out;
    for (int i = 0; i < PQnfields(result); ++i) {
        if (PQgetisnull(result, row, i)) {
            out.emplace_back();
            continue;
        }
        const char* value = PQgetvalue(result, row, i);
        if (PQftype(result, i) != kByteaOid) {
            out.emplace_back(std::string(value, static_cast<size_t>(PQgetlength(result, row, i))));
            continue;
        }
        std::size_t size = 0;
        unsigned char* bytes =
            PQunescapeBytea(reinterpret_cast<const unsigned char*>(value), &size);
        if (!bytes)
            throw StoreError("out of memory reading from the line store");
        out.emplace_back(std::string(reinterpret_cast<const char*>(bytes), size));
        PQfreemem(bytes);
    }
    return out;
}

std::vector<Row> PostgresConnection::query(const std::string& sql,
                                           const std::vector<Value>& params) {
    std::vector<std::string> texts(params.size());
    std::vector<const char*> values(params.size());
    std::vector<int> lengths(params.size());
    std::vector<int> formats(params.size(), kTextFormat);
    for (std::size_t i = 0; i < params.size(); ++i) {
        const Value& v = params[i];
        if (const auto* n = std::get_if<std::int64_t>(&v))
            texts[i] = std::to_string(*n);
        else if (const auto* d = std::get_if<double>(&v))
            texts[i] = exactText(*d);
        else if (const auto* s = std::get_if<std::string>(&v))
            texts[i] = *s;
        else if (const auto* b = std::get_if<Blob>(&v)) {
            texts[i].assign(reinterpret_cast<const char*>(b->data), b->size);
            formats[i] = kBinaryFormat;
        }
        values[i] = std::holds_alternative<std::nullptr_t>(v) ? nullptr : texts[i].c_str();
        lengths[i] = static_cast<int>(texts[i].size());
    }
    PGresult* result =
        PQexecParams(pg_, numbered(sql).c_str(), static_cast<int>(params.size()), nullptr,
                     values.data(), lengths.data(), formats.data(), kTextFormat);
    std::unique_ptr<PGresult, void (*)(PGresult*)> owned(result, PQclear);
    const ExecStatusType status = PQresultStatus(result);
    if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK) {
        const std::string why = PQstatus(pg_) != CONNECTION_OK
                                    ? "the connection to the line store is lost"
                                    : PQresultErrorMessage(result);
        throw StoreError("the line store refused " + sql.substr(0, 40) +
                         "...: " + why.substr(0, why.find('\n')));
    }
    std::vector<Row> rows;
    for (int r = 0; r < PQntuples(result); ++r)
        rows.push_back(rowOf(result, r));
    return rows;
}

}  // namespace

std::unique_ptr<Connection> openPostgres(const std::string& url) {
    return std::make_unique<PostgresConnection>(url);
}

}  // namespace line
