#include "kalvitrex_db.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

#include "kalvitrex_common.h"

namespace kvx {

namespace {

using table_columns = std::map<std::string, std::vector<std::string>>;

std::string join(const std::vector<std::string>& v)
{
    std::string out;
    for (const auto& s : v) {
        out += (out.empty() ? "" : ", ") + s;
    }
    return out;
}

// Every table with its column names in order; throws on SQLite errors with
// `what` naming the database.
table_columns read_tables(sqlite3* db, const std::string& what)
{
    // The first column of every row of `sql`, with `bound` as ?1 when given.
    auto first_column = [&](const char* sql, const std::string* bound) {
        sqlite3_stmt* st = nullptr;
        std::vector<std::string> values;
        int rc = sqlite3_prepare_v2(db, sql, -1, &st, nullptr);
        if (rc == SQLITE_OK && bound != nullptr) {
            sqlite3_bind_text(st, 1, bound->c_str(), -1, SQLITE_TRANSIENT);
        }
        while (rc == SQLITE_OK && (rc = sqlite3_step(st)) == SQLITE_ROW) {
            values.emplace_back(reinterpret_cast<const char*>(sqlite3_column_text(st, 0)));
            rc = SQLITE_OK;
        }
        sqlite3_finalize(st);
        if (rc != SQLITE_DONE) {
            throw user_error(what + ": not a build database (" + sqlite3_errmsg(db) + ")");
        }
        return values;
    };
    table_columns out;
    for (const std::string& name :
         first_column("SELECT name FROM sqlite_master WHERE type='table' AND name NOT LIKE 'sqlite_%'", nullptr)) {
        out[name] = first_column("SELECT name FROM pragma_table_info(?1)", &name);
    }
    return out;
}

void exec_or_throw(sqlite3* db, const std::string& sql, const std::string& what)
{
    char* err = nullptr;
    if (sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &err) != SQLITE_OK) {
        std::string msg = err != nullptr ? err : sqlite3_errmsg(db);
        sqlite3_free(err);
        throw user_error(what + ": " + msg);
    }
}

table_columns schema_tables(const std::string& schema_file)
{
    std::string sql = read_text_file(schema_file, "schema");
    sqlite3* mem = nullptr;
    sqlite3_open(":memory:", &mem);
    try {
        exec_or_throw(mem, sql, "schema " + schema_file);
        table_columns t = read_tables(mem, "schema " + schema_file);
        sqlite3_close(mem);
        return t;
    } catch (...) {
        sqlite3_close(mem);
        throw;
    }
}

// Tables the schema gained after databases were first made with it: a
// database without them still reads (its readers fall back), and `run`
// adds them.
constexpr const char* k_later_tables[] = {"build_command_argv_table"};

bool is_later_table(const std::string& name)
{
    return std::find(std::begin(k_later_tables), std::end(k_later_tables), name) != std::end(k_later_tables);
}

bool lacks_later_table(const table_columns& have)
{
    return std::any_of(std::begin(k_later_tables), std::end(k_later_tables),
                       [&](const char* name) { return have.count(name) == 0; });
}

// Every table of the schema must be there with the same columns in the same
// order (the library's INSERTs name no columns); other tables may be added.
void check_tables(const table_columns& have, const table_columns& want, const std::string& path)
{
    for (const auto& [name, cols] : want) {
        auto it = have.find(name);
        if (it == have.end() && is_later_table(name)) {
            continue;
        }
        if (it == have.end()) {
            throw user_error(path + ": not a build database (table " + name + " is missing)");
        }
        if (it->second != cols) {
            throw user_error(path + ": not a build database (table " + name + " has columns (" + join(it->second) +
                             "), expected (" + join(cols) + "))");
        }
    }
}

sqlite3* open_handle(const std::string& path, int flags)
{
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(path.c_str(), &db, flags, nullptr) != SQLITE_OK) {
        std::string msg = db != nullptr ? sqlite3_errmsg(db) : "out of memory";
        sqlite3_close(db);
        throw user_error(path + ": cannot open the database (" + msg + ")");
    }
    sqlite3_busy_timeout(db, 60000);
    return db;
}

}  // namespace

std::string read_text_file(const std::string& path, const char* what)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        throw user_error(std::string(what) + " not found: " + path);
    }
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

database::~database() { sqlite3_close(db_); }

database database::open_existing(const std::string& path, const std::string& schema_file)
{
    struct stat st;
    if (stat(path.c_str(), &st) != 0) {
        throw user_error("no such database: " + path);
    }
    if (!S_ISREG(st.st_mode)) {
        throw user_error(path + ": not a build database (not a regular file)");
    }
    table_columns want = schema_tables(schema_file);
    database d;
    d.path_ = path;
    // Opened for writing when the file allows it, yet only ever read: the
    // last connection to a write-ahead-logged database must be able to fold
    // the log back in and remove its side files, or every report would leave
    // them behind.
    bool writable = access(path.c_str(), W_OK) == 0;
    d.db_ = open_handle(path, writable ? SQLITE_OPEN_READWRITE : SQLITE_OPEN_READONLY);
    sqlite3_exec(d.db_, "PRAGMA query_only = ON;", nullptr, nullptr, nullptr);
    check_tables(read_tables(d.db_, path), want, path);
    return d;
}

database database::open_or_create(const std::string& path, const std::string& schema_file)
{
    table_columns want = schema_tables(schema_file);
    std::string sql = read_text_file(schema_file, "schema");
    struct stat st;
    if (stat(path.c_str(), &st) != 0) {
        if (errno != ENOENT) {
            throw user_error(path + ": " + strerror(errno));
        }
        // Built under a temporary name and linked into place: a failure
        // leaves no half-made database, and a file that appeared meanwhile is
        // not replaced.
        std::string tmp = path + ".XXXXXX";
        int fd = mkstemp(tmp.data());
        if (fd < 0) {
            throw user_error("cannot create " + path + ": " + strerror(errno));
        }
        close(fd);
        sqlite3* db = nullptr;
        try {
            db = open_handle(tmp, SQLITE_OPEN_READWRITE);
            exec_or_throw(db, sql, "cannot create " + path);
            sqlite3_close(db);
            db = nullptr;
            if (link(tmp.c_str(), path.c_str()) != 0 && errno != EEXIST) {
                throw user_error("cannot create " + path + ": " + strerror(errno));
            }
        } catch (...) {
            sqlite3_close(db);
            unlink(tmp.c_str());
            throw;
        }
        unlink(tmp.c_str());
    } else if (!S_ISREG(st.st_mode)) {
        throw user_error(path + ": not a build database (not a regular file)");
    }
    database d;
    d.path_ = path;
    d.db_ = open_handle(path, SQLITE_OPEN_READWRITE);
    table_columns have = read_tables(d.db_, path);
    if (have.empty()) {
        // An empty SQLite file (zero bytes included) gets the tables.
        exec_or_throw(d.db_, sql, "cannot create the tables in " + path);
        have = read_tables(d.db_, path);
    }
    check_tables(have, want, path);
    if (lacks_later_table(have)) {
        // The schema creates only what is missing; older readers ignore
        // tables they do not know.
        exec_or_throw(d.db_, sql, "cannot add the new tables to " + path);
    }
    return d;
}

int64_t database::scalar(const char* sql) const
{
    statement s(*this, sql);
    return s.step() ? s.integer(0) : 0;
}

bool database::has_table(const char* name) const
{
    sqlite3_stmt* st = nullptr;
    bool found = false;
    if (sqlite3_prepare_v2(db_, "SELECT 1 FROM sqlite_master WHERE type='table' AND name=?1", -1, &st, nullptr) ==
        SQLITE_OK) {
        sqlite3_bind_text(st, 1, name, -1, SQLITE_STATIC);
        found = sqlite3_step(st) == SQLITE_ROW;
    }
    sqlite3_finalize(st);
    return found;
}

statement::statement(const database& db, const char* sql) : db_(db)
{
    if (sqlite3_prepare_v2(db.handle(), sql, -1, &st_, nullptr) != SQLITE_OK) {
        throw user_error(db.path() + ": " + sqlite3_errmsg(db.handle()));
    }
}

statement::~statement() { sqlite3_finalize(st_); }

bool statement::step()
{
    int rc = sqlite3_step(st_);
    if (rc == SQLITE_ROW) {
        return true;
    }
    if (rc == SQLITE_DONE) {
        return false;
    }
    throw user_error(db_.path() + ": " + sqlite3_errmsg(db_.handle()));
}

std::string statement::text(int col) const
{
    if (sqlite3_column_type(st_, col) == SQLITE_BLOB) {
        const void* b = sqlite3_column_blob(st_, col);
        int n = sqlite3_column_bytes(st_, col);
        return b == nullptr ? std::string() : std::string(static_cast<const char*>(b), static_cast<size_t>(n));
    }
    const unsigned char* t = sqlite3_column_text(st_, col);
    int n = sqlite3_column_bytes(st_, col);
    return t == nullptr ? std::string() : std::string(reinterpret_cast<const char*>(t), static_cast<size_t>(n));
}

std::vector<std::string> decode_argv(std::string_view bytes)
{
    std::vector<std::string> args;
    for (size_t at = 0; at < bytes.size();) {
        size_t end = bytes.find('\0', at);
        // A vector cut short keeps what is there of its last argument.
        args.emplace_back(bytes.substr(at, end == std::string_view::npos ? std::string_view::npos : end - at));
        at = end == std::string_view::npos ? bytes.size() : end + 1;
    }
    return args;
}

std::vector<std::string> command_argv(const database& db, int64_t id, bool* exact)
{
    if (exact != nullptr) {
        *exact = false;
    }
    if (db.has_table("build_command_argv_table")) {
        statement s(db, ("SELECT argv FROM build_command_argv_table WHERE command_id = " + std::to_string(id)).c_str());
        if (s.step() && !s.is_null(0)) {
            if (exact != nullptr) {
                *exact = true;
            }
            return decode_argv(s.text(0));
        }
    }
    statement s(db, ("SELECT command FROM build_command_table WHERE id = " + std::to_string(id)).c_str());
    return s.step() ? split_command_log(s.text(0)) : std::vector<std::string>();
}

// --- Loading ------------------------------------------------------------------

const file_row* build_data::find(file_table t, int64_t id) const
{
    const auto& m = t == file_table::source ? sources : t == file_table::header ? headers : targets;
    auto it = m.find(id);
    return it == m.end() ? nullptr : &it->second;
}

const command_row* build_data::command(int64_t id) const
{
    auto it = commands.find(id);
    return it == commands.end() ? nullptr : &it->second;
}

std::string build_data::root_dir() const
{
    std::string root;
    bool first = true;
    for (const auto& [id, c] : commands) {
        if (c.dir.empty()) {
            continue;
        }
        std::string d = normalize_path(c.dir, "/");
        if (first) {
            root = d;
            first = false;
            continue;
        }
        while (root != "/" && !(d == root || (d.size() > root.size() && d.compare(0, root.size(), root) == 0 &&
                                               d[root.size()] == '/'))) {
            root = root.substr(0, std::max<size_t>(root.rfind('/'), 1));
        }
    }
    return first ? "/" : root;
}

namespace {

void load_files(const database& db, const char* sql, file_table t, std::map<int64_t, file_row>& out)
{
    statement s(db, sql);
    while (s.step()) {
        file_row f;
        f.table = t;
        f.id = s.integer(0);
        f.name = s.text(1);
        f.dir = s.text(2);
        f.checksum = s.text(3);
        f.command = s.integer(4);
        f.trace_command = s.integer(5);
        f.path = normalize_path(f.name, f.dir.empty() ? "/" : f.dir);
        out.emplace(f.id, std::move(f));
    }
}

void load_relations(const database& db, const char* sql, file_table from, file_table to, std::vector<relation>& out)
{
    statement s(db, sql);
    while (s.step()) {
        out.push_back({from, s.integer(0), to, s.integer(1)});
    }
}

}  // namespace

build_data load_build(const database& db)
{
    build_data b;
    {
        bool vectors = db.has_table("build_command_argv_table");
        std::string sql = std::string("SELECT c.id, c.start_time, c.command, t.filename, p.filename, c.parent_id, "
                                      "c.runtime, ") +
                          (vectors ? "a.argv " : "NULL ") +
                          "FROM build_command_table c LEFT JOIN tool_file_table t ON t.id = c.tool_id "
                          "LEFT JOIN path_file_table p ON p.id = c.path_file_id" +
                          (vectors ? " LEFT JOIN build_command_argv_table a ON a.command_id = c.id" : "");
        statement s(db, sql.c_str());
        while (s.step()) {
            command_row c{s.integer(0), s.text(1), s.text(2), s.text(3), s.text(4), s.integer(5), s.integer(6), {},
                          !s.is_null(7)};
            c.argv = c.exact ? decode_argv(s.text(7)) : split_command_log(c.log);
            b.commands.emplace(c.id, std::move(c));
        }
    }
    load_files(db,
               "SELECT f.id, f.filename, p.filename, f.checksum, f.command_id, 0 FROM source_file_table f "
               "LEFT JOIN path_file_table p ON p.id = f.path_file_id",
               file_table::source, b.sources);
    load_files(db,
               "SELECT f.id, f.filename, p.filename, f.checksum, 0, 0 FROM head_file_table f "
               "LEFT JOIN path_file_table p ON p.id = f.path_file_id",
               file_table::header, b.headers);
    load_files(db,
               "SELECT f.id, f.filename, p.filename, f.checksum, f.command_id, f.trace_command_id "
               "FROM target_file_table f LEFT JOIN path_file_table p ON p.id = f.path_file_id",
               file_table::target, b.targets);
    load_relations(db, "SELECT target_id, dep_id FROM target_target_table", file_table::target, file_table::target,
                   b.relations);
    load_relations(db, "SELECT target_id, source_id FROM target_source_table", file_table::target,
                   file_table::source, b.relations);
    load_relations(db, "SELECT source_id, dep_id FROM source_source_table", file_table::source, file_table::source,
                   b.relations);
    load_relations(db, "SELECT source_id, head_id FROM source_head_table", file_table::source, file_table::header,
                   b.relations);
    return b;
}

}  // namespace kvx
