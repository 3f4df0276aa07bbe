/* Preloaded after the library: its definitions are the "next" ones the
   library finds, and they fail, so the library's handling of a failing real
   function can be seen. */
#include <errno.h>
#include <sys/time.h>

int gettimeofday(struct timeval* tv, void* tz)
{
    (void)tv;
    (void)tz;
    errno = EINVAL;
    return -1;
}
