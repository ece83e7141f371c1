#include "kel36-host/store/sqlite_db.h"

#include <cstring>

#include "kel36-host/tool_error.h"

namespace keltool {

SqliteStatement::SqliteStatement(sqlite3* db, const char* sql)
{
    if (sqlite3_prepare_v2(db, sql, -1, &stmt_, nullptr) != SQLITE_OK)
        throw ToolError(std::string("history database: ") + sqlite3_errmsg(db) + " in: " + sql);
}

SqliteStatement::~SqliteStatement()
{
    sqlite3_finalize(stmt_);
}

SqliteStatement::SqliteStatement(SqliteStatement&& other) noexcept : stmt_(other.stmt_)
{
    other.stmt_ = nullptr;
}

SqliteStatement& SqliteStatement::operator=(SqliteStatement&& other) noexcept
{
    if (this != &other) {
        sqlite3_finalize(stmt_);
        stmt_ = other.stmt_;
        other.stmt_ = nullptr;
    }
    return *this;
}

void SqliteStatement::bind(int index, int64_t value)
{
    sqlite3_bind_int64(stmt_, index, value);
}

void SqliteStatement::bind(int index, double value)
{
    sqlite3_bind_double(stmt_, index, value);
}

void SqliteStatement::bind(int index, const std::string& text)
{
    sqlite3_bind_text(stmt_, index, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
}

void SqliteStatement::bindStatic(int index, const char* text)
{
    sqlite3_bind_text(stmt_, index, text, -1, SQLITE_STATIC);
}

void SqliteStatement::bindBlob(int index, const void* data, int length)
{
    sqlite3_bind_blob(stmt_, index, data, length, SQLITE_TRANSIENT);
}

void SqliteStatement::bindNull(int index)
{
    sqlite3_bind_null(stmt_, index);
}

int SqliteStatement::step()
{
    return sqlite3_step(stmt_);
}

void SqliteStatement::reset()
{
    sqlite3_reset(stmt_);
    sqlite3_clear_bindings(stmt_);
}

std::string SqliteStatement::text(int column) const
{
    const unsigned char* t = sqlite3_column_text(stmt_, column);
    return t ? std::string(reinterpret_cast<const char*>(t),
                           static_cast<std::size_t>(sqlite3_column_bytes(stmt_, column)))
             : std::string();
}

SqliteDb::~SqliteDb()
{
    close();
}

int SqliteDb::open(const std::string& path, int flags)
{
    close();
    const int rc = sqlite3_open_v2(path.c_str(), &db_, flags, nullptr);
    if (rc == SQLITE_OK)
        sqlite3_extended_result_codes(db_, 1);
    return rc;
}

void SqliteDb::close()
{
    if (db_) {
        sqlite3_close_v2(db_);
        db_ = nullptr;
    }
}

int SqliteDb::exec(const char* sql)
{
    return sqlite3_exec(db_, sql, nullptr, nullptr, nullptr);
}

std::string SqliteDb::message(int saved_errno) const
{
    if (!db_)
        return "out of memory";
    std::string text = sqlite3_errmsg(db_);
    const int code = sqlite3_extended_errcode(db_) & 0xFF;
    if (code != SQLITE_IOERR && code != SQLITE_FULL && code != SQLITE_CANTOPEN)
        return text;
    const int system_errno = sqlite3_system_errno(db_) ? sqlite3_system_errno(db_) : saved_errno;
    if (system_errno != 0)
        text += std::string(" (") + std::strerror(system_errno) + ")";
    return text;
}

int64_t SqliteDb::queryInteger(const char* sql, int64_t fallback)
{
    sqlite3_stmt* stmt = nullptr;
    int64_t value = fallback;
    if (sqlite3_prepare_v2(db_, sql, -1, &stmt, nullptr) == SQLITE_OK &&
        sqlite3_step(stmt) == SQLITE_ROW)
        value = sqlite3_column_int64(stmt, 0);
    sqlite3_finalize(stmt);
    return value;
}

}  // namespace keltool
