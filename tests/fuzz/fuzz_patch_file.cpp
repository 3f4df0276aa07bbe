// Patch files: the file headers of unified and context diffs. The same bytes
// scanned in memory and read from a file in bounded chunks give the same
// headers, each a terminated name that fits a path. A first byte from 0xf0
// puts the rest just before or after the end of the file reader's first
// chunk, behind short lines or one over-long line (rare: such inputs are
// large and slow).
#include <cstdlib>
#include <cstring>
#include <string>

#include "fuzz_input.h"
#include "ziv_patch_text.h"

namespace {

int note(void* context, const char* old_name, const char* new_name)
{
    auto* seen = static_cast<std::string*>(context);
    for (const char* name : {old_name, new_name}) {
        if (name != nullptr && (name[0] == '\0' || strnlen(name, ZIV_PATCH_NAME_MAX) >= ZIV_PATCH_NAME_MAX)) {
            abort();
        }
        *seen += name != nullptr ? std::string(name) : "<none>";
        *seen += '\n';
    }
    return 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::string shifted;
    if (size > 0 && data[0] >= 0xf0) {
        constexpr size_t kChunk = 4 * ZIV_PATCH_LINE_MAX;
        shifted.assign(kChunk - 512 + (data[0] & 0x07) * 128, 'x');
        for (size_t at = 63; (data[0] & 0x08) == 0 && at < shifted.size(); at += 64) {
            shifted[at] = '\n';
        }
        shifted.append(reinterpret_cast<const char*>(data + 1), size - 1);
        data = reinterpret_cast<const uint8_t*>(shifted.data());
        size = shifted.size();
    }
    std::string in_memory;
    int found = ziv_scan_patch_text(reinterpret_cast<const char*>(data), size, note, &in_memory);
    fuzz_file file(data, size);
    if (!file.ok()) {
        return 0;
    }
    std::string from_file;
    int read = ziv_scan_patch_fd(file.fd(), static_cast<off_t>(size), note, &from_file);
    if (found < 0 || read != found || from_file != in_memory) {
        abort();
    }
    return 0;
}
