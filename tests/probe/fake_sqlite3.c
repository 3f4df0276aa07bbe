// Stands in for an SQLite library that lacks entry points the tracer needs
// (sqlite3_open_v2, sqlite3_last_insert_rowid).
int sqlite3_open(const char* name, void** db) { (void)name; (void)db; return 1; }
int sqlite3_close(void* db) { (void)db; return 0; }
int sqlite3_exec(void* db, const char* sql, void* cb, void* arg, char** err) { (void)db; (void)sql; (void)cb; (void)arg; (void)err; return 1; }
int sqlite3_get_table(void* db, const char* sql, char*** r, int* n, int* c, char** e) { (void)db; (void)sql; (void)r; (void)n; (void)c; (void)e; return 1; }
void sqlite3_free_table(char** r) { (void)r; }
int sqlite3_busy_handler(void* db, int (*h)(void*, int), void* a) { (void)db; (void)h; (void)a; return 0; }
