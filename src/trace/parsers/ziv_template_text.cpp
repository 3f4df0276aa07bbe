// The template file as text: its lines, section headers and "key=value"
// lines, and the option lists they give. Pure and in memory; the file is
// read and the lists used on the tracing side.
#include <cstdlib>
#include <cstring>

#include "ziv_bounded.h"
#include "ziv_file_util.h"
#include "ziv_template.h"

namespace {

constexpr const char* kKeys[ZIV_TEMPLATE_KEY_COUNT] = {
    "parent_process", "output_short_args", "output_long_args", "input_short_args", "input_long_args", "ignore_args",
};

// Trimmed lines shorter than this, and comments, say nothing.
constexpr size_t kShortestLine = 3;

bool says_nothing(const char* line) { return strlen(line) < kShortestLine || line[0] == '#'; }

// "[name]": the name inside, or null for any other line.
bool header_name(const char* line, const char** name, size_t* length)
{
    size_t n = strlen(line);
    if (says_nothing(line) || line[0] != '[' || line[n - 1] != ']') {
        return false;
    }
    *name = line + 1;
    *length = n - 2;
    return true;
}

void free_list(ziv_template_list* list)
{
    for (int i = 0; i < list->count && list->items != nullptr; ++i) {
        free(list->items[i]);
    }
    free(list->items);
    list->items = nullptr;
    list->count = 0;
}

// A value's words as a list of copies; false (list untouched) when there
// is no word or memory runs out.
bool split_words(const char* value, ziv_template_list* list)
{
    int count = 0;
    for (const char* c = value + strspn(value, " "); *c != '\0'; c += strspn(c, " ")) {
        ++count;
        c += strcspn(c, " ");
    }
    // A line holds at most a few hundred words.
    auto** items = static_cast<char**>(ziv_malloc_and_init(count * static_cast<int>(sizeof(char*))));
    if (items == nullptr) {
        return false;
    }
    int n = 0;
    for (const char* c = value + strspn(value, " "); *c != '\0'; c += strspn(c, " ")) {
        size_t length = strcspn(c, " ");
        items[n] = static_cast<char*>(ziv_malloc_and_init(static_cast<int>(length) + 1));
        if (items[n] == nullptr) {
            ziv_template_list partial{items, n};
            free_list(&partial);
            return false;
        }
        memcpy(items[n++], c, length);
        c += length;
    }
    *list = {items, n};
    return true;
}

}  // namespace

bool ziv_template_next_line(ziv_template_lines* lines, char* line)
{
    if (lines == nullptr || line == nullptr || lines->at == nullptr || lines->at >= lines->end) {
        return false;
    }
    const char* start = lines->at;
    size_t rest = static_cast<size_t>(lines->end - start);
    const char* feed = static_cast<const char*>(memchr(start, '\n', rest));
    size_t length = feed != nullptr ? static_cast<size_t>(feed - start) + 1 : rest;
    lines->at = start + length;
    line[0] = '\0';
    // A piece of an over-long line must not pass for a header or a key.
    if (length > ZIV_TEMPLATE_LINE_MAX || memchr(start, '\0', length) != nullptr) {
        return true;
    }
    memcpy(line, start, length);
    line[length] = '\0';
    const char* trimmed = strstrip(line, length);
    memmove(line, trimmed, strlen(trimmed) + 1);
    return true;
}

int ziv_template_load_text(const char* text, size_t size, const char* name, ziv_template_conf* conf)
{
    if (text == nullptr || name == nullptr || conf == nullptr) {
        return -2;
    }
    ziv_template_lines lines{text, text + size};
    char line[ZIV_TEMPLATE_LINE_MAX + 1];
    size_t name_length = strlen(name);
    while (ziv_template_next_line(&lines, line)) {
        const char* header = nullptr;
        size_t length = 0;
        if (header_name(line, &header, &length) && length == name_length && memcmp(header, name, length) == 0) {
            return ziv_get_template_cmd_array(&lines, conf, name) == 0 ? 0 : -1;
        }
    }
    return -2;
}

extern "C" {

ZIV_EXPORT int ziv_get_template_cmd_array(ziv_template_lines* lines, ziv_template_conf* conf, const char* name)
{
    if (lines == nullptr || conf == nullptr || name == nullptr) {
        return -1;
    }
    conf->name = ziv_copy_string(name);
    if (conf->name == nullptr) {
        return -1;
    }
    char line[ZIV_TEMPLATE_LINE_MAX + 1];
    while (ziv_template_next_line(lines, line)) {
        const char* header = nullptr;
        size_t length = 0;
        if (header_name(line, &header, &length)) {
            break;
        }
        ziv_get_args_array(line, conf);
    }
    return 0;
}

ZIV_EXPORT char* ziv_get_args_conf(const char* line, const char* key)
{
    if (line == nullptr || key == nullptr) {
        return nullptr;
    }
    size_t key_length = strlen(key);
    if (strncmp(line, key, key_length) != 0 || line[key_length] != '=') {
        return nullptr;
    }
    char* value = ziv_copy_string(line + key_length + 1);
    if (value == nullptr) {
        return nullptr;
    }
    char* cleaned = strstrip(value, strlen(value));
    ziv_del_extra_space_char(cleaned);
    // No word, or only "NULL" (blanks around it included): no list.
    const char* first = cleaned + strspn(cleaned, " ");
    size_t word = strcspn(first, " ");
    bool only_word = first[word + strspn(first + word, " ")] == '\0';
    bool nothing =
        word == 0 || (only_word && word == 4 && (memcmp(first, "NULL", 4) == 0 || memcmp(first, "null", 4) == 0));
    char* result = nothing ? nullptr : ziv_copy_string(cleaned);
    free(value);
    return result;
}

ZIV_EXPORT int ziv_get_args_array(const char* line, ziv_template_conf* conf)
{
    if (line == nullptr || conf == nullptr) {
        return -1;
    }
    for (int key = 0; key < ZIV_TEMPLATE_KEY_COUNT; ++key) {
        // The first line that sets a list wins.
        if (conf->lists[key].items != nullptr) {
            continue;
        }
        char* value = ziv_get_args_conf(line, kKeys[key]);
        if (value != nullptr) {
            split_words(value, &conf->lists[key]);
            free(value);
        }
    }
    return 0;
}

ZIV_EXPORT int ziv_is_in_short_args_arr(const char* arg, int count, char* const* list)
{
    if (arg == nullptr || list == nullptr) {
        return -1;
    }
    return ziv_match_namelist(count, list, arg) == 1 ? 1 : -1;
}

ZIV_EXPORT int ziv_is_in_long_args_arr(const char* arg, int count, char* const* list, const char** value)
{
    if (arg == nullptr || list == nullptr || value == nullptr) {
        return -1;
    }
    for (int i = 0; i < count; ++i) {
        size_t length = list[i] != nullptr ? strlen(list[i]) : 0;
        if (length > 0 && strncmp(arg, list[i], length) == 0 && arg[length] == '=') {
            *value = arg + length + 1;
            return 2;
        }
    }
    return -1;
}

ZIV_EXPORT void ziv_free_template_cfg(ziv_template_conf* conf)
{
    if (conf == nullptr) {
        return;
    }
    for (ziv_template_list& list : conf->lists) {
        free_list(&list);
    }
    free(conf->name);
    conf->name = nullptr;
}

}  // extern "C"
