// A SQLite file as another program sees it: statements run and values read on a connection of its own.
#pragma once
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <string>

namespace pimtest {

// Runs `statements` on the file; SQLite's answer.
inline int sql(const std::string& file, const char* statements) {
  sqlite3* db = nullptr;
  sqlite3_open(file.c_str(), &db);
  int rc = sqlite3_exec(db, statements, nullptr, nullptr, nullptr);
  sqlite3_close(db);
  return rc;
}

// The first column of the first row a read-only connection gets for `query`.
inline std::string firstValue(const std::string& file, const char* query) {
  sqlite3* db = nullptr;
  sqlite3_stmt* st = nullptr;
  std::string value = "<no row>";
  EXPECT_EQ(sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READONLY, nullptr), SQLITE_OK);
  if (sqlite3_prepare_v2(db, query, -1, &st, nullptr) == SQLITE_OK && sqlite3_step(st) == SQLITE_ROW)
    value = reinterpret_cast<const char*>(sqlite3_column_text(st, 0));
  sqlite3_finalize(st);
  sqlite3_close(db);
  return value;
}

}  // namespace pimtest
