// Thin owners of SQLite handles and the error conversion shared by the metadata store.
// Handles belong to one connection; the connection's own rules on threads apply.
#pragma once

#include <sqlite3.h>

#include <memory>

#include "core/result.h"

namespace tamix::sqlite {

struct CloseConnection {
  void operator()(sqlite3* db) const { sqlite3_close_v2(db); }
};
struct FinalizeStatement {
  void operator()(sqlite3_stmt* stmt) const { sqlite3_finalize(stmt); }
};
using Connection = std::unique_ptr<sqlite3, CloseConnection>;
using Statement = std::unique_ptr<sqlite3_stmt, FinalizeStatement>;

// SQLite's message for the connection's last failure, as a key-value error.
Error last_error(sqlite3* db);

// Runs one or more statements that return no rows the caller wants.
Status exec(sqlite3* db, const char* sql);

Result<Statement> prepare(sqlite3* db, const char* sql);

// Steps a statement with bound parameters to completion, then resets it for reuse.
Status run(sqlite3* db, sqlite3_stmt* stmt);

// Resets a statement on scope exit, whichever way the scope is left, so the next use
// finds it idle and no read transaction stays open.
class ResetOnExit {
 public:
  explicit ResetOnExit(sqlite3_stmt* stmt) : stmt_(stmt) {}
  ~ResetOnExit() { sqlite3_reset(stmt_); }
  ResetOnExit(const ResetOnExit&) = delete;
  ResetOnExit& operator=(const ResetOnExit&) = delete;

 private:
  sqlite3_stmt* stmt_;
};

}  // namespace tamix::sqlite
