// Template files: the section of one program and its option lists. The
// first byte picks the program looked for. Whatever loads is a list of
// non-empty words without blanks, and freeing leaves the record empty.
#include <cstdlib>
#include <cstring>

#include "ziv_template.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0) {
        return 0;
    }
    static const char* const names[] = {"mytool", "a", "tool x", "[x]"};
    const char* name = names[data[0] % 4];
    ziv_template_conf conf{};
    int rc = ziv_template_load_text(reinterpret_cast<const char*>(data + 1), size - 1, name, &conf);
    if (rc != 0 && rc != -1 && rc != -2) {
        abort();
    }
    if (rc == 0 && (conf.name == nullptr || strcmp(conf.name, name) != 0)) {
        abort();
    }
    for (const ziv_template_list& list : conf.lists) {
        if ((list.items == nullptr) != (list.count == 0) || list.count < 0) {
            abort();
        }
        for (int i = 0; i < list.count; ++i) {
            const char* word = list.items[i];
            if (word == nullptr || word[0] == '\0' || strchr(word, ' ') != nullptr ||
                strlen(word) > ZIV_TEMPLATE_LINE_MAX) {
                abort();
            }
        }
    }
    ziv_free_template_cfg(&conf);
    if (conf.name != nullptr) {
        abort();
    }
    for (const ziv_template_list& list : conf.lists) {
        if (list.items != nullptr || list.count != 0) {
            abort();
        }
    }
    return 0;
}
