// The window's file dialogs: the open dialog that chooses the image file a
// run uses, and the save dialog that names the file a backup goes to.
#include "ui/file_dialogs.h"

#include <commdlg.h>

#include <algorithm>
#include <cwchar>
#include <vector>

#include "ui/Unit1.h"
#include "ui/app_error.h"

namespace quenvory {
namespace {

// The settings the open and save dialogs share: image files only, by the
// extension they carry; the file name goes into `name`.
OPENFILENAMEW imageFileDialog(HWND owner, std::vector<wchar_t>& name) {
  OPENFILENAMEW options{};
  options.lStructSize = sizeof options;
  options.hwndOwner = owner;
  options.lpstrFilter = L"S7 MMC image files\0*.S7img\0";
  options.nFilterIndex = 1;
  options.lpstrFile = name.data();
  options.nMaxFile = DWORD(name.size());
  options.lpstrDefExt = L"S7img";
  return options;
}

}  // namespace

std::wstring backupFileName(const std::wstring& cardName, const SYSTEMTIME& time) {
  std::wstring name = cardName;
  // A character no file name may hold stands in as "_".
  for (wchar_t& character : name)
    if (character < L' ' || std::wcschr(L"\\/:*?\"<>|", character) != nullptr) character = L'_';
  wchar_t stamp[32];
  std::swprintf(stamp, 32, L"-%04u%02u%02u-%02u%02u%02u.S7img", unsigned(time.wYear),
                unsigned(time.wMonth), unsigned(time.wDay), unsigned(time.wHour),
                unsigned(time.wMinute), unsigned(time.wSecond));
  return name + stamp;
}

void TForm1::btPickFileClick() {
  if (running_) return;
  executeOpenDialog();
}

void TForm1::OpenDialog1SelectionChange(HWND dialog) {
  const LRESULT size = SendMessageW(dialog, CDM_GETFILEPATH, 0, 0);
  if (size <= 0) return;
  std::wstring path(std::size_t(size) + 1, L'\0');
  const LRESULT got = SendMessageW(dialog, CDM_GETFILEPATH, WPARAM(path.size()),
                                   reinterpret_cast<LPARAM>(&path[0]));
  if (got <= 0) return;
  path.resize(wcsnlen(path.c_str(), path.size()));
  setLabelText(kLbFileName, path);
}

UINT_PTR CALLBACK TForm1::openDialogHook(HWND dialog, UINT message, WPARAM, LPARAM lParam) {
  return guarded<UINT_PTR>(0, [&]() -> UINT_PTR {
    if (message == WM_INITDIALOG) {
      const auto* options = reinterpret_cast<const OPENFILENAMEW*>(lParam);
      SetWindowLongPtrW(dialog, DWLP_USER, LONG_PTR(options->lCustData));
      return 0;
    }
    if (message != WM_NOTIFY) return 0;
    auto* self = reinterpret_cast<TForm1*>(GetWindowLongPtrW(dialog, DWLP_USER));
    const auto* notice = reinterpret_cast<const OFNOTIFYW*>(lParam);
    // The dialog also reports the folder it opens on, with nothing selected:
    // the label follows the selection of an item only.
    if (self != nullptr && notice->hdr.code == CDN_SELCHANGE &&
        openDialogHasSelection(GetParent(dialog)))
      self->OpenDialog1SelectionChange(GetParent(dialog));
    return 0;
  });
}

bool TForm1::executeOpenDialog() {
  // Room for long paths; the earlier choice is offered again.
  std::vector<wchar_t> name(32768, L'\0');
  if (fileName_.size() < name.size()) std::copy(fileName_.begin(), fileName_.end(), name.begin());
  OPENFILENAMEW options = imageFileDialog(hwnd_, name);
  // The process's current folder stays where it was: left in the folder the
  // operator browsed to, it would hold that drive open, and on the card it
  // would make the card's volume refuse its lock. The dialog's own flag for
  // that does not hold for an open dialog: the window puts the folder back
  // itself, for both dialogs alike.
  options.Flags = OFN_EXPLORER | OFN_ENABLEHOOK | OFN_HIDEREADONLY | OFN_PATHMUSTEXIST |
                  OFN_FILEMUSTEXIST | OFN_ENABLESIZING;
  options.lCustData = reinterpret_cast<LPARAM>(this);
  options.lpfnHook = openDialogHook;
  bool chosen = false;
  {
    const CurrentFolderKept workingFolder;
    chosen = GetOpenFileNameW(&options) != 0;
  }
  if (!chosen) return false;
  fileName_.assign(name.data());
  // The label followed the selection while the dialog was open; a name typed
  // into the dialog never shows there, so show the file the next write uses.
  setLabelText(kLbFileName, fileName_);
  return true;
}

std::wstring TForm1::executeSaveDialog(const std::wstring& cardName) {
  // Proposed: a name after the card and the time, in the chosen image's
  // folder while it is there (a path in the name is where the dialog opens).
  SYSTEMTIME now;
  GetLocalTime(&now);
  const std::size_t folderEnd = fileName_.find_last_of(L"\\/");
  std::wstring folder =
      folderEnd == std::wstring::npos ? std::wstring() : fileName_.substr(0, folderEnd + 1);
  const DWORD attributes =
      folder.empty() ? INVALID_FILE_ATTRIBUTES : GetFileAttributesW(folder.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0)
    folder.clear();
  const std::wstring proposal = folder + backupFileName(cardName, now);
  std::vector<wchar_t> name(32768, L'\0');
  if (proposal.size() < name.size()) std::copy(proposal.begin(), proposal.end(), name.begin());
  OPENFILENAMEW options = imageFileDialog(hwnd_, name);
  // Read the MMC card into a file, and which card.
  const std::wstring title = L"\u8BFB\u53D6MMC\u5361\u5230\u6587\u4EF6 " + cardName + L":";
  options.lpstrTitle = title.c_str();
  // An existing file is replaced only when the operator says so. The
  // process's current folder is put back as for the open dialog.
  options.Flags = OFN_EXPLORER | OFN_OVERWRITEPROMPT | OFN_HIDEREADONLY | OFN_PATHMUSTEXIST |
                  OFN_NOREADONLYRETURN | OFN_ENABLESIZING;
  const CurrentFolderKept workingFolder;
  if (!GetSaveFileNameW(&options)) return {};
  return name.data();
}

}  // namespace quenvory
