// Stands in for a compiler proper started as "cc1", or for clang compiling
// in its own process (started as "clang"). Every run appends one
// line to $FAKE_CC1_LOG: "first" or "second", LD_PRELOAD and
// ZIV_TRACE_HDEPS as it saw them, and its arguments, separated by tabs. A
// run given "-MF <file>" (the second run of header tracing) copies
// $FAKE_CC1_DEPS into that file and makes noise on both outputs, which must
// never reach the traced build's. Other runs write "compiled" to their "-o"
// file, after opening what $FAKE_CC1_OPENS lists as a compiler reads its
// source and headers, and exit with $FAKE_CC1_EXIT.
//
// $FAKE_CC1_OPENS: blank-separated "how:path" entries; how is r (open,
// read-only), w (created for writing, mode 0640), T (an unnamed file in a
// directory, O_TMPFILE, mode 0600), d (a directory), 6 (open64), t (openat
// from the working directory), a (openat relative to a directory
// descriptor), 2 (__open_2), 4 (__openat64_2), S (opened again and again
// while a signal handler that opens it too interrupts the opens). A created
// file must get the mode asked for.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>

extern "C" int __open_2(const char*, int);
extern "C" int __openat64_2(int, const char*, int);

namespace {

const char* g_storm_path = nullptr;

// The opens of a handler that interrupts the library's own noting of an
// open must neither wait for it nor be lost to the program.
int open_under_signals(const char* path)
{
    g_storm_path = path;
    struct sigaction action {};
    action.sa_handler = [](int) {
        int saved = errno;
        int fd = open(g_storm_path, O_RDONLY);
        if (fd < 0) {
            _exit(8);
        }
        close(fd);
        errno = saved;
    };
    action.sa_flags = SA_RESTART;
    sigaction(SIGALRM, &action, nullptr);
    itimerval every{{0, 50}, {0, 50}};
    setitimer(ITIMER_REAL, &every, nullptr);
    int fd = -1;
    for (int k = 0; k < 20000; ++k) {
        if ((fd = open(path, O_RDONLY)) < 0) {
            break;
        }
        close(fd);
    }
    itimerval off{};
    setitimer(ITIMER_REAL, &off, nullptr);
    return fd < 0 ? -1 : open(path, O_RDONLY);
}

void open_listed(const char* list)
{
    std::istringstream in(list != nullptr ? list : "");
    for (std::string entry; in >> entry;) {
        const char* path = entry.c_str() + 2;
        int fd = -1;
        switch (entry[0]) {
        case 'r': fd = open(path, O_RDONLY); break;
        case 'w': fd = open(path, O_WRONLY | O_CREAT | O_TRUNC, 0640); break;
        case 'T': fd = openat64(AT_FDCWD, path, O_TMPFILE | O_WRONLY, 0600); break;
        case 'd': fd = open(path, O_RDONLY | O_DIRECTORY); break;
        case '6': fd = open64(path, O_RDONLY); break;
        case 't': fd = openat(AT_FDCWD, path, O_RDONLY); break;
        case 'a': {
            int dir = open(".", O_RDONLY | O_DIRECTORY);
            fd = openat(dir, path, O_RDONLY);
            close(dir);
            break;
        }
        case '2': fd = __open_2(path, O_RDONLY); break;
        case '4': fd = __openat64_2(AT_FDCWD, path, O_RDONLY); break;
        case 'S': fd = open_under_signals(path); break;
        }
        struct stat st {};
        mode_t wanted = entry[0] == 'w' ? 0640 : 0600;
        if (fd < 0 || ((entry[0] == 'w' || entry[0] == 'T') && (fstat(fd, &st) != 0 || (st.st_mode & 0777) != wanted))) {
            fprintf(stderr, "cannot open %s as asked\n", entry.c_str());
            exit(9);
        }
        close(fd);
    }
}

}  // namespace

int main(int argc, char** argv)
{
    const char* mf = nullptr;
    const char* out = nullptr;
    for (int i = 1; i + 1 < argc; ++i) {
        mf = strcmp(argv[i], "-MF") == 0 ? argv[i + 1] : mf;
        out = strcmp(argv[i], "-o") == 0 ? argv[i + 1] : out;
    }
    std::string line = mf != nullptr ? "second" : "first";
    for (const char* name : {"LD_PRELOAD", "ZIV_TRACE_HDEPS"}) {
        line += std::string("\t") + (getenv(name) != nullptr ? getenv(name) : "<unset>");
    }
    for (int i = 0; i < argc; ++i) {
        line += std::string("\t") + argv[i];
    }
    if (FILE* log = fopen(getenv("FAKE_CC1_LOG") != nullptr ? getenv("FAKE_CC1_LOG") : "/dev/null", "a")) {
        fprintf(log, "%s\n", line.c_str());
        fclose(log);
    }
    if (mf != nullptr) {
        fputs("second-run-noise\n", stderr);
        fputs("second-run-noise\n", stdout);
        FILE* in = fopen(getenv("FAKE_CC1_DEPS") != nullptr ? getenv("FAKE_CC1_DEPS") : "/dev/null", "rb");
        FILE* to = fopen(mf, "wb");
        char buf[4096];
        for (size_t n; in != nullptr && to != nullptr && (n = fread(buf, 1, sizeof buf, in)) > 0;) {
            fwrite(buf, 1, n, to);
        }
        for (FILE* f : {in, to}) {
            if (f != nullptr) {
                fclose(f);
            }
        }
        return 0;
    }
    umask(022);
    open_listed(getenv("FAKE_CC1_OPENS"));
    if (out != nullptr && strcmp(out, "-") != 0) {
        if (FILE* f = fopen(out, "w")) {
            fputs("compiled\n", f);
            fclose(f);
        }
    }
    fputs("first-run-output\n", stderr);
    return getenv("FAKE_CC1_EXIT") != nullptr ? atoi(getenv("FAKE_CC1_EXIT")) : 0;
}
