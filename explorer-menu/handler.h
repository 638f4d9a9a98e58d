// The entry "Mit Priorität starten" of Windows 11's first context menu, as Explorer asks
// for it: a root command with one sub-command per priority (explorer-menu/handler.cpp).
#pragma once

#include <windows.h>
// Needs the types of windows.h.
#include <shobjidl.h>

namespace explorer_menu {

// The root command with one reference, or nullptr when memory is short.
IExplorerCommand* create_root_command() noexcept;

}  // namespace explorer_menu
