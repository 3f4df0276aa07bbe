// A program that reports the time, file status, directory order and tree
// walk it sees. Tests start it under chosen names with and without the
// library; each argument is a command, some followed by their operands.
// Output is "key=value" lines, plus "r:" lines for directory reads.
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <ftw.h>
#include <pthread.h>
#include <string>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/time.h>
#include <sys/timeb.h>
#include <sys/times.h>
#include <time.h>
#include <unistd.h>
#include <vector>

#pragma GCC diagnostic ignored "-Wdeprecated-declarations"

// From the probe's own start-up library (fs_early.c).
extern "C" int fs_early_ran(void);

namespace {

constexpr int kErrnoMark = 4321;

// One status result in the fields the tests look at.
struct status {
    int rc = 0;
    int err = 0;
    unsigned long long ino = 0, dev = 0, rdev = 0, size = 0;
    unsigned uid = 0, gid = 0;
    long long times[4][2] = {};  // atime, mtime, ctime, btime: seconds, nanoseconds
};

template <typename S>
status from_stat(int rc, const S& s)
{
    status out;
    out.rc = rc;
    out.err = rc != 0 ? errno : 0;
    out.ino = s.st_ino;
    out.dev = s.st_dev;
    out.rdev = s.st_rdev;
    out.size = static_cast<unsigned long long>(s.st_size);
    out.uid = s.st_uid;
    out.gid = s.st_gid;
    const struct timespec* stamps[3] = {&s.st_atim, &s.st_mtim, &s.st_ctim};
    for (int i = 0; i < 3; ++i) {
        out.times[i][0] = stamps[i]->tv_sec;
        out.times[i][1] = stamps[i]->tv_nsec;
    }
    out.times[3][0] = -1;
    return out;
}

// The compatibility entry points: found by name, as an old binary would
// bind them; without the library the C library's versioned ones. They take
// the structure version first.
template <typename... A>
int old_entry(const std::string& name, A... args)
{
    void* fn = dlsym(RTLD_DEFAULT, name.c_str());
    fn = fn != nullptr ? fn : dlvsym(RTLD_DEFAULT, name.c_str(), "GLIBC_2.2.5");
    return reinterpret_cast<int (*)(int, A...)>(fn)(1, args...);
}

status call_statx(const char* path)
{
    struct statx x {};
    status out;
    out.rc = statx(AT_FDCWD, path, 0, STATX_BASIC_STATS | STATX_BTIME, &x);
    out.err = out.rc != 0 ? errno : 0;
    out.ino = x.stx_ino;
    out.dev = makedev(x.stx_dev_major, x.stx_dev_minor);
    out.rdev = makedev(x.stx_rdev_major, x.stx_rdev_minor);
    out.size = x.stx_size;
    out.uid = x.stx_uid;
    out.gid = x.stx_gid;
    const struct statx_timestamp* stamps[4] = {&x.stx_atime, &x.stx_mtime, &x.stx_ctime, &x.stx_btime};
    for (int i = 0; i < 4; ++i) {
        out.times[i][0] = stamps[i]->tv_sec;
        out.times[i][1] = stamps[i]->tv_nsec;
    }
    return out;
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
    if (fn == "statx") return call_statx(path);
    // Descriptor variants: the path is opened first.
    int fd = open(path, O_RDONLY | O_PATH);
    status out;
    out.rc = -1;
    out.err = errno;
    errno = 0;
    if (fd < 0) return out;
    if (fn == "fstat") out = from_stat(fstat(fd, &s), s);
    else if (fn == "fstat64") out = from_stat(fstat64(fd, &s64), s64);
    else if (fn == "__fxstat") out = from_stat(old_entry(fn, fd, &s), s);
    else if (fn == "__fxstat64") out = from_stat(old_entry(fn, fd, &s64), s64);
    else {
        std::fprintf(stderr, "unknown stat function %s\n", fn.c_str());
        std::exit(2);
    }
    close(fd);
    return out;
}

void print_status(const std::string& fn, const status& s)
{
    std::printf("%s.rc=%d\n%s.errno=%d\n", fn.c_str(), s.rc, fn.c_str(), s.err);
    if (s.rc != 0) {
        return;
    }
    std::printf("%s.ino=%llu\n%s.dev=%llu\n%s.rdev=%llu\n%s.size=%llu\n%s.uid=%u\n%s.gid=%u\n", fn.c_str(), s.ino,
                fn.c_str(), s.dev, fn.c_str(), s.rdev, fn.c_str(), s.size, fn.c_str(), s.uid, fn.c_str(), s.gid);
    const char* names[4] = {"atime", "mtime", "ctime", "btime"};
    for (int i = 0; i < 4; ++i) {
        if (i < 3 || s.times[3][0] != -1) {
            std::printf("%s.%s=%lld.%lld\n", fn.c_str(), names[i], s.times[i][0], s.times[i][1]);
        }
    }
}

// ---- directory streams -------------------------------------------------

DIR* g_stream = nullptr;
const void* g_kept_pointer = nullptr;
std::string g_kept_name;
const void* g_last_pointer = nullptr;

// One read through the named function: the name, or END.
std::string read_one(DIR* stream, const std::string& fn, const void** pointer = nullptr)
{
    const char* name = nullptr;
    static struct dirent entry;
    static struct dirent64 entry64;
    if (fn == "readdir") {
        struct dirent* e = readdir(stream);
        name = e != nullptr ? e->d_name : nullptr;
        if (pointer != nullptr) *pointer = e;
    } else if (fn == "readdir64") {
        struct dirent64* e = readdir64(stream);
        name = e != nullptr ? e->d_name : nullptr;
        if (pointer != nullptr) *pointer = e;
    } else if (fn == "readdir_r") {
        struct dirent* result = reinterpret_cast<struct dirent*>(1);
        int rc = readdir_r(stream, &entry, &result);
        if (rc != 0) return "ERROR" + std::to_string(rc);
        if (result != nullptr && result != &entry) return "BADRESULT";
        name = result != nullptr ? entry.d_name : nullptr;
    } else if (fn == "readdir64_r") {
        struct dirent64* result = reinterpret_cast<struct dirent64*>(1);
        int rc = readdir64_r(stream, &entry64, &result);
        if (rc != 0) return "ERROR" + std::to_string(rc);
        if (result != nullptr && result != &entry64) return "BADRESULT";
        name = result != nullptr ? entry64.d_name : nullptr;
    } else {
        std::fprintf(stderr, "unknown read function %s\n", fn.c_str());
        std::exit(2);
    }
    return name != nullptr ? name : "END";
}

std::string read_all(DIR* stream, const std::string& fn, int* bad_errno)
{
    std::string joined;
    for (int i = 0; i < 100000; ++i) {
        errno = kErrnoMark;
        std::string name = read_one(stream, fn);
        if (errno != kErrnoMark) ++*bad_errno;
        if (name == "END") break;
        joined += (joined.empty() ? "" : ",") + name;
    }
    return joined;
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
    bool done = false;
    for (int i = 0; i < 64; ++i) {
        if (!done && stream != nullptr) {
            std::string name = read_one(stream, "readdir");
            done = name == "END";
            if (!done) job->order += (job->order.empty() ? "" : ",") + name;
        }
        pthread_barrier_wait(job->barrier);
    }
    if (stream != nullptr) closedir(stream);
    return nullptr;
}

// ---- tree walk ---------------------------------------------------------

std::string g_walk;
size_t g_walk_prefix = 0;
int g_walk_return = 0;

int walk_visit(const char* fpath, const struct stat* sb, int typeflag, struct FTW* ftw)
{
    std::string path = fpath;
    path = path.substr(g_walk_prefix);
    const char* flag = typeflag == FTW_F ? "f" : typeflag == FTW_D ? "d" : typeflag == FTW_DP ? "dp" : typeflag == FTW_SL ? "sl" : "other";
    char extra[96];
    std::snprintf(extra, sizeof extra, ":%s:%d:%d:%s", flag, ftw->level, ftw->base - static_cast<int>(g_walk_prefix),
                  S_ISDIR(sb->st_mode) ? "dir" : "file");
    g_walk += (g_walk.empty() ? "" : " ") + path + extra;
    return g_walk_return;
}

int walk_visit64(const char* fpath, const struct stat64* sb, int typeflag, struct FTW* ftw)
{
    struct stat plain {};
    std::memcpy(&plain, sb, sizeof plain);
    return walk_visit(fpath, &plain, typeflag, ftw);
}

int run(const std::vector<std::string>& args, size_t i)
{
    const std::string& cmd = args[i];
    auto arg = [&](size_t k) -> const char* { return i + k < args.size() ? args[i + k].c_str() : ""; };

    if (cmd == "time") {
        time_t stored = 0;
        time_t result = time(&stored);
        std::printf("time=%lld\ntime.tloc=%lld\ntime.null=%lld\n", static_cast<long long>(result),
                    static_cast<long long>(stored), static_cast<long long>(time(nullptr)));
        return 0;
    }
    if (cmd == "clock") {
        struct timespec ts {-1, -1};
        int id = std::atoi(arg(1));
        int rc = clock_gettime(id, &ts);
        std::printf("clock.%d=%lld.%09ld\nclock.%d.rc=%d\n", id, static_cast<long long>(ts.tv_sec), ts.tv_nsec, id,
                    rc);
        return 1;
    }
    if (cmd == "ftime") {
        struct timeb tb {};
        tb.millitm = 999;
        tb.timezone = 77;
        tb.dstflag = 5;
        int rc = ftime(&tb);
        std::printf("ftime=%lld.%u\nftime.zone=%d,%d\nftime.rc=%d\n", static_cast<long long>(tb.time), tb.millitm,
                    tb.timezone, tb.dstflag, rc);
        return 0;
    }
    if (cmd == "gtod") {
        struct timeval tv {-1, -1};
        struct timezone tz {-1, -1};
        errno = 0;
        int rc = gettimeofday(&tv, &tz);
        std::printf("gtod=%lld.%06ld\ngtod.zone=%d,%d\ngtod.rc=%d\ngtod.errno=%d\n", static_cast<long long>(tv.tv_sec),
                    static_cast<long>(tv.tv_usec), tz.tz_minuteswest, tz.tz_dsttime, rc, errno);
        return 0;
    }
    if (cmd == "nulls") {
        // Null result pointers, through pointers the compiler cannot see.
        auto* volatile gtod = &gettimeofday;
        auto* volatile tms_call = &times;
        auto* volatile stat_call = &stat;
        auto* volatile statx_call = &statx;
        struct timezone tz {-1, -1};
        errno = 0;
        int rc = gtod(nullptr, &tz);
        std::printf("nulls.gtod.rc=%d\nnulls.gtod.zone=%d,%d\n", rc, tz.tz_minuteswest, tz.tz_dsttime);
        std::printf("nulls.times=%ld\n", static_cast<long>(tms_call(nullptr)));
        errno = 0;
        rc = stat_call(arg(1), nullptr);
        std::printf("nulls.stat.rc=%d\nnulls.stat.errno=%d\n", rc, errno);
        errno = 0;
        rc = statx_call(AT_FDCWD, arg(1), 0, STATX_BASIC_STATS, nullptr);
        std::printf("nulls.statx.rc=%d\nnulls.statx.errno=%d\n", rc, errno);
        return 1;
    }
    if (cmd == "times") {
        int n = std::atoi(arg(1));
        std::string seq;
        for (int k = 0; k < n; ++k) {
            struct tms t {};
            clock_t r = times(&t);
            char item[128];
            std::snprintf(item, sizeof item, "%s%ld:%ld,%ld,%ld,%ld", k == 0 ? "" : " ", static_cast<long>(r),
                          static_cast<long>(t.tms_utime), static_cast<long>(t.tms_stime),
                          static_cast<long>(t.tms_cutime), static_cast<long>(t.tms_cstime));
            seq += item;
        }
        std::printf("times=%s\n", seq.c_str());
        return 1;
    }
    if (cmd == "stat") {
        errno = kErrnoMark;
        status s = call_stat(arg(1), arg(2));
        print_status(arg(1), s);
        return 2;
    }
    if (cmd == "ino-seq") {
        // N calls: the inode numbers, comma-separated.
        std::string seq;
        for (int k = 0; k < std::atoi(arg(3)); ++k) {
            status s = call_stat(arg(1), arg(2));
            seq += (k == 0 ? "" : ",") + std::to_string(s.ino);
        }
        std::printf("ino-seq.%s=%s\n", arg(1), seq.c_str());
        return 3;
    }
    if (cmd == "opendir") {
        g_stream = opendir(arg(1));
        std::printf("opendir=%s\n", g_stream != nullptr ? "ok" : std::strerror(errno));
        return 1;
    }
    if (cmd == "read") {
        errno = kErrnoMark;
        const void* pointer = nullptr;
        std::string name = read_one(g_stream, arg(1), &pointer);
        g_last_pointer = pointer;
        std::printf("r:%s%s\n", name.c_str(), errno == kErrnoMark ? "" : " errno-changed");
        return 1;
    }
    if (cmd == "keep") {
        // The entry last returned by readdir, to be looked at later.
        g_kept_pointer = g_last_pointer;
        g_kept_name = static_cast<const struct dirent*>(g_kept_pointer)->d_name;
        return 0;
    }
    if (cmd == "check-kept") {
        std::printf("kept=%s now=%s\n", g_kept_name.c_str(),
                    static_cast<const struct dirent*>(g_kept_pointer)->d_name);
        return 0;
    }
    if (cmd == "rewind") {
        rewinddir(g_stream);
        return 0;
    }
    if (cmd == "closedir") {
        errno = kErrnoMark;
        int rc = closedir(g_stream);
        std::printf("closedir=%d errno=%d\n", rc, errno);
        g_stream = nullptr;
        return 0;
    }
    if (cmd == "rm") {
        if (unlink(arg(1)) != 0) std::printf("rm failed %s\n", std::strerror(errno));
        return 1;
    }
    if (cmd == "mv") {
        if (rename(arg(1), arg(2)) != 0) std::printf("mv failed %s\n", std::strerror(errno));
        return 2;
    }
    if (cmd == "touch") {
        int fd = open(arg(1), O_CREAT | O_WRONLY, 0644);
        if (fd < 0) std::printf("touch failed %s\n", std::strerror(errno));
        else close(fd);
        return 1;
    }
    if (cmd == "list") {
        DIR* stream = opendir(arg(1));
        if (stream == nullptr) {
            std::printf("list=%s\n", std::strerror(errno));
            return 2;
        }
        int bad_errno = 0;
        std::string joined = read_all(stream, arg(2), &bad_errno);
        std::printf("list=%s\nlist.errno-changed=%d\n", joined.c_str(), bad_errno);
        closedir(stream);
        return 2;
    }
    if (cmd == "r-end") {
        // readdir_r past the end: the caller's structure must stay as it was.
        DIR* stream = opendir(arg(1));
        int bad_errno = 0;
        read_all(stream, arg(2), &bad_errno);
        union {
            struct dirent e;
            struct dirent64 e64;
        } entry;
        std::memset(&entry, 0x5a, sizeof entry);
        unsigned char before[sizeof entry];
        std::memcpy(before, &entry, sizeof entry);
        void* result = &entry;
        errno = kErrnoMark;
        int rc = std::string(arg(2)) == "readdir_r"
                     ? readdir_r(stream, &entry.e, reinterpret_cast<struct dirent**>(&result))
                     : readdir64_r(stream, &entry.e64, reinterpret_cast<struct dirent64**>(&result));
        std::printf("r-end.rc=%d\nr-end.result=%s\nr-end.intact=%d\nr-end.errno=%d\n", rc,
                    result == nullptr ? "null" : "set", std::memcmp(before, &entry, sizeof entry) == 0 ? 1 : 0,
                    errno);
        closedir(stream);
        return 2;
    }
    if (cmd == "records") {
        auto** list = static_cast<void**>(dlsym(RTLD_DEFAULT, "g_ziv_search_dir"));
        std::printf("records=%s\n", list == nullptr ? "absent" : *list == nullptr ? "none" : "some");
        return 0;
    }
    if (cmd == "threads") {
        pthread_barrier_t barrier;
        pthread_barrier_init(&barrier, nullptr, 2);
        thread_job jobs[2] = {{arg(1), "", &barrier}, {arg(2), "", &barrier}};
        pthread_t threads[2];
        for (int k = 0; k < 2; ++k) pthread_create(&threads[k], nullptr, thread_reader, &jobs[k]);
        for (int k = 0; k < 2; ++k) pthread_join(threads[k], nullptr);
        std::printf("thread1=%s\nthread2=%s\n", jobs[0].order.c_str(), jobs[1].order.c_str());
        return 2;
    }
    if (cmd == "nftw" || cmd == "nftw64") {
        // nftw DIR FLAGS RETURN: FLAGS letters d (FTW_DEPTH), p (FTW_PHYS).
        int flags = 0;
        for (const char* f = arg(2); *f != '\0'; ++f) {
            flags |= *f == 'd' ? FTW_DEPTH : *f == 'p' ? FTW_PHYS : 0;
        }
        g_walk.clear();
        // Paths are shown from the walked directory's own name on.
        std::string top = arg(1);
        g_walk_prefix = top.rfind('/') == std::string::npos ? 0 : top.rfind('/') + 1;
        g_walk_return = std::atoi(arg(3));
        int rc = cmd == "nftw" ? nftw(arg(1), walk_visit, 8, flags) : nftw64(arg(1), walk_visit64, 8, flags);
        std::printf("%s=%s\n%s.rc=%d\n", cmd.c_str(), g_walk.c_str(), cmd.c_str(), rc);
        return 3;
    }
    std::fprintf(stderr, "unknown command %s\n", cmd.c_str());
    std::exit(2);
}

}  // namespace

int main(int argc, char** argv)
{
    if (fs_early_ran() != 1) {
        std::fprintf(stderr, "start-up library did not run\n");
        return 2;
    }
    std::vector<std::string> args(argv + 1, argv + argc);
    for (size_t i = 0; i < args.size(); ++i) {
        i += static_cast<size_t>(run(args, i));
        std::fflush(stdout);
    }
    return 0;
}
