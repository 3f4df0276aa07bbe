/* Logs through glibc's openlog/syslog/closelog, the way ordinary programs do,
 * so the harness self-tests exercise the real client side of /dev/log.
 *
 * ziv_syslog_emitter [--ident NAME] [--pid] [--facility N] [--severity N]
 *                    [--count N] [--orphan] [--delay-ms N] MESSAGE
 *
 * --count N  sends "MESSAGE i" for i = 0..N-1 (otherwise MESSAGE as is)
 * --orphan   prints "parent PID", forks and exits; the child waits until it
 *            has been re-parented, prints "child PID", closes its standard
 *            streams and only then logs.
 */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <syslog.h>
#include <time.h>
#include <unistd.h>

static void sleep_ms(long ms) {
  struct timespec ts = {ms / 1000, (ms % 1000) * 1000000L};
  nanosleep(&ts, NULL);
}

int main(int argc, char** argv) {
  const char* ident = NULL;
  int option = 0, facility = LOG_USER, severity = LOG_NOTICE;
  long count = -1, delay_ms = 0;
  int orphan = 0;
  int i = 1;
  for (; i < argc; ++i) {
    if (!strcmp(argv[i], "--ident") && i + 1 < argc)
      ident = argv[++i];
    else if (!strcmp(argv[i], "--pid"))
      option |= LOG_PID;
    else if (!strcmp(argv[i], "--facility") && i + 1 < argc)
      facility = atoi(argv[++i]) << 3;
    else if (!strcmp(argv[i], "--severity") && i + 1 < argc)
      severity = atoi(argv[++i]);
    else if (!strcmp(argv[i], "--count") && i + 1 < argc)
      count = atol(argv[++i]);
    else if (!strcmp(argv[i], "--delay-ms") && i + 1 < argc)
      delay_ms = atol(argv[++i]);
    else if (!strcmp(argv[i], "--orphan"))
      orphan = 1;
    else
      break;
  }
  if (i + 1 != argc) {
    fprintf(stderr, "usage: see the comment at the top of ziv_syslog_emitter.c\n");
    return 2;
  }
  const char* message = argv[i];

  if (orphan) {
    pid_t parent = getpid();
    printf("parent %ld\n", (long)parent);
    fflush(stdout);
    pid_t c = fork();
    if (c < 0) return 3;
    if (c > 0) _exit(0);
    /* Log strictly after the parent is gone. */
    for (int tries = 0; getppid() == parent; ++tries) {
      if (tries > 20000) return 4;
      sleep_ms(1);
    }
    printf("child %ld\n", (long)getpid());
    fflush(stdout);
    /* With the streams closed only the reaper can still tell we are alive. */
    fclose(stdin);
    fclose(stdout);
    fclose(stderr);
    if (delay_ms > 0) sleep_ms(delay_ms);
  }

  openlog(ident, option, facility);
  if (count < 0) {
    syslog(severity, "%s", message);
  } else {
    for (long n = 0; n < count; ++n) syslog(severity, "%s %ld", message, n);
  }
  closelog();
  return 0;
}
