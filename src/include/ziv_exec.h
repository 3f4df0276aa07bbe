// Children stay inside the build: the exec family and posix_spawn give a
// program started with an environment that lacks this library's LD_PRELOAD
// entry or the build's ZIV_* settings those entries back, as this process
// received them at its start. "ZIV_CARRY_ENV=no" switches it off.
#pragma once

#include "ziv_common.h"

// Taken once by the constructor: this library's LD_PRELOAD entry (with the
// sanitizer runtimes that came before it) and every ZIV_* variable.
void ziv_exec_snapshot();
// The command id this process recorded (decimal text): children get it as
// ZIV_PCOMMAND_ID in place of the one the process received.
void ziv_exec_note_command_id(const char* id_text);
