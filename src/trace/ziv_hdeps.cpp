// Header dependency tracing: a compiler proper is run a second time, before
// the real compilation, untraced and preprocessing only, to write the make
// rule of its translation unit; the headers of that rule are recorded with
// a relation from the source to each of them.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <unistd.h>

#include "ziv_bounded.h"
#include "ziv_config.h"
#include "ziv_db.h"
#include "ziv_file_util.h"
#include "ziv_hdeps_open.h"
#include "ziv_helper_process.h"
#include "ziv_lifecycle.h"
#include "ziv_log.h"
#include "ziv_parsers.h"
#include "ziv_sysio.h"

namespace {

constexpr int kScratchNameSize = 32;
constexpr int kLineSize = 32767;
// A header name longer than a path can be is no file; it is skipped.
constexpr size_t kNameSize = 4096;
// Bounds on what one dependency file may cost the traced compiler.
constexpr int kMaxHeaders = 100000;
constexpr long kMaxBytes = 64L * 1024 * 1024;

enum hdeps_mode { kOff = 0, kAll = 1, kUser = 2 };

hdeps_mode read_mode()
{
    const char* value = ziv_getenv("ZIV_TRACE_HDEPS");
    if (value == nullptr) {
        return kOff;
    }
    if (strcmp(value, "m") == 0) {
        return kAll;
    }
    return strcmp(value, "mm") == 0 ? kUser : kOff;
}

// Characters of a make rule, from a buffer that is refilled from a stream
// or, for the library's own scratch file, straight from a descriptor (past
// the read interposers, which would take the file for the program's).
class rule_reader {
public:
    rule_reader(FILE* stream, char* buffer, int size, int pos, int len)
        : stream_(stream), buffer_(buffer), size_(size), pos_(pos), len_(len)
    {
    }
    rule_reader(int fd, char* buffer, int size) : fd_(fd), buffer_(buffer), size_(size), pos_(0), len_(0) {}

    // The next byte, or -1 at the end of the input (or of its budget).
    int peek()
    {
        if (pos_ >= len_ && !refill()) {
            return -1;
        }
        return static_cast<unsigned char>(buffer_[pos_]);
    }
    int get()
    {
        int c = peek();
        if (c >= 0) {
            ++pos_;
        }
        return c;
    }

private:
    bool refill()
    {
        if (size_ < 1 || read_ >= kMaxBytes) {
            return false;
        }
        size_t got = 0;
        if (stream_ != nullptr) {
            got = fread(buffer_, 1, static_cast<size_t>(size_), stream_);
        } else if (fd_ >= 0) {
            ssize_t n = ziv_sys_read_full(fd_, buffer_, static_cast<size_t>(size_));
            got = n > 0 ? static_cast<size_t>(n) : 0;
        }
        if (got == 0) {
            return false;
        }
        read_ += static_cast<long>(got);
        pos_ = 0;
        len_ = static_cast<int>(got);
        return true;
    }

    FILE* stream_ = nullptr;
    int fd_ = -1;
    char* buffer_;
    int size_;
    int pos_;
    int len_;
    long read_ = 0;
};

enum class token_end { name, rule_end };

bool is_blank(int c) { return c == ' ' || c == '\t' || c == '\r'; }

// Consumes a line end after a backslash ("\n" or "\r\n"); false when
// none follows.
bool skip_line_end(rule_reader& in)
{
    int c = in.peek();
    if (c == '\n') {
        in.get();
        return true;
    }
    if (c == '\r') {
        in.get();
        if (in.peek() == '\n') {
            in.get();
        }
        return true;
    }
    return false;
}

// Reads one file name of the rule into `name`, undoing make's quoting
// ("\ " blank, "\#" hash, "$$" dollar); a backslash at a line end continues
// the rule. `rule_end` when the rule ends before a name starts. An
// over-long name comes back empty.
token_end next_name(rule_reader& in, char* name)
{
    bool pending_backslash = false;
    for (;;) {
        int c = in.peek();
        if (c < 0 || c == '\n' || c == '\0') {
            return token_end::rule_end;
        }
        if (is_blank(c)) {
            in.get();
            continue;
        }
        if (c == '\\') {
            in.get();
            if (skip_line_end(in)) {
                continue;
            }
            pending_backslash = true;
        }
        break;
    }
    size_t len = 0;
    bool too_long = false;
    for (;;) {
        int d;
        if (pending_backslash) {
            d = '\\';
            pending_backslash = false;
        } else {
            d = in.peek();
            if (d < 0 || d == '\n' || d == '\0' || is_blank(d)) {
                break;
            }
            in.get();
        }
        if (d == '\\') {
            int e = in.peek();
            if (e == ' ' || e == '\t' || e == '#') {
                d = in.get();
            } else if (e < 0 || skip_line_end(in)) {
                break;  // the rule goes on on the next line, or was cut
            }
        } else if (d == '$' && in.peek() == '$') {
            in.get();
        }
        if (len + 1 < kNameSize) {
            name[len++] = static_cast<char>(d);
        } else {
            too_long = true;
        }
    }
    name[too_long ? 0 : len] = '\0';
    return token_end::name;
}

// Skips the rule's targets: true at the ":" that ends them (followed by a
// blank or the end of the line), false when there is none or the only
// target is "-".
bool skip_targets(rule_reader& in)
{
    bool only_dash = true;
    int length = 0;
    for (;;) {
        int c = in.get();
        if (c < 0 || c == '\n' || c == '\0') {
            return false;
        }
        if (c == '\\') {
            int next = in.get();
            if (next < 0) {
                return false;
            }
            only_dash = false;
            ++length;
            continue;
        }
        if (c == ':') {
            int next = in.peek();
            if (next < 0 || next == '\n' || is_blank(next)) {
                // A rule for "-" is what a compiler writes without a target.
                return !(only_dash && length == 1);
            }
        }
        if (!is_blank(c)) {
            only_dash = only_dash && c == '-';
            ++length;
        }
    }
}

// Which names a header list already holds: open addressing over the
// nodes, so that a rule of many thousand headers costs linear time.
class name_set {
public:
    ~name_set() { free(slots_); }
    name_set() = default;
    name_set(const name_set&) = delete;
    name_set& operator=(const name_set&) = delete;

    bool contains(const char* name) const
    {
        if (slots_ == nullptr) {
            return false;
        }
        for (size_t i = hash(name) & (capacity_ - 1);; i = (i + 1) & (capacity_ - 1)) {
            if (slots_[i] == nullptr) {
                return false;
            }
            if (strcmp(slots_[i]->name, name) == 0) {
                return true;
            }
        }
    }
    // False when memory runs out.
    bool add(const ziv_trace_file* node)
    {
        if ((count_ + 1) * 2 > capacity_ && !grow()) {
            return false;
        }
        place(slots_, capacity_, node);
        ++count_;
        return true;
    }

private:
    static size_t hash(const char* text)
    {
        size_t h = 1469598103934665603ULL;
        for (; *text != '\0'; ++text) {
            h = (h ^ static_cast<unsigned char>(*text)) * 1099511628211ULL;
        }
        return h;
    }
    static void place(const ziv_trace_file** slots, size_t capacity, const ziv_trace_file* node)
    {
        size_t i = hash(node->name) & (capacity - 1);
        while (slots[i] != nullptr) {
            i = (i + 1) & (capacity - 1);
        }
        slots[i] = node;
    }
    bool grow()
    {
        size_t capacity = capacity_ == 0 ? 64 : capacity_ * 2;
        auto** slots = static_cast<const ziv_trace_file**>(calloc(capacity, sizeof(ziv_trace_file*)));
        if (slots == nullptr) {
            return false;
        }
        for (size_t i = 0; i < capacity_; ++i) {
            if (slots_[i] != nullptr) {
                place(slots, capacity, slots_[i]);
            }
        }
        free(slots_);
        slots_ = slots;
        capacity_ = capacity;
        return true;
    }

    const ziv_trace_file** slots_ = nullptr;
    size_t capacity_ = 0;
    size_t count_ = 0;
};

// Header names up to the end of the rule, each once, in order.
ziv_trace_file* read_headers(rule_reader& in)
{
    ziv_block<char> name{static_cast<char*>(ziv_malloc_and_init(static_cast<int>(kNameSize)))};
    if (name.block == nullptr) {
        return nullptr;
    }
    ziv_trace_file* list = nullptr;
    ziv_trace_file** tail = &list;
    name_set seen;
    int count = 0;
    while (count < kMaxHeaders && next_name(in, name.block) == token_end::name) {
        if (name.block[0] == '\0' || seen.contains(name.block)) {
            continue;
        }
        ziv_trace_file* node = ziv_copy_trace_file(name.block);
        if (node == nullptr || !seen.add(node)) {
            ziv_free_trace_file(node);
            break;  // no memory: keep what was found
        }
        *tail = node;
        tail = &node->next;
        ++count;
    }
    return list;
}

// The source and headers of the first rule.
int read_rule(rule_reader& in, char** source, ziv_trace_file** headers)
{
    *source = nullptr;
    *headers = nullptr;
    ziv_block<char> name{static_cast<char*>(ziv_malloc_and_init(static_cast<int>(kNameSize)))};
    if (name.block == nullptr) {
        return -1;
    }
    if (!skip_targets(in) || next_name(in, name.block) != token_end::name || name.block[0] == '\0') {
        return -1;
    }
    *source = ziv_copy_string(name.block);
    if (*source == nullptr) {
        return -1;
    }
    *headers = read_headers(in);
    return 0;
}

// A scratch file this process created (exclusively) and removes again: a
// file of the same name that was already there is never touched.
class scratch_file {
public:
    explicit scratch_file(const char* name)
    {
        int fd = open(name, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY, 0600);
        if (fd >= 0) {
            close(fd);
            created_ = true;
            strcpy_s(name_, sizeof name_, name);
        }
    }
    ~scratch_file()
    {
        if (created_) {
            unlink(name_);
        }
    }
    scratch_file(const scratch_file&) = delete;
    scratch_file& operator=(const scratch_file&) = delete;
    bool created() const { return created_; }

private:
    char name_[kScratchNameSize] = {};
    bool created_ = false;
};

bool reads_stdin(int argc, char** argv)
{
    for (int i = 1; i < argc && argv[i] != nullptr; ++i) {
        if (strcmp(argv[i], "-") == 0 && strcmp(argv[i - 1], "-o") != 0) {
            return true;
        }
    }
    return false;
}

// Runs the compiler proper again with its output sent to the ".s" scratch
// file and its make rule to the ".d" one. Started without a shell and
// without this library; its own messages go nowhere, since the real run
// prints them. True when it ran and exited.
bool run_second_compiler(int argc, char** argv, hdeps_mode mode, char* s_name, char* d_name)
{
    // argv, the four options, the terminator.
    ziv_block<char*> args{static_cast<char**>(ziv_malloc_and_init(static_cast<int>((argc + 5) * sizeof(char*))))};
    ziv_env_without_library env(true);
    if (args.block == nullptr || env.get() == nullptr) {
        return false;
    }
    int k = 0;
    for (int i = 0; i < argc && argv[i] != nullptr; ++i) {
        bool replaced = i > 0 && strcmp(argv[i - 1], "-o") == 0;
        args.block[k++] = replaced ? s_name : argv[i];
    }
    // Preprocessing is enough for the rule; compiling again would double
    // the work and rewrite side files (stack usage, notes, dumps).
    static char opt_e[] = "-E";
    static char opt_m[] = "-M";
    static char opt_mm[] = "-MM";
    static char opt_mf[] = "-MF";
    args.block[k++] = opt_e;
    args.block[k++] = mode == kAll ? opt_m : opt_mm;
    args.block[k++] = opt_mf;
    args.block[k++] = d_name;
    args.block[k] = nullptr;

    posix_spawn_file_actions_t actions;
    if (posix_spawn_file_actions_init(&actions) != 0) {
        return false;
    }
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    pid_t child = -1;
    // A path, never a PATH search: the driver starts its compiler by path.
    int err = ziv_libc_posix_spawn(&child, argv[0], &actions, nullptr, args.block, env.get());
    posix_spawn_file_actions_destroy(&actions);
    if (err != 0) {
        return false;
    }
    ziv_wait_child(child);
    return true;
}

void record_headers(const char* source, ziv_trace_file* headers)
{
    int pwd_id = ziv_db_get_pwd_id();
    char digest[ZIV_SHA256_BUF_SIZE] = {};
    if (ziv_get_sha256sum(source, digest, sizeof digest) != 0 || digest[0] == '\0') {
        return;
    }
    ziv_record_source_heads(pwd_id, source, digest, headers, true);
}

}  // namespace

int ziv_record_source_heads(int pwd_id, const char* source, const char* source_digest, ziv_trace_file* headers,
                            bool grouped)
{
    int source_id = ziv_get_obj_id_by_checksum(source, source_digest, pwd_id, "source_file_table");
    if (source_id < 1) {
        ziv_insert_source_file(0, pwd_id, source, source_digest);
        source_id = ziv_get_obj_id_by_checksum(source, source_digest, pwd_id, "source_file_table");
    }
    if (source_id < 1) {
        return source_id;
    }
    int to_insert = ziv_prepare_head_file(pwd_id, headers);
    if (to_insert != 0) {
        ziv_db_group group(grouped && to_insert > 1);
        ziv_insert_head_file(pwd_id, headers);
    }
    int known = ziv_update_head_id(pwd_id, headers);
    if (known != 0) {
        ziv_db_group group(grouped && known > 1);
        ziv_insert_head_depend_table(source_id, headers);
    }
    return source_id;
}

int ziv_read_hdep_file(FILE* stream, char** source, ziv_trace_file** headers)
{
    if (stream == nullptr || source == nullptr || headers == nullptr) {
        return -1;
    }
    ziv_block<char> buffer{static_cast<char*>(ziv_malloc_and_init(kLineSize))};
    if (buffer.block == nullptr) {
        *source = nullptr;
        *headers = nullptr;
        return -1;
    }
    rule_reader in(stream, buffer.block, kLineSize, 0, 0);
    return read_rule(in, source, headers);
}

extern "C" {

ZIV_EXPORT ziv_trace_file* ziv_get_hdep_input(FILE* stream, char* buffer, int size, int offset)
{
    if (buffer == nullptr || size < 1 || offset < 0 || offset >= size) {
        return nullptr;
    }
    int len = static_cast<int>(strnlen(buffer, static_cast<size_t>(size)));
    rule_reader in(stream, buffer, size, offset < len ? offset : len, len);
    return read_headers(in);
}

ZIV_EXPORT void ziv_trace_hfile(int argc, char** argv)
{
    ziv_errno_guard keep_errno;
    if (argv == nullptr || argc < 1 || argv[0] == nullptr || reads_stdin(argc, argv)) {
        return;
    }
    hdeps_mode mode = read_mode();
    if (mode == kOff) {
        return;
    }
    char s_name[kScratchNameSize];
    char d_name[kScratchNameSize];
    int pid = static_cast<int>(ziv_libc_getpid());
    if (sprintf_s(s_name, sizeof s_name, "ziv_trace%d.s", pid) < 0 ||
        sprintf_s(d_name, sizeof d_name, "ziv_trace%d.d", pid) < 0) {
        ZIV_LOG_FAILED("sprintf_s", -1);
        return;
    }
    char* source = nullptr;
    ziv_trace_file* headers = nullptr;
    {
        scratch_file s_file(s_name);
        scratch_file d_file(d_name);
        if (!s_file.created() || !d_file.created() || !run_second_compiler(argc, argv, mode, s_name, d_name)) {
            return;
        }
        ziv_fd_closer rule{open(d_name, O_RDONLY | O_CLOEXEC | O_NOCTTY)};
        ziv_block<char> buffer{static_cast<char*>(ziv_malloc_and_init(kLineSize))};
        if (rule.fd < 0 || buffer.block == nullptr) {
            return;
        }
        rule_reader in(rule.fd, buffer.block, kLineSize);
        read_rule(in, &source, &headers);
    }  // both scratch files removed here
    if (source != nullptr && headers != nullptr) {
        record_headers(source, headers);
    }
    ziv_free_trace_file(headers);
    free(source);
}

}  // extern "C"
