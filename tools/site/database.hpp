#pragma once
// The one door to a store's database, SQLite or PostgreSQL: statements written once, with ?
// for each value, run on either. A store that cannot be opened, read or written throws
// store_error, whose message names the store (never a password) and the database's reason.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace vela::site_tool {
// A store that cannot be opened or written ends with this status.
constexpr int store_status = 5;

class store_error : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Another connection held a lock SQLite would not wait for (waiting could deadlock): the
// caller may roll back and try the whole step again.
class store_busy : public store_error {
 public:
  using store_error::store_error;
};

// A value bound to a statement: null, an integer, a real or a text.
using db_value = std::variant<std::monostate, std::int64_t, double, std::string>;

// A row of a query's result, valid during the call it is given to.
class db_row {
 public:
  virtual ~db_row() = default;
  virtual bool is_null(int _column) const = 0;
  virtual std::int64_t integer(int _column) const = 0;
  virtual double real(int _column) const = 0;
  virtual std::string text(int _column) const = 0;
};

class database {
 public:
  virtual ~database() = default;

  // "SQLite" or "PostgreSQL".
  virtual const char* kind() const = 0;
  // Runs one statement; its ? take _values in order.
  virtual void execute(std::string_view _sql, const std::vector<db_value>& _values = {}) = 0;
  // Runs one query and calls _row for each row of its result, in order, as it comes.
  virtual void query(std::string_view _sql, const std::vector<db_value>& _values,
                     const std::function<void(const db_row&)>& _row) = 0;
  // Rows into a table, many at a time: _rows holds _columns.size() values a row.
  virtual void insert_rows(const std::string& _table, const std::vector<std::string>& _columns,
                           const std::vector<db_value>& _rows) = 0;
  virtual void begin() = 0;
  virtual void commit() = 0;
  virtual void rollback() = 0;

  // The one integer a query gives, if any.
  std::optional<std::int64_t> single_integer(std::string_view _sql,
                                             const std::vector<db_value>& _values = {});
};

// An SQLite file (made when _create) or a postgresql:// URI. _shown names it in messages.
std::unique_ptr<database> open_database(const std::string& _store, const std::string& _shown,
                                        bool _create);
}  // namespace vela::site_tool
