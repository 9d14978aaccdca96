// The programs' first step, in a process of its own: a DLL that lies in the
// program's folder, or in the current folder, loads before it and is
// refused after it, while the system's own DLLs still load.
#include "win32/dll_search.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <string>

namespace {

constexpr const wchar_t* kProbe = L"quenvory_probe.dll";
// The same DLL under another name, copied into the current folder only.
constexpr const wchar_t* kCurrentFolderProbe = L"quenvory_probe_cwd.dll";

std::wstring programFolder() {
  wchar_t path[MAX_PATH] = {};
  const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
  std::wstring folder(path, length);
  return folder.substr(0, folder.find_last_of(L"\\/"));
}

// Loads `name` as a program does when it names no folder; true when some
// folder the system searched held it (and it is the probe).
bool loads(const wchar_t* name) {
  const HMODULE module = LoadLibraryW(name);
  if (module == nullptr) return false;
  const bool probe = GetProcAddress(module, "quenvoryProbeAnswer") != nullptr;
  FreeLibrary(module);
  return probe;
}

TEST(DllSearch, AFolderOtherThanTheSystemsIsSearchedBeforeTheStepAndNeverAfter) {
  // The current folder: a scratch folder holding a copy of the probe.
  wchar_t temp[MAX_PATH] = {};
  ASSERT_GT(GetTempPathW(MAX_PATH, temp), 0u);
  const std::wstring scratch =
      std::wstring(temp) + L"quenvory-dll-search-" + std::to_wstring(GetCurrentProcessId());
  ASSERT_TRUE(CreateDirectoryW(scratch.c_str(), nullptr));
  const std::wstring copy = scratch + L"\\" + kCurrentFolderProbe;
  ASSERT_TRUE(CopyFileW((programFolder() + L"\\" + kProbe).c_str(), copy.c_str(), TRUE));
  ASSERT_TRUE(SetCurrentDirectoryW(scratch.c_str()));

  // Without the step both folders are searched: the probe is found there.
  EXPECT_TRUE(loads(kProbe)) << "the program's folder";
  EXPECT_TRUE(loads(kCurrentFolderProbe)) << "the current folder";

  win32::restrictDllSearch();

  EXPECT_FALSE(loads(kProbe)) << "the program's folder";
  EXPECT_FALSE(loads(kCurrentFolderProbe)) << "the current folder";
  // A DLL of the system's, not loaded before, still loads.
  const HMODULE system = LoadLibraryW(L"version.dll");
  EXPECT_NE(system, nullptr);
  if (system != nullptr) FreeLibrary(system);

  SetCurrentDirectoryW(temp);
  DeleteFileW(copy.c_str());
  RemoveDirectoryW(scratch.c_str());
}

}  // namespace
