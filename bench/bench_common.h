// What the benchmarks share: the median of their rounds, reading a file
// whole, and running one measuring child with a chosen environment.
#pragma once

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace ziv_bench {

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

}  // namespace ziv_bench
