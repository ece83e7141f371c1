#pragma once
// The history database as the tests read it: straight through SQLite's C
// API, independent of the tool's own reader.

#include <sqlite3.h>

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace historytest {

struct HistoryRow {
    int64_t id = 0;
    int64_t run_id = 0;
    int64_t time_ms = 0;
    std::string device;
    int64_t data_id = 0;
    std::string source;
    std::string record;              // the stored bytes
    std::array<double, 8> values{};  // uab, ubc, uca, frequency, ua, ub, uc, battery_voltage
    int64_t status_a = 0;
    int64_t status_b = 0;
};

// Runs `sql` and returns every row's columns as text ("" for NULL).
inline std::vector<std::vector<std::string>> query(const std::string& path, const std::string& sql)
{
    std::vector<std::vector<std::string>> rows;
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
        sqlite3_stmt* stmt = nullptr;
        if (sqlite3_prepare_v2(db, sql.c_str(), -1, &stmt, nullptr) == SQLITE_OK) {
            while (sqlite3_step(stmt) == SQLITE_ROW) {
                std::vector<std::string> row;
                for (int c = 0; c < sqlite3_column_count(stmt); ++c) {
                    const auto* text = sqlite3_column_blob(stmt, c);
                    row.emplace_back(text ? static_cast<const char*>(text) : "",
                                     static_cast<std::size_t>(sqlite3_column_bytes(stmt, c)));
                }
                rows.push_back(std::move(row));
            }
        }
        sqlite3_finalize(stmt);
    }
    sqlite3_close(db);
    return rows;
}

// The single value of `sql`, "" when there is none.
inline std::string queryValue(const std::string& path, const std::string& sql)
{
    const auto rows = query(path, sql);
    return rows.empty() || rows[0].empty() ? "" : rows[0][0];
}

inline bool execute(const std::string& path, const std::string& sql)
{
    sqlite3* db = nullptr;
    bool ok = sqlite3_open(path.c_str(), &db) == SQLITE_OK &&
              sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr) == SQLITE_OK;
    sqlite3_close(db);
    return ok;
}

// Every stored record, in the order stored.
inline std::vector<HistoryRow> readRows(const std::string& path)
{
    std::vector<HistoryRow> out;
    for (const auto& r : query(path,
                               "SELECT id, run_id, time_ms, device, data_id, source, record, "
                               "uab, ubc, uca, frequency, ua, ub, uc, battery_voltage, "
                               "status_a, status_b FROM records ORDER BY id")) {
        HistoryRow row;
        row.id = std::stoll(r[0]);
        row.run_id = std::stoll(r[1]);
        row.time_ms = std::stoll(r[2]);
        row.device = r[3];
        row.data_id = std::stoll(r[4]);
        row.source = r[5];
        row.record = r[6];
        for (std::size_t i = 0; i < 8; ++i)
            row.values[i] = r[7 + i].empty() ? 0.0 : std::stod(r[7 + i]);
        row.status_a = std::stoll(r[15]);
        row.status_b = std::stoll(r[16]);
        out.push_back(std::move(row));
    }
    return out;
}

}  // namespace historytest
