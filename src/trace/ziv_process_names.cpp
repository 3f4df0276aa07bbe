// Process classification by short name.
#include <string_view>

#include "ziv_process.h"

namespace {

constexpr std::string_view ziv_make_programs[] = {"make",  "cmake", "gmake", "qmake",
                                                  "dmake", "pmake", "emake", "remake"};

constexpr std::string_view ziv_shells[] = {"sh", "fish", "ash", "bash", "dash", "csh", "ksh", "tcsh", "zsh"};

// Programs that run compilers on the build's behalf.
constexpr std::string_view ziv_build_drivers[] = {"gdb", "ccache", "bazel", "ninja", "perl", "configure"};

template <size_t N>
int ziv_name_in(const char* name, const std::string_view (&list)[N])
{
    if (name == nullptr) {
        return 0;
    }
    std::string_view wanted(name);
    for (std::string_view member : list) {
        if (member == wanted) {
            return 1;
        }
    }
    return 0;
}

}  // namespace

extern "C" {

ZIV_EXPORT int ziv_process_is_make(const char* name) { return ziv_name_in(name, ziv_make_programs); }

ZIV_EXPORT int ziv_process_is_shell(const char* name) { return ziv_name_in(name, ziv_shells); }

ZIV_EXPORT int ziv_process_is_build_driver(const char* name) { return ziv_name_in(name, ziv_build_drivers); }

}  // extern "C"
