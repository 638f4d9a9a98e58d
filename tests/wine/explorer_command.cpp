// Test helper, x64 only: stands in for Explorer before the handler of Windows 11's first
// menu (zdrv-menu.dll). It loads the DLL from its path, gets the class by its CLSID, builds
// item arrays from real paths as Explorer does, and writes what the handler answered as
// one JSON object.
//
// Usage: explorer_command DLL CLSID describe
//          the titles, icons, flags and sub-commands, the HRESULT of every method given a
//          null pointer, reference counts and DllCanUnloadNow along the way
//        explorer_command DLL CLSID state SELECTION...
//          each selection's state, from the root and from each sub-command
//        explorer_command DLL CLSID invoke SELECTION
//          Invoke of each sub-command in menu order
//        explorer_command DLL CLSID hold READY STOP
//          holds the DLL loaded, as Explorer's surrogate does: makes the file READY, then
//          waits (two minutes at most) until the file STOP exists; writes nothing
// A SELECTION is its paths joined by "*" (which no path holds); "-" is no array at all.
// Exit status: 0 when the JSON was written, 100 and more when the helper failed.
#include <windows.h>
// These need the types of windows.h.
#include <shlobj.h>
#include <shobjidl.h>

#include <cstdio>
#include <string>
#include <vector>

#include "json_text.h"

namespace {

enum Failure : int { kUsage = 100, kLoad = 101, kClass = 102 };

using GetClassObject = HRESULT(WINAPI*)(REFCLSID, REFIID, void**);
using CanUnloadNow = HRESULT(WINAPI*)();

// An exported function as its own type (through the one type GCC lets every function
// pointer pass).
template <typename Function>
Function exported(HMODULE dll, const char* name) {
  return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(GetProcAddress(dll, name)));
}

std::string hresult(HRESULT result) {
  char text[16];
  std::snprintf(text, sizeof text, "\"0x%08lx\"", static_cast<unsigned long>(result));
  return text;
}

// Text the handler allocated: JSON string, or the HRESULT when it gave none.
std::string taken_text(HRESULT result, LPWSTR text) {
  if (FAILED(result) || text == nullptr) {
    return hresult(result);
  }
  std::string json = json_string(text);
  CoTaskMemFree(text);
  return json;
}

struct Handler {
  GetClassObject get_class_object = nullptr;
  CanUnloadNow can_unload_now = nullptr;
  CLSID clsid{};
};

std::vector<std::wstring> split(const std::wstring& selection) {
  std::vector<std::wstring> paths;
  std::size_t start = 0;
  for (;;) {
    const std::size_t star = selection.find(L'*', start);
    paths.push_back(selection.substr(start, star - start));
    if (star == std::wstring::npos) {
      return paths;
    }
    start = star + 1;
  }
}

// The selection's item array (nullptr for "-"), or the failure.
HRESULT item_array(const std::wstring& selection, IShellItemArray** items) {
  *items = nullptr;
  if (selection == L"-") {
    return S_OK;
  }
  std::vector<PIDLIST_ABSOLUTE> lists;
  HRESULT result = S_OK;
  for (const std::wstring& path : split(selection)) {
    PIDLIST_ABSOLUTE list = nullptr;
    result = SHParseDisplayName(path.c_str(), nullptr, &list, 0, nullptr);
    if (FAILED(result)) {
      break;
    }
    lists.push_back(list);
  }
  if (SUCCEEDED(result)) {
    result = SHCreateShellItemArrayFromIDLists(static_cast<UINT>(lists.size()),
                                               const_cast<PCIDLIST_ABSOLUTE*>(lists.data()), items);
  }
  for (PIDLIST_ABSOLUTE list : lists) {
    CoTaskMemFree(list);
  }
  return result;
}

HRESULT root_command(const Handler& handler, IExplorerCommand** root) {
  IClassFactory* factory = nullptr;
  HRESULT result = handler.get_class_object(handler.clsid, IID_IClassFactory,
                                            reinterpret_cast<void**>(&factory));
  if (FAILED(result)) {
    return result;
  }
  result = factory->CreateInstance(nullptr, IID_IExplorerCommand, reinterpret_cast<void**>(root));
  factory->Release();
  return result;
}

// The sub-commands in the order the enumerator gives them.
std::vector<IExplorerCommand*> sub_commands(IExplorerCommand* root) {
  std::vector<IExplorerCommand*> commands;
  IEnumExplorerCommand* all = nullptr;
  if (FAILED(root->EnumSubCommands(&all))) {
    return commands;
  }
  IExplorerCommand* command = nullptr;
  while (all->Next(1, &command, nullptr) == S_OK) {
    commands.push_back(command);
  }
  all->Release();
  return commands;
}

std::string state_of(IExplorerCommand* command, IShellItemArray* items) {
  EXPCMDSTATE state = 0;
  const HRESULT result = command->GetState(items, TRUE, &state);
  if (FAILED(result)) {
    return hresult(result);
  }
  return state == ECS_ENABLED ? "\"enabled\"" : state == ECS_HIDDEN ? "\"hidden\"" : "\"other\"";
}

// What every method answers when a pointer it must write through is null.
std::string null_pointer_results(IExplorerCommand* command) {
  EXPCMDSTATE state = 0;
  std::string json = "{\"GetTitle\": " + hresult(command->GetTitle(nullptr, nullptr));
  json += ", \"GetIcon\": " + hresult(command->GetIcon(nullptr, nullptr));
  json += ", \"GetToolTip\": " + hresult(command->GetToolTip(nullptr, nullptr));
  json += ", \"GetCanonicalName\": " + hresult(command->GetCanonicalName(nullptr));
  json += ", \"GetState\": " + hresult(command->GetState(nullptr, TRUE, nullptr));
  json += ", \"GetState without items\": " + hresult(command->GetState(nullptr, TRUE, &state));
  json += ", \"Invoke\": " + hresult(command->Invoke(nullptr, nullptr));
  json += ", \"GetFlags\": " + hresult(command->GetFlags(nullptr));
  json += ", \"EnumSubCommands\": " + hresult(command->EnumSubCommands(nullptr));
  json += ", \"QueryInterface\": " + hresult(command->QueryInterface(IID_IUnknown, nullptr));
  return json + "}";
}

std::string command_description(IExplorerCommand* command) {
  LPWSTR text = nullptr;
  std::string json = "{\"title\": ";
  HRESULT result = command->GetTitle(nullptr, &text);
  json += taken_text(result, text);
  text = nullptr;
  result = command->GetIcon(nullptr, &text);
  json += ", \"icon\": " + taken_text(result, text);
  EXPCMDFLAGS flags = 0;
  result = command->GetFlags(&flags);
  json += ", \"flags\": " + (SUCCEEDED(result) ? std::to_string(flags) : hresult(result));
  GUID name{};
  result = command->GetCanonicalName(&name);
  json += ", \"canonical_name\": ";
  if (SUCCEEDED(result)) {
    wchar_t guid[40];
    StringFromGUID2(name, guid, 40);
    json += json_string(guid);
  } else {
    json += hresult(result);
  }
  return json + ", \"null_pointers\": " + null_pointer_results(command) + "}";
}

std::string describe(const Handler& handler) {
  std::string json = "{";
  IClassFactory* factory = nullptr;
  const HRESULT other_class =
      handler.get_class_object(IID_IUnknown, IID_IClassFactory, reinterpret_cast<void**>(&factory));
  json += "\"other_class\": " + hresult(other_class);
  json += ", \"null_class_object\": " +
          hresult(handler.get_class_object(handler.clsid, IID_IClassFactory, nullptr));
  HRESULT result = handler.get_class_object(handler.clsid, IID_IClassFactory,
                                            reinterpret_cast<void**>(&factory));
  if (FAILED(result)) {
    return json + ", \"class_object\": " + hresult(result) + "}";
  }
  IUnknown* outer = factory;
  IUnknown* unused = nullptr;
  json += ", \"aggregation\": " +
          hresult(factory->CreateInstance(outer, IID_IUnknown, reinterpret_cast<void**>(&unused)));
  json +=
      ", \"null_instance\": " + hresult(factory->CreateInstance(nullptr, IID_IUnknown, nullptr));
  IExplorerCommand* root = nullptr;
  result = factory->CreateInstance(nullptr, IID_IExplorerCommand, reinterpret_cast<void**>(&root));
  if (FAILED(result)) {
    factory->Release();
    return json + ", \"instance\": " + hresult(result) + "}";
  }
  // The counts AddRef and Release return: the new root holds one reference.
  const ULONG added = root->AddRef();
  const ULONG released = root->Release();
  json += ", \"references\": [" + std::to_string(added) + ", " + std::to_string(released) + "]";
  json += ", \"root\": " + command_description(root);

  IEnumExplorerCommand* all = nullptr;
  root->EnumSubCommands(&all);
  std::vector<IExplorerCommand*> commands(8, nullptr);
  ULONG fetched = 0;
  result = all->Next(static_cast<ULONG>(commands.size()), commands.data(), &fetched);
  json += ", \"next\": [" + hresult(result) + ", " + std::to_string(fetched) + "]";
  json += ", \"next_null\": " + hresult(all->Next(2, commands.data(), nullptr));
  json += ", \"skip_past_end\": " + hresult(all->Skip(1));
  all->Reset();
  IEnumExplorerCommand* clone = nullptr;
  all->Skip(3);
  all->Clone(&clone);
  IExplorerCommand* last = nullptr;
  result = clone->Next(1, &last, nullptr);
  json +=
      ", \"clone_after_three\": " + (result == S_OK ? command_description(last) : hresult(result));
  if (last != nullptr) {
    last->Release();
  }
  clone->Release();
  json += ", \"sub_commands\": [";
  for (ULONG index = 0; index < fetched; ++index) {
    json += (index > 0 ? ", " : "") + command_description(commands[index]);
  }
  json += "]";
  json += ", \"unload_while_held\": " + hresult(handler.can_unload_now());
  std::string last_releases;
  for (ULONG index = 0; index < fetched; ++index) {
    last_releases += std::to_string(commands[index]->Release()) + ", ";
  }
  last_releases += std::to_string(all->Release()) + ", " + std::to_string(root->Release());
  factory->LockServer(TRUE);
  last_releases += ", " + std::to_string(factory->Release());
  json += ", \"last_releases\": [" + last_releases + "]";
  json += ", \"unload_while_locked\": " + hresult(handler.can_unload_now());
  // LockServer is a call on the factory; a new one unlocks what the released one locked.
  handler.get_class_object(handler.clsid, IID_IClassFactory, reinterpret_cast<void**>(&factory));
  factory->LockServer(FALSE);
  factory->Release();
  json += ", \"unload_at_the_end\": " + hresult(handler.can_unload_now());
  return json + "}";
}

std::string states(const Handler& handler, int count, wchar_t** selections) {
  IExplorerCommand* root = nullptr;
  const HRESULT result = root_command(handler, &root);
  if (FAILED(result)) {
    return "{\"instance\": " + hresult(result) + "}";
  }
  std::vector<IExplorerCommand*> commands = sub_commands(root);
  commands.insert(commands.begin(), root);
  std::string json = "{\"states\": [";
  for (int index = 0; index < count; ++index) {
    IShellItemArray* items = nullptr;
    const HRESULT made = item_array(selections[index], &items);
    json += index > 0 ? ", [" : "[";
    if (FAILED(made)) {
      json += "\"no item array: " + hresult(made).substr(1);
    } else {
      for (std::size_t at = 0; at < commands.size(); ++at) {
        json += (at > 0 ? ", " : "") + state_of(commands[at], items);
      }
    }
    json += "]";
    if (items != nullptr) {
      items->Release();
    }
  }
  for (IExplorerCommand* command : commands) {
    command->Release();
  }
  return json + "]}";
}

void hold(const wchar_t* ready, const wchar_t* stop) {
  CloseHandle(CreateFileW(ready, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
  for (int waited = 0; waited < 1200 && GetFileAttributesW(stop) == INVALID_FILE_ATTRIBUTES;
       ++waited) {
    Sleep(100);
  }
}

std::string invoke(const Handler& handler, const wchar_t* selection) {
  IExplorerCommand* root = nullptr;
  HRESULT result = root_command(handler, &root);
  if (FAILED(result)) {
    return "{\"instance\": " + hresult(result) + "}";
  }
  IShellItemArray* items = nullptr;
  result = item_array(selection, &items);
  std::string json = "{\"invoked\": [";
  if (SUCCEEDED(result)) {
    std::vector<IExplorerCommand*> commands = sub_commands(root);
    for (std::size_t at = 0; at < commands.size(); ++at) {
      json += (at > 0 ? ", " : "") + hresult(commands[at]->Invoke(items, nullptr));
      commands[at]->Release();
    }
    if (items != nullptr) {
      items->Release();
    }
  }
  root->Release();
  return json + "], \"item_array\": " + hresult(result) + "}";
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 4) {
    std::fputs("usage: explorer_command DLL CLSID describe|state|invoke [SELECTION...]\n", stderr);
    return kUsage;
  }
  Handler handler;
  if (FAILED(CLSIDFromString(argv[2], &handler.clsid))) {
    return kUsage;
  }
  HMODULE dll = LoadLibraryW(argv[1]);
  if (dll == nullptr) {
    std::fprintf(stderr, "explorer_command: cannot load %ls, error %lu\n", argv[1], GetLastError());
    return kLoad;
  }
  handler.get_class_object = exported<GetClassObject>(dll, "DllGetClassObject");
  handler.can_unload_now = exported<CanUnloadNow>(dll, "DllCanUnloadNow");
  if (handler.get_class_object == nullptr || handler.can_unload_now == nullptr) {
    return kClass;
  }
  CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  const std::wstring action = argv[3];
  std::string json;
  if (action == L"describe") {
    json = describe(handler);
  } else if (action == L"state") {
    json = states(handler, argc - 4, argv + 4);
  } else if (action == L"invoke" && argc == 5) {
    json = invoke(handler, argv[4]);
  } else if (action == L"hold" && argc == 6) {
    hold(argv[4], argv[5]);
    return 0;
  } else {
    return kUsage;
  }
  std::printf("%s\n", json.c_str());
  CoUninitialize();
  return 0;
}
