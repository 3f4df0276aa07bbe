// SHA-256 (FIPS 180-4) of memory blocks and of file contents, computed in
// the process: no shell, no sha256sum process, no temporary file.
#include <cerrno>
#include <cpuid.h>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <immintrin.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <utility>

#include "ziv_file_util.h"
#include "ziv_sysio.h"

namespace {

constexpr uint32_t k_round[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2,
};

constexpr uint32_t k_initial[8] = {
    0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a, 0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19,
};

constexpr size_t k_block = 64;

using compress_fn = void (*)(uint32_t*, const uint8_t*, size_t);

inline uint32_t rotr(uint32_t x, int n) { return (x >> n) | (x << (32 - n)); }

inline uint32_t load_be32(const uint8_t* p)
{
    uint32_t v;
    memcpy(&v, p, 4);
    return __builtin_bswap32(v);
}

// Round t works on the eight variables rotated by t; passing them in a
// rotated order instead of moving them lets the compiler keep all in
// registers across the unrolled rounds.
#define ZIV_SHA_ROUND(a, b, c, d, e, f, g, h, t)                                       \
    do {                                                                               \
        uint32_t t1 = h + (rotr(e, 6) ^ rotr(e, 11) ^ rotr(e, 25)) + ((e & f) ^ (~e & g)) + \
                      k_round[t] + w[(t) & 15];                                        \
        uint32_t t2 = (rotr(a, 2) ^ rotr(a, 13) ^ rotr(a, 22)) + ((a & b) ^ (a & c) ^ (b & c)); \
        d += t1;                                                                       \
        h = t1 + t2;                                                                   \
    } while (0)

#define ZIV_SHA_SCHEDULE(t)                                                                 \
    do {                                                                                    \
        uint32_t s0 = rotr(w[((t) + 1) & 15], 7) ^ rotr(w[((t) + 1) & 15], 18) ^ (w[((t) + 1) & 15] >> 3); \
        uint32_t s1 = rotr(w[((t) + 14) & 15], 17) ^ rotr(w[((t) + 14) & 15], 19) ^ (w[((t) + 14) & 15] >> 10); \
        w[(t) & 15] += s0 + s1 + w[((t) + 9) & 15];                                         \
    } while (0)

#define ZIV_SHA_EIGHT(t)                          \
    ZIV_SHA_ROUND(a, b, c, d, e, f, g, h, (t) + 0); \
    ZIV_SHA_ROUND(h, a, b, c, d, e, f, g, (t) + 1); \
    ZIV_SHA_ROUND(g, h, a, b, c, d, e, f, (t) + 2); \
    ZIV_SHA_ROUND(f, g, h, a, b, c, d, e, (t) + 3); \
    ZIV_SHA_ROUND(e, f, g, h, a, b, c, d, (t) + 4); \
    ZIV_SHA_ROUND(d, e, f, g, h, a, b, c, (t) + 5); \
    ZIV_SHA_ROUND(c, d, e, f, g, h, a, b, (t) + 6); \
    ZIV_SHA_ROUND(b, c, d, e, f, g, h, a, (t) + 7)

#define ZIV_SHA_SCHEDULE_EIGHT(t) \
    ZIV_SHA_SCHEDULE((t) + 0);    \
    ZIV_SHA_SCHEDULE((t) + 1);    \
    ZIV_SHA_SCHEDULE((t) + 2);    \
    ZIV_SHA_SCHEDULE((t) + 3);    \
    ZIV_SHA_SCHEDULE((t) + 4);    \
    ZIV_SHA_SCHEDULE((t) + 5);    \
    ZIV_SHA_SCHEDULE((t) + 6);    \
    ZIV_SHA_SCHEDULE((t) + 7)

void compress_portable(uint32_t* state, const uint8_t* data, size_t nblocks)
{
    for (; nblocks > 0; --nblocks, data += k_block) {
        uint32_t w[16];
        for (int i = 0; i < 16; ++i) {
            w[i] = load_be32(data + 4 * i);
        }
        uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
        uint32_t e = state[4], f = state[5], g = state[6], h = state[7];
        ZIV_SHA_EIGHT(0);
        ZIV_SHA_EIGHT(8);
        for (int t = 16; t < 64; t += 16) {
            // w[t & 15] becomes W[t]: it still holds W[t - 16].
            ZIV_SHA_SCHEDULE_EIGHT(t);
            ZIV_SHA_EIGHT(t);
            ZIV_SHA_SCHEDULE_EIGHT(t + 8);
            ZIV_SHA_EIGHT(t + 8);
        }
        state[0] += a;
        state[1] += b;
        state[2] += c;
        state[3] += d;
        state[4] += e;
        state[5] += f;
        state[6] += g;
        state[7] += h;
    }
}

#undef ZIV_SHA_ROUND
#undef ZIV_SHA_SCHEDULE
#undef ZIV_SHA_EIGHT
#undef ZIV_SHA_SCHEDULE_EIGHT

#define ZIV_SHANI_TARGET __attribute__((target("sha,sse4.1,ssse3")))

// Four rounds, number q of 16, with the message schedule of the SHA
// extensions: msg[q % 4] holds W[4q .. 4q+3].
template <int q>
ZIV_SHANI_TARGET inline __attribute__((always_inline)) void shani_quad(__m128i& state0, __m128i& state1,
                                                                       __m128i* msg)
{
    __m128i m = _mm_add_epi32(msg[q & 3], _mm_loadu_si128(reinterpret_cast<const __m128i*>(k_round + 4 * q)));
    state1 = _mm_sha256rnds2_epu32(state1, state0, m);
    if constexpr (q >= 3 && q <= 14) {
        __m128i tmp = _mm_alignr_epi8(msg[q & 3], msg[(q + 3) & 3], 4);
        msg[(q + 1) & 3] = _mm_add_epi32(msg[(q + 1) & 3], tmp);
        msg[(q + 1) & 3] = _mm_sha256msg2_epu32(msg[(q + 1) & 3], msg[q & 3]);
    }
    m = _mm_shuffle_epi32(m, 0x0E);
    state0 = _mm_sha256rnds2_epu32(state0, state1, m);
    if constexpr (q >= 1 && q <= 12) {
        msg[(q + 3) & 3] = _mm_sha256msg1_epu32(msg[(q + 3) & 3], msg[q & 3]);
    }
}

template <int... q>
ZIV_SHANI_TARGET inline __attribute__((always_inline)) void shani_rounds(__m128i& state0, __m128i& state1,
                                                                         __m128i* msg,
                                                                         std::integer_sequence<int, q...>)
{
    (shani_quad<q>(state0, state1, msg), ...);
}

ZIV_SHANI_TARGET void compress_shani(uint32_t* state, const uint8_t* data, size_t nblocks)
{
    const __m128i byte_swap = _mm_set_epi64x(0x0c0d0e0f08090a0bULL, 0x0405060700010203ULL);
    // The instructions want the state as ABEF and CDGH.
    __m128i tmp = _mm_shuffle_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(state)), 0xB1);
    __m128i state1 = _mm_shuffle_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(state + 4)), 0x1B);
    __m128i state0 = _mm_alignr_epi8(tmp, state1, 8);
    state1 = _mm_blend_epi16(state1, tmp, 0xF0);

    for (; nblocks > 0; --nblocks, data += k_block) {
        const __m128i abef = state0;
        const __m128i cdgh = state1;
        __m128i msg[4];
        for (int i = 0; i < 4; ++i) {
            msg[i] = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(data + 16 * i)), byte_swap);
        }
        shani_rounds(state0, state1, msg, std::make_integer_sequence<int, 16>{});
        state0 = _mm_add_epi32(state0, abef);
        state1 = _mm_add_epi32(state1, cdgh);
    }

    tmp = _mm_shuffle_epi32(state0, 0x1B);
    state1 = _mm_shuffle_epi32(state1, 0xB1);
    state0 = _mm_blend_epi16(tmp, state1, 0xF0);
    state1 = _mm_alignr_epi8(state1, tmp, 8);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(state), state0);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(state + 4), state1);
}

// -1 unknown, 0 no, 1 yes. Asked through cpuid so that no run-time support
// library is needed; a race only repeats the same answer.
int g_have_shani = -1;

bool cpu_has_shani()
{
    if (g_have_shani < 0) {
        unsigned a = 0, b = 0, c = 0, d = 0;
        bool ok = false;
        if (__get_cpuid(1, &a, &b, &c, &d) && (c & bit_SSSE3) && (c & bit_SSE4_1)) {
            unsigned a7 = 0, b7 = 0, c7 = 0, d7 = 0;
            ok = __get_cpuid_count(7, 0, &a7, &b7, &c7, &d7) && (b7 & bit_SHA);
        }
        g_have_shani = ok ? 1 : 0;
    }
    return g_have_shani == 1;
}

compress_fn pick(ziv_sha256_impl impl)
{
    switch (impl) {
    case ziv_sha256_impl::portable:
        return compress_portable;
    case ziv_sha256_impl::shani:
        return cpu_has_shani() ? compress_shani : nullptr;
    case ziv_sha256_impl::automatic:
        break;
    }
    return cpu_has_shani() ? compress_shani : compress_portable;
}

// Streaming state: whole blocks go straight to the compression, the tail
// waits in `pending`.
struct sha256_stream {
    uint32_t state[8];
    uint8_t pending[k_block];
    size_t pending_len = 0;
    uint64_t total = 0;
    compress_fn compress;

    explicit sha256_stream(compress_fn fn) : compress(fn) { memcpy(state, k_initial, sizeof(state)); }

    void update(const uint8_t* data, size_t len)
    {
        total += len;
        if (pending_len > 0) {
            size_t take = k_block - pending_len < len ? k_block - pending_len : len;
            memcpy(pending + pending_len, data, take);
            pending_len += take;
            data += take;
            len -= take;
            if (pending_len < k_block) {
                return;
            }
            compress(state, pending, 1);
            pending_len = 0;
        }
        size_t blocks = len / k_block;
        if (blocks > 0) {
            compress(state, data, blocks);
            data += blocks * k_block;
            len -= blocks * k_block;
        }
        memcpy(pending, data, len);
        pending_len = len;
    }

    void finish_hex(char* out)
    {
        // 0x80, zeros, then the bit length big-endian in the last 8 bytes;
        // one or two blocks.
        uint8_t tail[2 * k_block] = {};
        memcpy(tail, pending, pending_len);
        tail[pending_len] = 0x80;
        size_t tail_len = pending_len + 1 + 8 <= k_block ? k_block : 2 * k_block;
        uint64_t bits = total * 8;
        for (int i = 0; i < 8; ++i) {
            tail[tail_len - 1 - i] = static_cast<uint8_t>(bits >> (8 * i));
        }
        compress(state, tail, tail_len / k_block);
        static constexpr char hex[] = "0123456789abcdef";
        for (int i = 0; i < 8; ++i) {
            for (int j = 0; j < 4; ++j) {
                uint8_t byte = static_cast<uint8_t>(state[i] >> (24 - 8 * j));
                out[8 * i + 2 * j] = hex[byte >> 4];
                out[8 * i + 2 * j + 1] = hex[byte & 15];
            }
        }
    }
};

constexpr size_t k_read_max = 1u << 20;
constexpr size_t k_read_min = 4096;

}  // namespace

bool ziv_sha256_have_shani() { return cpu_has_shani(); }

bool ziv_sha256_buffer_hex(const void* data, size_t len, char* out, ziv_sha256_impl impl)
{
    compress_fn fn = pick(impl);
    if (fn == nullptr || out == nullptr) {
        return false;
    }
    sha256_stream s(fn);
    s.update(static_cast<const uint8_t*>(data), len);
    s.finish_hex(out);
    out[ZIV_SHA256_HEX_LEN] = '\0';
    return true;
}

int ziv_sha256_file_hex(const char* name, char* out, size_t size, ziv_sha256_impl impl)
{
    ziv_errno_guard keep_errno;
    if (out == nullptr || size < ZIV_SHA256_HEX_LEN) {
        if (out != nullptr && size > 0) {
            out[0] = '\0';
        }
        return -1;
    }
    out[0] = '\0';
    compress_fn fn = pick(impl);
    if (name == nullptr || fn == nullptr) {
        return -1;
    }
    // Non-blocking so that a FIFO cannot hold the process; only regular
    // files are digested (a device could be endless).
    ziv_fd_closer file{open(name, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY)};
    if (file.fd < 0) {
        return -1;
    }
    struct stat st;
    if (syscall(SYS_fstat, file.fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        return -1;
    }
    size_t want = static_cast<size_t>(st.st_size) + 1;  // +1: see the end at once
    if (want > k_read_max) {
        want = k_read_max;
    } else if (want < k_read_min) {
        want = k_read_min;
    }
    ziv_block<> buf{malloc(want)};
    if (buf.block == nullptr) {
        return -1;
    }
    posix_fadvise(file.fd, 0, 0, POSIX_FADV_SEQUENTIAL);
    sha256_stream s(fn);
    for (;;) {
        ssize_t got = ziv_sys_read_full(file.fd, buf.block, want);
        if (got < 0) {
            return -1;
        }
        if (got == 0) {
            break;
        }
        s.update(static_cast<const uint8_t*>(buf.block), static_cast<size_t>(got));
    }
    char hex[ZIV_SHA256_BUF_SIZE];
    s.finish_hex(hex);
    memcpy(out, hex, ZIV_SHA256_HEX_LEN);
    if (size > ZIV_SHA256_HEX_LEN) {
        out[ZIV_SHA256_HEX_LEN] = '\0';
    }
    return 0;
}
