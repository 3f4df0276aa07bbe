// Response files: "@file" and "--via=file" on a command line, expanded one
// level deep. The first byte picks the form.
#include <cstdlib>
#include <string>

#include "fuzz_input.h"
#include "ziv_cmdline.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0) {
        return 0;
    }
    fuzz_file file(data + 1, size - 1);
    if (!file.ok()) {
        return 0;
    }
    std::string response = (data[0] & 1 ? "--via=" : "@") + file.path();
    char* argv[] = {const_cast<char*>("gcc"), const_cast<char*>("-c"), response.data(), const_cast<char*>("a.c"),
                    nullptr};
    int count = 4;
    char** expanded = ziv_expand_argv(count, argv, &count);
    if (expanded != argv && expanded != nullptr) {
        // Every word is a terminated string of the vector.
        size_t total = 0;
        for (int i = 0; i < count; ++i) {
            total += std::string(expanded[i]).size();
        }
        if (expanded[count] != nullptr || total > size + 16) {
            abort();
        }
        ziv_freeargv(expanded);
        free(expanded);
    }
    return 0;
}
