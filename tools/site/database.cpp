#include "site/database.hpp"

#include <sqlite3.h>
#include <libpq-fe.h>

#include <cerrno>
#include <exception>
#include <cstdlib>
#include <cstring>
#include <map>

#include "base/text.hpp"

namespace vela::site_tool {
namespace {
// A store's file waits this long for another run's write to end before it gives up.
constexpr int busy_timeout_ms = 60000;
// PostgreSQL takes this many rows in one COPY.
constexpr std::size_t rows_per_copy = 20000;

[[noreturn]] void fail(const std::string& _shown, const std::string& _reason) {
  throw store_error(_shown + ": " + terminal_safe(_reason));
}

// ---- SQLite --------------------------------------------------------------------------------

class sqlite_row : public db_row {
 public:
  explicit sqlite_row(sqlite3_stmt* _statement) : m_statement(_statement) {}
  bool is_null(int _column) const override {
    return sqlite3_column_type(m_statement, _column) == SQLITE_NULL;
  }
  std::int64_t integer(int _column) const override {
    return sqlite3_column_int64(m_statement, _column);
  }
  double real(int _column) const override { return sqlite3_column_double(m_statement, _column); }
  std::string text(int _column) const override {
    const auto* text = sqlite3_column_text(m_statement, _column);
    return text == nullptr ? std::string()
                           : std::string(reinterpret_cast<const char*>(text),
                                         static_cast<std::size_t>(
                                             sqlite3_column_bytes(m_statement, _column)));
  }

 private:
  sqlite3_stmt* m_statement;
};

class sqlite_database : public database {
 public:
  sqlite_database(const std::string& _path, const std::string& _shown, bool _create)
      : m_shown(_shown) {
    const int flags = SQLITE_OPEN_READWRITE | (_create ? SQLITE_OPEN_CREATE : 0) |
                      SQLITE_OPEN_NOMUTEX;
    if (sqlite3_open_v2(_path.c_str(), &m_db, flags, nullptr) != SQLITE_OK) {
      const std::string reason = m_db != nullptr ? sqlite3_errmsg(m_db) : "cannot be opened";
      sqlite3_close(m_db);
      m_db = nullptr;
      fail(m_shown, reason);
    }
    sqlite3_busy_timeout(m_db, busy_timeout_ms);
    sqlite3_extended_result_codes(m_db, 1);
  }
  ~sqlite_database() override {
    for (auto& [sql, statement] : m_statements) {
      sqlite3_finalize(statement);
    }
    sqlite3_close(m_db);
  }

  const char* kind() const override { return "SQLite"; }

  void execute(std::string_view _sql, const std::vector<db_value>& _values) override {
    query(_sql, _values, [](const db_row&) {});
  }

  void query(std::string_view _sql, const std::vector<db_value>& _values,
             const std::function<void(const db_row&)>& _row) override {
    sqlite3_stmt* statement = prepared(_sql);
    sqlite3_reset(statement);
    sqlite3_clear_bindings(statement);
    bind(statement, _values);
    const sqlite_row row(statement);
    for (;;) {
      const int step = sqlite3_step(statement);
      if (step == SQLITE_ROW) {
        _row(row);
        continue;
      }
      if (step != SQLITE_DONE) {
        const std::string reason = sqlite3_errmsg(m_db);
        sqlite3_reset(statement);
        const int primary = step & 0xff;
        if (primary == SQLITE_BUSY || primary == SQLITE_LOCKED) {
          throw store_busy(m_shown + ": " + terminal_safe(reason));
        }
        fail(m_shown, reason);
      }
      break;
    }
    sqlite3_reset(statement);
  }

  void insert_rows(const std::string& _table, const std::vector<std::string>& _columns,
                   const std::vector<db_value>& _rows) override {
    std::string sql = "INSERT INTO " + _table + " (";
    std::string marks;
    for (std::size_t k = 0; k < _columns.size(); ++k) {
      sql += (k == 0 ? "" : ", ") + _columns[k];
      marks += k == 0 ? "?" : ", ?";
    }
    sql += ") VALUES (" + marks + ")";
    std::vector<db_value> one(_columns.size());
    for (std::size_t at = 0; at + _columns.size() <= _rows.size(); at += _columns.size()) {
      std::copy(_rows.begin() + static_cast<std::ptrdiff_t>(at),
                _rows.begin() + static_cast<std::ptrdiff_t>(at + _columns.size()), one.begin());
      execute(sql, one);
    }
  }

  void begin() override { execute("BEGIN IMMEDIATE", {}); }
  void commit() override { execute("COMMIT", {}); }
  void rollback() override {
    if (sqlite3_get_autocommit(m_db) == 0) {
      sqlite3_exec(m_db, "ROLLBACK", nullptr, nullptr, nullptr);
    }
  }

 private:
  sqlite3_stmt* prepared(std::string_view _sql) {
    const std::string sql(_sql);
    if (const auto found = m_statements.find(sql); found != m_statements.end()) {
      return found->second;
    }
    sqlite3_stmt* statement = nullptr;
    if (sqlite3_prepare_v2(m_db, sql.c_str(), static_cast<int>(sql.size()), &statement,
                           nullptr) != SQLITE_OK) {
      fail(m_shown, sqlite3_errmsg(m_db));
    }
    m_statements.emplace(sql, statement);
    return statement;
  }

  void bind(sqlite3_stmt* _statement, const std::vector<db_value>& _values) {
    for (std::size_t k = 0; k < _values.size(); ++k) {
      const int at = static_cast<int>(k) + 1;
      int status = SQLITE_OK;
      if (const auto* integer = std::get_if<std::int64_t>(&_values[k])) {
        status = sqlite3_bind_int64(_statement, at, *integer);
      } else if (const auto* real = std::get_if<double>(&_values[k])) {
        status = sqlite3_bind_double(_statement, at, *real);
      } else if (const auto* text = std::get_if<std::string>(&_values[k])) {
        status = sqlite3_bind_text(_statement, at, text->data(), static_cast<int>(text->size()),
                                   SQLITE_TRANSIENT);
      } else {
        status = sqlite3_bind_null(_statement, at);
      }
      if (status != SQLITE_OK) {
        fail(m_shown, sqlite3_errmsg(m_db));
      }
    }
  }

  std::string m_shown;
  sqlite3* m_db = nullptr;
  std::map<std::string, sqlite3_stmt*> m_statements;
};

// ---- PostgreSQL ----------------------------------------------------------------------------

class pg_row : public db_row {
 public:
  pg_row(const PGresult* _result, int _row) : m_result(_result), m_row(_row) {}
  bool is_null(int _column) const override { return PQgetisnull(m_result, m_row, _column) != 0; }
  std::int64_t integer(int _column) const override {
    return std::strtoll(PQgetvalue(m_result, m_row, _column), nullptr, 10);
  }
  double real(int _column) const override {
    return std::strtod(PQgetvalue(m_result, m_row, _column), nullptr);
  }
  std::string text(int _column) const override {
    return std::string(PQgetvalue(m_result, m_row, _column),
                       static_cast<std::size_t>(PQgetlength(m_result, m_row, _column)));
  }

 private:
  const PGresult* m_result;
  int m_row;
};

struct pg_result_deleter {
  void operator()(PGresult* _result) const { PQclear(_result); }
};
using pg_result = std::unique_ptr<PGresult, pg_result_deleter>;

// The values of a statement as PostgreSQL takes them: text, or null.
struct pg_values {
  std::vector<std::string> texts;
  std::vector<const char*> pointers;

  explicit pg_values(const std::vector<db_value>& _values) {
    texts.reserve(_values.size());
    for (const db_value& value : _values) {
      if (const auto* integer = std::get_if<std::int64_t>(&value)) {
        texts.push_back(std::to_string(*integer));
      } else if (const auto* real = std::get_if<double>(&value)) {
        char buffer[32];
        std::snprintf(buffer, sizeof buffer, "%.17g", *real);
        texts.emplace_back(buffer);
      } else if (const auto* text = std::get_if<std::string>(&value)) {
        texts.push_back(*text);
      } else {
        texts.emplace_back();
      }
    }
    for (std::size_t k = 0; k < _values.size(); ++k) {
      pointers.push_back(std::holds_alternative<std::monostate>(_values[k]) ? nullptr
                                                                            : texts[k].c_str());
    }
  }
};

class pg_database : public database {
 public:
  pg_database(const std::string& _uri, const std::string& _shown) : m_shown(_shown) {
    m_connection = PQconnectdb(_uri.c_str());
    if (PQstatus(m_connection) != CONNECTION_OK) {
      std::string reason = PQerrorMessage(m_connection);
      PQfinish(m_connection);
      m_connection = nullptr;
      fail(m_shown, first_line(reason));
    }
    // Notices (a table that exists already) are not for the user.
    PQsetNoticeProcessor(m_connection, [](void*, const char*) {}, nullptr);
  }
  ~pg_database() override { PQfinish(m_connection); }

  const char* kind() const override { return "PostgreSQL"; }

  void execute(std::string_view _sql, const std::vector<db_value>& _values) override {
    query(_sql, _values, [](const db_row&) {});
  }

  void query(std::string_view _sql, const std::vector<db_value>& _values,
             const std::function<void(const db_row&)>& _row) override {
    const std::string& name = prepared(_sql, _values.size());
    const pg_values values(_values);
    // A row at a time, so that a long listing takes no more memory than a row.
    if (PQsendQueryPrepared(m_connection, name.c_str(), static_cast<int>(_values.size()),
                            values.pointers.data(), nullptr, nullptr, 0) != 1 ||
        PQsetSingleRowMode(m_connection) != 1) {
      fail(m_shown, first_line(PQerrorMessage(m_connection)));
    }
    std::exception_ptr failure;
    for (PGresult* raw = PQgetResult(m_connection); raw != nullptr;
         raw = PQgetResult(m_connection)) {
      const pg_result result(raw);
      const ExecStatusType status = PQresultStatus(result.get());
      if (failure) {
        continue;  // the rest is drained before the failure goes on
      }
      try {
        if (status == PGRES_SINGLE_TUPLE) {
          _row(pg_row(result.get(), 0));
        } else {
          check(result.get());
        }
      } catch (...) {
        failure = std::current_exception();
      }
    }
    if (failure) {
      std::rethrow_exception(failure);
    }
  }

  void insert_rows(const std::string& _table, const std::vector<std::string>& _columns,
                   const std::vector<db_value>& _rows) override {
    if (_rows.empty()) {
      return;
    }
    std::string sql = "COPY " + _table + " (";
    for (std::size_t k = 0; k < _columns.size(); ++k) {
      sql += (k == 0 ? "" : ", ") + _columns[k];
    }
    sql += ") FROM STDIN";
    const std::size_t per_copy = rows_per_copy * _columns.size();
    for (std::size_t from = 0; from < _rows.size(); from += per_copy) {
      const pg_result started(PQexec(m_connection, sql.c_str()));
      if (PQresultStatus(started.get()) != PGRES_COPY_IN) {
        check(started.get());
      }
      std::string data;
      const std::size_t to = std::min(_rows.size(), from + per_copy);
      for (std::size_t k = from; k < to; ++k) {
        append_copy_value(data, _rows[k]);
        data += (k - from + 1) % _columns.size() == 0 ? '\n' : '\t';
      }
      if (PQputCopyData(m_connection, data.data(), static_cast<int>(data.size())) != 1 ||
          PQputCopyEnd(m_connection, nullptr) != 1) {
        fail(m_shown, first_line(PQerrorMessage(m_connection)));
      }
      for (PGresult* raw = PQgetResult(m_connection); raw != nullptr;
           raw = PQgetResult(m_connection)) {
        const pg_result result(raw);
        check(result.get());
      }
    }
  }

  void begin() override { execute("BEGIN", {}); }
  void commit() override { execute("COMMIT", {}); }
  void rollback() override {
    if (PQtransactionStatus(m_connection) != PQTRANS_IDLE) {
      const pg_result ignored(PQexec(m_connection, "ROLLBACK"));
    }
  }

 private:
  static std::string first_line(const std::string& _text) {
    std::string line = _text.substr(0, _text.find('\n'));
    return line.empty() ? "cannot be reached" : line;
  }

  // The statement, ? marks made $n, prepared once under a name of its own.
  const std::string& prepared(std::string_view _sql, std::size_t _count) {
    const std::string sql(_sql);
    if (const auto found = m_statements.find(sql); found != m_statements.end()) {
      return found->second;
    }
    std::string numbered;
    int mark = 0;
    bool quoted = false;
    for (const char c : sql) {
      quoted = c == '\'' ? !quoted : quoted;
      if (c == '?' && !quoted) {
        numbered += "$" + std::to_string(++mark);
      } else {
        numbered += c;
      }
    }
    const std::string name = "s" + std::to_string(m_statements.size());
    const pg_result result(PQprepare(m_connection, name.c_str(), numbered.c_str(),
                                     static_cast<int>(_count), nullptr));
    check(result.get());
    return m_statements.emplace(sql, name).first->second;
  }

  void check(const PGresult* _result) const {
    const ExecStatusType status = PQresultStatus(_result);
    if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK && status != PGRES_COPY_IN) {
      const char* message = PQresultErrorMessage(_result);
      fail(m_shown, first_line(message != nullptr && *message != '\0'
                                   ? message
                                   : PQerrorMessage(m_connection)));
    }
  }

  static void append_copy_value(std::string& _data, const db_value& _value) {
    if (const auto* integer = std::get_if<std::int64_t>(&_value)) {
      _data += std::to_string(*integer);
    } else if (const auto* real = std::get_if<double>(&_value)) {
      char buffer[32];
      std::snprintf(buffer, sizeof buffer, "%.17g", *real);
      _data += buffer;
    } else if (const auto* text = std::get_if<std::string>(&_value)) {
      for (const char c : *text) {
        switch (c) {
          case '\\':
            _data += "\\\\";
            break;
          case '\t':
            _data += "\\t";
            break;
          case '\n':
            _data += "\\n";
            break;
          case '\r':
            _data += "\\r";
            break;
          default:
            _data += c;
        }
      }
    } else {
      _data += "\\N";
    }
  }

  std::string m_shown;
  PGconn* m_connection = nullptr;
  std::map<std::string, std::string> m_statements;
};
}  // namespace

std::optional<std::int64_t> database::single_integer(std::string_view _sql,
                                                     const std::vector<db_value>& _values) {
  std::optional<std::int64_t> value;
  query(_sql, _values, [&](const db_row& _row) {
    if (!value && !_row.is_null(0)) {
      value = _row.integer(0);
    }
  });
  return value;
}

std::unique_ptr<database> open_database(const std::string& _store, const std::string& _shown,
                                        bool _create) {
  if (_store.rfind("postgresql://", 0) == 0 || _store.rfind("postgres://", 0) == 0) {
    return std::make_unique<pg_database>(_store, _shown);
  }
  return std::make_unique<sqlite_database>(_store, _shown, _create);
}
}  // namespace vela::site_tool
