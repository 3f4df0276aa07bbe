// Reports what the preloaded library answers about identity, host name,
// system information and random values. Commands come from argv, or from
// PROBE_COMMANDS (blank-separated) when the arguments belong to the program
// being imitated (tar, hostname).
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <fcntl.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sched.h>
#include <signal.h>
#include <stdlib.h>
#include <string>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/random.h>
#include <sys/syscall.h>
#include <sys/sysinfo.h>
#include <sys/utsname.h>
#include <ucontext.h>
#include <unistd.h>
#include <vector>

#include "ziv_config.h"

extern "C" ssize_t __read_chk(int fd, void* buf, size_t nbytes, size_t buflen);
extern "C" size_t __fread_chk(void* ptr, size_t ptrlen, size_t size, size_t n, FILE* stream);

namespace {

volatile sig_atomic_t g_trapped_calls = 0;
long g_trap_answer = 4242;

std::string hex(const void* data, size_t size)
{
    static const char digits[] = "0123456789abcdef";
    std::string text;
    const auto* bytes = static_cast<const unsigned char*>(data);
    for (size_t i = 0; i < size; ++i) {
        text += digits[bytes[i] >> 4];
        text += digits[bytes[i] & 15];
    }
    return text;
}

ziv_cfg_t* config()
{
    auto** pointer = reinterpret_cast<ziv_cfg_t**>(dlsym(RTLD_DEFAULT, "g_ziv_cfg"));
    return pointer != nullptr ? *pointer : nullptr;
}

// A trapped system call does not reach the kernel: the handler counts it and
// supplies the answer.
void on_sigsys(int, siginfo_t*, void* context)
{
    g_trapped_calls = g_trapped_calls + 1;
    static_cast<ucontext_t*>(context)->uc_mcontext.gregs[REG_RAX] = g_trap_answer;
}

bool trap_syscalls(std::initializer_list<long> numbers)
{
    struct sigaction action {};
    action.sa_sigaction = on_sigsys;
    action.sa_flags = SA_SIGINFO;
    if (sigaction(SIGSYS, &action, nullptr) != 0) {
        return false;
    }
    std::vector<sock_filter> filter;
    filter.push_back(BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, nr)));
    for (long number : numbers) {
        filter.push_back(BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, static_cast<uint32_t>(number), 0, 1));
        filter.push_back(BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_TRAP));
    }
    filter.push_back(BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW));
    sock_fprog program{static_cast<unsigned short>(filter.size()), filter.data()};
    return prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 && prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) == 0;
}

void fail(const char* what)
{
    std::printf("failed=%s errno=%d\n", what, errno);
    std::fflush(stdout);
    std::exit(3);
}

// Hash of a sequence of values, to compare long sequences between runs.
struct fnv {
    uint64_t value = 1469598103934665603ULL;
    void add(uint32_t word)
    {
        for (int i = 0; i < 4; ++i) {
            value = (value ^ ((word >> (8 * i)) & 0xff)) * 1099511628211ULL;
        }
    }
};

void print_sysinfo(const char* prefix, const struct sysinfo& s)
{
    std::printf("%s.uptime=%ld\n%s.loads=%lu %lu %lu\n%s.totalram=%lu\n%s.freeram=%lu\n%s.sharedram=%lu\n"
                "%s.bufferram=%lu\n%s.totalswap=%lu\n%s.freeswap=%lu\n%s.procs=%u\n%s.totalhigh=%lu\n"
                "%s.freehigh=%lu\n%s.mem_unit=%u\n",
                prefix, s.uptime, prefix, s.loads[0], s.loads[1], s.loads[2], prefix, s.totalram, prefix, s.freeram,
                prefix, s.sharedram, prefix, s.bufferram, prefix, s.totalswap, prefix, s.freeswap, prefix,
                static_cast<unsigned>(s.procs), prefix, s.totalhigh, prefix, s.freehigh, prefix, s.mem_unit);
}

// Fills `size` bytes with 0xaa before the call, so untouched bytes show.
std::vector<unsigned char> marked(size_t size) { return std::vector<unsigned char>(size, 0xaa); }

int run(const std::string& cmd, const char* arg, const char* arg2, const char* arg3)
{
    if (cmd == "ids") {
        std::printf("pid=%d\nppid=%d\nuid=%u\ngid=%u\nreal_pid=%ld\nreal_ppid=%ld\n", getpid(), getppid(), getuid(),
                    getgid(), syscall(SYS_getpid), syscall(SYS_getppid));
    } else if (cmd == "trap-ids") {
        if (!trap_syscalls({SYS_getuid, SYS_getgid})) {
            fail("seccomp");
        }
        uid_t uid = getuid();
        gid_t gid = getgid();
        std::printf("uid=%u\ngid=%u\ntrapped=%d\n", uid, gid, static_cast<int>(g_trapped_calls));
    } else if (cmd == "trap-readlink") {
        // Counts the descriptor checks that N one-byte reads of a file cost;
        // each check is answered "no such file".
        g_trap_answer = -ENOENT;
        int fd = open(arg, O_RDONLY);
        if (fd < 0 || !trap_syscalls({SYS_readlink, SYS_readlinkat, SYS_fstat, SYS_newfstatat})) {
            fail("trap-readlink");
        }
        int n = std::atoi(arg2);
        char byte;
        int got = 0;
        for (int i = 0; i < n; ++i) {
            got += static_cast<int>(read(fd, &byte, 1));
        }
        std::printf("read_bytes=%d\ntrapped=%d\n", got, static_cast<int>(g_trapped_calls));
        return 2;
    } else if (cmd == "uts") {
        // A private host name, so that the real answer is known.
        if (unshare(CLONE_NEWUTS) != 0 || sethostname(arg, std::strlen(arg)) != 0) {
            fail("uts");
        }
        return 1;
    } else if (cmd == "hostname") {
        size_t len = std::strtoul(arg, nullptr, 10);
        char buffer[128];
        std::memset(buffer, 'Q', sizeof buffer);
        buffer[sizeof buffer - 1] = '\0';
        errno = 0;
        int result = gethostname(buffer, len);
        std::printf("hostname.%zu.result=%d\nhostname.%zu.errno=%d\nhostname.%zu.text=%.*s\n", len, result, len, errno,
                    len, static_cast<int>(strnlen(buffer, len)), buffer);
        return 1;
    } else if (cmd == "uname") {
        struct utsname got {};
        struct utsname real {};
        int result = uname(&got);
        syscall(SYS_uname, &real);
        std::printf("uname.result=%d\nuname.nodename=%s\nreal.nodename=%s\n", result, got.nodename, real.nodename);
        bool same = std::strcmp(got.sysname, real.sysname) == 0 && std::strcmp(got.release, real.release) == 0 &&
                    std::strcmp(got.version, real.version) == 0 && std::strcmp(got.machine, real.machine) == 0 &&
                    std::strcmp(got.domainname, real.domainname) == 0;
        std::printf("uname.others_real=%d\n", same ? 1 : 0);
    } else if (cmd == "sysinfo") {
        struct sysinfo got;
        std::memset(&got, 0, sizeof got);
        struct sysinfo real;
        std::memset(&real, 0, sizeof real);
        syscall(SYS_sysinfo, &real);
        int result = sysinfo(&got);
        std::printf("sysinfo.result=%d\n", result);
        print_sysinfo("si", got);
        print_sysinfo("real", real);
    } else if (cmd == "mask") {
        ziv_cfg_t* cfg = config();
        std::printf("mask=0x%x\n", cfg != nullptr ? cfg->prog[0].mask : 0xffffffffu);
        char name[256] = {};
        int result = gethostname(name, sizeof name);
        std::printf("gethostname=%d %s\n", result, name);
    } else if (cmd == "words") {
        // rand, random and arc4random in turn, N rounds.
        int rounds = std::atoi(arg);
        std::string text;
        for (int i = 0; i < rounds; ++i) {
            // One call per statement: the order of the calls is the point.
            int a = rand();
            long b = random();
            uint32_t c = arc4random();
            text += std::to_string(a) + " " + std::to_string(b) + " " + std::to_string(c) + " ";
        }
        std::printf("words=%s\n", text.c_str());
        return 1;
    } else if (cmd == "rand") {
        int n = std::atoi(arg);
        std::string text;
        for (int i = 0; i < n; ++i) {
            text += std::to_string(rand()) + " ";
        }
        std::printf("rand=%s\n", text.c_str());
        return 1;
    } else if (cmd == "srand") {
        srand(static_cast<unsigned>(std::atoi(arg)));
        return 1;
    } else if (cmd == "randhash") {
        int n = std::atoi(arg);
        fnv hash;
        for (int i = 0; i < n; ++i) {
            hash.add(static_cast<uint32_t>(rand()));
        }
        std::printf("randhash=%llx\n", static_cast<unsigned long long>(hash.value));
        return 1;
    } else if (cmd == "arc4") {
        std::printf("arc4=%u\n", arc4random());
    } else if (cmd == "getrandom") {
        size_t n = std::strtoul(arg, nullptr, 10);
        auto buffer = marked(n);
        ssize_t result = getrandom(buffer.data(), n, 0);
        std::printf("getrandom=%zd %s\n", result, hex(buffer.data(), n).c_str());
        return 1;
    } else if (cmd == "read" || cmd == "read_chk") {
        size_t n = std::strtoul(arg2, nullptr, 10);
        int fd = open(arg, O_RDONLY);
        if (fd < 0) {
            fail("open");
        }
        auto buffer = marked(n + 1);
        ssize_t result =
            cmd == "read" ? read(fd, buffer.data(), n) : __read_chk(fd, buffer.data(), n, buffer.size());
        close(fd);
        std::printf("%s=%zd %s\n", cmd.c_str(), result, hex(buffer.data(), n).c_str());
        return 2;
    } else if (cmd == "fread" || cmd == "fread_chk") {
        size_t size = std::strtoul(arg2, nullptr, 10);
        size_t items = std::strtoul(arg3, nullptr, 10);
        FILE* file = std::fopen(arg, "r");
        if (file == nullptr) {
            fail("fopen");
        }
        auto buffer = marked(size * items);
        size_t got = cmd == "fread" ? fread(buffer.data(), size, items, file)
                                    : __fread_chk(buffer.data(), buffer.size(), size, items, file);
        std::fclose(file);
        std::printf("%s=%zu %s\n", cmd.c_str(), got, hex(buffer.data(), buffer.size()).c_str());
        return 3;
    } else if (cmd == "bind") {
        // Puts a file of known content where a device is expected.
        if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            mount(arg, arg2, nullptr, MS_BIND, nullptr) != 0) {
            fail("bind");
        }
        return 2;
    } else if (cmd == "read-bad") {
        char byte;
        errno = 0;
        ssize_t result = read(-1, &byte, 1);
        std::printf("read_bad=%zd errno=%d\n", result, errno);
    } else if (cmd == "errno-kept") {
        // Every interposer, called with errno set, leaves it as it was.
        char buffer[64];
        struct utsname names;
        struct sysinfo info;
        std::string kept;
        int fd = open("/dev/urandom", O_RDONLY);
        FILE* file = std::fopen("/dev/urandom", "r");
        auto check = [&](const char* name, auto call) {
            errno = 4321;
            call();
            kept += std::string(name) + ":" + std::to_string(errno) + " ";
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
        check("read", [&] { read(fd, buffer, 8); });
        check("read_chk", [&] { __read_chk(fd, buffer, 8, sizeof buffer); });
        check("fread", [&] { fread(buffer, 4, 2, file); });
        check("fread_chk", [&] { __fread_chk(buffer, sizeof buffer, 4, 2, file); });
        // A stream without a descriptor: the library's own look at it fails.
        char memory[] = "12345678";
        FILE* in_memory = fmemopen(memory, 8, "r");
        check("fread_memory", [&] { fread(buffer, 4, 2, in_memory); });
        std::fclose(in_memory);
        std::printf("errno=%s\n", kept.c_str());
        close(fd);
        std::fclose(file);
    } else if (cmd == "touch") {
        int fd = open(arg, O_WRONLY | O_CREAT, 0644);
        if (fd >= 0) {
            close(fd);
        }
        return 1;
    } else if (cmd == "wait-file") {
        for (int i = 0; i < 6000 && access(arg, F_OK) != 0; ++i) {
            usleep(5000);
        }
        return 1;
    } else {
        std::fprintf(stderr, "unknown command %s\n", cmd.c_str());
        std::exit(2);
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    std::vector<std::string> commands;
    if (const char* text = std::getenv("PROBE_COMMANDS"); text != nullptr) {
        std::string all(text);
        size_t start = 0;
        while (start <= all.size()) {
            size_t end = all.find(' ', start);
            if (end == std::string::npos) {
                end = all.size();
            }
            if (end > start) {
                commands.push_back(all.substr(start, end - start));
            }
            start = end + 1;
        }
    } else {
        commands.assign(argv + 1, argv + argc);
    }
    for (size_t i = 0; i < commands.size(); ++i) {
        auto at = [&](size_t k) { return i + k < commands.size() ? commands[i + k].c_str() : ""; };
        i += static_cast<size_t>(run(commands[i], at(1), at(2), at(3)));
        std::fflush(stdout);
    }
    return 0;
}
