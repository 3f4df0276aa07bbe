// The random value record-and-replay store, as seen from the lifecycle.
#pragma once

#include "ziv_common.h"

extern "C" {

// Loads or prepares the record file for a program listed for replay.
ZIV_EXPORT void init_ziv_random_conf(void);

}  // extern "C"

// End of process: writes the record file in record mode, then releases the
// store in either mode.
void ziv_random_store_finish();
