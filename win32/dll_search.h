// The first step of every Windows program's entry point. Both programs run
// as administrator from wherever a download was unpacked, often a Downloads
// folder a web page can drop files into: a DLL the system loads later on
// their behalf (the file dialogs pull in shell, theme and crypto DLLs that
// are no "known DLLs") must come from the system folder, never from the
// program's own folder or the current one.
#pragma once

#include <windows.h>

namespace win32 {

// Restricts where DLLs are loaded from to the system folder, for the rest of
// the process. Called before any dialog, font or console call.
inline void restrictDllSearch() {
  // Windows 7 has the call only with its update KB2533623, so it is looked
  // up in kernel32, which every process has loaded already.
  using SetDefaultDllDirectoriesCall = BOOL(WINAPI*)(DWORD);
  const HMODULE kernel32 = GetModuleHandleW(L"kernel32.dll");
  const auto setDefaultDllDirectories =
      kernel32 == nullptr ? nullptr
                          : reinterpret_cast<SetDefaultDllDirectoriesCall>(reinterpret_cast<void*>(
                                GetProcAddress(kernel32, "SetDefaultDllDirectories")));
  if (setDefaultDllDirectories != nullptr) setDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);
  // The current folder out of the search of any call that still uses the
  // old order (and of every call on a Windows 7 without the update).
  SetDllDirectoryW(L"");
}

}  // namespace win32
