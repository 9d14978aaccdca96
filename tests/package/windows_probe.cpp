// What the release check asks of a shipped Windows executable, under Wine:
//
//   windows_probe version EXE          its version information, one
//                                      "Name=value" line each, as Explorer's
//                                      Properties > Details reads it
//   windows_probe window EXE CAPTION   starts EXE, waits for its main window
//                                      titled CAPTION, closes it; exit 0 when
//                                      the window came and the program ended
//                                      with 0
//
// Built by scripts/check-package alone, so the check needs no test build;
// the Windows tests build it too, to read the executables' version.
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

std::string utf8(const std::wstring& text) {
  if (text.empty()) return {};
  const int size =
      WideCharToMultiByte(CP_UTF8, 0, text.c_str(), int(text.size()), nullptr, 0, nullptr, nullptr);
  std::string bytes(size, '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.c_str(), int(text.size()), &bytes[0], size, nullptr,
                      nullptr);
  return bytes;
}

int printVersion(const wchar_t* exe) {
  DWORD ignored = 0;
  const DWORD size = GetFileVersionInfoSizeW(exe, &ignored);
  if (size == 0) {
    std::fprintf(stderr, "no version information (error %lu)\n", GetLastError());
    return 1;
  }
  std::vector<char> info(size);
  if (!GetFileVersionInfoW(exe, 0, size, info.data())) return 1;
  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT length = 0;
  if (!VerQueryValueW(info.data(), L"\\", reinterpret_cast<void**>(&fixed), &length) ||
      fixed == nullptr)
    return 1;
  const auto version = [](DWORD high, DWORD low) {
    return std::to_string(HIWORD(high)) + "." + std::to_string(LOWORD(high)) + "." +
           std::to_string(HIWORD(low)) + "." + std::to_string(LOWORD(low));
  };
  std::printf("FixedFileVersion=%s\n",
              version(fixed->dwFileVersionMS, fixed->dwFileVersionLS).c_str());
  std::printf("FixedProductVersion=%s\n",
              version(fixed->dwProductVersionMS, fixed->dwProductVersionLS).c_str());
  for (const wchar_t* name : {L"ProductName", L"FileDescription", L"FileVersion", L"ProductVersion",
                              L"OriginalFilename", L"CompanyName", L"LegalCopyright"}) {
    const std::wstring query = std::wstring(L"\\StringFileInfo\\040904B0\\") + name;
    wchar_t* value = nullptr;
    if (VerQueryValueW(info.data(), query.c_str(), reinterpret_cast<void**>(&value), &length) &&
        value != nullptr)
      std::printf("%s=%s\n", utf8(name).c_str(), utf8(value).c_str());
  }
  return 0;
}

struct Search {
  DWORD process;
  HWND found;
};

BOOL CALLBACK findMainWindow(HWND window, LPARAM data) {
  auto* search = reinterpret_cast<Search*>(data);
  DWORD process = 0;
  GetWindowThreadProcessId(window, &process);
  wchar_t className[64] = {};
  GetClassNameW(window, className, 64);
  if (process == search->process && IsWindowVisible(window) &&
      std::wstring(className) == L"TForm1") {
    search->found = window;
    return FALSE;
  }
  return TRUE;
}

int startWindow(const wchar_t* exe, const std::wstring& caption) {
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  std::wstring commandLine = L"\"" + std::wstring(exe) + L"\"";
  if (!CreateProcessW(exe, &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                      &process)) {
    std::fprintf(stderr, "does not start (error %lu)\n", GetLastError());
    return 1;
  }
  Search search{process.dwProcessId, nullptr};
  for (int waited = 0; waited < 300 && search.found == nullptr; ++waited) {
    if (WaitForSingleObject(process.hProcess, 100) == WAIT_OBJECT_0) break;
    EnumWindows(findMainWindow, reinterpret_cast<LPARAM>(&search));
  }
  int result = 1;
  if (search.found == nullptr) {
    std::fprintf(stderr, "no main window came\n");
  } else {
    wchar_t text[256] = {};
    GetWindowTextW(search.found, text, 256);
    std::printf("caption=%s\n", utf8(text).c_str());
    PostMessageW(search.found, WM_CLOSE, 0, 0);
    DWORD code = 1;
    if (WaitForSingleObject(process.hProcess, 10000) == WAIT_OBJECT_0 &&
        GetExitCodeProcess(process.hProcess, &code) && code == 0 && caption == text)
      result = 0;
    else
      std::fprintf(stderr, "the window is not \"%s\", or the program did not end with 0\n",
                   utf8(caption).c_str());
  }
  if (WaitForSingleObject(process.hProcess, 0) == WAIT_TIMEOUT)
    TerminateProcess(process.hProcess, 1);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return result;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  const std::wstring what = argc > 1 ? argv[1] : L"";
  if (what == L"version" && argc == 3) return printVersion(argv[2]);
  if (what == L"window" && argc == 4) return startWindow(argv[2], argv[3]);
  std::fprintf(stderr, "usage: windows_probe version EXE | window EXE CAPTION\n");
  return 2;
}
