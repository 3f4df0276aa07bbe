/* A library of the probe whose constructor runs before the preloaded
   library's: it reports the time and the status of a file as a program's
   own libraries see them at start-up. */
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <time.h>

static int ran;

__attribute__((constructor)) static void fs_early_report(void)
{
    const char* path = getenv("FS_EARLY_PATH");
    ran = 1;
    if (path == NULL) {
        return;
    }
    struct stat s;
    int rc = stat(path, &s);
    printf("early.time=%lld\nearly.rc=%d\nearly.mtime=%lld\n", (long long)time(NULL), rc,
           rc == 0 ? (long long)s.st_mtime : -1LL);
    fflush(stdout);
}

int fs_early_ran(void) { return ran; }
