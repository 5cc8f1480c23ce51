// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Helpers the store's files share: a transaction that rolls back unless committed, and
// the text of a column as a number.

#include <cstdint>
#include <optional>
#include <string>

#include "line/connection.h"

namespace line {

class Transaction {
  public:
    explicit Transaction(Connection& c) : c_(c) { c_.begin(); }
    ~Transaction();
    Transaction(const Transaction&) = delete;
    Transaction& operator=(const Transaction&) = delete;
    void commit();

  private:
    Connection& c_;
    bool done_ = false;
};

// 0 for NULL.
std::int64_t integer(const std::optional<std::string>& column);
double real(const std::optional<std::string>& column);
inline std::string text(const std::optional<std::string>& column) {
    return column.value_or("");
}

}  // namespace line
