// The operations zdrv needs of the operating system. The command run and the launch
// services reach the system only through this interface; win32.cpp and posix.cpp
// implement it, and the unit tests use a fake.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace zdrv {

// 8-bit text in the system's ANSI code page (UTF-8 on POSIX and under a UTF-8 manifest).
using AnsiText = std::string;

// File attribute bits as Windows reports them.
inline constexpr std::uint32_t kAttributeVolumeLabel = 8;
inline constexpr std::uint32_t kAttributeDirectory = 16;

// Priority classes as Windows process creation flags.
inline constexpr std::uint32_t kIdlePriorityClass = 0x40;
inline constexpr std::uint32_t kNormalPriorityClass = 0x20;
inline constexpr std::uint32_t kHighPriorityClass = 0x80;
inline constexpr std::uint32_t kRealtimePriorityClass = 0x100;

enum class MessageStyle : std::uint32_t {
  error = 16,       // one OK button, stop icon
  information = 64  // one OK button, information icon
};

// How the run ended; the process exit status.
enum class ExitStatus : int {
  started = 0,
  usage = 1,
  unknown_priority = 2,
  no_such_file = 3,
  start_failed = 4
};

// The answer of the short-path query, with the meaning of GetShortPathNameA's result:
// `length` is 0 when the path has no short form; when the short form fits the buffer,
// `length` is its size without the terminating null and `buffer` begins with it; when
// it does not fit, `length` is the size needed including the null and `buffer` is
// returned untouched.
struct ShortPathAnswer {
  std::uint32_t length = 0;
  AnsiText buffer;
};

// What a process start is asked to do (the arguments of CreateProcessA that vary).
struct StartRequest {
  AnsiText application_name;  // the file to run, exactly as checked; never searched for
  AnsiText command_line;      // the whole command line the new process sees
  bool inherit_handles = true;
  std::uint32_t creation_flags = 0;  // the priority class alone
};

// The handles a successful start hands back. Both must be closed by the caller.
struct StartedProcess {
  std::uintptr_t process = 0;
  std::uintptr_t thread = 0;
};

class Platform {
 public:
  Platform() = default;
  Platform(const Platform&) = delete;
  Platform& operator=(const Platform&) = delete;
  Platform(Platform&&) = delete;
  Platform& operator=(Platform&&) = delete;
  virtual ~Platform() = default;

  // The arguments part of the program's command line, untrimmed.
  virtual std::u16string argument_text() = 0;

  // The program's one window object. It is never shown.
  virtual void hide_window() = 0;
  virtual void close_window() = 0;

  // A modal message box with one OK button; returns when dismissed. False when the box
  // could not be shown. Only the help (the information style) has several lines, joined
  // by CR LF; an error box is one line, which may hold text from the call.
  virtual bool message_box(const std::u16string& text, const std::u16string& title,
                           MessageStyle style) = 0;

  // Ends the process at once with `status`; no statement of any caller runs after it.
  [[noreturn]] virtual void end_program(ExitStatus status) = 0;

  // Letters lower-cased by the system's case rules (any script, not only ASCII).
  virtual std::u16string lower_case(const std::u16string& text) = 0;

  // Conversion between the program's 16-bit text and the system's 8-bit text. Characters
  // the code page cannot hold are replaced, never dropped silently into a crash.
  virtual AnsiText to_ansi(const std::u16string& text) = 0;
  virtual std::u16string from_ansi(std::string_view text) = 0;

  // GetShortPathNameA: the short form of an existing path, into a buffer of
  // `buffer_size` characters (see ShortPathAnswer).
  virtual ShortPathAnswer short_path(const AnsiText& path, std::size_t buffer_size) = 0;

  // The attribute bits of an existing path; nothing when the query fails (the path does
  // not exist, is empty, or is refused).
  virtual std::optional<std::uint32_t> file_attributes(const AnsiText& path) = 0;

  // CreateProcessA without waiting for the new process; nothing when the start failed.
  virtual std::optional<StartedProcess> create_process(const StartRequest& request) = 0;

  // CloseHandle. False when the handle could not be closed.
  virtual bool close_handle(std::uintptr_t handle) = 0;
};

}  // namespace zdrv
