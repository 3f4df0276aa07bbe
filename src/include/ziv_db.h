// The build database: one SQLite file shared by every process of a build.
// Rows are referred to by their integer id; an id below 1 means "not
// identified", and look-ups give 0 when nothing matches.
#pragma once

#include <cstdlib>

#include "ziv_common.h"
#include "ziv_trace.h"

// Every statement is formatted into a buffer of this size; one that does
// not fit is not executed.
constexpr int ZIV_SQL_SIZE = 32768;

extern "C" {

// --- Opening and executing ---------------------------------------------------

// Resolves SQLite and takes the database path from ZIV_TRACE_OUTPUT.
ZIV_EXPORT void init_ziv_sqlite3_cfg(void);
// Opens the database with its busy handler and settings: 0 or -1.
ZIV_EXPORT int ziv_open_sqlite(void);
// One statement (or several), no callback: 0 or -1.
ZIV_EXPORT int ziv_sqlite3_exec(const char* sql, int size);
// The first column of the first row as an integer; 0 without a row, -1 for
// a zero size.
ZIV_EXPORT int ziv_get_data_id(const char* sql, int size);

// --- Look-ups: the id, 0 when absent, -1 when no statement could be made ---

ZIV_EXPORT int ziv_get_obj_id_by_filename(const char* name, const char* table);
// Newest row with this digest and name; a relative name also needs its
// directory id.
ZIV_EXPORT int ziv_get_obj_id_by_checksum(const char* name, const char* checksum, int path_id, const char* table);
// Newest target with this digest, other than `exclude_id` when non-zero.
ZIV_EXPORT int ziv_get_target_obj_id(int exclude_id, const char* checksum);
ZIV_EXPORT int ziv_get_build_time_id(int command_id);
// Id of the working directory, inserted when absent.
ZIV_EXPORT int ziv_db_get_pwd_id(void);

// --- Inserts and updates: 0 or -1 ----------------------------------------------

ZIV_EXPORT int ziv_insert_path_file(const char* path, int size);
ZIV_EXPORT int ziv_insert_source_file(int command_id, int path_id, const char* name, const char* checksum);
ZIV_EXPORT int ziv_insert_head_file_sqlite(int path_id, const char* name, const char* checksum);
ZIV_EXPORT int ziv_insert_target_file(int command_id, int path_id, const char* name, const char* checksum);
ZIV_EXPORT int ziv_update_target_file(int target_id, int command_id);
ZIV_EXPORT int ziv_insert_relation(const char* table, int first_id, int second_id);
ZIV_EXPORT int ziv_insert_target_target(int target_id, int dep_id);
ZIV_EXPORT int ziv_insert_target_source(int target_id, int source_id);
ZIV_EXPORT int ziv_insert_source_source(int source_id, int dep_id);
ZIV_EXPORT int ziv_insert_source_head(int source_id, int head_id);
ZIV_EXPORT int ziv_update_build_command_runtime(int runtime_ms, int command_id);
// The command's argument vector, byte for byte, in build_command_argv_table
// (every argument followed by a zero byte). Fails harmlessly on a database
// made before that table existed.
ZIV_EXPORT int ziv_insert_command_argv(int command_id, int argc, char** argv);
// The command's timing row, replacing an earlier one under its id.
ZIV_EXPORT int ziv_insert_trace_time(int command_id, ziv_trace_time* time);

// --- Dependency recording ------------------------------------------------------

// At entry, after the parser: identify the inputs, then insert the unknown.
ZIV_EXPORT int ziv_init_trace_input(int pwd_id, ziv_trace_file* list);
ZIV_EXPORT int ziv_get_input_id_by_name(ziv_trace_file* node);
ZIV_EXPORT int ziv_get_input_id(int pwd_id, ziv_trace_file* node);
ZIV_EXPORT int ziv_get_input_insert_num(const ziv_trace_file* list);
ZIV_EXPORT int ziv_insert_input_file(int pwd_id, ziv_trace_file* list);
ZIV_EXPORT int ziv_init_trace_paired_input(ziv_trace_info* info);
ZIV_EXPORT int ziv_insert_paired_in_file(ziv_trace_info* info);
// Everything a command's trace record holds about its inputs, recorded
// before main: digests, ids of known files, rows for new ones, plain lists
// and pairs alike.
ZIV_EXPORT void ziv_record_inputs_at_entry(ziv_trace_info* info, int pwd_id);
ZIV_EXPORT int ziv_get_paired_input_id(int pwd_id, ziv_trace_paired_file* node);

// At exit: outputs, the output hook, relations.
ZIV_EXPORT int ziv_parse_trace_info(ziv_trace_info* info);
ZIV_EXPORT int ziv_update_input_id(int pwd_id, ziv_trace_file* list);
ZIV_EXPORT int ziv_insert_input_depend_table(int target_id, const ziv_trace_file* list);
ZIV_EXPORT int ziv_insert_single_input_depend(int target_id, int type, int input_id);
ZIV_EXPORT int ziv_insert_paired_out_file(ziv_trace_info* info);
ZIV_EXPORT int ziv_update_paired_id(ziv_trace_info* info);
ZIV_EXPORT int ziv_insert_paired_depend(ziv_trace_info* info);
ZIV_EXPORT int ziv_insert_depend_2_paired(int direction, ziv_trace_info* info);

// Header files found by header tracing.
ZIV_EXPORT int ziv_prepare_head_file(int pwd_id, ziv_trace_file* list);
ZIV_EXPORT int ziv_insert_head_file(int pwd_id, const ziv_trace_file* list);
ZIV_EXPORT int ziv_update_head_id(int pwd_id, ziv_trace_file* list);
ZIV_EXPORT int ziv_insert_head_depend_table(int source_id, const ziv_trace_file* list);
ZIV_EXPORT int ziv_insert_source_depend_table(int source_id, const ziv_trace_file* list);
// Appends to `list` the headers a source is related to, those of relative
// name only when recorded in directory `pwd_id`, each name once: how many
// were added, -1 when nothing could be read.
ZIV_EXPORT int ziv_append_head_names_of(int source_id, int pwd_id, ziv_trace_file** list);

}  // extern "C"

// At exit, before the connection is used again: whether every file SQLite
// kept open since the entry is still open under its descriptor. A program
// can close those or put its own files on their numbers; then the
// connection is given up (left open, `db` null, so that nothing more is
// written through it), an alert is logged, and the answer is false.
bool ziv_db_descriptors_intact();

// Wraps a group of related writes in one transaction when `wrap` is true:
// begun on construction, committed on destruction whatever the writes did.
// `lock::write` takes the write lock at the start (waiting for it through
// the busy handler), for a group that reads before it writes: a deferred
// group that read would fail its first write if another process of the
// build had written meanwhile.
class ziv_db_group {
public:
    enum class lock { deferred, write };
    explicit ziv_db_group(bool wrap, lock kind = lock::deferred);
    ~ziv_db_group();
    ziv_db_group(const ziv_db_group&) = delete;
    ziv_db_group& operator=(const ziv_db_group&) = delete;

private:
    bool wrapped_;
};

// A text ready to stand between single quotes in a statement: every quote
// written twice, so that a name like it's.c is stored as it is and cannot
// end the literal early. Texts without a quote are used as they are.
class ziv_sql_text {
public:
    explicit ziv_sql_text(const char* text);
    ~ziv_sql_text() { free(owned_); }
    ziv_sql_text(const ziv_sql_text&) = delete;
    ziv_sql_text& operator=(const ziv_sql_text&) = delete;
    bool ok() const { return text_ != nullptr; }
    const char* get() const { return text_; }

private:
    const char* text_ = nullptr;
    char* owned_ = nullptr;
};
