// What the benchmarks share: the median of their rounds, reading a file
// whole, running children with a chosen environment, and the trace
// database they write into.
#pragma once

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace ziv_bench {

// Something the benchmark needs failed: its figures would mean nothing.
[[noreturn]] inline void die(const std::string& what)
{
    fprintf(stderr, "%s: %s\n", program_invocation_short_name, what.c_str());
    exit(2);
}

inline double median(std::vector<double> v)
{
    if (v.empty()) {
        return NAN;
    }
    std::sort(v.begin(), v.end());
    size_t n = v.size();
    return n % 2 == 1 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

// The whole file, or "" when it cannot be read.
inline std::string read_text(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// Writes the whole file, or dies.
inline void write_text(const std::string& path, const std::string& text)
{
    std::ofstream out(path, std::ios::binary);
    out << text;
    if (!out) {
        die("cannot write " + path);
    }
}

// Runs `exe` with exactly `argv` and `env`; its standard output (the first
// 4 KiB), or false when it could not run or did not exit with 0.
inline bool child_output(const std::string& exe, const std::vector<std::string>& argv,
                         const std::vector<std::string>& env, std::string* out)
{
    std::vector<char*> args;
    for (const std::string& a : argv) {
        args.push_back(const_cast<char*>(a.c_str()));
    }
    args.push_back(nullptr);
    std::vector<char*> envp;
    for (const std::string& e : env) {
        envp.push_back(const_cast<char*>(e.c_str()));
    }
    envp.push_back(nullptr);
    int pipe_fd[2];
    if (pipe(pipe_fd) != 0) {
        return false;
    }
    pid_t pid = fork();
    if (pid == 0) {
        dup2(pipe_fd[1], 1);
        close(pipe_fd[0]);
        close(pipe_fd[1]);
        execve(exe.c_str(), args.data(), envp.data());
        _exit(127);
    }
    close(pipe_fd[1]);
    char buffer[4096] = {};
    ssize_t got = pid > 0 ? read(pipe_fd[0], buffer, sizeof buffer - 1) : -1;
    close(pipe_fd[0]);
    int status = 0;
    if (pid > 0) {
        waitpid(pid, &status, 0);
    }
    out->assign(buffer, got > 0 ? static_cast<size_t>(got) : 0);
    return pid > 0 && got > 0 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// The null-terminated pointer array execve and posix_spawn want; valid
// while `v` lives.
inline std::vector<char*> pointers(std::vector<std::string>& v)
{
    std::vector<char*> p;
    for (std::string& s : v) {
        p.push_back(s.data());
    }
    p.push_back(nullptr);
    return p;
}

// Runs `argv` (argv[0] a path) in `dir` (or here, when empty) with exactly
// `env`, its standard output (with `silent` its standard error too) thrown
// away. The wall time in milliseconds, or a negative value when it could not
// start or did not exit with 0; `usage` receives the CPU time of the child
// and all it waited for. vfork and not posix_spawn: the latter resets every
// signal disposition in the child, a cost that would dilute the ratio of a
// short command.
inline double run_quiet(std::vector<std::string> argv, std::vector<std::string> env, const std::string& dir = "",
                        struct rusage* usage = nullptr, bool silent = false)
{
    std::vector<char*> args = pointers(argv);
    std::vector<char*> envp = pointers(env);
    auto start = std::chrono::steady_clock::now();
    pid_t child = vfork();
    if (child == 0) {
        int null = open("/dev/null", O_WRONLY);
        if (null >= 0 && dup2(null, 1) == 1 && (!silent || dup2(null, 2) == 2) &&
            (dir.empty() || chdir(dir.c_str()) == 0)) {
            execve(args[0], args.data(), envp.data());
        }
        _exit(127);
    }
    int status = 0;
    bool ran = child > 0 && wait4(child, &status, 0, usage) == child;
    double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    return ran && WIFEXITED(status) && WEXITSTATUS(status) == 0 ? ms : -1;
}

}  // namespace ziv_bench

// For the benchmarks that trace into a database (and link SQLite).
#ifdef ZIV_SCHEMA_PATH
#include <sqlite3.h>

namespace ziv_bench {

// A fresh trace database at `path`, made from the schema (a file already
// there is replaced).
inline bool make_db(const std::string& path)
{
    std::remove(path.c_str());
    sqlite3* db = nullptr;
    bool made = sqlite3_open(path.c_str(), &db) == SQLITE_OK &&
                sqlite3_exec(db, read_text(ZIV_SCHEMA_PATH).c_str(), nullptr, nullptr, nullptr) == SQLITE_OK;
    sqlite3_close(db);
    return made;
}

// The single number `sql` (a count, say) yields in the database at `path`,
// or -1.
inline long query_number(const std::string& path, const std::string& sql)
{
    sqlite3* db = nullptr;
    sqlite3_stmt* st = nullptr;
    long n = -1;
    if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK &&
        sqlite3_prepare_v2(db, sql.c_str(), -1, &st, nullptr) == SQLITE_OK && sqlite3_step(st) == SQLITE_ROW) {
        n = sqlite3_column_int64(st, 0);
    }
    sqlite3_finalize(st);
    sqlite3_close(db);
    return n;
}

}  // namespace ziv_bench
#endif
