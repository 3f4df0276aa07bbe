// The trace info record: the files a parser found on the command line, kept
// in order of appearance, each name once per list, every string owned.
#include <cstdlib>
#include <cstring>

#include "ziv_bounded.h"
#include "ziv_trace.h"

namespace {

bool same_name(const char* a, const char* b) { return a != nullptr && b != nullptr && strcmp(a, b) == 0; }

// The text after the last "/", or the whole name.
const char* base_name(const char* name)
{
    const char* slash = strrchr(name, '/');
    return slash != nullptr ? slash + 1 : name;
}

bool names_test_file(const char* name)
{
    if (name == nullptr) {
        return false;
    }
    const char* base = base_name(name);
    return strncmp(base, "conftest", 8) == 0 || strncmp(base, "libconftest", 11) == 0;
}

template <typename Node>
void append_tail(Node** list, Node* node)
{
    Node** slot = list;
    while (*slot != nullptr) {
        slot = &(*slot)->next;
    }
    *slot = node;
}

}  // namespace

int trace_file_exist(const ziv_trace_file* list, const char* name)
{
    if (name == nullptr) {
        return 0;
    }
    for (const ziv_trace_file* node = list; node != nullptr; node = node->next) {
        if (same_name(node->name, name)) {
            return 1;
        }
    }
    return 0;
}

extern "C" {

ZIV_EXPORT ziv_trace_file* ziv_copy_trace_file(const char* name)
{
    if (name == nullptr) {
        return nullptr;
    }
    auto* node = static_cast<ziv_trace_file*>(ziv_malloc_and_init(sizeof(ziv_trace_file)));
    if (node == nullptr) {
        return nullptr;
    }
    node->name = ziv_copy_string(name);
    if (node->name == nullptr) {
        free(node);
        return nullptr;
    }
    return node;
}

ZIV_EXPORT int ziv_append_trace_file(ziv_trace_file** list, const char* name)
{
    if (list == nullptr || name == nullptr) {
        return -1;
    }
    if (trace_file_exist(*list, name) != 0) {
        return 1;
    }
    ziv_trace_file* node = ziv_copy_trace_file(name);
    if (node == nullptr) {
        return -1;
    }
    append_tail(list, node);
    return 0;
}

ZIV_EXPORT int ziv_append_trace_paired_file(const char* in_name, const char* out_name, ziv_trace_paired_file** list)
{
    if (list == nullptr) {
        return -1;
    }
    if (in_name != nullptr) {
        for (const ziv_trace_paired_file* node = *list; node != nullptr; node = node->next) {
            if (same_name(node->in_name, in_name)) {
                return 1;
            }
        }
    }
    auto* node = static_cast<ziv_trace_paired_file*>(ziv_malloc_and_init(sizeof(ziv_trace_paired_file)));
    if (node == nullptr) {
        return -1;
    }
    node->in_name = ziv_copy_string(in_name);
    node->out_name = ziv_copy_string(out_name);
    if ((in_name != nullptr && node->in_name == nullptr) || (out_name != nullptr && node->out_name == nullptr)) {
        free(node->in_name);
        free(node->out_name);
        free(node);
        return -1;
    }
    append_tail(list, node);
    return 0;
}

ZIV_EXPORT void ziv_free_trace_file(ziv_trace_file* list)
{
    while (list != nullptr) {
        ziv_trace_file* next = list->next;
        free(list->name);
        free(list);
        list = next;
    }
}

ZIV_EXPORT void ziv_free_trace_paired_file(ziv_trace_paired_file* list)
{
    while (list != nullptr) {
        ziv_trace_paired_file* next = list->next;
        free(list->in_name);
        free(list->out_name);
        free(list);
        list = next;
    }
}

ZIV_EXPORT void ziv_free_trace_info(ziv_trace_info* info)
{
    if (info == nullptr) {
        return;
    }
    ziv_free_trace_file(info->inputs);
    ziv_free_trace_paired_file(info->paired);
    ziv_free_trace_file(info->common_inputs);
    ziv_free_trace_file(info->outputs);
    info->inputs = nullptr;
    info->paired = nullptr;
    info->common_inputs = nullptr;
    info->outputs = nullptr;
}

ZIV_EXPORT int ziv_init_trace_info(const char* first_output, ziv_trace_cmd* row)
{
    if (row == nullptr) {
        return -1;
    }
    auto* info = static_cast<ziv_trace_info*>(ziv_malloc_and_init(sizeof(ziv_trace_info)));
    if (info == nullptr) {
        return -1;
    }
    if (first_output != nullptr) {
        info->outputs = ziv_copy_trace_file(first_output);
        if (info->outputs == nullptr) {
            free(info);
            return -1;
        }
    }
    row->info = info;
    return 0;
}

ZIV_EXPORT int ziv_outfile_is_test(const ziv_trace_info* info)
{
    if (info == nullptr || info->outputs == nullptr) {
        return 0;
    }
    if (names_test_file(info->outputs->name)) {
        return 1;
    }
    if (info->paired != nullptr && names_test_file(info->paired->out_name)) {
        return 1;
    }
    return 0;
}

}  // extern "C"
