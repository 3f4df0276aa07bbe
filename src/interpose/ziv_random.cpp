// Random sources: arc4random, random, rand, getrandom and reads of the random
// devices. Listed programs draw from a generator seeded by the build time and
// their own name, or pass their values through the record-and-replay store.
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <sys/syscall.h>
#include <unistd.h>

#include "ziv_bounded.h"
#include "ziv_config.h"
#include "ziv_interpose.h"
#include "ziv_identity.h"
#include "ziv_process.h"
#include "ziv_random.h"
#include "ziv_random_store.h"
#include "ziv_symbols.h"

extern "C" {

constinit const char g_ziv_random_file[ZIV_RANDOM_FILE_ROWS][ZIV_RANDOM_FILE_SIZE] = {
    "", "/dev/random", "/dev/urandom"};

}  // extern "C"

namespace {

// An arbitrary start value that marks the word as not yet seeded.
constexpr uint32_t ZIV_RANDOM_SEED_UNSEEDED = 122105118;

// Stepped in place without a lock: concurrent threads share one sequence.
uint32_t g_random_seed = ZIV_RANDOM_SEED_UNSEEDED;
uint32_t g_read_seed = 0;
uint32_t g_getrandom_seed = 0;

// Device rows.
constexpr int ZIV_DEV_RANDOM = 1;

// Zero in the process the program started as; set in forked children.
uint32_t g_fork_salt = 0;

uint32_t ziv_word_step()
{
    if (g_random_seed == ZIV_RANDOM_SEED_UNSEEDED) {
        g_random_seed = ziv_program_seed() ^ g_fork_salt;
    }
    return static_cast<uint32_t>(rand_r(&g_random_seed));
}

void ziv_fill_bytes(uint32_t& state, void* buffer, size_t length)
{
    if (state == 0) {
        state = ziv_program_seed() ^ g_fork_salt;
    }
    auto* bytes = static_cast<unsigned char*>(buffer);
    for (size_t i = 0; i < length; ++i) {
        bytes[i] = static_cast<unsigned char>(rand_r(&state) & 0xff);
    }
}

// The answer of random and rand once the real value is known.
uint32_t ziv_random_word(uint32_t real_value, ziv_random_source source, const char* function, const char* message)
{
    ziv_errno_guard keep;
    if (ziv_feature_on(ZIV_F_REPLAYLIST)) {
        uint32_t value = real_value;
        ziv_random_record_repaly(&value, sizeof value, ziv_random_table(source));
        return value;
    }
    if (ziv_feature_on(ZIV_F_RANDOMLIST)) {
        uint32_t value = ziv_word_step();
        ziv_log(LOG_INFO, message, ziv_prog_name_for_log(), function);
        ziv_get_stack_info(function);
        return value;
    }
    return real_value;
}

// Whether bytes read may be changed or reported. Without either feature and
// with logging off a read costs nothing more than the real call.
bool ziv_read_wanted()
{
    // With logging on the descriptor is looked at anyway, so that the
    // message says what was read.
    return ziv_logging() || ziv_feature_on(ZIV_F_RANDOMLIST | ZIV_F_REPLAYLIST);
}

}  // namespace

extern "C" ZIV_EXPORT int32_t ziv_name_hash(const char* name)
{
    if (name == nullptr || name[0] == '\0') {
        return 0;
    }
    uint32_t hash = static_cast<uint32_t>(static_cast<int32_t>(static_cast<signed char>(name[0])));
    for (size_t i = 0; name[i] != '\0'; ++i) {
        hash += static_cast<uint32_t>(static_cast<int32_t>(static_cast<signed char>(name[i]))) * static_cast<uint32_t>(i);
    }
    return static_cast<int32_t>(hash);
}

uint32_t ziv_program_seed()
{
    return static_cast<uint32_t>(ziv_get_build_time()) +
           static_cast<uint32_t>(ziv_name_hash(program_invocation_short_name));
}

void ziv_random_after_fork(uint32_t fork_number)
{
    // A multiplicative hash spreads neighbouring fork numbers apart.
    uint32_t salt = (fork_number + 1) * 2654435761u;
    g_fork_salt ^= salt;
    if (g_random_seed != ZIV_RANDOM_SEED_UNSEEDED) {
        g_random_seed ^= salt;
    }
    for (uint32_t* state : {&g_read_seed, &g_getrandom_seed}) {
        if (*state != 0) {
            *state ^= salt;
        }
    }
}

int is_open_randmom_file(int fd)
{
    char path[ZIV_RANDOM_FILE_SIZE];
    int err = sprintf_s(path, sizeof path, "/proc/self/fd/%d", fd);
    if (err < 0) {
        ziv_log(LOG_INFO, "sprintf_s failed, err = %d, function %s line %d\n", err, "is_open_randmom_file", 203);
        return 0;
    }
    char link[ZIV_RANDOM_FILE_SIZE] = {};
    ssize_t length = readlink(path, link, sizeof link - 1);
    if (length < 0) {
        return 0;
    }
    link[length] = '\0';
    for (int row = 1; row < ZIV_RANDOM_FILE_ROWS && g_ziv_random_file[row][0] != '\0'; ++row) {
        if (std::strcmp(link, g_ziv_random_file[row]) == 0) {
            return row;
        }
    }
    return 0;
}

extern "C" ZIV_EXPORT ssize_t ziv_read(int fd, void* buffer, ssize_t count, const char* caller)
{
    if (!ziv_read_wanted()) {
        return count;
    }
    ziv_errno_guard keep;
    const char* name = ziv_prog_name_for_log();
    // Make programs pass random bytes on to their jobs: they read the real
    // device even when listed.
    if (ziv_process_is_make(program_invocation_short_name) == 0) {
        int device = is_open_randmom_file(fd);
        ziv_log(LOG_INFO, "%s %s is read random file: %s \n", name, caller,
                device == 0 ? "no" : g_ziv_random_file[device]);
        if (device == 0) {
            return count;
        }
        if (ziv_feature_on(ZIV_F_REPLAYLIST)) {
            ziv_random_record_repaly(buffer, count, ziv_random_table(device == ZIV_DEV_RANDOM
                                                                        ? ziv_random_source::dev_random
                                                                        : ziv_random_source::dev_urandom));
            return count;
        }
        if (ziv_feature_on(ZIV_F_RANDOMLIST)) {
            ziv_fill_bytes(g_read_seed, buffer, static_cast<size_t>(count));
            if (ziv_logging()) {
                record_message(buffer, count);
            }
            ziv_get_stack_info("ziv_read");
            return count;
        }
    }
    ziv_log(LOG_INFO, "%s %s get real read info\n", name, caller);
    return count;
}

namespace {

// read and __read_chk: `next()` is the next definition's read. Unwatched
// descriptors cost one test; the bytes read are then treated as a device's.
template <typename Next>
ssize_t ziv_read_family(const char* symbol, int line, int fd, void* buffer, Next next)
{
    if (__builtin_expect(!ziv_read_wanted(), 1)) {
        return next();
    }
    ziv_reentry_guard guard;
    if (guard.reentered()) {
        return next();
    }
    ziv_log_enter(symbol, line);
    ssize_t result = next();
    // A failed read leaves nothing to treat.
    if (result < 0) {
        return result;
    }
    return ziv_read(fd, buffer, result, symbol);
}

// fread and __fread_chk: `next()` is the next definition's read of
// `size`-byte items.
template <typename Next>
size_t ziv_fread_family(const char* symbol, int line, void* buffer, size_t size, FILE* stream, Next next)
{
    if (__builtin_expect(!ziv_read_wanted(), 1)) {
        return next();
    }
    {
        ziv_reentry_guard guard;
        if (guard.reentered()) {
            return next();
        }
        ziv_log_enter(symbol, line);
    }
    // A stream of the program's own (fopencookie) reads through the
    // program's code: the real call runs outside the guard.
    size_t got = next();
    ziv_reentry_guard guard;
    if (!guard.reentered()) {
        ziv_errno_guard keep;
        // Only complete items count: a trailing partial item stays real.
        ziv_read(fileno_unlocked(stream), buffer, static_cast<ssize_t>(size * got), symbol);
    }
    return got;
}

}  // namespace

extern "C" {

ZIV_EXPORT uint32_t arc4random(void)
{
    ziv_reentry_guard guard;
    if (guard.reentered()) {
        return g_pf_org_arc4random != nullptr ? g_pf_org_arc4random() : ziv_word_step();
    }
    ziv_log_enter("arc4random", 49);
    ziv_errno_guard keep;
    if (!ziv_feature_on(ZIV_F_RANDOMLIST)) {
        if (g_pf_org_arc4random == nullptr) {
            ziv_dlsym_arc4random();
        }
        if (g_pf_org_arc4random != nullptr) {
            return g_pf_org_arc4random();
        }
        ziv_log(LOG_INFO, "process %s does not get g_pf_org_arc4random %s line %d !!!\n", ziv_prog_name_for_log(),
                "arc4random", 59);
    }
    uint32_t value = ziv_word_step();
    ziv_log(LOG_INFO, "%s %s get ziv_arc4random\n", ziv_prog_name_for_log(), "arc4random");
    ziv_get_stack_info("arc4random");
    return value;
}

ZIV_EXPORT long random(void)
{
    auto real = ziv_lazy(g_pf_org_random, "random");
    ziv_reentry_guard guard;
    if (guard.reentered()) {
        return real != nullptr ? real() : 0;
    }
    ziv_log_enter("random", 77);
    long real_value = real != nullptr ? real() : 0;
    uint32_t value = ziv_random_word(static_cast<uint32_t>(real_value), ziv_random_source::random, "random",
                                     "%s %s get ziv_random\n");
    return static_cast<int32_t>(value);
}

ZIV_EXPORT int rand(void)
{
    auto real = ziv_lazy(g_pf_org_rand, "rand");
    ziv_reentry_guard guard;
    if (guard.reentered()) {
        return real != nullptr ? real() : 0;
    }
    ziv_log_enter("rand", 106);
    int real_value = real != nullptr ? real() : 0;
    uint32_t value =
        ziv_random_word(static_cast<uint32_t>(real_value), ziv_random_source::rand, "rand", "%s %s get ziv_rand\n");
    return static_cast<int32_t>(value);
}

ZIV_EXPORT ssize_t getrandom(void* buffer, size_t length, unsigned int flags)
{
    auto real = ziv_lazy(g_pf_org_getrandom, "getrandom");
    ssize_t result = real != nullptr ? real(buffer, length, flags) : 0;
    ziv_reentry_guard guard;
    if (result < 0 || guard.reentered()) {
        return result;
    }
    ziv_errno_guard keep;
    if (ziv_logging()) {
        // The id as the program sees it; it serves only in the message.
        ziv_log(LOG_INFO, "[pid:%d] process %s getrandom %lu return %ld\n", static_cast<int>(ziv_program_pid()),
                ziv_prog_name_for_log(), static_cast<unsigned long>(length), static_cast<long>(result));
    }
    ziv_get_stack_info("getrandom");
    if (ziv_feature_on(ZIV_F_REPLAYLIST)) {
        ziv_random_record_repaly(buffer, result, ziv_random_table(ziv_random_source::getrandom));
        if (ziv_logging()) {
            record_message(buffer, result);
        }
    } else if (ziv_feature_on(ZIV_F_RANDOMLIST)) {
        ziv_fill_bytes(g_getrandom_seed, buffer, static_cast<size_t>(result));
        if (ziv_logging()) {
            record_message(buffer, result);
        }
    } else {
        ziv_log(LOG_INFO, "%s getrandom get real random info\n", ziv_prog_name_for_log());
    }
    return result;
}

ZIV_EXPORT ssize_t read(int fd, void* buffer, size_t count)
{
    auto real = g_pf_org_read;
    if (real == nullptr && ziv_prog_cfg.env_read == 0) {
        real = ziv_lazy(g_pf_org_read, "read");
    }
    return ziv_read_family("read", 270, fd, buffer, [&]() -> ssize_t {
        return real != nullptr ? real(fd, buffer, count) : syscall(SYS_read, fd, buffer, count);
    });
}

ZIV_EXPORT ssize_t __read_chk(int fd, void* buffer, size_t count, size_t buffer_size)
{
    auto real = ziv_lazy(g_pf_org_read_chk, "__read_chk");
    if (real == nullptr) {
        return 0;
    }
    return ziv_read_family("__read_chk", 289, fd, buffer, [&] { return real(fd, buffer, count, buffer_size); });
}

ZIV_EXPORT size_t fread(void* buffer, size_t size, size_t items, FILE* stream)
{
    auto real = ziv_lazy(g_pf_org_fread, "fread");
    if (real == nullptr) {
        return 0;
    }
    return ziv_fread_family("fread", 305, buffer, size, stream, [&] { return real(buffer, size, items, stream); });
}

ZIV_EXPORT size_t __fread_chk(void* buffer, size_t buffer_size, size_t size, size_t items, FILE* stream)
{
    auto real = ziv_lazy(g_pf_org_fread_chk, "__fread_chk");
    if (real == nullptr) {
        return 0;
    }
    return ziv_fread_family("__fread_chk", 323, buffer, size, stream,
                            [&] { return real(buffer, buffer_size, size, items, stream); });
}

}  // extern "C"
