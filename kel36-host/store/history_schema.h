#pragma once
// The history database's identity and tables. A file is used only when it is
// a kel36-host history of a schema version this program reads (or empty, or
// absent, when writing): anything else is refused before it is changed.

#include <cstdint>
#include <string>

namespace keltool {

class SqliteDb;

// PRAGMA application_id: "K36H".
constexpr int64_t kHistoryApplicationId = 0x4B333648;
// PRAGMA user_version: the schema this program writes and reads.
// Older versions are read as they are and brought forward by a writer.
constexpr int64_t kHistorySchemaVersion = 3;

enum class HistoryAccess { Read, Write };

// Opens `path` as a history into `db`. Write: creates the file or the tables
// when there are none, or brings an older schema forward, in one
// transaction; WAL journal. Read: changes nothing, whatever the version. Throws ToolError, naming
// the file and why, for a file that is not a history (an older JSON-lines history, another file,
// another SQLite database), a newer schema version, or one that cannot be opened.
void openHistory(const std::string& path, HistoryAccess access, SqliteDb& db);

// Makes the tables of schema `version` (1 up to the current one) in the open,
// empty database `db`: how every history starts, and how tests and the bench
// make files of an older version. Throws ToolError.
void createHistorySchema(SqliteDb& db, int64_t version);

}  // namespace keltool
