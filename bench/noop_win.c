/* The Windows program the launchers start under Wine: a window-less program that ends at
 * once, so a launch's cost is the launcher's own. Built with -DUSE_USER32 it also lowers
 * a word with user32's CharLowerBuffW, as zdrv.exe does, to show what loading user32
 * alone costs. */
#include <windows.h>

int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous, LPSTR command_line, int show) {
  (void)instance;
  (void)previous;
  (void)command_line;
  (void)show;
#ifdef USE_USER32
  WCHAR word[] = L"NORMAL";
  CharLowerBuffW(word, 6);
  return word[0] == L'n' ? 0 : 1;
#else
  return 0;
#endif
}
