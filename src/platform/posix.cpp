// The platform layer on POSIX systems (Linux); only POSIX-specific code belongs here.
// Messages go to standard error with control characters escaped, 8-bit text is UTF-8,
// and a start sets the Linux scheduling policy and nice value that stand for the
// requested priority class.
#include <errno.h>
#include <fcntl.h>
#include <locale.h>
#include <sched.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>
#include <wctype.h>

#include <algorithm>
#include <cstdlib>
#include <string>

#include "command/form1.h"
#include "platform/platform.h"
#include "text/utf.h"

namespace zdrv {
namespace {

using text::append_utf16;
using text::decode_utf16;
using text::utf16_to_utf8;
using text::utf8_to_utf16;

// ---- Case ---------------------------------------------------------------------------

bool is_ascii(const std::u16string& text) {
  return std::all_of(text.begin(), text.end(), [](char16_t unit) { return unit < 0x80; });
}

std::u16string ascii_lower_case(const std::u16string& text) {
  std::u16string out(text.size(), u'\0');
  std::transform(text.begin(), text.end(), out.begin(), [](char16_t unit) {
    return unit >= u'A' && unit <= u'Z' ? static_cast<char16_t>(unit - u'A' + u'a') : unit;
  });
  return out;
}

// Letters of any script lowered by the C.UTF-8 locale's rules (the C locale's, which
// know only ASCII, when that locale is missing).
std::u16string locale_lower_case(const std::u16string& text) {
  const locale_t utf8 = newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(nullptr));
  std::u16string out;
  out.reserve(text.size());
  for (std::size_t pos = 0; pos < text.size();) {
    const char32_t code = decode_utf16(text, pos);
    const auto lowered = utf8 != nullptr ? towlower_l(static_cast<wint_t>(code), utf8)
                                         : towlower(static_cast<wint_t>(code));
    append_utf16(out, static_cast<char32_t>(lowered));
  }
  if (utf8 != nullptr) {
    freelocale(utf8);
  }
  return out;
}

// ---- Messages ------------------------------------------------------------------------

bool write_all(int fd, std::string_view text) {
  while (!text.empty()) {
    const ssize_t written = ::write(fd, text.data(), text.size());
    if (written < 0 && errno == EINTR) {
      continue;
    }
    if (written <= 0) {
      return false;
    }
    text.remove_prefix(static_cast<std::size_t>(written));
  }
  return true;
}

enum class LineBreaks { kept, escaped };

void append_octal_escape(std::string& out, unsigned char byte) {
  out += '\\';
  out += static_cast<char>('0' + (byte >> 6));
  out += static_cast<char>('0' + ((byte >> 3) & 7));
  out += static_cast<char>('0' + (byte & 7));
}

// Standard error is mostly a terminal, and a file name can hold the sequences that clear
// it or retitle its window. So every control character, C0 but the tab, DEL and C1, is
// written as a backslash and the three octal digits of each of its UTF-8 bytes (U+009B
// as \302\233), as coreutils writes names. Every other character is written as it is,
// the backslash too, as coreutils' messages do: doubling it would garble the Windows path
// of the help and every name written the Windows way, and a text that only looks like an
// escape cannot control a terminal. With `kept` line breaks, each CR LF becomes a line
// feed. `text` is valid UTF-8, so C2 80 to C2 9F are exactly the C1 characters.
std::string terminal_safe(std::string_view text, LineBreaks line_breaks) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t pos = 0; pos < text.size(); ++pos) {
    const auto byte = static_cast<unsigned char>(text[pos]);
    const unsigned char next =
        pos + 1 < text.size() ? static_cast<unsigned char>(text[pos + 1]) : '\0';
    if (line_breaks == LineBreaks::kept && byte == '\r' && next == '\n') {
      out += '\n';
      ++pos;
    } else if ((byte < 0x20 && byte != '\t') || byte == 0x7F) {
      append_octal_escape(out, byte);
    } else if (byte == 0xC2 && next >= 0x80 && next <= 0x9F) {
      append_octal_escape(out, byte);
      append_octal_escape(out, next);
      ++pos;
    } else {
      out += text[pos];
    }
  }
  return out;
}

// Standard error whose reader has gone must not end zdrv by SIGPIPE: such a box is passed
// over like any box that cannot be shown, and the run ends with its own status. SIGPIPE
// is blocked for the write alone, so no program zdrv starts inherits the block.
bool write_to_standard_error(std::string_view text) {
  sigset_t pipe_signal;
  sigemptyset(&pipe_signal);
  sigaddset(&pipe_signal, SIGPIPE);
  sigset_t previous;
  if (::sigprocmask(SIG_BLOCK, &pipe_signal, &previous) != 0) {
    return false;
  }
  const bool written = write_all(STDERR_FILENO, text);
  if (!written && sigismember(&previous, SIGPIPE) == 0) {
    const timespec no_wait{};
    while (::sigtimedwait(&pipe_signal, nullptr, &no_wait) == SIGPIPE) {
    }
  }
  ::sigprocmask(SIG_SETMASK, &previous, nullptr);
  return written;
}

// ---- Descriptors and starting -------------------------------------------------------

class Descriptor {
 public:
  Descriptor() = default;
  explicit Descriptor(int fd) : fd_(fd) {}
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  Descriptor(Descriptor&&) = delete;
  Descriptor& operator=(Descriptor&&) = delete;
  ~Descriptor() { reset(); }

  int get() const { return fd_; }
  void reset() {
    if (fd_ >= 0) {
      ::close(fd_);
      fd_ = -1;
    }
  }

 private:
  int fd_ = -1;
};

struct LinuxPriority {
  int policy;
  int static_priority;
  int nice;
};

std::optional<LinuxPriority> linux_priority(std::uint32_t priority_class) {
  switch (priority_class) {
    case kIdlePriorityClass:
      return LinuxPriority{SCHED_IDLE, 0, 19};
    case kNormalPriorityClass:
      return LinuxPriority{SCHED_OTHER, 0, 0};
    case kHighPriorityClass:
      return LinuxPriority{SCHED_OTHER, 0, -10};
    case kRealtimePriorityClass:
      return LinuxPriority{SCHED_RR, 1, 0};
    default:
      return std::nullopt;
  }
}

// Runs in the new process before the program: the error number of the first step that
// failed, or 0. The nice value is set first, so a realtime start from an idle launcher
// does not need a second privilege.
int apply_priority(const LinuxPriority& priority) {
  if (setpriority(PRIO_PROCESS, 0, priority.nice) != 0) {
    return errno;
  }
  sched_param param{};
  param.sched_priority = priority.static_priority;
  if (sched_setscheduler(0, priority.policy, &param) != 0) {
    return errno;
  }
  return 0;
}

// The new process: set the priority, run the file, and on failure report the error
// number through the close-on-exec pipe. It borrows the launcher's memory (vfork), so
// it makes system calls only, never returns, and ends with _exit, never exit: the
// launcher's stdio and atexit handlers belong to the launcher.
[[noreturn]] void run_child(const char* path, const LinuxPriority& priority, int report_fd) {
  int error = apply_priority(priority);
  if (error == 0) {
    char* const argv[] = {const_cast<char*>(path), nullptr};
    ::execv(path, argv);
    error = errno;
  }
  ssize_t written = 0;
  do {
    written = ::write(report_fd, &error, sizeof error);
  } while (written < 0 && errno == EINTR);
  ::_exit(127);
}

// Waits for the word the new process writes when it could not run the program; end of
// file means the program is running.
bool child_reported_failure(int report_fd) {
  int error = 0;
  ssize_t got = 0;
  do {
    got = ::read(report_fd, &error, sizeof error);
  } while (got < 0 && errno == EINTR);
  return got != 0;
}

class PosixPlatform final : public Platform {
 public:
  PosixPlatform(int argc, char** argv) : argc_(argc), argv_(argv) {}

  std::u16string argument_text() override {
    std::string joined;
    for (int i = 1; i < argc_; ++i) {
      if (i > 1) {
        joined += ' ';
      }
      joined += argv_[i];
    }
    return utf8_to_utf16(joined);
  }

  void hide_window() override {}
  void close_window() override {}

  // Only the help has lines of its own, and the core writes all of it: the error boxes
  // are one line each, with a name from the call in it. So a CR LF is a line break in
  // the help alone, and every CR and LF of an error box, which can only be the name's, is
  // shown as an escape: a name cannot add lines, or boxes, of its own.
  bool message_box(const std::u16string& text, const std::u16string& title,
                   MessageStyle style) override {
    std::string out = terminal_safe(utf16_to_utf8(title), LineBreaks::escaped);
    out += '\n';
    out +=
        terminal_safe(utf16_to_utf8(text),
                      style == MessageStyle::information ? LineBreaks::kept : LineBreaks::escaped);
    out += "\n\n";
    return write_to_standard_error(out);
  }

  [[noreturn]] void end_program(ExitStatus status) override { std::exit(static_cast<int>(status)); }

  // ASCII text, every priority keyword among it, is lowered without the C.UTF-8 locale,
  // whose loading (alias file, LC_CTYPE tables) would cost more than the rest of a launch;
  // its rules give the same letters for ASCII.
  std::u16string lower_case(const std::u16string& text) override {
    return is_ascii(text) ? ascii_lower_case(text) : locale_lower_case(text);
  }

  AnsiText to_ansi(const std::u16string& text) override { return utf16_to_utf8(text); }
  std::u16string from_ansi(std::string_view text) override { return utf8_to_utf16(text); }

  // There are no short names here: an existing entry's short form is its path.
  ShortPathAnswer short_path(const AnsiText& path, std::size_t buffer_size) override {
    struct stat info {};
    if (path.empty() || ::lstat(path.c_str(), &info) != 0) {
      return {};
    }
    if (path.size() >= buffer_size) {
      return {static_cast<std::uint32_t>(path.size() + 1), std::string(buffer_size, ' ')};
    }
    return {static_cast<std::uint32_t>(path.size()), path};
  }

  std::optional<std::uint32_t> file_attributes(const AnsiText& path) override {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) {
      return std::nullopt;
    }
    return S_ISDIR(info.st_mode) ? kAttributeDirectory : 0U;
  }

  // Linux has no command line of one string: the program gets the file it runs as its
  // only argument.
  std::optional<StartedProcess> create_process(const StartRequest& request) override {
    const auto priority = linux_priority(request.creation_flags);
    if (!priority || request.application_name.empty()) {
      return std::nullopt;
    }
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) {
      return std::nullopt;
    }
    Descriptor report_read(fds[0]);
    Descriptor report_write(fds[1]);

    // vfork copies no page tables and keeps the launcher stopped until the exec has
    // happened or failed; a launcher that ends right after the start gains nothing from
    // running beside the new process, and fork's copy was a measurable part of its run.
    // The child keeps to what vfork allows in practice (and what the C library's own
    // posix_spawn does): system calls on its own locals, then exec or _exit. posix_spawn
    // itself cannot set a nice value, which idle and high need.
    // cppcheck-suppress vforkCalled
    const pid_t pid = ::vfork();  // NOLINT(clang-analyzer-security.insecureAPI.vfork)
    if (pid < 0) {
      return std::nullopt;
    }
    if (pid == 0) {
      // NOLINTNEXTLINE(clang-analyzer-unix.Vfork): run_child makes system calls only.
      run_child(request.application_name.c_str(), *priority, report_write.get());
    }
    report_write.reset();
    if (child_reported_failure(report_read.get())) {
      int status = 0;
      while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
      }
      return std::nullopt;
    }
    return StartedProcess{static_cast<std::uintptr_t>(pid), 0};
  }

  // A process id holds nothing open; the started program is not waited for.
  bool close_handle(std::uintptr_t /*handle*/) override { return true; }

 private:
  int argc_;
  char** argv_;
};

}  // namespace
}  // namespace zdrv

int main(int argc, char** argv) {
  zdrv::PosixPlatform platform(argc, argv);
  zdrv::Form1 form(platform);
  form.load();
}
