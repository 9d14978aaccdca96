#include "tests/win32/ui/window_test_support.h"

#include <commctrl.h>
#include <shlobj.h>

#include <cstdio>
#include <set>

namespace ui_test {

ScratchFolder::ScratchFolder() {
  wchar_t temp[MAX_PATH];
  GetTempPathW(MAX_PATH, temp);
  static std::atomic<int> counter{0};
  for (int attempt = 0;; ++attempt) {
    root_ = std::wstring(temp) + L"quenvory-ui-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
            std::to_wstring(counter++) + L"-" + std::to_wstring(GetTickCount());
    if (CreateDirectoryW(root_.c_str(), nullptr) || attempt > 100) break;
  }
}

namespace {

// The folder and everything in it.
void removeFolder(const std::wstring& folder) {
  WIN32_FIND_DATAW found;
  const HANDLE search = FindFirstFileW((folder + L"\\*").c_str(), &found);
  if (search != INVALID_HANDLE_VALUE) {
    do {
      const std::wstring name = found.cFileName;
      if (name == L"." || name == L"..") continue;
      if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
        removeFolder(folder + L"\\" + name);
      else
        DeleteFileW((folder + L"\\" + name).c_str());
    } while (FindNextFileW(search, &found));
    FindClose(search);
  }
  RemoveDirectoryW(folder.c_str());
}

}  // namespace

ScratchFolder::~ScratchFolder() { removeFolder(root_); }

std::wstring ScratchFolder::folder(const std::wstring& name) const {
  for (std::size_t end = name.find(L'\\'); end != std::wstring::npos;
       end = name.find(L'\\', end + 1))
    CreateDirectoryW(file(name.substr(0, end)).c_str(), nullptr);
  CreateDirectoryW(file(name).c_str(), nullptr);
  return file(name);
}

void writeFile(const std::wstring& path, const std::vector<std::uint8_t>& bytes) {
  FILE* file = _wfopen(path.c_str(), L"wb");
  if (file == nullptr) return;
  std::fwrite(bytes.data(), 1, bytes.size(), file);
  std::fclose(file);
}

std::vector<std::uint8_t> readFile(const std::wstring& path) {
  std::vector<std::uint8_t> bytes;
  FILE* file = _wfopen(path.c_str(), L"rb");
  if (file == nullptr) return bytes;
  std::uint8_t chunk[4096];
  std::size_t got;
  while ((got = std::fread(chunk, 1, sizeof chunk, file)) > 0)
    bytes.insert(bytes.end(), chunk, chunk + got);
  std::fclose(file);
  return bytes;
}

std::wstring windowText(HWND window) {
  wchar_t text[1024] = L"";
  // WM_GETTEXT reaches windows of other threads and processes alike.
  SendMessageTimeoutW(window, WM_GETTEXT, WPARAM(std::size(text)), LPARAM(text), SMTO_BLOCK, 5000,
                      nullptr);
  return text;
}

std::string utf8(const std::wstring& text) {
  if (text.empty()) return {};
  const int size =
      WideCharToMultiByte(CP_UTF8, 0, text.data(), int(text.size()), nullptr, 0, nullptr, nullptr);
  std::string result(size, '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), int(text.size()), &result[0], size, nullptr,
                      nullptr);
  return result;
}

std::wstring utf16(const std::string& text) {
  if (text.empty()) return {};
  const int size = MultiByteToWideChar(CP_UTF8, 0, text.data(), int(text.size()), nullptr, 0);
  std::wstring result(size, L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text.data(), int(text.size()), &result[0], size);
  return result;
}

namespace {

std::wstring className(HWND window) {
  wchar_t name[64] = L"";
  GetClassNameW(window, name, int(std::size(name)));
  return name;
}

struct Search {
  DWORD processId;
  const wchar_t* windowClass;
  const std::wstring* caption;
  std::vector<HWND> found;
};

BOOL CALLBACK collect(HWND window, LPARAM lParam) {
  auto* search = reinterpret_cast<Search*>(lParam);
  DWORD process = 0;
  GetWindowThreadProcessId(window, &process);
  if (process != search->processId || !IsWindowVisible(window)) return TRUE;
  if (className(window) != search->windowClass) return TRUE;
  if (search->caption != nullptr && windowText(window) != *search->caption) return TRUE;
  search->found.push_back(window);
  return TRUE;
}

std::vector<HWND> topLevel(DWORD processId, const wchar_t* windowClass,
                           const std::wstring* caption) {
  Search search{processId, windowClass, caption, {}};
  EnumWindows(collect, reinterpret_cast<LPARAM>(&search));
  return search.found;
}

}  // namespace

HWND ownedWindow(HWND owner) {
  struct Search {
    HWND owner, found;
  } search{owner, nullptr};
  EnumWindows(
      [](HWND window, LPARAM data) -> BOOL {
        auto* s = reinterpret_cast<Search*>(data);
        if (GetWindow(window, GW_OWNER) != s->owner || !IsWindowVisible(window)) return TRUE;
        s->found = window;
        return FALSE;
      },
      reinterpret_cast<LPARAM>(&search));
  return search.found;
}

HWND findTopLevel(DWORD processId, const wchar_t* windowClass, const std::wstring& caption) {
  const std::vector<HWND> found = topLevel(processId, windowClass, &caption);
  return found.empty() ? nullptr : found.front();
}

bool isMessageBox(HWND dialog) {
  return FindWindowExW(dialog, nullptr, L"SHELLDLL_DefView", nullptr) == nullptr &&
         GetDlgItem(dialog, 0x47C) == nullptr &&
         (GetDlgItem(dialog, IDOK) != nullptr || GetDlgItem(dialog, IDYES) != nullptr);
}

SeenBox describeBox(HWND box, HWND mainWindow) {
  SeenBox seen;
  seen.caption = windowText(box);
  seen.text = windowText(GetDlgItem(box, 0xFFFF));
  seen.owner = GetWindow(box, GW_OWNER);
  seen.yesNo = GetDlgItem(box, IDYES) != nullptr && GetDlgItem(box, IDOK) == nullptr;
  const HICON error = LoadIconW(nullptr, MAKEINTRESOURCEW(32513));
  for (HWND child = GetWindow(box, GW_CHILD); child != nullptr;
       child = GetWindow(child, GW_HWNDNEXT)) {
    if (className(child) != L"Static") continue;
    HICON icon = nullptr;
    DWORD_PTR result = 0;
    if (SendMessageTimeoutW(child, STM_GETICON, 0, 0, SMTO_BLOCK, 5000, &result))
      icon = reinterpret_cast<HICON>(result);
    if (icon != nullptr) {
      seen.anyIcon = true;
      if (icon == error) seen.errorIcon = true;
    }
  }
  seen.mainEnabled = mainWindow != nullptr && IsWindowEnabled(mainWindow);
  return seen;
}

Watcher::Watcher(DWORD processId) : processId_(processId) {
  thread_ = std::thread([this] { run(); });
}

Watcher::~Watcher() {
  stop_ = true;
  thread_.join();
}

void Watcher::run() {
  std::set<HWND> handled;
  while (!stop_) {
    const std::vector<HWND> dialogs = topLevel(processId_, L"#32770", nullptr);
    for (HWND dialog : dialogs) {
      if (handled.count(dialog) != 0) continue;
      handled.insert(dialog);
      // Let the dialog finish initialising before it is read.
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      if (isMessageBox(dialog)) {
        const SeenBox seen = describeBox(dialog, main_);
        BoxCallback callback;
        {
          std::lock_guard<std::mutex> lock(mutex_);
          callback = onBox_;
        }
        if (callback) callback(dialog, seen);
        // Counted only now, so that a test that waits for the box also sees
        // what the callback recorded; closed only after it is counted.
        {
          std::lock_guard<std::mutex> lock(mutex_);
          boxes_.push_back(seen);
        }
        if (!seen.yesNo)
          PostMessageW(dialog, WM_COMMAND, IDOK, 0);
        else if (IsWindow(dialog) && IsWindowVisible(dialog))
          PostMessageW(dialog, WM_COMMAND, IDNO, 0);
      } else {
        FileDialogCallback callback;
        {
          std::lock_guard<std::mutex> lock(mutex_);
          callback = onFileDialog_;
        }
        if (callback) callback(dialog);
        if (IsWindow(dialog)) PostMessageW(dialog, WM_COMMAND, IDCANCEL, 0);
      }
    }
    // Forget windows that are gone: a handle can come back for a new one.
    for (auto it = handled.begin(); it != handled.end();)
      it = IsWindow(*it) ? std::next(it) : handled.erase(it);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

void Watcher::onBox(BoxCallback callback) {
  std::lock_guard<std::mutex> lock(mutex_);
  onBox_ = std::move(callback);
}

void Watcher::onFileDialog(FileDialogCallback callback) {
  std::lock_guard<std::mutex> lock(mutex_);
  onFileDialog_ = std::move(callback);
}

std::vector<SeenBox> Watcher::boxes() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return boxes_;
}

bool Watcher::waitForBoxes(std::size_t count, std::chrono::milliseconds timeout) const {
  return waitFor([&] { return boxes().size() >= count; }, timeout);
}

void answer(HWND box, int button) {
  DWORD_PTR ignored = 0;
  const HWND owner = GetWindow(box, GW_OWNER);
  SendMessageTimeoutW(box, WM_COMMAND, WPARAM(button), 0, SMTO_BLOCK, 5000, &ignored);
  // A dialog's loop notices its end only with the next message: one for a
  // loop beneath this box, which would otherwise wait for the mouse.
  if (owner != nullptr) PostMessageW(owner, WM_NULL, 0, 0);
}

HWND fileList(HWND dialog) {
  const HWND view = FindWindowExW(dialog, nullptr, L"SHELLDLL_DefView", nullptr);
  return view == nullptr ? nullptr : FindWindowExW(view, nullptr, L"SysListView32", nullptr);
}

int findListItem(HWND list, const std::wstring& name) {
  const int count = int(SendMessageW(list, LVM_GETITEMCOUNT, 0, 0));
  for (int item = 0; item < count; ++item) {
    wchar_t text[MAX_PATH] = L"";
    LVITEMW request{};
    request.iSubItem = 0;
    request.pszText = text;
    request.cchTextMax = MAX_PATH;
    SendMessageW(list, LVM_GETITEMTEXTW, item, reinterpret_cast<LPARAM>(&request));
    if (name == text) return item;
  }
  return -1;
}

void selectListItem(HWND list, int item) {
  LVITEMW none{};
  none.stateMask = LVIS_SELECTED | LVIS_FOCUSED;
  none.state = 0;
  SendMessageW(list, LVM_SETITEMSTATE, WPARAM(-1), reinterpret_cast<LPARAM>(&none));
  LVITEMW chosen{};
  chosen.stateMask = LVIS_SELECTED | LVIS_FOCUSED;
  chosen.state = LVIS_SELECTED | LVIS_FOCUSED;
  SendMessageW(list, LVM_SETITEMSTATE, WPARAM(item), reinterpret_cast<LPARAM>(&chosen));
}

bool waitFor(const std::function<bool()>& condition, std::chrono::milliseconds timeout) {
  const auto end = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    if (condition()) return true;
    if (std::chrono::steady_clock::now() >= end) return false;
    pumpMessages();
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

void pumpMessages() {
  MSG message;
  while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
    TranslateMessage(&message);
    DispatchMessageW(&message);
  }
}

}  // namespace ui_test
