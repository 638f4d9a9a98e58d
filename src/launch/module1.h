// The launch services: from the user's target text to a started program.
#pragma once

#include <cstdint>
#include <string>

#include "platform/platform.h"

namespace zdrv {

class Module1 {
 public:
  explicit Module1(Platform& platform) : platform_(platform) {}

  // `text` with every occurrence of `find` replaced by `replacement`, left to right and
  // without overlaps; the inserted text is never searched again. An empty `find`, or a
  // `replacement` equal to `find`, leaves the text unchanged.
  static std::u16string ersetzen(const std::u16string& text, const std::u16string& find,
                                 const std::u16string& replacement);

  // Removes every double quote from `target`, passes it through the system's 8-bit text
  // (so `target` afterwards holds what the system sees) and returns its short path form.
  // Empty when the path has no short form, for example because it does not exist.
  std::u16string kurzname(std::u16string& target);

  // True when `path` names an existing entry that is neither a directory nor a volume
  // label. Any failure of the query counts as "does not exist".
  bool vorhanden(const std::u16string& path);

  // Starts exactly the file `path` names as a new process at `priority_class`, inheriting
  // handles, environment and current directory, without waiting for it. True when the
  // program was started.
  bool starten(const std::u16string& path, std::uint32_t priority_class);

 private:
  Platform& platform_;
};

}  // namespace zdrv
