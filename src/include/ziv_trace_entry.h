// Where tracing begins and ends in every process: the tool table, the rows
// outside it, the entry before main and the finish at exit.
#pragma once

#include "ziv_common.h"
#include "ziv_trace.h"

// Rows of the tool table.
constexpr int ZIV_TRACE_TOOL_COUNT = 72;

extern "C" {

// Known tools, searched in order by exact name.
ZIV_EXPORT extern ziv_trace_cmd g_trace_compile_group[ZIV_TRACE_TOOL_COUNT];

// 1 leaves the process untraced: tracing off, "sh -c", white-listed names.
ZIV_EXPORT int ziv_trace_skip(int argc, char** argv);
// The table row of this program (cross prefix, version suffix and trace
// map applied), or null.
ZIV_EXPORT ziv_trace_cmd* ziv_lookup_trace_cmd(void);
// Records the command in the open database and runs the row's parser.
ZIV_EXPORT void ziv_trace_command(int argc, char** argv, ziv_trace_cmd* row);
// Tool row and command row of this command line: the command id (> 0), 0
// when the command log could not be built or the INSERT failed, -1 when the
// tool row could not be written.
ZIV_EXPORT int ziv_parse_build_command(int argc, char** argv, int pwd_id);
// Id of the tool program `path` in tool_file_table (inserted with its
// digest when absent), or -1.
ZIV_EXPORT int ziv_db_insert_tool(const char* path);
// Inserts a build_command_table row: the new id, 0 when the INSERT failed,
// -1 on bad arguments or no memory.
ZIV_EXPORT int ziv_db_insert_command(int tool_id, int pwd_id, const char* log);
// The command line as stored: arguments joined by one space, single quotes
// doubled. Newly allocated (free() it), or null.
ZIV_EXPORT char* ziv_get_cmd_log(int argc, char** argv);
// Exports `id` in ZIV_PCOMMAND_ID for every process this command starts.
ZIV_EXPORT void ziv_set_parentid(int id);
// Records a second command row for a vector a parser expanded (response
// files) and makes it the row's command: the id, or -1 / 0 as
// ziv_parse_build_command.
ZIV_EXPORT int ziv_parse_cmd_default(int argc, char** argv, ziv_trace_cmd* row);
// Starts the tools of ZIV_TRACE_BUILD_TOOLNAME on this command line.
ZIV_EXPORT void ziv_forward_build_command(int argc, char** argv, int command_id);

}  // extern "C"

// Hidden: rows outside the table and the lookup by exact name.
extern ziv_trace_cmd g_trace_template_cmd;
extern ziv_trace_cmd g_trace_build_default;
// The row of g_trace_compile_group named `name`; null for null, empty or
// unknown names.
ziv_trace_cmd* get_compile_parse_cmd(const char* name);
// Id of the tool file at the absolute path, inserted when absent; -1.
int insert_process_file(const char* abs_path);
