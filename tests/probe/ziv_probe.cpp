// A program that reports what the preloaded library did to it, as "key=value"
// lines. Tests start it under many names (argv[0]); each argument is a
// command, some followed by operands. Commands come from PROBE_COMMANDS
// (blank-separated) when the arguments belong to the program imitated (tar,
// hostname). It never links the library: it finds the library's names at run
// time, so it also runs with nothing preloaded.
// Under a name beginning with "report-tool" it is a forwarded build tool; with
// "spawn" first it is a parent that runs the rest of its arguments.
#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <ftw.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <pthread.h>
#include <sched.h>
#include <spawn.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysinfo.h>
#include <sys/sysmacros.h>
#include <sys/time.h>
#include <sys/timeb.h>
#include <sys/times.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <ucontext.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "ziv_config.h"

#pragma GCC diagnostic ignored "-Wdeprecated-declarations"

extern "C" {
// The program's own bounded functions, from its own library (secure_stub.c).
int memcpy_s(void* dest, size_t destsz, const void* src, size_t count);
int strcpy_s(char* dest, size_t destsz, const char* src);
int probe_secure_calls(void);
// From the probe's start-up library (fs_early.c).
int fs_early_ran(void);
ssize_t __read_chk(int fd, void* buf, size_t nbytes, size_t buflen);
size_t __fread_chk(void* ptr, size_t ptrlen, size_t size, size_t n, FILE* stream);
}

namespace {

constexpr int kMark = 4321;  // errno set before a call that must keep it
int g_errno_at_main;

template <typename Fn>
Fn lib(const char* name)
{
    auto fn = reinterpret_cast<Fn>(dlsym(RTLD_DEFAULT, name));
    if (fn == nullptr) {
        printf("missing=%s\n", name);
        exit(2);
    }
    return fn;
}

ziv_cfg_t* config()
{
    auto** pointer = reinterpret_cast<ziv_cfg_t**>(dlsym(RTLD_DEFAULT, "g_ziv_cfg"));
    return pointer != nullptr ? *pointer : nullptr;
}

// Whether a clock reading is the kernel's own (and not a fixed time).
int near_kernel(long long seconds, clockid_t id = CLOCK_REALTIME)
{
    timespec ts{};
    syscall(SYS_clock_gettime, id, &ts);
    return llabs(seconds - ts.tv_sec) < 300;
}

std::string hex(const void* data, size_t size)
{
    std::string text;
    for (size_t i = 0; i < size; ++i) {
        text += "0123456789abcdef"[static_cast<const unsigned char*>(data)[i] >> 4];
        text += "0123456789abcdef"[static_cast<const unsigned char*>(data)[i] & 15];
    }
    return text;
}

void print_config()
{
    ziv_cfg_t* cfg = config();
    if (cfg == nullptr) {
        printf("lib=absent\n");
        return;
    }
    printf("env_read=%u\ndefined_lists=0x%x\ntrace_enable=%u\nbuild_time=%lld\n", cfg->env_read, cfg->defined_lists,
           cfg->trace_enable, static_cast<long long>(lib<time_t (*)()>("ziv_get_build_time")()));
    printf("dev_id=%u\nrdev_id=%u\nnext_inode=%u\nuid=%u\ngid=%u\n", cfg->dev_id, cfg->rdev_id, cfg->next_inode,
           cfg->uid, cfg->gid);
    printf("times=%ld,%ld,%ld,%ld,%ld,%ld\n", cfg->times[0], cfg->times[1], cfg->times[2], cfg->times[3],
           cfg->times[4], cfg->times[5]);
    printf("hostname=%s\nrandom_record_output=%s\n", cfg->hostname, cfg->random_record_output);
    printf("prog_name=%s\nmask=0x%x\n", cfg->prog[0].prog_name, cfg->prog[0].mask);
    int rows = 0;
    while (rows + 1 < ZIV_PROG_MAX && cfg->prog[rows + 1].prog_name[0] != '\0') {
        ++rows;
    }
    printf("rows=%d\n", rows);
    auto query = lib<int (*)(uint32_t)>("is_in_ziv_process_list");
    for (uint32_t bit = 1; bit <= ZIV_F_REPLAYLIST; bit <<= 1) {
        printf("q.0x%x=%d\n", bit, query(bit));
    }
}

// ---- file status ----------------------------------------------------------

struct status {
    int rc = 0, err = 0;
    unsigned long long ino = 0, dev = 0, rdev = 0, size = 0;
    unsigned uid = 0, gid = 0;
    long long times[4][2] = {};  // atime, mtime, ctime, btime: seconds, nanoseconds
    bool btime = false;
};

template <typename S>
status from_stat(int rc, const S& s)
{
    status o{rc, rc != 0 ? errno : 0, s.st_ino, s.st_dev, s.st_rdev, static_cast<unsigned long long>(s.st_size),
             s.st_uid, s.st_gid};
    const timespec* stamps[3] = {&s.st_atim, &s.st_mtim, &s.st_ctim};
    for (int i = 0; i < 3; ++i) {
        o.times[i][0] = stamps[i]->tv_sec;
        o.times[i][1] = stamps[i]->tv_nsec;
    }
    return o;
}

// The compatibility entry points, found by name as an old binary binds them;
// without the library the C library's versioned ones. Structure version first.
template <typename... A>
int old_entry(const std::string& name, A... args)
{
    void* fn = dlsym(RTLD_DEFAULT, name.c_str());
    fn = fn != nullptr ? fn : dlvsym(RTLD_DEFAULT, name.c_str(), "GLIBC_2.2.5");
    return reinterpret_cast<int (*)(int, A...)>(fn)(1, args...);
}

status call_stat(const std::string& fn, const char* path)
{
    struct stat s {};
    struct stat64 s64 {};
    errno = 0;
    if (fn == "stat") return from_stat(stat(path, &s), s);
    if (fn == "lstat") return from_stat(lstat(path, &s), s);
    if (fn == "stat64") return from_stat(stat64(path, &s64), s64);
    if (fn == "lstat64") return from_stat(lstat64(path, &s64), s64);
    if (fn == "fstatat") return from_stat(fstatat(AT_FDCWD, path, &s, 0), s);
    if (fn == "fstatat64") return from_stat(fstatat64(AT_FDCWD, path, &s64, 0), s64);
    if (fn == "__xstat" || fn == "__lxstat") return from_stat(old_entry(fn, path, &s), s);
    if (fn == "__xstat64" || fn == "__lxstat64") return from_stat(old_entry(fn, path, &s64), s64);
    if (fn == "__fxstatat") return from_stat(old_entry(fn, int{AT_FDCWD}, path, &s, 0), s);
    if (fn == "__fxstatat64") return from_stat(old_entry(fn, int{AT_FDCWD}, path, &s64, 0), s64);
    if (fn == "statx") {
        struct statx x {};
        status o;
        o.rc = statx(AT_FDCWD, path, 0, STATX_BASIC_STATS | STATX_BTIME, &x);
        o = {o.rc, o.rc != 0 ? errno : 0, x.stx_ino, makedev(x.stx_dev_major, x.stx_dev_minor),
             makedev(x.stx_rdev_major, x.stx_rdev_minor), x.stx_size, x.stx_uid, x.stx_gid};
        const statx_timestamp* stamps[4] = {&x.stx_atime, &x.stx_mtime, &x.stx_ctime, &x.stx_btime};
        for (int i = 0; i < 4; ++i) {
            o.times[i][0] = stamps[i]->tv_sec;
            o.times[i][1] = stamps[i]->tv_nsec;
        }
        o.btime = true;
        return o;
    }
    // Descriptor variants: the path is opened first.
    int fd = open(path, O_RDONLY | O_PATH);
    status o{-1, errno};
    errno = 0;
    if (fd < 0) return o;
    if (fn == "fstat") o = from_stat(fstat(fd, &s), s);
    if (fn == "fstat64") o = from_stat(fstat64(fd, &s64), s64);
    if (fn == "__fxstat") o = from_stat(old_entry(fn, fd, &s), s);
    if (fn == "__fxstat64") o = from_stat(old_entry(fn, fd, &s64), s64);
    close(fd);
    return o;
}

void print_status(const std::string& fn, const status& s)
{
    const char* f = fn.c_str();
    printf("%s.rc=%d\n%s.errno=%d\n", f, s.rc, f, s.err);
    if (s.rc != 0) return;
    printf("%s.ino=%llu\n%s.dev=%llu\n%s.rdev=%llu\n%s.size=%llu\n%s.uid=%u\n%s.gid=%u\n", f, s.ino, f, s.dev, f,
           s.rdev, f, s.size, f, s.uid, f, s.gid);
    const char* names[4] = {"atime", "mtime", "ctime", "btime"};
    for (int i = 0; i < (s.btime ? 4 : 3); ++i) {
        printf("%s.%s=%lld.%lld\n", f, names[i], s.times[i][0], s.times[i][1]);
    }
}

// ---- directory streams and tree walks -------------------------------------

DIR* g_stream = nullptr;
const dirent* g_last = nullptr;
const dirent* g_kept = nullptr;
std::string g_kept_name;

// One read through the named function: the name, or END.
std::string read_one(DIR* stream, const std::string& fn)
{
    static dirent entry;
    static dirent64 entry64;
    const char* name = nullptr;
    g_last = nullptr;
    if (fn == "readdir") {
        g_last = readdir(stream);
        name = g_last != nullptr ? g_last->d_name : nullptr;
    } else if (fn == "readdir64") {
        dirent64* e = readdir64(stream);
        name = e != nullptr ? e->d_name : nullptr;
    } else {
        void* result = reinterpret_cast<void*>(1);
        int rc = fn == "readdir_r" ? readdir_r(stream, &entry, reinterpret_cast<dirent**>(&result))
                                   : readdir64_r(stream, &entry64, reinterpret_cast<dirent64**>(&result));
        if (rc != 0) return "ERROR" + std::to_string(rc);
        if (result != nullptr && result != &entry && result != &entry64) return "BADRESULT";
        name = result == nullptr ? nullptr : fn == "readdir_r" ? entry.d_name : entry64.d_name;
    }
    return name != nullptr ? name : "END";
}

// Both threads read their own stream one entry at a time, in step.
struct thread_job {
    const char* dir;
    std::string order;
    pthread_barrier_t* barrier;
};

void* thread_reader(void* arg)
{
    auto* job = static_cast<thread_job*>(arg);
    DIR* stream = opendir(job->dir);
    bool done = stream == nullptr;
    for (int i = 0; i < 64; ++i) {
        std::string name = done ? "END" : read_one(stream, "readdir");
        done = name == "END";
        if (!done) job->order += (job->order.empty() ? "" : ",") + name;
        pthread_barrier_wait(job->barrier);
    }
    if (stream != nullptr) closedir(stream);
    return nullptr;
}

std::string g_walk;
size_t g_walk_prefix = 0;
int g_walk_return = 0;

int walk_visit(const char* fpath, const struct stat* sb, int typeflag, FTW* ftw)
{
    const char* flag = typeflag == FTW_F ? "f" : typeflag == FTW_D ? "d" : typeflag == FTW_DP ? "dp" : "other";
    char extra[96];
    snprintf(extra, sizeof extra, ":%s:%d:%d:%s", flag, ftw->level, ftw->base - static_cast<int>(g_walk_prefix),
             S_ISDIR(sb->st_mode) ? "dir" : "file");
    g_walk += (g_walk.empty() ? "" : " ") + std::string(fpath + g_walk_prefix) + extra;
    return g_walk_return;
}

int walk_visit64(const char* fpath, const struct stat64* sb, int typeflag, FTW* ftw)
{
    struct stat plain {};
    memcpy(&plain, sb, sizeof plain);
    return walk_visit(fpath, &plain, typeflag, ftw);
}

// ---- threads, forks and signals ---------------------------------------------

// What every thread and signal handler calls over and over: interposers of
// each family, the directory one on a stream of its own.
void touch_everything(DIR* stream, const char* dir)
{
    rewinddir(stream);
    while (readdir(stream) != nullptr) {
    }
    struct stat s;
    timespec ts;
    timeval tv;
    stat(dir, &s);
    clock_gettime(CLOCK_REALTIME, &ts);
    gettimeofday(&tv, nullptr);
    time(nullptr);
    getpid();
}

// Names of a directory, sorted, as listed programs must see them.
std::string sorted_listing(const char* dir)
{
    DIR* stream = opendir(dir);
    std::string names, previous;
    bool sorted = stream != nullptr;
    while (const dirent* e = stream != nullptr ? readdir(stream) : nullptr) {
        sorted = sorted && previous < e->d_name;
        previous = e->d_name;
        names += previous + ",";
    }
    if (stream != nullptr) closedir(stream);
    return sorted ? names : "unsorted:" + names;
}

std::atomic<bool> g_stop{false};
std::atomic<long> g_draws{0};

void* storm_worker(void* dir)
{
    DIR* stream = opendir(static_cast<const char*>(dir));
    while (!g_stop) {
        touch_everything(stream, static_cast<const char*>(dir));
        // Not rand(): the C library's own lock of it is not renewed in a
        // forked child.
        unsigned char byte;
        getrandom(&byte, 1, 0);
        ++g_draws;
        // A stream opened and closed while others fork.
        closedir(opendir(static_cast<const char*>(dir)));
    }
    closedir(stream);
    return nullptr;
}

// Forks ROUNDS times while 8 threads list, stat, read clocks and draw random
// values; now and then a vfork child that execs, one that ends at once, and
// a posix_spawn child. Every child must list the directory sorted.
void fork_storm(const char* dir, int rounds)
{
    const std::string expected = sorted_listing(dir);
    pthread_t threads[8];
    for (pthread_t& t : threads) pthread_create(&t, nullptr, storm_worker, const_cast<char*>(dir));
    int failures = 0;
    char self[PATH_MAX] = {};
    failures += readlink("/proc/self/exe", self, sizeof self - 1) < 0;
    for (int k = 0; k < rounds; ++k) {
        pid_t child = fork();
        if (child == 0) {
            unsigned char byte;
            getrandom(&byte, 1, 0);
            exit(sorted_listing(dir) == expected ? 0 : 1);
        }
        int status = 0;
        waitpid(child, &status, 0);
        failures += !WIFEXITED(status) || WEXITSTATUS(status) != 0;
        if (k % 25 == 0) {
            // The library's _exit runs in a vfork child on the parent's memory.
            char* const argv[] = {self, nullptr};
            for (bool exec : {true, false}) {
                if ((child = vfork()) == 0) {
                    if (exec) execv(self, argv);
                    _exit(3);
                }
                waitpid(child, &status, 0);
                failures += !WIFEXITED(status) || WEXITSTATUS(status) != (exec ? 0 : 3);
            }
            if (posix_spawn(&child, self, nullptr, nullptr, argv, environ) != 0) ++failures;
            waitpid(child, &status, 0);
            failures += !WIFEXITED(status) || WEXITSTATUS(status) != 0;
        }
    }
    g_stop = true;
    for (pthread_t t : threads) pthread_join(t, nullptr);
    printf("fork-storm.failures=%d\nfork-storm.draws=%ld\n", failures, g_draws.load());
}

volatile sig_atomic_t g_handled = 0;
DIR* g_handler_stream = nullptr;
const char* g_handler_dir = nullptr;

// Interrupts the main thread, mostly while it is inside an interposer,
// whose handler then calls interposers again.
void signal_storm(const char* dir, int milliseconds)
{
    g_handler_dir = dir;
    g_handler_stream = opendir(dir);
    DIR* stream = opendir(dir);
    struct sigaction action {};
    action.sa_handler = [](int) {
        int saved = errno;
        touch_everything(g_handler_stream, g_handler_dir);
        g_handled = g_handled + 1;
        errno = saved;
    };
    sigaction(SIGUSR1, &action, nullptr);
    static pthread_t target;
    target = pthread_self();
    pthread_t killer;
    pthread_create(&killer, nullptr, [](void*) -> void* {
        while (!g_stop) {
            pthread_kill(target, SIGUSR1);
            usleep(20);
        }
        return nullptr;
    }, nullptr);
    // The program's clock is the fixed one: the kernel's measures the run.
    timespec start, now;
    syscall(SYS_clock_gettime, CLOCK_MONOTONIC, &start);
    long rounds = 0;
    do {
        touch_everything(stream, dir);
        rand();
        ++rounds;
        syscall(SYS_clock_gettime, CLOCK_MONOTONIC, &now);
    } while ((now.tv_sec - start.tv_sec) * 1000 + (now.tv_nsec - start.tv_nsec) / 1000000 < milliseconds);
    g_stop = true;
    pthread_join(killer, nullptr);
    signal(SIGUSR1, SIG_IGN);
    printf("signal-storm.handled=%d\nsignal-storm.rounds=%ld\n", g_handled > 0, rounds);
}

// Random values of two forked children and of the parent after them.
void fork_rand()
{
    for (int k = 0; k < 2; ++k) {
        fflush(stdout);
        pid_t child = fork();
        if (child == 0) {
            printf("fork-rand.child%d=%d %u\n", k, rand(), arc4random());
            exit(0);
        }
        waitpid(child, nullptr, 0);
    }
    printf("fork-rand.parent=%d %u\n", rand(), arc4random());
}

// ---- identity and random sources ------------------------------------------

volatile sig_atomic_t g_trapped = 0;
long g_trap_answer = 4242;

// A trapped system call does not reach the kernel: the handler counts it and
// supplies the answer.
bool trap_syscalls(std::initializer_list<long> numbers)
{
    struct sigaction action {};
    action.sa_sigaction = [](int, siginfo_t*, void* context) {
        g_trapped = g_trapped + 1;
        static_cast<ucontext_t*>(context)->uc_mcontext.gregs[REG_RAX] = g_trap_answer;
    };
    action.sa_flags = SA_SIGINFO;
    std::vector<sock_filter> filter = {BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, nr))};
    for (long number : numbers) {
        filter.push_back(BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, static_cast<uint32_t>(number), 0, 1));
        filter.push_back(BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_TRAP));
    }
    filter.push_back(BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW));
    sock_fprog program{static_cast<unsigned short>(filter.size()), filter.data()};
    return sigaction(SIGSYS, &action, nullptr) == 0 && prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 &&
           prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) == 0;
}

void fail(const char* what)
{
    printf("failed=%s errno=%d\n", what, errno);
    exit(3);
}

void print_sysinfo(const char* p, const struct sysinfo& s)
{
    printf("%s.uptime=%ld\n%s.loads=%lu %lu %lu\n%s.totalram=%lu\n%s.freeram=%lu\n%s.sharedram=%lu\n"
           "%s.bufferram=%lu\n%s.totalswap=%lu\n%s.freeswap=%lu\n%s.procs=%u\n%s.totalhigh=%lu\n%s.mem_unit=%u\n",
           p, s.uptime, p, s.loads[0], s.loads[1], s.loads[2], p, s.totalram, p, s.freeram, p, s.sharedram, p,
           s.bufferram, p, s.totalswap, p, s.freeswap, p, static_cast<unsigned>(s.procs), p, s.totalhigh, p,
           s.mem_unit);
}

// Every interposer and exported entry point, called with errno set; the
// names of those that changed it.
void check_errno()
{
    char buffer[64];
    struct utsname names;
    struct sysinfo info;
    std::string bad;
    int fd = open("/dev/urandom", O_RDONLY);
    FILE* file = fopen("/dev/urandom", "r");
    char memory[] = "12345678";
    FILE* in_memory = fmemopen(memory, 8, "r");  // no descriptor to look at
    auto check = [&](const char* name, auto call) {
        errno = kMark;
        call();
        bad += errno != kMark ? std::string(name) + " " : "";
    };
    check("getpid", [] { getpid(); });
    check("getppid", [] { getppid(); });
    check("getuid", [] { getuid(); });
    check("getgid", [] { getgid(); });
    check("gethostname", [&] { gethostname(buffer, sizeof buffer); });
    check("uname", [&] { uname(&names); });
    check("sysinfo", [&] { sysinfo(&info); });
    check("rand", [] { rand(); });
    check("random", [] { random(); });
    check("arc4random", [] { arc4random(); });
    check("getrandom", [&] { getrandom(buffer, 8, 0); });
    check("read", [&] { (void)!read(fd, buffer, 8); });
    check("read_chk", [&] { __read_chk(fd, buffer, 8, sizeof buffer); });
    check("fread", [&] { (void)!fread(buffer, 4, 2, file); });
    check("fread_chk", [&] { __fread_chk(buffer, sizeof buffer, 4, 2, file); });
    check("fread_memory", [&] { (void)!fread(buffer, 4, 2, in_memory); });
    if (config() != nullptr) {
        check("is_in_ziv_process_list", [] { lib<int (*)(uint32_t)>("is_in_ziv_process_list")(ZIV_F_TIMELIST); });
        for (const char* name : {"ziv_get_program_mask", "ziv_dlsym_sqlite3", "ziv_libc_getpid"}) {
            check(name, [&] { lib<long (*)()>(name)(); });
        }
        for (const char* name : {"ziv_get_stack_info", "ziv_get_trace_map"}) {
            check(name, [&] { lib<void (*)(const char*)>(name)("probe"); });
        }
    }
    printf("errno.bad=%s\n", bad.c_str());
    close(fd);
    fclose(file);
    fclose(in_memory);
}

// ---- process ancestry and forwarded tools ---------------------------------

// What the library thinks of this process's parent and ancestors.
void print_ancestry()
{
    std::string changed;
    auto keeping = [&](const char* key, auto call) {
        errno = 1234;
        auto result = call();
        changed += errno != 1234 ? std::string(key) + " " : "";
        return result;
    };
    auto configure_or_test = lib<int (*)(pid_t)>("ziv_is_configure_or_test_process");
    auto ppid_by_proc = lib<pid_t (*)(pid_t)>("ziv_get_ppid_by_proc");
    auto proc_info = lib<ssize_t (*)(pid_t, const char*, char*, size_t)>("ziv_get_proc_info");
    auto proc_exec = lib<char* (*)(pid_t, char*, size_t)>("ziv_get_proc_exec");
    pid_t parent = getppid();
    printf("parent=%d\n", parent);
    printf("valid_parent=%d\n", keeping("valid", [&] { return lib<int (*)()>("ziv_is_valid_parent")(); }));
    printf("configure_or_test=%d\n", keeping("configure", [&] { return configure_or_test(parent); }));
    printf("parent_ppid=%d\nself_ppid=%d\n", keeping("ppid", [&] { return ppid_by_proc(parent); }),
           ppid_by_proc(getpid()));
    char comm[4096] = {};
    ssize_t got = keeping("info", [&] { return proc_info(parent, "comm", comm, sizeof comm - 1); });
    printf("parent_comm_len=%zd\nparent_comm=%s%s", got, comm, got > 0 && comm[got - 1] == '\n' ? "" : "\n");
    char exe[4096] = {};
    const char* path = keeping("exec", [&] { return proc_exec(parent, exe, sizeof exe - 1); });
    printf("parent_exe=%s\nerrno_changed=%s\n", path != nullptr ? path : "<null>", changed.c_str());
    // A process that is gone: pid_max is at most 4194304.
    constexpr pid_t gone = 4194304 + 7;
    char scratch[64] = {};
    printf("gone=%d %zd %s %d\ninit_configure=%d\n", ppid_by_proc(gone), proc_info(gone, "comm", scratch, 63),
           proc_exec(gone, scratch, 63) == nullptr ? "<null>" : scratch, configure_or_test(gone),
           configure_or_test(1));
}

// Whether the path of a file mapped into this process holds the text.
int mapped(const char* text)
{
    FILE* maps = fopen("/proc/self/maps", "r");
    char line[4096];
    bool found = false;
    while (maps != nullptr && fgets(line, sizeof line, maps) != nullptr) {
        found = found || strstr(line, text) != nullptr;
    }
    if (maps != nullptr) fclose(maps);
    return found;
}

int run(const std::vector<std::string>& args, size_t i)
{
    const std::string& cmd = args[i];
    auto arg = [&](size_t k) -> const char* { return i + k < args.size() ? args[i + k].c_str() : ""; };
    auto num = [&](size_t k) { return atoi(arg(k)); };
    // How many operands follow each command.
    static const std::map<std::string, int> operands = {
        {"row", 1}, {"tmap", 1}, {"maps", 2}, {"clock", 1}, {"times", 1}, {"nulls", 1}, {"stat", 2}, {"ino-seq", 3},
        {"opendir", 1}, {"next", 1}, {"rm", 1}, {"touch", 1}, {"mv", 2}, {"list", 2}, {"r-end", 2}, {"threads", 2},
        {"nftw", 3}, {"nftw64", 3}, {"trap-readlink", 2}, {"uts", 1}, {"hostname", 1}, {"words", 1}, {"rand", 1},
        {"randhash", 1}, {"srand", 1}, {"getrandom", 1}, {"read", 2}, {"read_chk", 2}, {"fread", 3}, {"fread_chk", 3},
        {"bind", 2}, {"wait-file", 1}, {"content", 1}, {"default", 2}, {"fork-storm", 2}, {"signal-storm", 2},
    };

    if (cmd == "cfg") {
        print_config();
    } else if (cmd == "row") {
        ziv_cfg_t* cfg = config();
        int row = 1;
        while (row < ZIV_PROG_MAX && cfg->prog[row].prog_name[0] != '\0' && strcmp(cfg->prog[row].prog_name, arg(1)))
            ++row;
        if (row < ZIV_PROG_MAX && cfg->prog[row].prog_name[0] != '\0') {
            printf("row %s=%d mask=0x%x\n", arg(1), row, cfg->prog[row].mask);
        } else {
            printf("row %s=none\n", arg(1));
        }
    } else if (cmd == "tmap") {
        const char* tool = lib<const char* (*)(const char*)>("ziv_get_trace_map")(arg(1));
        printf("tmap %s=%s\n", arg(1), tool != nullptr ? tool : "(null)");
    } else if (cmd == "errno") {
        printf("errno_at_main=%d\n", g_errno_at_main);
        check_errno();
    } else if (cmd == "fini") {
        errno = 77;
        lib<void (*)()>("ziv_fini")();
        printf("errno_after_fini=%d\n", errno);
    } else if (cmd == "sqlite") {
        lib<int (*)()>("ziv_dlsym_sqlite3")();
        printf("trace_enable=%u\n", config()->trace_enable);
    } else if (cmd == "maps") {  // maps TAG TEXT
        printf("maps.%s=%d\n", arg(1), mapped(arg(2)));
    } else if (cmd == "stack") {
        lib<void (*)(const char*)>("ziv_get_stack_info")("probe-tag");
    } else if (cmd == "atexit") {
        atexit([] { printf("atexit=ran\n"), fflush(stdout); });
    } else if (cmd == "_exit" || cmd == "_Exit") {
        fflush(stdout);
        cmd == "_exit" ? _exit(num(1)) : _Exit(num(1));
    } else if (cmd == "fork") {
        // The child ends through exit(), so destructors run in it too. The
        // pids come from the system call: the library's getpid logs.
        fflush(stdout);
        pid_t child = fork();
        if (child == 0) {
            printf("child=%ld\n", syscall(SYS_getpid));
            exit(0);
        }
        waitpid(child, nullptr, 0);
        printf("parent=%ld\n", syscall(SYS_getpid));
    } else if (cmd == "fork-storm") {
        fork_storm(arg(1), num(2));
    } else if (cmd == "signal-storm") {
        signal_storm(arg(1), num(2));
    } else if (cmd == "fork-rand") {
        fork_rand();
    } else if (cmd == "secure") {
        printf("calls_before=%d\n", probe_secure_calls());
        char buffer[8];
        int copied = memcpy_s(buffer, sizeof buffer, "ab", 2);
        int string_copied = strcpy_s(buffer, sizeof buffer, "ab");
        printf("secure=%d %d calls=%d\n", copied, string_copied, probe_secure_calls());
    } else if (cmd == "time") {
        time_t stored = 0;
        time_t result = time(&stored);
        printf("time=%lld\ntime.tloc=%lld\ntime.null=%lld\ntime.real=%d\n", static_cast<long long>(result),
               static_cast<long long>(stored), static_cast<long long>(time(nullptr)), near_kernel(result));
    } else if (cmd == "clock") {
        timespec ts{-1, -1};
        int rc = clock_gettime(num(1), &ts);
        printf("clock.%d=%lld.%09ld\nclock.%d.rc=%d\nclock.%d.real=%d\n", num(1), static_cast<long long>(ts.tv_sec),
               ts.tv_nsec, num(1), rc, num(1), near_kernel(ts.tv_sec, num(1)));
    } else if (cmd == "ftime") {
        timeb tb{0, 999, 77, 5};
        int rc = ftime(&tb);
        printf("ftime=%lld.%u\nftime.zone=%d,%d\nftime.rc=%d\nftime.real=%d\n", static_cast<long long>(tb.time),
               tb.millitm, tb.timezone, tb.dstflag, rc, near_kernel(tb.time));
    } else if (cmd == "gtod") {
        timeval tv{-1, -1};
        struct timezone tz {-1, -1};
        errno = 0;
        int rc = gettimeofday(&tv, &tz);
        printf("gtod=%lld.%06ld\ngtod.zone=%d,%d\ngtod.rc=%d\ngtod.errno=%d\ngtod.real=%d\n",
               static_cast<long long>(tv.tv_sec), static_cast<long>(tv.tv_usec), tz.tz_minuteswest, tz.tz_dsttime,
               rc, errno, near_kernel(tv.tv_sec));
    } else if (cmd == "times") {
        std::string seq;
        for (int k = 0; k < num(1); ++k) {
            tms t{}, kernel{};
            long r = static_cast<long>(times(&t));
            long real = syscall(SYS_times, &kernel);
            seq += (k == 0 ? "" : " ") + std::to_string(r) + ":" + std::to_string(t.tms_utime) + "," +
                   std::to_string(t.tms_stime) + "," + std::to_string(t.tms_cutime) + "," +
                   std::to_string(t.tms_cstime);
            printf("times.real=%d\n", labs(r - real) < 100);
        }
        printf("times=%s\n", seq.c_str());
    } else if (cmd == "nulls") {
        // Null result pointers, through pointers the compiler cannot see.
        auto* volatile gtod = &gettimeofday;
        auto* volatile tms_call = &times;
        auto* volatile stat_call = &stat;
        auto* volatile statx_call = &statx;
        struct timezone tz {-1, -1};
        int rc = gtod(nullptr, &tz);
        printf("nulls.gtod.rc=%d\nnulls.gtod.zone=%d,%d\n", rc, tz.tz_minuteswest, tz.tz_dsttime);
        printf("nulls.times=%ld\n", static_cast<long>(tms_call(nullptr)));
        errno = 0;
        rc = stat_call(arg(1), nullptr);
        printf("nulls.stat.rc=%d\nnulls.stat.errno=%d\n", rc, errno);
        errno = 0;
        rc = statx_call(AT_FDCWD, arg(1), 0, STATX_BASIC_STATS, nullptr);
        printf("nulls.statx.rc=%d\nnulls.statx.errno=%d\n", rc, errno);
    } else if (cmd == "stat") {
        print_status(arg(1), call_stat(arg(1), arg(2)));
    } else if (cmd == "ino-seq") {  // ino-seq FN PATH N: the inode numbers of N calls
        std::string seq;
        for (int k = 0; k < num(3); ++k) {
            seq += (k == 0 ? "" : ",") + std::to_string(call_stat(arg(1), arg(2)).ino);
        }
        printf("ino-seq.%s=%s\n", arg(1), seq.c_str());
    } else if (cmd == "opendir") {
        g_stream = opendir(arg(1));
    } else if (cmd == "next") {
        errno = kMark;
        std::string name = read_one(g_stream, arg(1));
        printf("r:%s%s\n", name.c_str(), errno == kMark ? "" : " errno-changed");
    } else if (cmd == "keep") {  // the entry readdir returned last, looked at later
        g_kept = g_last;
        g_kept_name = g_kept->d_name;
    } else if (cmd == "check-kept") {
        printf("kept=%s now=%s\n", g_kept_name.c_str(), g_kept->d_name);
    } else if (cmd == "rewind") {
        rewinddir(g_stream);
    } else if (cmd == "closedir") {
        errno = kMark;
        int rc = closedir(g_stream);
        printf("closedir=%d errno=%d\n", rc, errno);
    } else if (cmd == "rm" || cmd == "touch") {
        int fd = cmd == "rm" ? unlink(arg(1)) : open(arg(1), O_CREAT | O_WRONLY, 0644);
        if (fd < 0) printf("%s failed %s\n", cmd.c_str(), strerror(errno));
        if (fd > 0) close(fd);
    } else if (cmd == "mv") {
        if (rename(arg(1), arg(2)) != 0) printf("mv failed %s\n", strerror(errno));
    } else if (cmd == "list") {  // list DIR FN: every name, and whether errno moved
        DIR* stream = opendir(arg(1));
        std::string joined;
        int moved = 0;
        for (std::string name; stream != nullptr && name != "END" && joined.size() < 100000;) {
            errno = kMark;
            name = read_one(stream, arg(2));
            moved += errno != kMark;
            joined += name == "END" ? "" : (joined.empty() ? "" : ",") + name;
        }
        printf("list.%s=%s\nlist.%s.errno-changed=%d\n", arg(2), joined.c_str(), arg(2), moved);
        if (stream != nullptr) closedir(stream);
    } else if (cmd == "r-end") {  // readdir_r past the end: the caller's entry stays as it was
        DIR* stream = opendir(arg(1));
        for (int k = 0; k < 100000 && read_one(stream, arg(2)) != "END"; ++k) {
        }
        union {
            dirent e;
            dirent64 e64;
        } entry, before;
        memset(&entry, 0x5a, sizeof entry);
        before = entry;
        void* result = &entry;
        errno = kMark;
        int rc = std::string(arg(2)) == "readdir_r"
                     ? readdir_r(stream, &entry.e, reinterpret_cast<dirent**>(&result))
                     : readdir64_r(stream, &entry.e64, reinterpret_cast<dirent64**>(&result));
        printf("r-end.%s=%d %s %d %d\n", arg(2), rc, result == nullptr ? "null" : "set",
               memcmp(&before, &entry, sizeof entry) == 0, errno);
        closedir(stream);
    } else if (cmd == "records") {
        auto** list = static_cast<void**>(dlsym(RTLD_DEFAULT, "g_ziv_search_dir"));
        printf("records=%s\n", list == nullptr ? "absent" : *list == nullptr ? "none" : "some");
    } else if (cmd == "threads") {
        pthread_barrier_t barrier;
        pthread_barrier_init(&barrier, nullptr, 2);
        thread_job jobs[2] = {{arg(1), "", &barrier}, {arg(2), "", &barrier}};
        pthread_t threads[2];
        for (int k = 0; k < 2; ++k) pthread_create(&threads[k], nullptr, thread_reader, &jobs[k]);
        for (int k = 0; k < 2; ++k) pthread_join(threads[k], nullptr);
        printf("thread1=%s\nthread2=%s\n", jobs[0].order.c_str(), jobs[1].order.c_str());
    } else if (cmd == "nftw" || cmd == "nftw64") {
        // nftw DIR FLAGS RETURN: FLAGS letters d (FTW_DEPTH), p (FTW_PHYS).
        int flags = (strchr(arg(2), 'd') ? FTW_DEPTH : 0) | (strchr(arg(2), 'p') ? FTW_PHYS : 0);
        g_walk.clear();
        // Paths are shown from the walked directory's own name on.
        g_walk_prefix = std::string(arg(1)).rfind('/') + 1;
        g_walk_return = num(3);
        int rc = cmd == "nftw" ? nftw(arg(1), walk_visit, 8, flags) : nftw64(arg(1), walk_visit64, 8, flags);
        printf("%s.%s.%s=%s\n%s.%s.%s.rc=%d\n", arg(0), arg(2), arg(3), g_walk.c_str(), arg(0), arg(2), arg(3), rc);
    } else if (cmd == "ids") {
        printf("pid=%d\nppid=%d\npid.real=%d\nppid.real=%d\n", getpid(), getppid(), getpid() == syscall(SYS_getpid),
               getppid() == syscall(SYS_getppid));
    } else if (cmd == "trap-ids") {
        if (!trap_syscalls({SYS_getuid, SYS_getgid})) fail("seccomp");
        uid_t uid = getuid();
        gid_t gid = getgid();
        printf("uid=%u\ngid=%u\ntrapped=%d\n", uid, gid, static_cast<int>(g_trapped));
    } else if (cmd == "trap-readlink") {
        // The descriptor checks that N one-byte reads of a file cost; each is
        // answered "no such file".
        g_trap_answer = -ENOENT;
        int fd = open(arg(1), O_RDONLY);
        if (fd < 0 || !trap_syscalls({SYS_readlink, SYS_readlinkat, SYS_fstat, SYS_newfstatat})) fail("trap");
        char byte;
        int got = 0;
        for (int k = 0; k < num(2); ++k) got += static_cast<int>(read(fd, &byte, 1));
        printf("read_bytes=%d\ntrapped=%d\n", got, static_cast<int>(g_trapped));
    } else if (cmd == "uts") {  // a private host name, so that the real answer is known
        if (unshare(CLONE_NEWUTS) != 0 || sethostname(arg(1), strlen(arg(1))) != 0) fail("uts");
    } else if (cmd == "hostname") {
        size_t len = strtoul(arg(1), nullptr, 10);
        char buffer[128];
        memset(buffer, 'Q', sizeof buffer);
        errno = 0;
        int result = gethostname(buffer, len);
        int shown = result == 0 ? static_cast<int>(strnlen(buffer, len)) : 0;
        printf("hostname.%zu=%d %d %.*s\n", len, result, errno, shown, buffer);
    } else if (cmd == "uname") {
        struct utsname got {}, real {};
        int result = uname(&got);
        syscall(SYS_uname, &real);
        bool same = !strcmp(got.sysname, real.sysname) && !strcmp(got.release, real.release) &&
                    !strcmp(got.version, real.version) && !strcmp(got.machine, real.machine) &&
                    !strcmp(got.domainname, real.domainname);
        printf("uname=%d %s real=%s others_real=%d\n", result, got.nodename, real.nodename, same);
    } else if (cmd == "sysinfo") {
        struct sysinfo got {}, real {};
        syscall(SYS_sysinfo, &real);
        printf("sysinfo.result=%d\n", sysinfo(&got));
        print_sysinfo("si", got);
        print_sysinfo("real", real);
    } else if (cmd == "mask") {
        printf("mask=0x%x\n", config() != nullptr ? config()->prog[0].mask : 0xffffffffu);
    } else if (cmd == "words") {  // rand, random and arc4random in turn, N rounds
        std::string text;
        for (int k = 0; k < num(1); ++k) {
            int a = rand();
            long b = random();
            uint32_t c = arc4random();
            text += std::to_string(a) + " " + std::to_string(b) + " " + std::to_string(c) + " ";
        }
        printf("words=%s\n", text.c_str());
    } else if (cmd == "rand" || cmd == "randhash") {
        std::string text;
        uint64_t hash = 1469598103934665603ULL;  // FNV-1a over the values
        for (int k = 0; k < num(1); ++k) {
            uint32_t v = static_cast<uint32_t>(rand());
            text += std::to_string(v) + " ";
            for (int b = 0; b < 4; ++b) hash = (hash ^ ((v >> (8 * b)) & 0xff)) * 1099511628211ULL;
        }
        cmd == "rand" ? printf("rand=%s\n", text.c_str()) : printf("randhash=%llx\n", (unsigned long long)hash);
    } else if (cmd == "srand") {
        srand(static_cast<unsigned>(num(1)));
    } else if (cmd == "arc4") {
        printf("arc4=%u\n", arc4random());
    } else if (cmd == "getrandom") {
        std::vector<unsigned char> buffer(strtoul(arg(1), nullptr, 10), 0xaa);
        ssize_t result = getrandom(buffer.data(), buffer.size(), 0);
        printf("getrandom=%zd %s\n", result, hex(buffer.data(), buffer.size()).c_str());
    } else if (cmd == "read" || cmd == "read_chk") {
        size_t n = strtoul(arg(2), nullptr, 10);
        int fd = open(arg(1), O_RDONLY);
        if (fd < 0) fail("open");
        std::vector<unsigned char> buffer(n + 1, 0xaa);  // untouched bytes show
        ssize_t result = cmd == "read" ? read(fd, buffer.data(), n) : __read_chk(fd, buffer.data(), n, n + 1);
        close(fd);
        printf("%s=%zd %s\n", cmd.c_str(), result, hex(buffer.data(), n).c_str());
    } else if (cmd == "fread" || cmd == "fread_chk") {
        size_t size = strtoul(arg(2), nullptr, 10), items = strtoul(arg(3), nullptr, 10);
        FILE* file = fopen(arg(1), "r");
        if (file == nullptr) fail("fopen");
        std::vector<unsigned char> buffer(size * items, 0xaa);
        size_t got = cmd == "fread" ? fread(buffer.data(), size, items, file)
                                    : __fread_chk(buffer.data(), buffer.size(), size, items, file);
        fclose(file);
        printf("%s=%zu %s\n", cmd.c_str(), got, hex(buffer.data(), buffer.size()).c_str());
    } else if (cmd == "bind") {  // a file of known content where a device is expected
        if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            mount(arg(1), arg(2), nullptr, MS_BIND, nullptr) != 0)
            fail("bind");
    } else if (cmd == "read-bad") {
        char byte;
        errno = 0;
        ssize_t result = read(-1, &byte, 1);
        printf("read_bad=%zd errno=%d\n", result, errno);
    } else if (cmd == "wait-file") {
        for (int k = 0; k < 6000 && access(arg(1), F_OK) != 0; ++k) usleep(5000);
    } else if (cmd == "ancestry") {
        print_ancestry();
    } else if (cmd == "forward") {  // forward TOOL ID ARGS...: ARGS stand for the program's argv
        if (getenv("IGNORE_SIGCHLD") != nullptr) signal(SIGCHLD, SIG_IGN);  // reaped by the kernel
        std::vector<char*> rest;
        for (size_t k = i + 3; k < args.size(); ++k) rest.push_back(const_cast<char*>(args[k].c_str()));
        rest.push_back(nullptr);
        errno = 1234;
        lib<void (*)(int, char**, const char*, int)>("ziv_forward_cmd_with_execve")(
            static_cast<int>(rest.size() - 1), rest.data(), arg(1), num(2));
        int kept = errno;
        printf("errno=%d\nparent.ld_preload=%s\nlib_loaded=%d\n", kept, getenv("LD_PRELOAD"), mapped("libziv_env.so"));
        return static_cast<int>(args.size() - i);
    } else if (cmd == "content") {
        char* text = lib<char* (*)(const char*)>("ziv_get_file_content")(arg(1));
        printf("content=%s\n", text == nullptr ? "<null>" : text);
        free(text);
    } else if (cmd == "default") {
        lib<void (*)(const char*, int, const char*)>("ziv_trace_cmd_default")(arg(1), 1, arg(2));
        printf("returned=1\n");
    } else {
        fprintf(stderr, "unknown command %s\n", cmd.c_str());
        exit(2);
    }
    auto it = operands.find(cmd);
    return it != operands.end() ? it->second : 0;
}

}  // namespace

int main(int argc, char** argv)
{
    g_errno_at_main = errno;
    if (fs_early_ran() != 1) return 2;
    const char* base = strrchr(argv[0], '/');
    base = base == nullptr ? argv[0] : base + 1;
    if (strncmp(base, "report-tool", 11) == 0) {
        for (int k = 0; k < argc; ++k) printf("tool.arg%d=%s\n", k, argv[k]);
        const char* preload = getenv("LD_PRELOAD");
        printf("tool.argc=%d\ntool.ld_preload=%s\ntool.lib_loaded=%d\n", argc, preload ? preload : "<unset>",
               mapped("libziv_env.so"));
        return 0;
    }
    if (argc > 2 && strcmp(argv[1], "spawn") == 0) {
        char exe[PATH_MAX] = {};
        ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
        printf("spawner.pid=%d\nspawner.ppid=%d\nspawner.exe=%s\n", getpid(), getppid(), n > 0 ? exe : "");
        fflush(stdout);
        pid_t child = fork();
        if (child == 0) {
            execv(argv[2], argv + 2);
            _exit(127);
        }
        int status = 0;
        while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
        }
        return WIFEXITED(status) ? WEXITSTATUS(status) : 1;
    }
    std::vector<std::string> args(argv + 1, argv + argc);
    if (const char* text = getenv("PROBE_COMMANDS"); text != nullptr) {
        args.clear();
        for (const char* p = text; *p != '\0';) {
            size_t len = strcspn(p, " ");
            if (len > 0) args.emplace_back(p, len);
            p += len + (p[len] == ' ');
        }
    }
    setvbuf(stdout, nullptr, _IOLBF, 0);
    for (size_t i = 0; i < args.size(); ++i) {
        i += static_cast<size_t>(run(args, i));
        fflush(stdout);
    }
    return 0;
}
