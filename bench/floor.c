/* The floor of the launch benchmark: the least a launcher must do to start a program at
 * the normal priority without waiting for it. The new process sets the nice value and
 * the scheduling policy zdrv sets for "normal", then runs the file; vfork keeps this
 * process stopped until the exec has happened, so its exit comes after the program is
 * running, as zdrv's does. No checks and no messages.
 *
 * Built with -DWITH_ERROR_PIPE it also learns, as zdrv does, whether the program could
 * be run: the new process writes its error number into a close-on-exec pipe when the
 * exec fails, and end of file means the program is running. The difference between the
 * two builds is what that report costs.
 *
 * Usage: floor FILE */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <sched.h>
#include <sys/resource.h>
#include <unistd.h>

int main(int argc, char **argv) {
  if (argc < 2) {
    return 2;
  }
  char *const child_argv[] = {argv[1], NULL};
#ifdef WITH_ERROR_PIPE
  int report[2];
  if (pipe2(report, O_CLOEXEC) != 0) {
    return 1;
  }
#endif
  if (vfork() == 0) {
    struct sched_param param = {0};
    setpriority(PRIO_PROCESS, 0, 0);
    sched_setscheduler(0, SCHED_OTHER, &param);
    execv(argv[1], child_argv);
#ifdef WITH_ERROR_PIPE
    int error = errno;
    (void)!write(report[1], &error, sizeof error);
#endif
    _exit(127);
  }
#ifdef WITH_ERROR_PIPE
  close(report[1]);
  int error = 0;
  const ssize_t got = read(report[0], &error, sizeof error);
  close(report[0]);
  return got > 0;
#else
  return 0;
#endif
}
