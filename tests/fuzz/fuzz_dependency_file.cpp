// Dependency files as compilers write them ("-MD", "-MF"): the first rule's
// source and its headers.
#include <cstdio>
#include <cstdlib>

#include "ziv_parsers.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FILE* stream = fmemopen(const_cast<uint8_t*>(data), size, "rb");
    if (stream == nullptr) {
        return 0;
    }
    char* source = nullptr;
    ziv_trace_file* headers = nullptr;
    int found = ziv_read_hdep_file(stream, &source, &headers);
    fclose(stream);
    // Without a rule nothing is handed back.
    if (found != 0 && (source != nullptr || headers != nullptr)) {
        abort();
    }
    for (const ziv_trace_file* h = headers; h != nullptr; h = h->next) {
        if (h->name == nullptr || h->name[0] == '\0') {
            abort();
        }
    }
    free(source);
    ziv_free_trace_file(headers);
    return 0;
}
