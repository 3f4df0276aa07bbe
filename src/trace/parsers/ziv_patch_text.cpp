// File headers of unified and context diffs, from memory or from a file
// read in bounded chunks.
#include <cstdlib>
#include <cstring>

#include "ziv_patch_text.h"
#include "ziv_sysio.h"

namespace {

bool starts(const char* text, size_t length, const char* prefix)
{
    size_t n = strlen(prefix);
    return length >= n && memcmp(text, prefix, n) == 0;
}

// "N" or "N,M" at `text`; the count (M, or 1 without it) in *count. The
// position after the numbers, or null.
const char* hunk_range(const char* text, const char* end, long* count)
{
    auto number = [&](long* value) {
        const char* start = text;
        *value = 0;
        while (text < end && *text >= '0' && *text <= '9') {
            // Beyond any real file; keeps the arithmetic in range.
            *value = *value < 100000000 ? *value * 10 + (*text - '0') : *value;
            ++text;
        }
        return text > start;
    };
    long first = 0;
    if (!number(&first)) {
        return nullptr;
    }
    *count = 1;
    if (text < end && *text == ',') {
        ++text;
        if (!number(count)) {
            return nullptr;
        }
    }
    return text;
}

// A range line of a context hunk: "*** 1,5 ****" or "--- 1,5 ----".
bool context_range(const char* text, size_t length, char mark)
{
    const char* end = text + length;
    long count = 0;
    const char* after = hunk_range(text + 4, end, &count);
    if (after == nullptr || after + 5 > end || *after != ' ') {
        return false;
    }
    for (int i = 1; i <= 4; ++i) {
        if (after[i] != mark) {
            return false;
        }
    }
    return true;
}

// Counts the headers on their way to the caller's callback.
struct header_counter {
    ziv_patch_header_fn inner;
    void* context;
    int found = 0;

    static int seen(void* self, const char* old_name, const char* new_name)
    {
        auto* c = static_cast<header_counter*>(self);
        ++c->found;
        return c->inner != nullptr ? c->inner(c->context, old_name, new_name) : 0;
    }
};

int octal(char c) { return c >= '0' && c <= '7' ? c - '0' : -1; }

}  // namespace

bool ziv_patch_header_name(const char* text, size_t length, char* out, size_t size)
{
    if (text == nullptr || out == nullptr || size == 0) {
        return false;
    }
    out[0] = '\0';
    const char* end = text + length;
    while (text < end && *text == ' ') {
        ++text;
    }
    size_t n = 0;
    auto put = [&](char c) {
        if (n + 1 >= size) {
            return false;
        }
        out[n++] = c;
        return true;
    };
    if (text < end && *text == '"') {
        // A quoted name, escapes as C writes them (git, diff --quoting).
        bool closed = false;
        for (++text; text < end; ++text) {
            char c = *text;
            if (c == '"') {
                closed = true;
                break;
            }
            if (c == '\\') {
                if (++text >= end) {
                    return false;
                }
                static constexpr char kFrom[] = "abfnrtv\\\"";
                static constexpr char kTo[] = "\a\b\f\n\r\t\v\\\"";
                const char* known = strchr(kFrom, *text);
                if (known != nullptr && *text != '\0') {
                    c = kTo[known - kFrom];
                } else if (octal(*text) >= 0) {
                    int value = 0;
                    for (int digits = 0; digits < 3 && text < end && octal(*text) >= 0; ++digits, ++text) {
                        value = value * 8 + octal(*text);
                    }
                    --text;
                    c = static_cast<char>(value);
                } else {
                    return false;
                }
            }
            if (c == '\0' || !put(c)) {
                return false;
            }
        }
        if (!closed) {
            return false;
        }
    } else {
        // A tab separates a name holding blanks from its time stamp;
        // without a tab the name ends at the first blank.
        const char* tab = static_cast<const char*>(memchr(text, '\t', static_cast<size_t>(end - text)));
        for (; text < end; ++text) {
            char c = *text;
            if (c == '\0' || c == '\r' || c == '\n' || c == '\t' || (tab == nullptr && c == ' ')) {
                break;
            }
            if (!put(c)) {
                return false;
            }
        }
        // Blanks before the tab belong to no real name's end.
        while (tab != nullptr && n > 0 && out[n - 1] == ' ') {
            --n;
        }
    }
    out[n] = '\0';
    return n > 0 && strncmp(out, "/dev/null", 9) != 0;
}

void ziv_patch_scanner::header(const char* old_name, const char* new_name)
{
    if (on_header_ != nullptr && on_header_(context_, old_name, new_name) != 0) {
        stopped_ = true;
    }
}

// Inside a unified hunk each line is counted against the old and the new
// side; a line that fits neither ends the hunk early (a malformed patch).
bool ziv_patch_scanner::in_hunk(const char* text, size_t length)
{
    if (old_left_ <= 0 && new_left_ <= 0) {
        return false;
    }
    char kind = length == 0 ? ' ' : text[0];
    if (kind == '\\') {
        return true;  // "\ No newline at end of file"
    }
    if (kind == ' ' && old_left_ > 0 && new_left_ > 0) {
        --old_left_;
        --new_left_;
        return true;
    }
    if (kind == '-' && old_left_ > 0) {
        --old_left_;
        return true;
    }
    if (kind == '+' && new_left_ > 0) {
        --new_left_;
        return true;
    }
    old_left_ = new_left_ = 0;
    return false;
}

bool ziv_patch_scanner::line(const char* text, size_t length)
{
    if (stopped_ || text == nullptr) {
        return !stopped_;
    }
    if (length > ZIV_PATCH_LINE_MAX) {
        length = ZIV_PATCH_LINE_MAX;
    }
    if (length > 0 && text[length - 1] == '\r') {
        --length;
    }
    if (in_hunk(text, length)) {
        pending_ = pending::none;
        return true;
    }
    pending last = pending_;
    pending_ = pending::none;
    if (starts(text, length, "@@ -")) {
        const char* end = text + length;
        long old_count = 0;
        long new_count = 0;
        const char* at = hunk_range(text + 4, end, &old_count);
        if (at != nullptr && at + 2 < end && at[0] == ' ' && at[1] == '+' &&
            hunk_range(at + 2, end, &new_count) != nullptr) {
            old_left_ = old_count;
            new_left_ = new_count;
        }
        return true;
    }
    bool named = false;
    if (starts(text, length, "+++ ") && last == pending::unified_old) {
        named = ziv_patch_header_name(text + 4, length - 4, name_, sizeof name_);
        header(pending_named_ ? pending_name_ : nullptr, named ? name_ : nullptr);
    } else if (starts(text, length, "--- ") && !context_range(text, length, '-')) {
        named = ziv_patch_header_name(text + 4, length - 4, name_, sizeof name_);
        if (last == pending::context_old) {
            header(pending_named_ ? pending_name_ : nullptr, named ? name_ : nullptr);
        } else {
            // Perhaps the old name of a unified diff: "+++ " must follow.
            memcpy(pending_name_, name_, sizeof name_);
            pending_named_ = named;
            pending_ = pending::unified_old;
        }
    } else if (starts(text, length, "*** ") && !context_range(text, length, '*')) {
        pending_named_ = ziv_patch_header_name(text + 4, length - 4, pending_name_, sizeof pending_name_);
        pending_ = pending::context_old;
    }
    return !stopped_;
}

int ziv_scan_patch_text(const char* data, size_t length, ziv_patch_header_fn on_header, void* context)
{
    header_counter count{on_header, context};
    ziv_patch_scanner scanner(header_counter::seen, &count);
    for (size_t at = 0; data != nullptr && at < length && !scanner.stopped();) {
        const void* lf = memchr(data + at, '\n', length - at);
        size_t end = lf != nullptr ? static_cast<size_t>(static_cast<const char*>(lf) - data) : length;
        scanner.line(data + at, end - at);
        at = end + 1;
    }
    return count.found;
}

int ziv_scan_patch_fd(int fd, off_t limit, ziv_patch_header_fn on_header, void* context)
{
    // One chunk holds several long lines; a line longer than a chunk is
    // cut to what the scanner looks at and its rest skipped.
    constexpr size_t kChunk = 4 * ZIV_PATCH_LINE_MAX;
    ziv_block<char> buffer{static_cast<char*>(malloc(kChunk))};
    if (buffer.block == nullptr || fd < 0 || limit < 0) {
        return -1;
    }
    header_counter count{on_header, context};
    ziv_patch_scanner scanner(header_counter::seen, &count);
    off_t offset = 0;
    size_t held = 0;       // bytes of an unfinished line at the start of the buffer
    bool skipping = false;  // inside the rest of an over-long line
    while (offset < limit && !scanner.stopped()) {
        size_t want = kChunk - held;
        if (static_cast<off_t>(want) > limit - offset) {
            want = static_cast<size_t>(limit - offset);
        }
        ssize_t got = ziv_sys_read_full(fd, buffer.block + held, want, offset);
        if (got < 0) {
            return offset == 0 ? -1 : count.found;
        }
        if (got == 0) {
            break;
        }
        offset += got;
        size_t filled = held + static_cast<size_t>(got);
        size_t at = 0;
        while (at < filled && !scanner.stopped()) {
            const void* lf = memchr(buffer.block + at, '\n', filled - at);
            if (lf == nullptr) {
                break;
            }
            size_t end = static_cast<size_t>(static_cast<const char*>(lf) - buffer.block);
            if (!skipping) {
                scanner.line(buffer.block + at, end - at);
            }
            skipping = false;
            at = end + 1;
        }
        held = filled - at;
        if (held >= ZIV_PATCH_LINE_MAX && !skipping) {
            // An over-long line: what the scanner looks at, then its rest.
            scanner.line(buffer.block + at, held);
            skipping = true;
        }
        if (skipping) {
            held = 0;
        } else {
            memmove(buffer.block, buffer.block + at, held);
        }
    }
    if (held > 0 && !skipping && !scanner.stopped()) {
        scanner.line(buffer.block, held);  // the last line needs no line feed
    }
    return count.found;
}
