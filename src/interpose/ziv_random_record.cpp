// Random value record and replay. The store itself is not built yet: no
// program is recorded or replayed, and the end of a process has nothing to
// write.
#include "ziv_random_store.h"

extern "C" ZIV_EXPORT void init_ziv_random_conf(void) {}

void ziv_random_store_finish() {}
