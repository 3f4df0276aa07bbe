// Linker scripts (a text libc.so, a GROUP file): what INPUT, GROUP and
// SEARCH_DIR name.
#include <initializer_list>

#include "fuzz_input.h"
#include "ziv_parsers.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    fuzz_file file(data, size);
    if (!file.ok()) {
        return 0;
    }
    ziv_parse_script_file(file.path().c_str());
    for (ziv_trace_file** list : {&g_ziv_ld_path, &g_ziv_ld_lib, &g_ziv_ld_input}) {
        ziv_free_trace_file(*list);
        *list = nullptr;
    }
    return 0;
}
