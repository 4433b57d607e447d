#pragma once
// Owning handles for the sqlite3 C API: a connection, a prepared statement and a backup, each
// closed, finalized or finished when its handle goes.

#include <sqlite3.h>

#include <memory>
#include <string_view>

namespace torv2::history {

struct CloseConnection {
  void operator()(sqlite3* db) const { sqlite3_close_v2(db); }
};
using Connection = std::unique_ptr<sqlite3, CloseConnection>;

struct FinalizeStatement {
  void operator()(sqlite3_stmt* statement) const { sqlite3_finalize(statement); }
};
using Statement = std::unique_ptr<sqlite3_stmt, FinalizeStatement>;

struct FinishBackup {
  void operator()(sqlite3_backup* backup) const { sqlite3_backup_finish(backup); }
};
using Backup = std::unique_ptr<sqlite3_backup, FinishBackup>;

// A prepared statement, or null (the connection's error code and message say why).
inline Statement Prepare(sqlite3* db, std::string_view sql) {
  sqlite3_stmt* statement = nullptr;
  sqlite3_prepare_v2(db, sql.data(), static_cast<int>(sql.size()), &statement, nullptr);
  return Statement(statement);
}

}  // namespace torv2::history
