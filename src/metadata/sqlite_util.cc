#include "metadata/sqlite_util.h"

namespace tamix::sqlite {

Error last_error(sqlite3* db) { return Error::KeyValue(sqlite3_errmsg(db)); }

Status exec(sqlite3* db, const char* sql) {
  if (sqlite3_exec(db, sql, nullptr, nullptr, nullptr) != SQLITE_OK) return last_error(db);
  return Ok();
}

Result<Statement> prepare(sqlite3* db, const char* sql) {
  sqlite3_stmt* stmt = nullptr;
  if (sqlite3_prepare_v3(db, sql, -1, SQLITE_PREPARE_PERSISTENT, &stmt, nullptr) != SQLITE_OK) {
    return last_error(db);
  }
  return Statement(stmt);
}

Status run(sqlite3* db, sqlite3_stmt* stmt) {
  ResetOnExit reset(stmt);
  const int rc = sqlite3_step(stmt);
  if (rc != SQLITE_DONE && rc != SQLITE_ROW) return last_error(db);
  return Ok();
}

}  // namespace tamix::sqlite
