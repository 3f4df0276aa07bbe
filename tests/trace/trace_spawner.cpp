// Starts a program with an environment of its own making, through one of
// the C library's calls, as build steps do (env -i, a script runner, a
// build tool cleaning up its children's environment):
//
//   SPAWN_ENV_FILE=F trace_spawner CALL PROGRAM [ARGS...]
//
// The child's environment is exactly the lines of F. The calls that take no
// environment (execv, execvp, execl, execlp) get it by this process
// replacing its own first, as env -i does; the execl calls pass the one
// argument "--probe-env". PROGRAM is a path for execve-like calls and a
// bare name searched along this process's PATH for the p-calls.
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

int main(int argc, char** argv)
{
    if (argc < 3 || getenv("SPAWN_ENV_FILE") == nullptr) {
        fprintf(stderr, "usage: SPAWN_ENV_FILE=F trace_spawner CALL PROGRAM [ARGS...]\n");
        return 2;
    }
    std::string call = argv[1];
    const char* program = argv[2];
    char** child_argv = argv + 2;
    std::vector<std::string> lines;
    std::ifstream in(getenv("SPAWN_ENV_FILE"));
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    std::vector<char*> envp;
    for (std::string& l : lines) {
        envp.push_back(l.data());
    }
    envp.push_back(nullptr);
    fflush(stdout);

    pid_t child = -1;
    if (call == "posix_spawn" || call == "posix_spawnp") {
        int err = (call == "posix_spawn" ? posix_spawn : posix_spawnp)(&child, program, nullptr, nullptr, child_argv,
                                                                      envp.data());
        if (err != 0) {
            fprintf(stderr, "%s: %s\n", call.c_str(), strerror(err));
            return 126;
        }
    } else if (call == "vfork" && (child = vfork()) == 0) {
        execve(program, child_argv, envp.data());
        _exit(127);
    }
    if (child > 0) {
        int status = 0;
        waitpid(child, &status, 0);
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128;
    }
    // The path search of the p-calls follows this process's PATH, which
    // the environment-less calls below replace: keep it.
    std::string path = getenv("PATH") != nullptr ? getenv("PATH") : "";
    if (call == "execv" || call == "execvp" || call == "execl" || call == "execlp") {
        clearenv();
        for (std::string& l : lines) {
            putenv(l.data());
        }
        if (call == "execvp" || call == "execlp") {
            setenv("PATH", path.c_str(), 1);
        }
    }
    const char* arg = "--probe-env";
    int fd = call == "fexecve" || call == "execveat" ? open(program, O_RDONLY | O_CLOEXEC) : -1;
    if (call == "execve") {
        execve(program, child_argv, envp.data());
    } else if (call == "execvpe") {
        execvpe(program, child_argv, envp.data());
    } else if (call == "execle") {
        execle(program, program, arg, static_cast<char*>(nullptr), envp.data());
    } else if (call == "execv") {
        execv(program, child_argv);
    } else if (call == "execvp") {
        execvp(program, child_argv);
    } else if (call == "execl") {
        execl(program, program, arg, static_cast<char*>(nullptr));
    } else if (call == "execlp") {
        execlp(program, program, arg, static_cast<char*>(nullptr));
    } else if (call == "fexecve") {
        fexecve(fd, child_argv, envp.data());
    } else if (call == "execveat") {
        execveat(fd, "", child_argv, envp.data(), AT_EMPTY_PATH);
    } else {
        fprintf(stderr, "unknown call %s\n", call.c_str());
        return 2;
    }
    fprintf(stderr, "%s: %s\n", call.c_str(), strerror(errno));
    return 127;
}
