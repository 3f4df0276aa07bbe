// The IAR command file as text: which of its bytes are arguments, the
// command line rebuilt from them, and its words. Pure and in memory; the
// parsers read the file and keep the result.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "ziv_bounded.h"
#include "ziv_file_util.h"
#include "ziv_parsers_arm.h"
#include "ziv_sysio.h"

namespace {

// Three leading bytes and a final one frame the arguments.
constexpr size_t kLeadBytes = 3;
constexpr size_t kFrameBytes = kLeadBytes + 1;

// One word of a line: [start, end) and where the next search begins.
struct iar_word {
    const char* start;
    const char* end;
    const char* next;
};

// Blanks separate words. A word in double quotes ends at a quote followed
// by a blank or the end of the line, so a quoted name may hold blanks and
// quotes; an unclosed quote ends at the next blank like a plain word.
bool next_word(const char* at, iar_word* word)
{
    while (*at == ' ') {
        ++at;
    }
    if (*at == '\0') {
        return false;
    }
    if (*at == '"') {
        const char* inner = at + 1;
        for (const char* quote = strchr(inner, '"'); quote != nullptr; quote = strchr(quote + 1, '"')) {
            if (quote[1] == ' ' || quote[1] == '\0') {
                *word = {inner, quote, quote + 1};
                return true;
            }
        }
        at = inner;
    }
    const char* end = strchrnul(at, ' ');
    *word = {at, end, *end == '\0' ? end : end + 1};
    return true;
}

bool word_is(const iar_word& word, const char* text)
{
    size_t length = strlen(text);
    return static_cast<size_t>(word.end - word.start) == length && memcmp(word.start, text, length) == 0;
}

char* copy_range(const char* start, const char* end)
{
    size_t length = static_cast<size_t>(end - start);
    if (length >= ZIV_SECUREC_MAX) {
        return nullptr;
    }
    char* copy = static_cast<char*>(ziv_malloc_and_init(static_cast<int>(length) + 1));
    if (copy != nullptr) {
        memcpy(copy, start, length);
    }
    return copy;
}

bool is_c_source(const iar_word& word)
{
    ziv_block<char> name{copy_range(word.start, word.end)};
    return name.block != nullptr && ziv_input_file_type(name.block) == ZIV_FILE_C_SOURCE;
}

// The pieces of a new text, joined into one allocation.
struct text_piece {
    const char* data;
    size_t length;
};

template <size_t N>
char* join(const text_piece (&pieces)[N])
{
    size_t total = 1;
    for (const text_piece& p : pieces) {
        if (p.length >= ZIV_SECUREC_MAX - total) {
            return nullptr;
        }
        total += p.length;
    }
    char* text = static_cast<char*>(ziv_malloc_and_init(static_cast<int>(total)));
    if (text == nullptr) {
        return nullptr;
    }
    size_t at = 0;
    for (const text_piece& p : pieces) {
        memcpy(text + at, p.data, p.length);
        at += p.length;
    }
    return text;
}

text_piece piece(const char* text) { return {text, strlen(text)}; }

}  // namespace

char* ziv_iar_file_arguments(const char* content, size_t size, size_t* length)
{
    if (content == nullptr || size < kFrameBytes) {
        return nullptr;
    }
    const char* arguments = content + kLeadBytes;
    size_t count = size - kFrameBytes;
    // A NUL would cut the command short in every later step: such a file is
    // no command file.
    if (memchr(arguments, '\0', count) != nullptr) {
        return nullptr;
    }
    char* text = copy_range(arguments, arguments + count);
    if (text != nullptr && length != nullptr) {
        *length = count;
    }
    return text;
}

char* ziv_iar_rebuild_line(const char* prefix, const char* arguments, bool complete_object)
{
    if (prefix == nullptr || arguments == nullptr) {
        return nullptr;
    }
    if (!complete_object) {
        return join({piece(prefix), piece(arguments)});
    }
    // The compiler is given the object directory after "-o"; the object in
    // it is named after the source, and that file is what the line makes.
    iar_word source{};
    iar_word output{};
    bool have_source = false;
    enum { before_o, after_o, done } out_state = before_o;
    iar_word word{};
    for (const char* at = arguments; next_word(at, &word); at = word.next) {
        if (!have_source && is_c_source(word)) {
            source = word;
            have_source = true;
        }
        if (out_state == after_o) {
            output = word;
            out_state = done;
        } else if (out_state == before_o && word_is(word, "-o")) {
            out_state = after_o;
        }
    }
    if (out_state != done || output.end == output.start) {
        return nullptr;
    }
    size_t out_length = static_cast<size_t>(output.end - output.start);
    if (out_length >= 2 && memcmp(output.end - 2, ".o", 2) == 0) {
        return join({piece(prefix), piece(arguments)});
    }
    if (!have_source) {
        return nullptr;
    }
    // main.c, main.cpp -> main.o, in the directory named after "-o".
    const char* base = source.start;
    for (const char* c = source.start; c < source.end; ++c) {
        if (*c == '/') {
            base = c + 1;
        }
    }
    const char* dot = nullptr;
    for (const char* c = base; c < source.end; ++c) {
        if (*c == '.') {
            dot = c;
        }
    }
    if (dot == nullptr) {
        return nullptr;
    }
    size_t split = static_cast<size_t>(output.end - arguments);
    const char* separator = output.end[-1] == '/' ? "" : "/";
    return join({piece(prefix), {arguments, split}, piece(separator), {base, static_cast<size_t>(dot - base)},
                 piece(".o"), piece(arguments + split)});
}

char** ziv_iar_split_line(char* line, int* count)
{
    if (count != nullptr) {
        *count = 0;
    }
    if (line == nullptr || count == nullptr) {
        return nullptr;
    }
    // At most one word per blank, plus one.
    size_t slots = 2;
    for (const char* c = line; *c != '\0'; ++c) {
        slots += *c == ' ' ? 1 : 0;
    }
    if (slots > static_cast<size_t>(INT32_MAX) / sizeof(char*)) {
        return nullptr;
    }
    auto** words = static_cast<char**>(ziv_malloc_and_init(static_cast<int>(slots * sizeof(char*))));
    if (words == nullptr) {
        return nullptr;
    }
    int n = 0;
    iar_word word{};
    for (const char* at = line; next_word(at, &word); at = word.next) {
        char* start = line + (word.start - line);
        start[word.end - word.start] = '\0';
        words[n++] = start;
    }
    if (n == 0) {
        free(words);
        return nullptr;
    }
    *count = n;
    return words;
}
