// Preloaded into zdrv by the end-to-end tests to stand for a file that disappears between
// the check and the start: just before the file that ZDRV_VANISH names is executed, it is
// removed, and the empty file ZDRV_VANISH_MARK is created to show that this happened.
#include <dlfcn.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

namespace {

using ExecvFunction = int (*)(const char*, char* const*);
using ExecveFunction = int (*)(const char*, char* const*, char* const*);

// Runs in the launcher's new process between vfork and exec: system calls and getenv
// only, nothing that allocates or locks.
void remove_if_watched(const char* path) {
  const char* watched = std::getenv("ZDRV_VANISH");
  if (watched == nullptr || std::strcmp(path, watched) != 0) {
    return;
  }
  ::unlink(path);
  if (const char* mark = std::getenv("ZDRV_VANISH_MARK")) {
    ::close(::open(mark, O_WRONLY | O_CREAT | O_CLOEXEC, 0644));
  }
}

template <typename Function>
Function next_definition(const char* name) {
  return reinterpret_cast<Function>(::dlsym(RTLD_NEXT, name));
}

// Looked up when the library is loaded: dlsym may allocate, which a vfork child must not.
const ExecvFunction real_execv = next_definition<ExecvFunction>("execv");
const ExecveFunction real_execve = next_definition<ExecveFunction>("execve");

}  // namespace

extern "C" int execv(const char* path, char* const argv[]) noexcept {
  remove_if_watched(path);
  return real_execv(path, argv);
}

extern "C" int execve(const char* path, char* const argv[], char* const envp[]) noexcept {
  remove_if_watched(path);
  return real_execve(path, argv, envp);
}
