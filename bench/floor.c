/* The floor of the launch benchmark: the least a launcher must do to start a program at
 * the normal priority without waiting for it. The new process sets the nice value and
 * the scheduling policy zdrv sets for "normal", then runs the file; vfork keeps this
 * process stopped until the exec has happened, so its exit comes after the program is
 * running, as zdrv's does. No checks and no messages.
 * Usage: floor FILE */
#include <sched.h>
#include <sys/resource.h>
#include <unistd.h>

int main(int argc, char **argv) {
  if (argc < 2) {
    return 2;
  }
  char *const child_argv[] = {argv[1], NULL};
  if (vfork() == 0) {
    struct sched_param param = {0};
    setpriority(PRIO_PROCESS, 0, 0);
    sched_setscheduler(0, SCHED_OTHER, &param);
    execv(argv[1], child_argv);
    _exit(127);
  }
  return 0;
}
