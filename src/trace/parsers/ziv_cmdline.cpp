// Argument vectors, response files and the generic command-line scanner.
// Vectors made here own their strings and end with a null entry; the traced
// process's own argv is only ever read.
#include <climits>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

#include "ziv_bounded.h"
#include "ziv_cmdline.h"
#include "ziv_file_util.h"
#include "ziv_sysio.h"
#include "ziv_trace.h"

namespace {

constexpr int ZIV_RESPONSE_FIRST_CAPACITY = 8;
constexpr char ZIV_VIA_PREFIX[] = "--via=";
constexpr size_t ZIV_VIA_PREFIX_LEN = sizeof ZIV_VIA_PREFIX - 1;
// The largest response file read: link lines of tens of thousands of objects
// stay far below it, and a runaway file costs the process no more memory.
constexpr size_t ZIV_RESPONSE_MAX_SIZE = 64u << 20;

// Zero-filled array of `slots` pointers; null when it would not fit the
// allocator's int size or memory runs out.
char** new_vector(int slots)
{
    if (slots < 1 || static_cast<size_t>(slots) > static_cast<size_t>(INT_MAX) / sizeof(char*)) {
        return nullptr;
    }
    return static_cast<char**>(ziv_malloc_and_init(slots * static_cast<int>(sizeof(char*))));
}

void free_vector(char** vec)
{
    ziv_freeargv(vec);
    free(vec);
}

bool is_option(const char* arg) { return arg[0] == '-'; }

// "--via=name" -> "@name", in place (the result is shorter).
bool rewrite_via(char* arg)
{
    const char* name = arg + ZIV_VIA_PREFIX_LEN;
    size_t size = strlen(name) + 1;
    arg[0] = '@';
    return memmove_s(arg + 1, strlen(arg), name, size) == EOK;
}

// The words of response file `name` merged after the first `*kept` entries
// of `vec`; null (count unchanged) when the file gives no word.
char** merge_response_file(const char* name, char** vec, int* kept, int capacity, int* added)
{
    size_t size = 0;
    ziv_block<char> text{ziv_read_bounded_file(name, ZIV_RESPONSE_MAX_SIZE, &size)};
    if (text.block == nullptr) {
        return nullptr;
    }
    int n = 0;
    ziv_block<char*> words{ziv_buildargv(text.block, &n)};
    if (words.block == nullptr || n < 1 || n > INT_MAX - capacity - 1) {
        return nullptr;
    }
    char** merged = ziv_append_file_argv(capacity + n + 1, vec, kept, n, words.block);
    if (merged != nullptr) {
        *added = n;
    }
    return merged;
}

// Inputs of the line: each non-option argument that is an input, values of
// options excluded; `paired` records them as files edited in place.
void collect_inputs(int argc, char** argv, const ziv_cmdline_desc* desc, ziv_trace_info* info)
{
    for (int i = 1; i < argc; ++i) {
        const char* arg = argv[i];
        if (arg == nullptr) {
            break;
        }
        if (desc->takes_value != nullptr && desc->takes_value(arg) == 1) {
            ++i;
            continue;
        }
        if (is_option(arg)) {
            continue;
        }
        bool input = desc->is_input != nullptr ? desc->is_input(arg) == 1 : ziv_check_input_valid(arg) == 1;
        if (!input) {
            continue;
        }
        if (desc->paired != 0) {
            ziv_append_trace_paired_file(arg, arg, &info->paired);
            info->flags |= ZIV_TRACE_IN_PLACE;
        } else {
            ziv_append_trace_file(&info->inputs, arg);
        }
    }
}

}  // namespace

extern "C" {

ZIV_EXPORT int ziv_is_response_arg(const char* arg)
{
    return arg != nullptr && (arg[0] == '@' || strncmp(arg, ZIV_VIA_PREFIX, ZIV_VIA_PREFIX_LEN) == 0) ? 1 : 0;
}

ZIV_EXPORT void ziv_normalize_response_text(char* text)
{
    if (text == nullptr) {
        return;
    }
    char* out = text;
    for (const char* in = text; *in != '\0'; ++in) {
        char c = *in;
        if (c == '\\') {
            continue;  // escapes nothing, simply dropped
        }
        if (c == '\r' || c == '\t' || c == '\n') {
            c = ' ';
        }
        *out++ = c;
    }
    *out = '\0';
}

ZIV_EXPORT void ziv_freeargv(char** argv)
{
    if (argv == nullptr) {
        return;
    }
    for (char** slot = argv; *slot != nullptr; ++slot) {
        free(*slot);
        *slot = nullptr;
    }
}

ZIV_EXPORT char** ziv_realloc_argv(int count, char** old, int capacity)
{
    if (count < 0 || count > capacity || (count > 0 && old == nullptr)) {
        return nullptr;
    }
    char** vec = new_vector(capacity);
    if (vec == nullptr) {
        return nullptr;
    }
    for (int i = 0; i < count; ++i) {
        vec[i] = old[i];
    }
    return vec;
}

ZIV_EXPORT char** ziv_buildargv(char* text, int* count)
{
    if (text == nullptr || count == nullptr) {
        return nullptr;
    }
    // Split the way gcc, ld, ar and the other GNU tools split the file they
    // are given, so the recorded line is the one the tool ran: blanks of any
    // kind separate words, quotes group (and may sit inside a word), and a
    // backslash takes the next byte as it is, within quotes too. The words
    // are written back over the text, which they never outgrow.
    int capacity = ZIV_RESPONSE_FIRST_CAPACITY;
    char** words = new_vector(capacity);
    if (words == nullptr) {
        return nullptr;
    }
    auto blank = [](char c) { return c == ' ' || (c >= '\t' && c <= '\r'); };
    int n = 0;
    const char* in = text;
    char* out = text;
    for (;;) {
        while (blank(*in)) {
            ++in;
        }
        if (*in == '\0') {
            break;
        }
        if (n >= capacity - 1) {
            char** bigger = capacity <= INT_MAX / 2 ? ziv_realloc_argv(n, words, capacity * 2) : nullptr;
            free(words);
            if (bigger == nullptr) {
                *count = 0;
                return nullptr;
            }
            words = bigger;
            capacity *= 2;
        }
        char* word = out;
        char quote = '\0';
        for (; *in != '\0' && (quote != '\0' || !blank(*in)); ++in) {
            if (*in == '\\' && in[1] != '\0') {
                *out++ = *++in;
            } else if (*in == '\\') {
                // A lone backslash at the very end escapes nothing.
            } else if (quote != '\0' && *in == quote) {
                quote = '\0';
            } else if (quote == '\0' && (*in == '\'' || *in == '"')) {
                quote = *in;
            } else {
                *out++ = *in;
            }
        }
        // The separator just read lies at or after `out`, so the word can end
        // here without losing a byte still to be read.
        const bool more = *in != '\0';
        if (more) {
            ++in;
        }
        *out++ = '\0';
        words[n++] = word;
        if (!more) {
            break;
        }
    }
    if (n == 0) {
        free(words);
        *count = 0;
        return nullptr;
    }
    *count = n;
    return words;
}

ZIV_EXPORT char** ziv_append_file_argv(int capacity, char** base, int* count, int n, char** words)
{
    if (base == nullptr || words == nullptr || count == nullptr || *count < 0 || n < 0 ||
        *count > INT_MAX - n - 1 || capacity < *count + n + 1) {
        return nullptr;
    }
    char** vec = new_vector(capacity);
    if (vec == nullptr) {
        return nullptr;
    }
    int filled = 0;
    for (int i = 0; i < *count + n; ++i) {
        const char* from = i < *count ? base[i] : words[i - *count];
        vec[filled] = ziv_copy_string(from);
        if (vec[filled] == nullptr) {
            free_vector(vec);
            return nullptr;
        }
        ++filled;
    }
    *count += n;
    return vec;
}

ZIV_EXPORT char** ziv_expand_argv(int argc, char** argv, int* count)
{
    ziv_errno_guard keep_errno;
    if (argv == nullptr || count == nullptr || argc < 2) {
        return argv;
    }
    bool any = false;
    for (int i = 1; i < argc && !any; ++i) {
        any = ziv_is_response_arg(argv[i]) != 0;
    }
    if (!any || argc > INT_MAX - 1) {
        return argv;
    }
    int capacity = argc + 1;
    char** vec = new_vector(capacity);
    if (vec == nullptr) {
        return argv;
    }
    int kept = 0;
    int expanded = 0;
    bool failed = false;
    for (int i = 0; i < argc; ++i) {
        char* copy = ziv_copy_string(argv[i]);
        if (copy == nullptr) {
            failed = true;
            break;
        }
        vec[kept] = copy;
        // The program name is never a response file, whatever it looks like.
        if (i == 0 || ziv_is_response_arg(copy) == 0) {
            ++kept;
            continue;
        }
        if (copy[0] != '@' && !rewrite_via(copy)) {
            failed = true;
            break;
        }
        int added = 0;
        char** merged = merge_response_file(copy + 1, vec, &kept, capacity, &added);
        if (merged == nullptr) {
            // Unusable response file: the argument is dropped.
            free(copy);
            vec[kept] = nullptr;
            continue;
        }
        free_vector(vec);
        vec = merged;
        capacity += added + 1;
        ++expanded;
    }
    if (expanded == 0 || failed) {
        free_vector(vec);
        *count = argc;
        return argv;
    }
    *count = kept;
    return vec;
}

ZIV_EXPORT const char* ziv_get_cmdline_out(int argc, char** argv, const ziv_cmdline_desc* desc)
{
    if (argv == nullptr || desc == nullptr) {
        return nullptr;
    }
    const char* out = nullptr;
    for (int i = 1; i < argc; ++i) {
        const char* arg = argv[i];
        if (arg == nullptr) {
            break;
        }
        if (!is_option(arg)) {
            continue;
        }
        if (desc->is_out_opt != nullptr && desc->is_out_opt(arg)) {
            if (i + 1 < argc && argv[i + 1] != nullptr) {
                out = argv[i + 1];
            }
            ++i;
            continue;
        }
        if (desc->out_from_opt != nullptr) {
            const char* inside = desc->out_from_opt(arg);
            if (inside != nullptr) {
                out = inside;
            }
        }
    }
    return out;
}

ZIV_EXPORT void ziv_get_cmdline_input(int argc, char** argv, const ziv_cmdline_desc* desc)
{
    if (argv == nullptr || desc == nullptr || desc->cmd == nullptr || desc->cmd->info == nullptr) {
        return;
    }
    collect_inputs(argc, argv, desc, desc->cmd->info);
}

ZIV_EXPORT int ziv_parse_cmdline(int argc, char** argv, const ziv_cmdline_desc* desc)
{
    ziv_errno_guard keep_errno;
    if (argv == nullptr || desc == nullptr || desc->cmd == nullptr) {
        return 0;
    }
    if (desc->paired == 0) {
        const char* out = ziv_get_cmdline_out(argc, argv, desc);
        if (out == nullptr || strcmp(out, "-") == 0 || strcmp(out, "/dev/null") == 0) {
            return 0;
        }
        if (ziv_init_trace_info(out, desc->cmd) != 0) {
            return 0;
        }
    } else if (ziv_init_trace_info(nullptr, desc->cmd) != 0) {
        return 0;
    }
    ziv_get_cmdline_input(argc, argv, desc);
    return 0;
}

ZIV_EXPORT const char* ziv_get_cmdline_filename(int argc, char** argv, const char* option, const char* prefix)
{
    if (argv == nullptr) {
        return nullptr;
    }
    size_t prefix_len = prefix != nullptr ? strlen(prefix) : 0;
    for (int i = 1; i < argc; ++i) {
        const char* arg = argv[i];
        if (arg == nullptr) {
            break;
        }
        if ((option != nullptr && strcmp(arg, option) == 0) || (prefix != nullptr && strcmp(arg, prefix) == 0)) {
            return i + 1 < argc ? argv[i + 1] : nullptr;
        }
        if (prefix != nullptr && strncmp(arg, prefix, prefix_len) == 0) {
            return arg + prefix_len;
        }
    }
    return nullptr;
}

ZIV_EXPORT const char* ziv_get_cmdline_single_input(int argc, char** argv, ziv_arg_pred_fn takes_value)
{
    ziv_errno_guard keep_errno;
    if (argv == nullptr) {
        return nullptr;
    }
    const char* candidate = nullptr;
    for (int i = 1; i < argc; ++i) {
        const char* arg = argv[i];
        if (arg == nullptr) {
            break;
        }
        if (takes_value != nullptr && takes_value(arg) == 1) {
            ++i;
            continue;
        }
        if (!is_option(arg) && ziv_check_input_valid(arg) == 1) {
            candidate = arg;
        }
    }
    return candidate;
}

ZIV_EXPORT int ziv_parse_single_in2out_cmd(const char* in_name, const char* out_name, ziv_trace_cmd* cmd)
{
    ziv_errno_guard keep_errno;
    if (in_name == nullptr || out_name == nullptr || ziv_init_trace_info(nullptr, cmd) != 0) {
        return 0;
    }
    ziv_append_trace_paired_file(in_name, out_name, &cmd->info->paired);
    if (strcmp(in_name, out_name) == 0) {
        cmd->info->flags |= ZIV_TRACE_IN_PLACE;
    }
    return 0;
}

ZIV_EXPORT int ziv_parse_simple_paired_cmd(int argc, char** argv, ziv_trace_cmd* cmd)
{
    ziv_errno_guard keep_errno;
    if (ziv_init_trace_info(nullptr, cmd) != 0) {
        return 0;
    }
    for (int i = 1; argv != nullptr && i < argc; ++i) {
        const char* arg = argv[i];
        if (arg == nullptr) {
            break;
        }
        if (arg[0] != '-' && arg[0] != '@' && access(arg, R_OK) == 0) {
            ziv_append_trace_paired_file(arg, arg, &cmd->info->paired);
        }
    }
    cmd->info->flags |= ZIV_TRACE_IN_PLACE;
    return 0;
}

}  // extern "C"
