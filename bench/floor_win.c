/* The floor of the launch benchmark under Wine: the least a Windows launcher must do to
 * start a program at the normal priority without waiting for it. It checks that the file
 * is there, starts it as zdrv.exe does (the file as application name and as command
 * line, handles inherited, NORMAL_PRIORITY_CLASS) and closes the two handles it gets.
 * kernel32 only, no user32: no checks beyond the one, no messages.
 *
 * Usage: floor.exe FILE (a path without blanks, as the benchmark gives it) */
#include <windows.h>

int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous, LPSTR command_line, int show) {
  (void)instance;
  (void)previous;
  (void)show;
  /* The C runtime hands WinMain the command line after the program's own name and the
   * blanks that follow it: the file. Its copy of the line is writable, as CreateProcess
   * wants. */
  if (command_line[0] == '\0' || GetFileAttributesA(command_line) == INVALID_FILE_ATTRIBUTES) {
    return 2;
  }
  STARTUPINFOA startup = {0};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process = {0};
  if (!CreateProcessA(command_line, command_line, NULL, NULL, TRUE, NORMAL_PRIORITY_CLASS, NULL,
                      NULL, &startup, &process)) {
    return 1;
  }
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return 0;
}
