// Content type of a file from its first bytes, giving the answers that
// `file -b -L -i` gives for what the command parsers meet, without starting
// a shell and a `file` process for every library a link resolves.
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "ziv_file_util.h"
#include "ziv_sysio.h"

namespace {

// `file` decides text/binary on the first 64 KiB only.
constexpr size_t k_text_window = 64 * 1024;
// Enough for any real dynamic section; larger claims are not believed.
constexpr uint64_t k_dynamic_max = 1u << 20;

// Byte classes of `file`'s text test: bytes that never occur in text
// (NUL, most C0 controls, DEL) and bytes that do, in ASCII, ISO-8859 or
// extended 8-bit text. Any text class makes it "text/...".
constexpr bool is_binary_byte(unsigned char c)
{
    if (c == 0x7f) {
        return true;
    }
    if (c >= 0x20) {
        return false;
    }
    // BEL BS HT LF VT FF CR and ESC are text.
    return !((c >= 0x07 && c <= 0x0d) || c == 0x1b);
}

struct byte_table {
    bool binary[256];
};

constexpr byte_table make_table()
{
    byte_table t{};
    for (int c = 0; c < 256; ++c) {
        t.binary[c] = is_binary_byte(static_cast<unsigned char>(c));
    }
    return t;
}

constexpr byte_table k_bytes = make_table();

bool looks_8bit_text(const unsigned char* p, size_t n)
{
    for (size_t i = 0; i < n; ++i) {
        if (k_bytes.binary[p[i]]) {
            return false;
        }
    }
    return true;
}

// UTF-16 or UTF-32 text with a byte-order mark: characters below 256 must
// be text characters.
bool looks_wide_text(const unsigned char* p, size_t n)
{
    size_t width = 0;
    bool big = false;
    if (n >= 4 && memcmp(p, "\xff\xfe\0\0", 4) == 0) {
        width = 4;
    } else if (n >= 4 && memcmp(p, "\0\0\xfe\xff", 4) == 0) {
        width = 4;
        big = true;
    } else if (n >= 2 && memcmp(p, "\xff\xfe", 2) == 0) {
        width = 2;
    } else if (n >= 2 && memcmp(p, "\xfe\xff", 2) == 0) {
        width = 2;
        big = true;
    } else {
        return false;
    }
    for (size_t i = width; i + width <= n; i += width) {
        uint32_t ch = 0;
        for (size_t k = 0; k < width; ++k) {
            ch = (ch << 8) | p[i + (big ? k : width - 1 - k)];
        }
        if (ch < 256 && k_bytes.binary[ch]) {
            return false;
        }
    }
    return true;
}

struct elf_reader {
    const unsigned char* head;
    size_t head_len;
    bool wide;  // ELFCLASS64
    bool big;   // ELFDATA2MSB

    uint64_t get(const unsigned char* p, int size) const
    {
        uint64_t v = 0;
        for (int i = 0; i < size; ++i) {
            v = (v << 8) | p[big ? i : size - 1 - i];
        }
        return v;
    }
};

constexpr uint32_t k_pt_dynamic = 2;
constexpr uint64_t k_dt_flags_1 = 0x6ffffffb;
constexpr uint64_t k_df_1_pie = 0x08000000;

// A position-independent executable is an ET_DYN object too; `file` calls
// it "x-pie-executable" exactly when its dynamic section carries
// DF_1_PIE, and a shared library otherwise.
bool elf_has_pie_flag(int fd, const elf_reader& elf)
{
    const int addr = elf.wide ? 8 : 4;
    const size_t ehdr_size = elf.wide ? 64 : 52;
    if (elf.head_len < ehdr_size) {
        return false;
    }
    uint64_t phoff = elf.get(elf.head + (elf.wide ? 32 : 28), addr);
    uint64_t phentsize = elf.get(elf.head + (elf.wide ? 54 : 42), 2);
    uint64_t phnum = elf.get(elf.head + (elf.wide ? 56 : 44), 2);
    const size_t phdr_min = elf.wide ? 56 : 32;
    if (phentsize < phdr_min || phnum == 0 || phnum > 4096) {
        return false;
    }
    for (uint64_t i = 0; i < phnum; ++i) {
        unsigned char ph[64];
        if (ziv_sys_read_full(fd, ph, phdr_min, static_cast<off_t>(phoff + i * phentsize)) != static_cast<ssize_t>(phdr_min)) {
            return false;
        }
        if (elf.get(ph, 4) != k_pt_dynamic) {
            continue;
        }
        uint64_t offset = elf.get(ph + (elf.wide ? 8 : 4), addr);
        uint64_t filesz = elf.get(ph + (elf.wide ? 32 : 16), addr);
        if (filesz > k_dynamic_max) {
            filesz = k_dynamic_max;
        }
        void* dyn = malloc(filesz + 1);
        if (dyn == nullptr) {
            return false;
        }
        ssize_t got = ziv_sys_read_full(fd, dyn, filesz, static_cast<off_t>(offset));
        bool pie = false;
        const size_t entry = 2 * static_cast<size_t>(addr);
        auto* p = static_cast<const unsigned char*>(dyn);
        for (size_t at = 0; got > 0 && at + entry <= static_cast<size_t>(got); at += entry) {
            uint64_t tag = elf.get(p + at, addr);
            if (tag == 0) {
                break;
            }
            if (tag == k_dt_flags_1) {
                pie = (elf.get(p + at + addr, addr) & k_df_1_pie) != 0;
            }
        }
        free(dyn);
        return pie;
    }
    return false;
}

int elf_content_type(int fd, const unsigned char* head, size_t len)
{
    if (len < 18 || (head[4] != 1 && head[4] != 2) || (head[5] != 1 && head[5] != 2)) {
        return ZIV_CONTENT_OTHER;
    }
    elf_reader elf{head, len, head[4] == 2, head[5] == 2};
    constexpr uint64_t et_dyn = 3;
    if (elf.get(head + 16, 2) != et_dyn) {
        return ZIV_CONTENT_OTHER;  // object, executable, core
    }
    return elf_has_pie_flag(fd, elf) ? ZIV_CONTENT_OTHER : ZIV_CONTENT_LIBRARY;
}

}  // namespace

extern "C" {

ZIV_EXPORT int ziv_get_file_type(const char* name)
{
    ziv_errno_guard keep_errno;
    if (name == nullptr || name[0] == '\0') {
        return ZIV_CONTENT_OTHER;
    }
    // open() follows symbolic links, as `file -L` does. Non-blocking so that
    // a FIFO cannot hold the process.
    ziv_fd_closer file{open(name, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY)};
    if (file.fd < 0) {
        return ZIV_CONTENT_OTHER;
    }
    // Directories, devices, FIFOs and sockets are "inode/..." to `file`.
    struct stat st;
    if (syscall(SYS_fstat, file.fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        return ZIV_CONTENT_OTHER;
    }
    size_t want = st.st_size > 0 && static_cast<uint64_t>(st.st_size) < k_text_window
                      ? static_cast<size_t>(st.st_size)
                      : k_text_window;
    ziv_block<> buf{malloc(want)};
    if (buf.block == nullptr) {
        return ZIV_CONTENT_OTHER;
    }
    ssize_t got = ziv_sys_read_full(file.fd, buf.block, want, 0);
    if (got <= 0) {
        return ZIV_CONTENT_OTHER;  // empty: "inode/x-empty"
    }
    auto* head = static_cast<const unsigned char*>(buf.block);
    size_t len = static_cast<size_t>(got);

    if (len >= 4 && memcmp(head, "\177ELF", 4) == 0) {
        return elf_content_type(file.fd, head, len);
    }
    // ar archives, thin ones included; a Debian package is an ar archive
    // that `file` names for itself.
    if (len >= 8 && (memcmp(head, "!<arch>\n", 8) == 0 || memcmp(head, "!<thin>\n", 8) == 0)) {
        if (len >= 21 && memcmp(head + 8, "debian-binary", 13) == 0) {
            return ZIV_CONTENT_OTHER;
        }
        return ZIV_CONTENT_LIBRARY;
    }
    if (looks_8bit_text(head, len) || looks_wide_text(head, len)) {
        return ZIV_CONTENT_TEXT;
    }
    return ZIV_CONTENT_OTHER;
}

}  // extern "C"
