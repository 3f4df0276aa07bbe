// The build database as the front end sees it: opening and checking against
// the shipped schema, creating it, and reading it into memory.
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace kvx {

class database {
 public:
    database() = default;
    database(database&& other) noexcept : db_(other.db_), path_(std::move(other.path_)) { other.db_ = nullptr; }
    database& operator=(database&&) = delete;
    ~database();

    // An existing build database, read-only. Errors: no such database, not a
    // build database (not SQLite, or tables unlike the schema's).
    static database open_existing(const std::string& path, const std::string& schema_file);
    // For `run`: creates the database from the schema when the file is absent
    // (or an SQLite file without any table), else checks it like open_existing.
    static database open_or_create(const std::string& path, const std::string& schema_file);

    sqlite3* handle() const { return db_; }
    const std::string& path() const { return path_; }
    int64_t scalar(const char* sql) const;
    bool has_table(const char* name) const;

 private:
    sqlite3* db_ = nullptr;
    std::string path_;
};

// A prepared statement; step() returns false after the last row.
class statement {
 public:
    statement(const database& db, const char* sql);
    ~statement();
    statement(const statement&) = delete;
    statement& operator=(const statement&) = delete;
    bool step();
    int64_t integer(int col) const { return sqlite3_column_int64(st_, col); }
    bool is_null(int col) const { return sqlite3_column_type(st_, col) == SQLITE_NULL; }
    // The column's bytes as stored (text or blob).
    std::string text(int col) const;

 private:
    sqlite3_stmt* st_ = nullptr;
    const database& db_;
};

std::string read_text_file(const std::string& path, const char* what);

// --- The build in memory --------------------------------------------------

struct command_row {
    int64_t id = 0;
    std::string start_time;
    std::string log;  // the arguments, separated by one space
    std::string tool;
    std::string dir;
    int64_t parent = 0;
    int64_t runtime_ms = -1;
    // The arguments exactly as the program received them; split from `log`
    // at blanks (`exact` false) for a command recorded without its vector.
    std::vector<std::string> argv;
    bool exact = false;
};

// The recorded vector: every argument followed by a zero byte.
std::vector<std::string> decode_argv(std::string_view bytes);
// The argument vector of command `id` as the program received it, for every
// reader that shows or re-runs a command. A database made before vectors
// were recorded (or a command without one) gives the command text split at
// blanks, and `exact` (when given) says which it is. Empty for an unknown id.
std::vector<std::string> command_argv(const database& db, int64_t id, bool* exact = nullptr);

enum class file_table { source, header, target };

struct file_row {
    file_table table;
    int64_t id = 0;
    std::string name;  // as recorded
    std::string dir;   // directory a relative name is relative to
    std::string path;  // normalised absolute path
    std::string checksum;
    int64_t command = 0;  // producing command, 0 = recorded as input
    int64_t trace_command = 0;
};

struct relation {
    file_table from_table;  // the dependant
    int64_t from;
    file_table to_table;    // what it depends on
    int64_t to;
};

struct build_data {
    std::map<int64_t, command_row> commands;
    std::map<int64_t, file_row> sources, headers, targets;
    std::vector<relation> relations;

    const file_row* find(file_table t, int64_t id) const;
    const command_row* command(int64_t id) const;
    // The deepest directory holding every command's working directory.
    std::string root_dir() const;
};

build_data load_build(const database& db);

}  // namespace kvx
