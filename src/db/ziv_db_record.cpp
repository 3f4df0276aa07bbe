// Turning a command's file lists into rows: inputs identified and recorded
// before the program runs, outputs and every dependency relation at exit,
// and the header steps of header tracing. Every function is driven by the
// nodes' ids (below 1: not identified) and digests (empty: not digested),
// so running one twice does no harm.
#include <cstdlib>
#include <cstring>
#include <unistd.h>

#include "ziv_bounded.h"
#include "ziv_config.h"
#include "ziv_db.h"
#include "ziv_file_util.h"
#include "ziv_helper_process.h"
#include "ziv_log.h"
#include "ziv_trace.h"

namespace {

constexpr const char* kSourceTable = "source_file_table";
constexpr const char* kTargetTable = "target_file_table";
constexpr const char* kHeadTable = "head_file_table";
constexpr size_t ZIV_HOOK_NAME_MAX = 4096;

bool has_digest(const char* sha256) { return sha256[0] != '\0'; }

const char* table_for(int type) { return ziv_is_source_file(type) != 0 ? kSourceTable : kTargetTable; }

// The digest of a file into a node's 65-byte field; empty when unreadable.
void digest(const char* name, char* sha256)
{
    if (ziv_get_sha256sum(name, sha256, ZIV_TRACE_SHA256_SIZE) != 0) {
        sha256[0] = '\0';
    }
}

int insert_by_type(int type, int command_id, int pwd_id, const char* name, const char* sha256)
{
    return ziv_is_source_file(type) != 0 ? ziv_insert_source_file(command_id, pwd_id, name, sha256)
                                         : ziv_insert_target_file(command_id, pwd_id, name, sha256);
}

bool excluded_command() { return g_ziv_trace_cmd != nullptr && g_ziv_trace_cmd->excluded != 0; }

// Digests the outputs and the paired outputs that exist; the number of
// digests obtained.
int digest_outputs(ziv_trace_info* info)
{
    int count = 0;
    for (ziv_trace_file* node = info->outputs; node != nullptr && node->name != nullptr; node = node->next) {
        if (access(node->name, R_OK) == 0) {
            digest(node->name, node->sha256);
            count += has_digest(node->sha256) ? 1 : 0;
        }
    }
    // An input that yields no output (a compiler given a Makefile among its
    // sources) does not hide the outputs of the pairs after it.
    for (ziv_trace_paired_file* node = info->paired; node != nullptr; node = node->next) {
        if (node->out_name != nullptr && access(node->out_name, R_OK) == 0) {
            digest(node->out_name, node->out_sha256);
            count += has_digest(node->out_sha256) ? 1 : 0;
        }
    }
    return count;
}

// Runs the configured output hook on the main output. The name is handed
// over as one shell-quoted word: blanks, quotes, ";" or "$(...)" in a file
// name reach the tool as part of its argument and run nothing.
void run_output_hook(const ziv_trace_file* first)
{
    const char* tool = ziv_getenv("ZIV_TRACE_OUTPUT_TOOLNAME");
    if (first == nullptr || first->name == nullptr || tool == nullptr || tool[0] == '\0' ||
        strlen(tool) > ZIV_HOOK_NAME_MAX) {
        return;
    }
    // Each character becomes at most '\'' (four), plus the two outer quotes.
    size_t quoted_size = strlen(first->name) * 4 + 3;
    constexpr char kFormat[] = "LD_PRELOAD= %s %s >/dev/null 2>&1";
    size_t line_size = sizeof kFormat + strlen(tool) + quoted_size;
    if (line_size > ZIV_SECUREC_MAX) {
        return;
    }
    char* quoted = static_cast<char*>(ziv_malloc_and_init(static_cast<int>(quoted_size)));
    char* line = static_cast<char*>(ziv_malloc_and_init(static_cast<int>(line_size)));
    if (quoted != nullptr && line != nullptr && ziv_shell_quote(first->name, quoted, quoted_size)) {
        int len = sprintf_s(line, line_size, kFormat, tool, quoted);
        if (len < 0) {
            ZIV_LOG_FAILED("sprintf_s", len);
        } else {
            // The hook's result says nothing about the build being traced.
            (void)ziv_run_shell_line(line);
        }
    }
    free(quoted);
    free(line);
}

// Outputs are sources (flag 2): recorded in source_file_table, related to
// the inputs in source_source_table.
void record_source_outputs(ziv_trace_info* info)
{
    // An output that was not written (no digest) is skipped, not an end:
    // the outputs after it are still real files of this command.
    for (ziv_trace_file* out = info->outputs; out != nullptr; out = out->next) {
        if (has_digest(out->sha256) && out->id < 1) {
            ziv_insert_source_file(info->command_id, info->pwd_id, out->name, out->sha256);
            out->id = ziv_get_obj_id_by_checksum(out->name, out->sha256, info->pwd_id, kSourceTable);
        }
    }
    // Source inputs are identified only now: they were inserted at entry
    // without looking their ids up.
    ziv_update_input_id(info->pwd_id, info->inputs);
    for (ziv_trace_file* out = info->outputs; out != nullptr; out = out->next) {
        for (ziv_trace_file* in = info->inputs; in != nullptr && out->id > 0; in = in->next) {
            if (in->id > 0) {
                ziv_insert_source_source(out->id, in->id);
            }
        }
    }
}

void record_target_outputs(ziv_trace_info* info)
{
    for (ziv_trace_file* out = info->outputs; out != nullptr; out = out->next) {
        if (has_digest(out->sha256) && out->id < 1) {
            ziv_insert_target_file(info->command_id, info->pwd_id, out->name, out->sha256);
            out->id = ziv_get_obj_id_by_checksum(out->name, out->sha256, info->pwd_id, kTargetTable);
        }
    }
    int identified = ziv_update_input_id(info->pwd_id, info->inputs);
    if (identified > 0) {
        ziv_db_group group(identified > 1);
        for (ziv_trace_file* out = info->outputs; out != nullptr; out = out->next) {
            if (out->id > 0) {
                ziv_insert_input_depend_table(out->id, info->inputs);
            }
        }
    }
    if ((info->flags & ZIV_TRACE_LINK_PAIRED) != 0) {
        ziv_insert_depend_2_paired(0, info);
    }
}

}  // namespace

extern "C" {

// --- Inputs, at entry -------------------------------------------------------

ZIV_EXPORT void ziv_record_inputs_at_entry(ziv_trace_info* info, int pwd_id)
{
    if (info == nullptr) {
        return;
    }
    info->pwd_id = pwd_id;
    ziv_init_trace_input(pwd_id, info->inputs);
    ziv_init_trace_input(pwd_id, info->common_inputs);
    ziv_init_trace_paired_input(info);
    ziv_insert_input_file(pwd_id, info->inputs);
    ziv_insert_input_file(pwd_id, info->common_inputs);
    ziv_insert_paired_in_file(info);
}

ZIV_EXPORT int ziv_get_input_id_by_name(ziv_trace_file* node)
{
    if (node == nullptr || node->name == nullptr) {
        return -1;
    }
    node->id = ziv_get_obj_id_by_filename(node->name, table_for(node->type));
    return node->id;
}

ZIV_EXPORT int ziv_get_input_id(int pwd_id, ziv_trace_file* node)
{
    if (node == nullptr || node->name == nullptr) {
        return -1;
    }
    node->id = ziv_get_obj_id_by_checksum(node->name, node->sha256, pwd_id, table_for(node->type));
    return node->id;
}

ZIV_EXPORT int ziv_init_trace_input(int pwd_id, ziv_trace_file* list)
{
    for (ziv_trace_file* node = list; node != nullptr && node->name != nullptr; node = node->next) {
        if (node->type == 0) {
            node->type = ziv_input_file_type(node->name);
        }
        // A system library the database already knows is not digested again.
        if (ziv_is_sys_file(node->name) != 0 && ziv_get_input_id_by_name(node) > 0) {
            continue;
        }
        digest(node->name, node->sha256);
        // Sources are identified at exit.
        if (has_digest(node->sha256) && ziv_is_source_file(node->type) == 0) {
            node->id = ziv_get_obj_id_by_checksum(node->name, node->sha256, pwd_id, kTargetTable);
        }
    }
    return 0;
}

ZIV_EXPORT int ziv_get_input_insert_num(const ziv_trace_file* list)
{
    int count = 0;
    for (const ziv_trace_file* node = list; node != nullptr && has_digest(node->sha256); node = node->next) {
        count += node->id < 1 ? 1 : 0;
    }
    return count;
}

ZIV_EXPORT int ziv_insert_input_file(int pwd_id, ziv_trace_file* list)
{
    ziv_db_group group(ziv_get_input_insert_num(list) > 1);
    for (ziv_trace_file* node = list; node != nullptr; node = node->next) {
        if (node->name != nullptr && has_digest(node->sha256) && node->id < 1) {
            // Command 0: the file existed before this command.
            insert_by_type(node->type, 0, pwd_id, node->name, node->sha256);
        }
    }
    return 0;
}

ZIV_EXPORT int ziv_get_paired_input_id(int pwd_id, ziv_trace_paired_file* node)
{
    if (node == nullptr || node->in_name == nullptr) {
        return -1;
    }
    node->in_id = ziv_get_obj_id_by_checksum(node->in_name, node->in_sha256, pwd_id, table_for(node->in_type));
    return node->in_id;
}

ZIV_EXPORT int ziv_init_trace_paired_input(ziv_trace_info* info)
{
    if (info == nullptr) {
        return -1;
    }
    for (ziv_trace_paired_file* node = info->paired; node != nullptr && node->in_name != nullptr; node = node->next) {
        if (node->in_type == 0) {
            node->in_type = ziv_input_file_type(node->in_name);
        }
        digest(node->in_name, node->in_sha256);
        if (has_digest(node->in_sha256)) {
            ziv_get_paired_input_id(info->pwd_id, node);
        }
    }
    return 0;
}

ZIV_EXPORT int ziv_insert_paired_in_file(ziv_trace_info* info)
{
    if (info == nullptr) {
        return -1;
    }
    // Every digested input counts, not only those before the first missing
    // one: a file that vanished must not keep the ones after it unrecorded.
    int count = 0;
    for (const ziv_trace_paired_file* node = info->paired; node != nullptr; node = node->next) {
        if (has_digest(node->in_sha256)) {
            count += node->in_id < 1 ? 2 : 1;
        }
    }
    if (count == 0) {
        return 0;
    }
    ziv_db_group group(count > 1);
    for (const ziv_trace_paired_file* node = info->paired; node != nullptr; node = node->next) {
        if (node->in_name != nullptr && has_digest(node->in_sha256) && node->in_id < 1) {
            insert_by_type(node->in_type, 0, info->pwd_id, node->in_name, node->in_sha256);
        }
    }
    return 0;
}

// --- At exit ----------------------------------------------------------------

ZIV_EXPORT int ziv_update_input_id(int pwd_id, ziv_trace_file* list)
{
    int count = 0;
    for (ziv_trace_file* node = list; node != nullptr; node = node->next) {
        if (node->id < 1 && node->name != nullptr && has_digest(node->sha256)) {
            ziv_get_input_id(pwd_id, node);
        }
        count += node->id >= 1 ? 1 : 0;
    }
    return count;
}

ZIV_EXPORT int ziv_insert_single_input_depend(int target_id, int type, int input_id)
{
    return ziv_is_source_file(type) != 0 ? ziv_insert_target_source(target_id, input_id)
                                         : ziv_insert_target_target(target_id, input_id);
}

ZIV_EXPORT int ziv_insert_input_depend_table(int target_id, const ziv_trace_file* list)
{
    for (const ziv_trace_file* node = list; node != nullptr; node = node->next) {
        if (node->id > 0) {
            ziv_insert_single_input_depend(target_id, node->type, node->id);
        }
    }
    return 0;
}

ZIV_EXPORT int ziv_insert_paired_out_file(ziv_trace_info* info)
{
    if (info == nullptr) {
        return -1;
    }
    // Every pair is checked, also after an output that did not appear: an
    // in-place edit that changed nothing is never recorded as a new file.
    bool in_place = (info->flags & ZIV_TRACE_IN_PLACE) != 0;
    int count = 0;
    for (ziv_trace_paired_file* node = info->paired; node != nullptr; node = node->next) {
        if (!has_digest(node->out_sha256)) {
            continue;
        }
        if (in_place && strcmp(node->in_sha256, node->out_sha256) == 0) {
            node->unchanged = 1;
        } else {
            ++count;
        }
    }
    if (count == 0) {
        return 0;
    }
    ziv_db_group group(count > 1);
    bool sources = (info->flags & ZIV_TRACE_OUT_SOURCE) != 0;
    for (const ziv_trace_paired_file* node = info->paired; node != nullptr; node = node->next) {
        if (node->unchanged == 1 || node->out_name == nullptr || !has_digest(node->out_sha256)) {
            continue;
        }
        if (sources) {
            ziv_insert_source_file(info->command_id, info->pwd_id, node->out_name, node->out_sha256);
        } else {
            ziv_insert_target_file(info->command_id, info->pwd_id, node->out_name, node->out_sha256);
        }
    }
    return 0;
}

ZIV_EXPORT int ziv_update_paired_id(ziv_trace_info* info)
{
    if (info == nullptr) {
        return -1;
    }
    const char* table = (info->flags & ZIV_TRACE_OUT_SOURCE) != 0 ? kSourceTable : kTargetTable;
    for (ziv_trace_paired_file* node = info->paired; node != nullptr; node = node->next) {
        if (node->unchanged == 1 || node->out_name == nullptr || !has_digest(node->out_sha256)) {
            continue;
        }
        node->out_id = ziv_get_obj_id_by_checksum(node->out_name, node->out_sha256, info->pwd_id, table);
        // The input was inserted at entry, so it is found now.
        if (node->out_id > 0 && has_digest(node->in_sha256) && node->in_id < 1) {
            ziv_get_paired_input_id(info->pwd_id, node);
        }
    }
    return 0;
}

ZIV_EXPORT int ziv_insert_paired_depend(ziv_trace_info* info)
{
    if (info == nullptr) {
        return -1;
    }
    int count = 0;
    for (const ziv_trace_paired_file* node = info->paired; node != nullptr; node = node->next) {
        count += node->out_id > 0 && node->in_id > 0 ? 1 : 0;
    }
    for (const ziv_trace_file* node = info->common_inputs; node != nullptr; node = node->next) {
        count += node->id > 0 ? 1 : 0;
    }
    if (count == 0) {
        return 0;
    }
    ziv_db_group group(count > 1);
    bool sources = (info->flags & ZIV_TRACE_OUT_SOURCE) != 0;
    auto relate = [sources](int out_id, int type, int in_id) {
        if (sources) {
            ziv_insert_source_source(out_id, in_id);
        } else {
            ziv_insert_single_input_depend(out_id, type, in_id);
        }
    };
    for (const ziv_trace_paired_file* node = info->paired; node != nullptr; node = node->next) {
        if (node->out_id < 1) {
            continue;
        }
        if (node->in_id > 0) {
            relate(node->out_id, node->in_type, node->in_id);
        }
        // Every common input: the patch file, or the files an objcopy in
        // place adds (sections, debug link).
        for (const ziv_trace_file* common = info->common_inputs; common != nullptr; common = common->next) {
            if (common->id > 0) {
                relate(node->out_id, common->type, common->id);
            }
        }
    }
    return 0;
}

ZIV_EXPORT int ziv_insert_depend_2_paired(int direction, ziv_trace_info* info)
{
    if (info == nullptr || info->outputs == nullptr || info->outputs->id < 1) {
        return 0;
    }
    auto chosen = [direction](const ziv_trace_paired_file* node) { return direction == 0 ? node->in_id : node->out_id; };
    int count = 0;
    for (const ziv_trace_paired_file* node = info->paired; node != nullptr; node = node->next) {
        count += chosen(node) > 0 ? 1 : 0;
    }
    if (count == 0) {
        return 0;
    }
    ziv_db_group group(count > 1);
    for (const ziv_trace_paired_file* node = info->paired; node != nullptr; node = node->next) {
        if (chosen(node) > 0) {
            ziv_insert_target_target(info->outputs->id, chosen(node));
        }
    }
    return 0;
}

ZIV_EXPORT int ziv_parse_trace_info(ziv_trace_info* info)
{
    if (info == nullptr || excluded_command()) {
        return 0;
    }
    ziv_errno_guard keep;
    // Nothing is recorded for a command that produced no readable output.
    if (digest_outputs(info) == 0) {
        return 0;
    }
    run_output_hook(info->outputs);
    if (info->paired != nullptr) {
        ziv_insert_paired_out_file(info);
        ziv_update_paired_id(info);
        ziv_update_input_id(info->pwd_id, info->common_inputs);
        ziv_insert_paired_depend(info);
    }
    ziv_trace_file* first = info->outputs;
    if ((info->flags & ZIV_TRACE_REUSE_TARGET) != 0 && first != nullptr && first->name != nullptr &&
        has_digest(first->sha256)) {
        int id = ziv_get_obj_id_by_checksum(first->name, first->sha256, info->pwd_id, kTargetTable);
        if (id > 0) {
            ziv_update_target_file(id, info->command_id);
            first->id = id;
        }
    }
    if ((info->flags & ZIV_TRACE_OUT_SOURCE) != 0) {
        record_source_outputs(info);
    } else {
        record_target_outputs(info);
    }
    return 0;
}

// --- Headers ------------------------------------------------------------------

ZIV_EXPORT int ziv_prepare_head_file(int pwd_id, ziv_trace_file* list)
{
    int count = 0;
    for (ziv_trace_file* node = list; node != nullptr; node = node->next) {
        if (node->name == nullptr) {
            continue;
        }
        if (strncmp(node->name, "/usr/", 5) != 0) {
            // A caller may have digested the headers before taking the
            // database's write lock.
            if (!has_digest(node->sha256)) {
                digest(node->name, node->sha256);
            }
            if (has_digest(node->sha256)) {
                node->id = ziv_get_obj_id_by_checksum(node->name, node->sha256, pwd_id, kHeadTable);
                count += node->id < 1 ? 1 : 0;
            }
        } else {
            // System headers are identified by name alone.
            node->id = ziv_get_obj_id_by_filename(node->name, kHeadTable);
            if (node->id < 1) {
                digest(node->name, node->sha256);
                count += has_digest(node->sha256) ? 1 : 0;
            }
        }
    }
    return count;
}

ZIV_EXPORT int ziv_insert_head_file(int pwd_id, const ziv_trace_file* list)
{
    for (const ziv_trace_file* node = list; node != nullptr; node = node->next) {
        if (node->name != nullptr && has_digest(node->sha256) && node->id < 1) {
            ziv_insert_head_file_sqlite(pwd_id, node->name, node->sha256);
        }
    }
    return 0;
}

ZIV_EXPORT int ziv_update_head_id(int pwd_id, ziv_trace_file* list)
{
    int count = 0;
    for (ziv_trace_file* node = list; node != nullptr; node = node->next) {
        if (node->id < 1 && node->name != nullptr && has_digest(node->sha256)) {
            node->id = ziv_get_obj_id_by_checksum(node->name, node->sha256, pwd_id, kHeadTable);
        }
        count += node->id >= 1 ? 1 : 0;
    }
    return count;
}

ZIV_EXPORT int ziv_insert_head_depend_table(int source_id, const ziv_trace_file* list)
{
    for (const ziv_trace_file* node = list; node != nullptr; node = node->next) {
        if (node->id > 0) {
            ziv_insert_source_head(source_id, node->id);
        }
    }
    return 0;
}

ZIV_EXPORT int ziv_insert_source_depend_table(int source_id, const ziv_trace_file* list)
{
    for (const ziv_trace_file* node = list; node != nullptr; node = node->next) {
        if (node->id > 0) {
            ziv_insert_source_source(source_id, node->id);
        }
    }
    return 0;
}

}  // extern "C"
