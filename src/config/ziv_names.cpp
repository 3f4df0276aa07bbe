// Program-name normalisation (cross prefixes, version suffixes) and the
// program-to-tool trace map.
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "ziv_bounded.h"
#include "ziv_config.h"
#include "ziv_log.h"

namespace {

// Tools whose cross-compilation prefix ("arm-linux-gnueabi-") is dropped.
constexpr std::string_view ziv_gnu_cmd_table[] = {
    "gcc", "g++", "ar", "ld", "ld.gold", "strip", "objcopy",
    "ranlib", "elfedit", "cc", "c++", "cpp", "as", "gfortran",
};

// Name slots 0..31, then the tool slots they pair with.
char g_ziv_tmap[2 * ZIV_TMAP_SLOTS][ZIV_NAME_SIZE];

char* tmap_name(int i) { return g_ziv_tmap[i]; }
char* tmap_tool(int i) { return g_ziv_tmap[ZIV_TMAP_SLOTS + i]; }

// The last '-' of a name, or null.
template <typename Char>
Char* last_dash(Char* name)
{
    Char* dash = nullptr;
    for (Char* p = name; *p != '\0'; ++p) {
        if (*p == '-') {
            dash = p;
        }
    }
    return dash;
}

}  // namespace

extern "C" {

ZIV_EXPORT const char* ziv_convert_gnu_cmd(const char* name)
{
    if (name == nullptr) {
        return nullptr;
    }
    // elfutils' strip must not be taken for binutils' strip.
    if (std::strcmp(name, "eu-strip") == 0) {
        return name;
    }
    const char* dash = last_dash(name);
    if (dash == nullptr) {
        return name;
    }
    std::string_view tail(dash + 1);
    for (std::string_view tool : ziv_gnu_cmd_table) {
        if (tail == tool) {
            return dash + 1;
        }
    }
    return name;
}

ZIV_EXPORT char* ziv_convert_gnu_cmd_endswith_digit(const char* name)
{
    if (name == nullptr) {
        return nullptr;
    }
    char* cut = ziv_copy_string(name);
    if (cut == nullptr) {
        return nullptr;
    }
    char* dash = last_dash(cut);
    if (dash == nullptr) {
        std::free(cut);
        return nullptr;
    }
    *dash = '\0';
    char* result = ziv_copy_string(ziv_convert_gnu_cmd(cut));
    std::free(cut);
    return result;
}

ZIV_EXPORT char* ziv_get_tmap_cfg(void) { return g_ziv_tmap[0]; }

ZIV_EXPORT const char* ziv_get_trace_map(const char* name)
{
    const ziv_cfg_t& cfg = ziv_prog_cfg;
    if (name == nullptr || (cfg.env_read == 1 && (cfg.prog[0].mask & ZIV_F_TRACE_MAP) == 0)) {
        return nullptr;
    }
    for (int i = 0; i < ZIV_TMAP_SLOTS && tmap_name(i)[0] != '\0'; ++i) {
        if (std::strcmp(tmap_name(i), name) == 0) {
            return tmap_tool(i);
        }
    }
    return nullptr;
}

}  // extern "C"

// Stores one "name:tool" pair and returns the name part, which the caller
// matches against the program; anything that cannot be stored is matched as
// the whole token.
std::string_view ziv_init_trace_map_view(std::string_view token)
{
    size_t colon = token.find(':');
    if (colon == std::string_view::npos) {
        return token;
    }
    std::string_view name(token.data(), colon);
    std::string_view tool(token.data() + colon + 1, token.size() - colon - 1);

    int slot = 0;
    for (; slot < ZIV_TMAP_SLOTS && tmap_name(slot)[0] != '\0'; ++slot) {
        if (name == tmap_name(slot)) {
            break;
        }
    }
    if (slot == ZIV_TMAP_SLOTS) {
        return token;
    }
    // Copy into scratch first so a failed copy never leaves a half pair.
    char new_name[ZIV_NAME_SIZE];
    char new_tool[ZIV_NAME_SIZE];
    int err = strncpy_s(new_name, sizeof new_name, name.data(), name.size());
    if (err == EOK) {
        err = strncpy_s(new_tool, sizeof new_tool, tool.data(), tool.size());
    }
    if (err != EOK) {
        ZIV_LOG_FAILED("strcpy_s", err);
        return token;
    }
    if (name.empty()) {
        // An empty name would end the used part of the map.
        return token;
    }
    std::memcpy(tmap_name(slot), new_name, name.size() + 1);
    std::memcpy(tmap_tool(slot), new_tool, tool.size() + 1);
    return std::string_view(tmap_name(slot), name.size());
}

// The name part is always terminated: the stored copy in the map, or the
// token itself.
extern "C" ZIV_EXPORT const char* ziv_init_trace_map(const char* token)
{
    return token != nullptr ? ziv_init_trace_map_view(token).data() : nullptr;
}

void ziv_tmap_reset() { std::memset(g_ziv_tmap, 0, sizeof g_ziv_tmap); }
