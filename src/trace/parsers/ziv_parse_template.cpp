// Programs described by the template file: the section of this program is
// found and loaded at entry, and its option lists drive the parser.
#include <cstdlib>
#include <cstring>
#include <unistd.h>

#include "ziv_bounded.h"
#include "ziv_config.h"
#include "ziv_file_util.h"
#include "ziv_sysio.h"
#include "ziv_template.h"

ziv_template_conf g_ziv_template_conf = {};

namespace {

constexpr size_t kPathSize = 4096;
// A template file is written by hand; anything bigger is not read.
constexpr size_t kMaxTemplateFile = 1024 * 1024;

const ziv_template_list& list_of(const ziv_template_conf* conf, ziv_template_key key) { return conf->lists[key]; }

int short_option(const ziv_template_conf* conf, ziv_template_key key, const char* arg)
{
    const ziv_template_list& list = list_of(conf, key);
    return ziv_is_in_short_args_arr(arg, list.count, list.items);
}

int long_option(const ziv_template_conf* conf, ziv_template_key key, const char* arg, const char** value)
{
    const ziv_template_list& list = list_of(conf, key);
    return ziv_is_in_long_args_arr(arg, list.count, list.items, value);
}

const char* next_argument(int argc, char** argv, int index) { return index + 1 < argc ? argv[index + 1] : nullptr; }

}  // namespace

extern "C" {

ZIV_EXPORT int ziv_get_templatefile(char* buffer, size_t size)
{
    const char* value = ziv_getenv("ZIV_TRACE_TEMPLATE");
    if (value == nullptr || buffer == nullptr || strlen(value) >= kPathSize || strcpy_s(buffer, size, value) != EOK) {
        return -1;
    }
    return access(buffer, R_OK) == 0 ? 0 : 1;
}

ZIV_EXPORT int ziv_read_template_conf(const char* path, const char* name)
{
    if (path == nullptr || name == nullptr) {
        return -1;
    }
    size_t size = 0;
    ziv_block<char> text{ziv_read_bounded_file(path, kMaxTemplateFile, &size)};
    if (text.block == nullptr) {
        return -1;
    }
    ziv_free_template_cfg(&g_ziv_template_conf);
    int found = ziv_template_load_text(text.block, size, name, &g_ziv_template_conf);
    if (found != 0) {
        // Nothing half-loaded stays behind.
        ziv_free_template_cfg(&g_ziv_template_conf);
    }
    return found;
}

ZIV_EXPORT int ziv_is_template_cmd(const char* name)
{
    ziv_errno_guard keep_errno;
    if (name == nullptr || name[0] == '\0') {
        return -1;
    }
    char path[kPathSize];
    if (ziv_get_templatefile(path, sizeof path) != 0) {
        return -1;
    }
    return ziv_read_template_conf(path, name) == 0 ? 0 : -1;
}

ZIV_EXPORT int ziv_add_template_file_to_data_out(const ziv_template_conf* conf, int argc, char** argv, int index,
                                                 ziv_trace_info* info)
{
    if (conf == nullptr || argv == nullptr || info == nullptr || index < 1 || index >= argc) {
        return -1;
    }
    const char* arg = argv[index];
    const char* value = nullptr;
    // Outputs are recorded whether or not they exist yet.
    if (long_option(conf, ZIV_TEMPLATE_OUTPUT_LONG, arg, &value) == 2) {
        if (value[0] != '\0') {
            ziv_append_trace_file(&info->outputs, value);
        }
        return 2;
    }
    if (short_option(conf, ZIV_TEMPLATE_OUTPUT_SHORT, arg) == 1) {
        if (const char* file = next_argument(argc, argv, index); file != nullptr && file[0] != '\0') {
            ziv_append_trace_file(&info->outputs, file);
        }
        return 1;
    }
    return -1;
}

ZIV_EXPORT int ziv_add_template_file_to_data_in(const ziv_template_conf* conf, int argc, char** argv, int index,
                                                ziv_trace_info* info)
{
    if (conf == nullptr || argv == nullptr || info == nullptr || index < 1 || index >= argc) {
        return -1;
    }
    const char* arg = argv[index];
    const char* value = nullptr;
    // A long form naming no existing file is looked at again below.
    if (long_option(conf, ZIV_TEMPLATE_INPUT_LONG, arg, &value) == 2 && ziv_check_input_valid(value) == 1) {
        ziv_append_trace_file(&info->inputs, value);
        return 2;
    }
    if (short_option(conf, ZIV_TEMPLATE_INPUT_SHORT, arg) == 1) {
        if (const char* file = next_argument(argc, argv, index); ziv_check_input_valid(file) == 1) {
            ziv_append_trace_file(&info->inputs, file);
        }
        return 1;
    }
    return -1;
}

ZIV_EXPORT int ziv_parse_template_cmd(int argc, char** argv, ziv_trace_cmd* row)
{
    ziv_errno_guard keep_errno;
    if (argv == nullptr || row == nullptr || ziv_init_trace_info(nullptr, row) != 0) {
        return -1;
    }
    const ziv_template_conf* conf = &g_ziv_template_conf;
    for (int i = 1; i < argc && argv[i] != nullptr; ++i) {
        int found = ziv_add_template_file_to_data_out(conf, argc, argv, i, row->info);
        if (found < 0) {
            found = ziv_add_template_file_to_data_in(conf, argc, argv, i, row->info);
        }
        if (found == 1) {
            ++i;  // the file after a short option
        }
        if (found > 0 || short_option(conf, ZIV_TEMPLATE_IGNORE, argv[i]) == 1) {
            continue;
        }
        if (ziv_check_input_valid(argv[i]) == 1) {
            ziv_append_trace_file(&row->info->inputs, argv[i]);
        }
    }
    return 0;
}

}  // extern "C"
