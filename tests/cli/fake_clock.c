// A time-faking preload of the kind reproducibility checkers use: the wall
// clock says 2033-05-18, every other clock is the real one.
#define _GNU_SOURCE
#include <stddef.h>
#include <sys/syscall.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

static const time_t fake_now = 2000000000;

time_t time(time_t* t)
{
    if (t != NULL) {
        *t = fake_now;
    }
    return fake_now;
}

int clock_gettime(clockid_t clk, struct timespec* ts)
{
    if (clk != CLOCK_REALTIME && clk != CLOCK_REALTIME_COARSE) {
        return (int)syscall(SYS_clock_gettime, clk, ts);
    }
    ts->tv_sec = fake_now;
    ts->tv_nsec = 0;
    return 0;
}

int gettimeofday(struct timeval* tv, void* tz)
{
    (void)tz;
    tv->tv_sec = fake_now;
    tv->tv_usec = 0;
    return 0;
}
