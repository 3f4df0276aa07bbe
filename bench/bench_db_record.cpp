// Cost of recording one traced command (directory, tool, command row, three
// inputs, one output and their relations) into a small build database and
// into a large one. Look-ups that use the schema's indexes keep the cost
// flat as a build grows; a missing index makes it grow with the row count.
//
//   bench_db_record [--rounds R] [--per-round K] [--small N] [--large N] [--target X]
//
// Each round records K commands into each database, alternating which one
// goes first; the figure is the median of the per-round ratios of the mean
// cost per command (large / small), with a distribution-free ~95% interval.
#include <dlfcn.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "bench_common.h"
#include "ziv_config.h"
#include "ziv_db.h"
#include "ziv_trace.h"
#include "ziv_trace_entry.h"

using ziv_bench::die;
using ziv_bench::write_text;

namespace {

using clock_type = std::chrono::steady_clock;

struct options {
    int rounds = 30;
    int per_round = 10;
    long small = 100;
    long large = 100000;
    double target = 1.5;
};

void exec(sqlite3* db, const std::string& sql)
{
    char* err = nullptr;
    if (sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &err) != SQLITE_OK) {
        die(std::string("sqlite: ") + (err ? err : "?"));
    }
}

std::string hex_digest(std::mt19937_64& rng)
{
    char text[65];
    for (int i = 0; i < 4; ++i) {
        snprintf(text + i * 16, 17, "%016llx", static_cast<unsigned long long>(rng()));
    }
    return std::string(text, 64);
}

// A database from the schema holding `files` file rows (sources, headers
// and targets spread over many directories) and as many relations.
void make_database(const std::string& path, const std::string& schema, long files)
{
    sqlite3* db = nullptr;
    if (sqlite3_open(path.c_str(), &db) != SQLITE_OK) {
        die("cannot create " + path);
    }
    exec(db, schema);
    exec(db, "PRAGMA synchronous = OFF; BEGIN;");
    sqlite3_stmt* source = nullptr;
    sqlite3_stmt* head = nullptr;
    sqlite3_stmt* target = nullptr;
    sqlite3_stmt* relation = nullptr;
    sqlite3_prepare_v2(db, "INSERT INTO source_file_table VALUES (NULL,?,?,?,0)", -1, &source, nullptr);
    sqlite3_prepare_v2(db, "INSERT INTO head_file_table VALUES (NULL,?,?,?)", -1, &head, nullptr);
    sqlite3_prepare_v2(db, "INSERT INTO target_file_table VALUES (NULL,?,?,?,?,?)", -1, &target, nullptr);
    sqlite3_prepare_v2(db, "INSERT INTO target_source_table VALUES (NULL,?,?)", -1, &relation, nullptr);
    std::mt19937_64 rng(files);
    for (int d = 1; d <= 50; ++d) {
        exec(db, "INSERT INTO path_file_table VALUES (NULL,'/build/dir" + std::to_string(d) + "');");
    }
    for (long i = 0; i < files; ++i) {
        int dir = static_cast<int>(i % 50) + 1;
        std::string digest = hex_digest(rng);
        sqlite3_stmt* st = i % 3 == 0 ? source : i % 3 == 1 ? head : target;
        std::string name = "src/module" + std::to_string(i / 300) + "/file" + std::to_string(i) +
                           (i % 3 == 0 ? ".c" : i % 3 == 1 ? ".h" : ".o");
        sqlite3_bind_text(st, 1, name.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_int(st, 2, dir);
        sqlite3_bind_text(st, 3, digest.c_str(), -1, SQLITE_TRANSIENT);
        if (st == target) {
            sqlite3_bind_int64(st, 4, i);
            sqlite3_bind_int64(st, 5, i);
        }
        if (sqlite3_step(st) != SQLITE_DONE) {
            die("fill failed");
        }
        sqlite3_reset(st);
        sqlite3_bind_int64(relation, 1, i + 1);
        sqlite3_bind_int64(relation, 2, i / 3 + 1);
        sqlite3_step(relation);
        sqlite3_reset(relation);
    }
    for (sqlite3_stmt* st : {source, head, target, relation}) {
        sqlite3_finalize(st);
    }
    exec(db, "COMMIT;");
    sqlite3_close(db);
}

// Opens `path` through the library and hands back its connection.
sqlite3* open_through_library(const std::string& path)
{
    ziv_prog_cfg.db = nullptr;
    if (setenv("ZIV_TRACE_OUTPUT", path.c_str(), 1) != 0) {
        die("setenv");
    }
    init_ziv_sqlite3_cfg();
    if (ziv_open_sqlite() != 0) {
        die("the library could not open " + path);
    }
    return ziv_prog_cfg.db;
}

ziv_trace_cmd g_row{"gcc", nullptr, 0, 0, 0, nullptr, {}};

// One traced command, as the trace entry records it: returns the time spent
// in the library, the program's own work (writing the output) excluded.
double record_command(const std::string& tag)
{
    std::string out = "out_" + tag + ".o";
    auto t0 = clock_type::now();
    g_row.pwd_id = ziv_db_get_pwd_id();
    const char* tool = "/usr/bin/gcc";
    int tool_id = ziv_get_obj_id_by_filename(tool, "tool_file_table");
    if (tool_id < 1) {
        std::string sql = "INSERT OR IGNORE INTO tool_file_table VALUES (NULL,'/usr/bin/gcc','" + std::string(64, '0') +
                          "');";
        ziv_sqlite3_exec(sql.c_str(), static_cast<int>(sql.size()));
        tool_id = ziv_get_obj_id_by_filename(tool, "tool_file_table");
    }
    std::string log = "gcc -c src_" + tag + ".c -o " + out;
    std::string sql = "INSERT INTO build_command_table VALUES (NULL,'2022-02-28 10:00:00','" + log + "', " +
                      std::to_string(tool_id) + ", " + std::to_string(g_row.pwd_id) + ", 0, -1);";
    ziv_sqlite3_exec(sql.c_str(), static_cast<int>(sql.size()));
    g_row.command_id = ziv_get_data_id("select last_insert_rowid();", 27);
    ziv_init_trace_info(out.c_str(), &g_row);
    ziv_trace_info* info = g_row.info;
    ziv_append_trace_file(&info->inputs, ("src_" + tag + ".c").c_str());
    ziv_append_trace_file(&info->inputs, ("dep_" + tag + ".o").c_str());
    ziv_append_trace_file(&info->inputs, "libshared.a");
    info->pwd_id = g_row.pwd_id;
    ziv_init_trace_input(info->pwd_id, info->inputs);
    ziv_insert_input_file(info->pwd_id, info->inputs);
    auto t1 = clock_type::now();
    write_text(out, "object " + tag);
    auto t2 = clock_type::now();
    info->command_id = g_row.command_id;
    ziv_parse_trace_info(info);
    ziv_update_build_command_runtime(5, g_row.command_id);
    auto t3 = clock_type::now();
    if (info->outputs->id < 1) {
        die("output of " + tag + " not recorded");
    }
    ziv_free_trace_info(info);
    free(info);
    g_row.info = nullptr;
    return std::chrono::duration<double, std::micro>((t1 - t0) + (t3 - t2)).count();
}

// The command row as the trace entry writes it, in its own transaction,
// without and with the exact argument vector beside it: the vector's cost
// per traced command, for a typical compile line.
const std::vector<std::string> kCompileLine = {
        "/usr/bin/gcc", "-DHAVE_CONFIG_H", "-I.", "-I../include", "-I../lib", "-isystem", "/usr/include/glib-2.0",
        "-D_FORTIFY_SOURCE=2", "-Wdate-time", "-g", "-O2", "-ffile-prefix-map=/build/pkg-1.0=.",
        "-fstack-protector-strong", "-Wformat", "-Werror=format-security", "-Wall", "-Wextra", "-fPIC", "-MT",
        "libpkg_la-parse.lo", "-MD", "-MP", "-MF", ".deps/libpkg_la-parse.Tpo", "-c", "parse.c", "-o",
        "libpkg_la-parse.o"};

std::pair<double, double> command_row_cost(int rounds, int per_round)
{
    const std::vector<std::string>& args = kCompileLine;
    std::vector<char*> argv;
    std::string log;
    for (const std::string& a : args) {
        argv.push_back(const_cast<char*>(a.c_str()));
        log += (log.empty() ? "" : " ") + a;
    }
    argv.push_back(nullptr);
    int pwd_id = ziv_db_get_pwd_id();
    int tool_id = ziv_get_obj_id_by_filename("/usr/bin/gcc", "tool_file_table");
    std::vector<double> plain, with;
    for (int r = 0; r <= rounds; ++r) {
        double sum[2] = {0, 0};
        for (int side = 0; side < 2; ++side) {
            int vector = (side + r) % 2;
            for (int k = 0; k < per_round; ++k) {
                auto t0 = clock_type::now();
                ziv_sqlite3_exec("begin;", 6);
                int id = ziv_db_insert_command(tool_id, pwd_id, log.c_str());
                if (vector == 1) {
                    ziv_insert_command_argv(id, static_cast<int>(args.size()), argv.data());
                }
                ziv_sqlite3_exec("commit;", 7);
                sum[vector] += std::chrono::duration<double, std::micro>(clock_type::now() - t0).count();
                if (id < 1) {
                    die("command row not written");
                }
            }
        }
        if (r > 0) {  // round 0 warms up
            plain.push_back(sum[0] / per_round);
            with.push_back(sum[1] / per_round);
        }
    }
    return {ziv_bench::median(plain), ziv_bench::median(with)};
}

// Order-statistic bounds of a ~95% interval for the median of n values.
std::pair<double, double> median_interval(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    size_t n = v.size();
    double half = 1.96 * std::sqrt(static_cast<double>(n)) / 2;
    long lo = std::max(0L, static_cast<long>(std::floor(n / 2.0 - half)));
    long hi = std::min(static_cast<long>(n) - 1, static_cast<long>(std::ceil(n / 2.0 + half)) - 1);
    return {v[lo], v[hi]};
}

}  // namespace

int main(int argc, char** argv)
{
    options o;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto next = [&]() -> const char* {
            if (i + 1 >= argc) die("missing value for " + a);
            return argv[++i];
        };
        if (a == "--rounds") o.rounds = atoi(next());
        else if (a == "--per-round") o.per_round = atoi(next());
        else if (a == "--small") o.small = atol(next());
        else if (a == "--large") o.large = atol(next());
        else if (a == "--target") o.target = atof(next());
        else die("unknown option " + a);
    }
    char pattern[] = "/tmp/ziv_bench_db.XXXXXX";
    if (mkdtemp(pattern) == nullptr) {
        die("mkdtemp");
    }
    std::string dir = pattern;
    std::string schema = ziv_bench::read_text(ZIV_SCHEMA_PATH);
    if (schema.empty()) {
        die("cannot read the schema " ZIV_SCHEMA_PATH);
    }
    std::string small_db = dir + "/small.db";
    std::string large_db = dir + "/large.db";
    make_database(small_db, schema, o.small);
    make_database(large_db, schema, o.large);

    // The inputs every command reads; outputs are written as it runs.
    std::string work = dir + "/work";
    mkdir(work.c_str(), 0755);
    if (chdir(work.c_str()) != 0) {
        die("chdir");
    }
    write_text("libshared.a", "!<arch>\nshared\n");
    for (int r = 0; r < o.rounds + 1; ++r) {
        for (int k = 0; k < o.per_round; ++k) {
            for (const char* which : {"s", "l"}) {
                std::string tag = std::string(which) + std::to_string(r) + "_" + std::to_string(k);
                write_text("src_" + tag + ".c", "int v" + tag + ";\n");
                write_text("dep_" + tag + ".o", "dep object " + tag);
            }
        }
    }
    sqlite3* small = open_through_library(small_db);
    sqlite3* large = open_through_library(large_db);
    g_ziv_trace_cmd = &g_row;

    std::vector<double> ratios, small_means, large_means;
    for (int r = 0; r <= o.rounds; ++r) {  // round 0 warms both up
        double sum[2] = {0, 0};
        for (int side = 0; side < 2; ++side) {
            int which = (side + r) % 2;  // alternate which database goes first
            ziv_prog_cfg.db = which == 0 ? small : large;
            for (int k = 0; k < o.per_round; ++k) {
                std::string tag = std::string(which == 0 ? "s" : "l") + std::to_string(r) + "_" + std::to_string(k);
                sum[which] += record_command(tag);
            }
        }
        if (r == 0) {
            continue;
        }
        small_means.push_back(sum[0] / o.per_round);
        large_means.push_back(sum[1] / o.per_round);
        ratios.push_back(sum[1] / sum[0]);
    }
    ziv_prog_cfg.db = large;
    auto [row_alone, row_with_vector] = command_row_cost(o.rounds, o.per_round);
    ziv_prog_cfg.db = nullptr;
    auto [lo, hi] = median_interval(ratios);
    double ratio = ziv_bench::median(ratios);
    printf("recording one command (directory, tool, command row, 3 inputs, 1 output, relations)\n");
    printf("  %ld file rows:    median of round means %8.1f us\n", o.small, ziv_bench::median(small_means));
    printf("  %ld file rows: median of round means %8.1f us\n", o.large, ziv_bench::median(large_means));
    printf("ratio large/small: %.3f (target <= %.2f)  [%.3f, %.3f]  %s\n", ratio, o.target, lo, hi,
           ratio <= o.target ? (hi <= o.target ? "within target" : "within target, interval crosses it")
                             : "ABOVE TARGET");
    printf("command row of a %zu-argument compile in its own transaction, %ld file rows:\n", kCompileLine.size(),
           o.large);
    printf("  alone %8.1f us, with its exact vector %8.1f us: the vector adds %.1f us per command\n", row_alone,
           row_with_vector, row_with_vector - row_alone);
    std::string cleanup = "rm -rf '" + dir + "'";
    if (system(cleanup.c_str()) != 0) {
        fprintf(stderr, "could not remove %s\n", dir.c_str());
    }
    return 0;
}
