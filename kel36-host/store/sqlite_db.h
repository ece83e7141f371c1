#pragma once
// Thin owners of an SQLite connection and its prepared statements, for the
// history store's own files (writer and reader). Errors are returned as
// SQLite result codes; message() says what went wrong.

#include <cstdint>
#include <string>

#include <sqlite3.h>

namespace keltool {

class SqliteStatement {
public:
    SqliteStatement() = default;
    SqliteStatement(sqlite3* db, const char* sql);  // ToolError when the SQL does not compile
    ~SqliteStatement();
    SqliteStatement(SqliteStatement&& other) noexcept;
    SqliteStatement& operator=(SqliteStatement&& other) noexcept;
    SqliteStatement(const SqliteStatement&) = delete;
    SqliteStatement& operator=(const SqliteStatement&) = delete;

    sqlite3_stmt* get() const { return stmt_; }
    void bind(int index, int64_t value);
    void bind(int index, double value);
    void bind(int index, const std::string& text);  // copied by SQLite
    void bindStatic(int index, const char* text);   // must outlive the step
    void bindBlob(int index, const void* data, int length);
    void bindNull(int index);
    // SQLITE_ROW, SQLITE_DONE or an error code.
    int step();
    void reset();

    int64_t integer(int column) const { return sqlite3_column_int64(stmt_, column); }
    double real(int column) const { return sqlite3_column_double(stmt_, column); }
    bool isNull(int column) const { return sqlite3_column_type(stmt_, column) == SQLITE_NULL; }
    std::string text(int column) const;

private:
    sqlite3_stmt* stmt_ = nullptr;
};

class SqliteDb {
public:
    SqliteDb() = default;
    ~SqliteDb();
    SqliteDb(const SqliteDb&) = delete;
    SqliteDb& operator=(const SqliteDb&) = delete;

    // SQLITE_OK or the error; message() then says why.
    int open(const std::string& path, int flags);
    void close();
    sqlite3* get() const { return db_; }
    // Runs statements without results; SQLITE_OK or the error.
    int exec(const char* sql);
    // The connection's last error: "disk I/O error (File too large)". Call it
    // right after the failing call; `saved_errno` is errno taken then, for
    // the system's reason when SQLite did not keep it.
    std::string message(int saved_errno = 0) const;
    // A single integer result (a PRAGMA, a count); `fallback` when there is none.
    int64_t queryInteger(const char* sql, int64_t fallback = 0);

private:
    sqlite3* db_ = nullptr;
};

}  // namespace keltool
