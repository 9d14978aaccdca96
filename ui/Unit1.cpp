#include "ui/Unit1.h"

#include <commctrl.h>
#include <commdlg.h>

#include <algorithm>
#include <cstring>
#include <cwchar>
#include <iterator>

#include "card/backup_run.h"
#include "card/compare_run.h"
#include "card/write_run.h"
#include "ui/app_error.h"
#include "ui/chinese_font.h"
#include "ui/session_guard.h"

namespace quenvory {
namespace {

constexpr const wchar_t* kFormClass = L"TForm1";
constexpr const wchar_t* kPanelClass = L"QuenvoryPanel";
// Shown by the system to a user who asks for a log-off or shut-down during an
// operation on the card.
constexpr const wchar_t* kSessionReason =
    L"writing to the MMC card: ending the session now leaves the card half-written";
constexpr const wchar_t* kReadSessionReason =
    L"reading the MMC card into a file: ending the session now leaves no backup";
constexpr const wchar_t* kCompareSessionReason = L"comparing the MMC card with an image file";

// Marks that an operation on the card (a write, a backup, a comparison) is
// running for as long as it runs, whichever way it ends, and keeps the
// controls that would start a second one disabled.
class RunGuard {
 public:
  RunGuard(bool& running, HWND start, HWND pickFile)
      : running_(running), start_(start), pickFile_(pickFile) {
    running_ = true;
    EnableWindow(start_, FALSE);
    EnableWindow(pickFile_, FALSE);
  }
  ~RunGuard() {
    EnableWindow(start_, TRUE);
    EnableWindow(pickFile_, TRUE);
    running_ = false;
  }
  RunGuard(const RunGuard&) = delete;
  RunGuard& operator=(const RunGuard&) = delete;

 private:
  bool& running_;
  HWND start_;
  HWND pickFile_;
};

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

std::wstring normaliseDriveText(const std::wstring& text, UINT codePage) {
  std::wstring result = text;
  if (!result.empty()) CharUpperBuffW(&result[0], DWORD(result.size()));
  // Each character with the number of bytes it takes in the code page; a
  // character the code page cannot hold stands in as one byte.
  struct Character {
    std::size_t at, units;
    int bytes;
  };
  std::vector<Character> characters;
  int totalBytes = 0;
  for (std::size_t at = 0; at < result.size();) {
    const std::size_t units = IS_HIGH_SURROGATE(result[at]) && at + 1 < result.size() ? 2 : 1;
    int bytes =
        WideCharToMultiByte(codePage, 0, &result[at], int(units), nullptr, 0, nullptr, nullptr);
    if (bytes < 1) bytes = 1;
    characters.push_back({at, units, bytes});
    totalBytes += bytes;
    at += units;
  }
  if (totalBytes < 2) return result;
  // The character that holds the second byte goes; when that byte is the
  // second half of a double-byte character, the whole character goes with it.
  int byte = 0;
  for (const Character& character : characters) {
    if (byte + character.bytes > 1) {
      result.erase(character.at, character.units);
      break;
    }
    byte += character.bytes;
  }
  return result;
}

TForm1::TForm1(card::DiskServices& disk, std::wstring caption, bool endsApplication)
    : disk_(disk), caption_(std::move(caption)), endsApplication_(endsApplication) {}

TForm1::~TForm1() {
  if (hwnd_ != nullptr) {
    endsApplication_ = false;
    DestroyWindow(hwnd_);
  }
}

void TForm1::create(HINSTANCE instance) {
  HICON icon = LoadIconW(instance, MAKEINTRESOURCEW(1));
  if (icon == nullptr) icon = LoadIconW(nullptr, MAKEINTRESOURCEW(32512));  // the application's
  registerWindowClass(instance, kFormClass, windowProc,
                      reinterpret_cast<HBRUSH>(COLOR_BTNSHADOW + 1), icon);
  registerWindowClass(instance, kPanelClass, panelProc, nullptr);

  LOGFONTW face{};
  wcscpy(face.lfFaceName, L"MS Sans Serif");
  face.lfHeight = -11;
  face.lfWeight = FW_NORMAL;
  face.lfCharSet = DEFAULT_CHARSET;
  windowFont_.reset(CreateFontIndirectW(&face));
  windowChineseFont_.reset(chineseFont(face));
  face.lfHeight = -16;
  face.lfWeight = FW_BOLD;
  largeBoldFont_.reset(chineseFont(face));
  silver_.reset(CreateSolidBrush(kSilver));
  if (!windowFont_ || !windowChineseFont_ || !largeBoldFont_ || !silver_)
    throw AppError("the main window's fonts cannot be made");

  constexpr DWORD kStyle = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_CLIPCHILDREN;
  constexpr DWORD kExStyle = WS_EX_DLGMODALFRAME | WS_EX_WINDOWEDGE | WS_EX_CONTROLPARENT;
  RECT frame{0, 0, kClientWidth, kClientHeight};
  AdjustWindowRectEx(&frame, kStyle, FALSE, kExStyle);
  if (CreateWindowExW(kExStyle, kFormClass, caption_.c_str(), kStyle, kWindowLeft, kWindowTop,
                      frame.right - frame.left, frame.bottom - frame.top, nullptr, nullptr,
                      instance, this) == nullptr)
    throw AppError("the main window cannot be created");
}

LRESULT CALLBACK TForm1::windowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  return guarded<LRESULT>(0, [&]() -> LRESULT {
    TForm1* self;
    if (message == WM_NCCREATE) {
      self = static_cast<TForm1*>(reinterpret_cast<CREATESTRUCTW*>(lParam)->lpCreateParams);
      self->hwnd_ = window;
      SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
    } else {
      self = reinterpret_cast<TForm1*>(GetWindowLongPtrW(window, GWLP_USERDATA));
    }
    if (self == nullptr) return DefWindowProcW(window, message, wParam, lParam);
    if (message == WM_NCDESTROY) {
      SetWindowLongPtrW(window, GWLP_USERDATA, 0);
      self->hwnd_ = nullptr;
      self->controls_.clear();
      return DefWindowProcW(window, message, wParam, lParam);
    }
    return self->onMessage(message, wParam, lParam);
  });
}

LRESULT TForm1::onMessage(UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_CREATE:
      onCreate();
      return 0;
    case WM_COMMAND:
      if (lParam != 0) {
        const ControlSpec* row = controlRow(LOWORD(wParam));
        if (row != nullptr && row->onCommand != nullptr) row->onCommand(*this, HIWORD(wParam));
      }
      return 0;
    case WM_CTLCOLORSTATIC:
    case WM_CTLCOLOREDIT:
    case WM_CTLCOLORLISTBOX:
      return onColor(message, reinterpret_cast<HDC>(wParam), reinterpret_cast<HWND>(lParam));
    case WM_SYSCOMMAND:
      if (const SystemMenuItem* item = systemMenuItem(wParam)) {
        item->onSelect(*this);
        return 0;
      }
      return DefWindowProcW(hwnd_, message, wParam, lParam);
    case WM_CLOSE:
      onClose();
      return 0;
    case WM_QUERYENDSESSION:
      // A log-off or shut-down waits for the run to end.
      return running_ ? FALSE : TRUE;
    case WM_ENDSESSION:
      onEndSession(wParam != FALSE);
      return 0;
    case WM_DESTROY:
      if (endsApplication_) PostQuitMessage(0);
      return 0;
    default:
      return DefWindowProcW(hwnd_, message, wParam, lParam);
  }
}

void TForm1::onCreate() {
  SendMessageW(hwnd_, WM_SETFONT, reinterpret_cast<WPARAM>(windowFont_.get()), FALSE);
  // Backing up and comparing live in the caption's menu, so that the window
  // keeps its controls exactly as they are.
  const HMENU systemMenu = GetSystemMenu(hwnd_, FALSE);
  if (systemMenu == nullptr || !AppendMenuW(systemMenu, MF_SEPARATOR, 0, nullptr))
    throw AppError("the window's system menu cannot be extended");
  for (const SystemMenuItem& item : systemMenuItems())
    if (!AppendMenuW(systemMenu, MF_STRING, item.id, item.text))
      throw AppError("the window's system menu cannot be extended");
  const HINSTANCE instance = reinterpret_cast<HINSTANCE>(GetWindowLongPtrW(hwnd_, GWLP_HINSTANCE));
  for (const ControlSpec& row : controlTable())
    controls_.emplace_back(row.id, createControl(row, instance));
  // The tab order: creation order decides it, so put the controls that take
  // part in it in that order at the bottom of the window's z-order.
  std::vector<const ControlSpec*> ordered;
  for (const ControlSpec& row : controlTable())
    if (row.tabOrder >= 0 && row.parent == 0) ordered.push_back(&row);
  std::sort(ordered.begin(), ordered.end(),
            [](const ControlSpec* a, const ControlSpec* b) { return a->tabOrder < b->tabOrder; });
  for (const ControlSpec* row : ordered)
    SetWindowPos(control(row->id), HWND_BOTTOM, 0, 0, 0, 0,
                 SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
  // The labels lie beneath the other controls, and each label beneath the
  // ones listed after it: a caption's trailing spaces, wider in a Chinese face
  // than the layout allows for, never paint over the drive field or the file
  // name.
  const std::vector<ControlSpec>& table = controlTable();
  for (auto row = table.rbegin(); row != table.rend(); ++row)
    if (row->kind == ControlKind::Label)
      SetWindowPos(control(row->id), HWND_BOTTOM, 0, 0, 0, 0,
                   SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
}

HWND TForm1::createControl(const ControlSpec& row, HINSTANCE instance) {
  struct KindClass {
    const wchar_t* windowClass;
    DWORD style;
    DWORD exStyle;
  };
  static const KindClass kinds[] = {
      /* Label */ {L"Static", SS_LEFT | SS_NOPREFIX | WS_CLIPSIBLINGS, 0},
      /* Button */ {L"Button", BS_PUSHBUTTON | WS_TABSTOP, 0},
      /* ComboBox */ {L"ComboBox", CBS_DROPDOWN | CBS_AUTOHSCROLL | WS_VSCROLL | WS_TABSTOP, 0},
      /* Panel */ {kPanelClass, WS_CLIPCHILDREN, WS_EX_CONTROLPARENT},
      /* ProgressBar */ {PROGRESS_CLASSW, PBS_SMOOTH, 0},
  };
  const KindClass& kind = kinds[static_cast<int>(row.kind)];
  // A combo box is created at the height of its dropped-down list.
  const int height = row.kind == ControlKind::ComboBox
                         ? row.height + row.itemHeight * int(row.items.size()) + 4
                         : row.height;
  const HWND parent = row.parent == 0 ? hwnd_ : control(row.parent);
  const HWND created =
      CreateWindowExW(kind.exStyle, kind.windowClass, row.text,
                      WS_CHILD | (row.visible ? WS_VISIBLE : 0) | kind.style | row.style, row.left,
                      row.top, row.width, height, parent,
                      reinterpret_cast<HMENU>(static_cast<INT_PTR>(row.id)), instance, this);
  if (created == nullptr)
    throw AppError(std::string("the control ") + row.name + " cannot be created");
  SendMessageW(created, WM_SETFONT, reinterpret_cast<WPARAM>(font(row.font)), FALSE);

  switch (row.kind) {
    case ControlKind::Label:
      sizeLabel(created);
      break;
    case ControlKind::ComboBox:
      for (const wchar_t* item : row.items)
        SendMessageW(created, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(item));
      // Fit the closed field to the description's height; the field's
      // borders depend on the system's theme, so measure and correct.
      for (int attempt = 0; attempt < 3; ++attempt) {
        RECT bounds;
        GetWindowRect(created, &bounds);
        const int off = row.height - (bounds.bottom - bounds.top);
        const LRESULT field = SendMessageW(created, CB_GETITEMHEIGHT, WPARAM(-1), 0);
        if (off == 0 || field <= 0 || field + off <= 0) break;
        SendMessageW(created, CB_SETITEMHEIGHT, WPARAM(-1), field + off);
      }
      SendMessageW(created, CB_SETITEMHEIGHT, 0, row.itemHeight);
      SetWindowTextW(created, row.text);
      break;
    case ControlKind::ProgressBar:
      SendMessageW(created, PBM_SETRANGE32, 0, 100);
      SendMessageW(created, PBM_SETPOS, 0, 0);
      break;
    default:
      break;
  }
  return created;
}

HWND TForm1::control(ControlId id) const {
  for (const auto& entry : controls_)
    if (entry.first == id) return entry.second;
  return nullptr;
}

HWND TForm1::control(const char* name) const {
  for (const ControlSpec& row : controlTable())
    if (std::strcmp(row.name, name) == 0) return control(row.id);
  return nullptr;
}

HFONT TForm1::font(FontRole role) const {
  switch (role) {
    case FontRole::WindowChinese:
      return windowChineseFont_.get();
    case FontRole::LargeBold:
      return largeBoldFont_.get();
    default:
      return windowFont_.get();
  }
}

void TForm1::sizeLabel(HWND label) {
  std::wstring text = windowText(label);
  // An empty caption measures as one space.
  if (text.empty()) text = L" ";
  RECT extent{0, 0, 0, 0};
  {
    const WindowDC dc(label);
    const SelectedObject font(dc.get(),
                              reinterpret_cast<HFONT>(SendMessageW(label, WM_GETFONT, 0, 0)));
    DrawTextW(dc.get(), text.c_str(), int(text.size()), &extent,
              DT_CALCRECT | DT_SINGLELINE | DT_NOPREFIX | DT_EXPANDTABS);
  }

  RECT old;
  GetWindowRect(label, &old);
  const HWND parent = GetParent(label);
  MapWindowPoints(nullptr, parent, reinterpret_cast<POINT*>(&old), 2);
  LONG width = extent.right - extent.left;
  // A label that shortens its caption with an ellipsis ends at the window's
  // edge: the system draws the ellipsis where the label ends, and the part of
  // a wider label beyond the edge would only be cut off.
  if ((GetWindowLongPtrW(label, GWL_STYLE) & SS_ELLIPSISMASK) != 0) {
    RECT client;
    GetClientRect(parent, &client);
    width = std::max(0L, std::min(width, client.right - old.left));
  }
  SetWindowPos(label, nullptr, 0, 0, width, extent.bottom - extent.top,
               SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
  // What the label covered before and no longer covers shows the window again.
  InvalidateRect(parent, &old, TRUE);
  InvalidateRect(label, nullptr, TRUE);
}

void TForm1::setLabelText(ControlId id, const std::wstring& text) {
  const HWND label = control(id);
  if (label == nullptr) return;
  SetWindowTextW(label, text.c_str());
  sizeLabel(label);
}

LRESULT TForm1::onColor(UINT message, HDC dc, HWND) {
  SetTextColor(dc, GetSysColor(COLOR_WINDOWTEXT));
  if (message == WM_CTLCOLORSTATIC) {
    // The labels stand on the window's own background.
    SetBkMode(dc, TRANSPARENT);
    return reinterpret_cast<LRESULT>(GetSysColorBrush(COLOR_BTNSHADOW));
  }
  // The drive field and its list.
  SetBkColor(dc, kSilver);
  return reinterpret_cast<LRESULT>(silver_.get());
}

void TForm1::onClose() {
  // Closing during a write waits for the run to end and release the card and
  // the file; the run then closes the window.
  if (running_) {
    closeRequested_ = true;
    return;
  }
  DestroyWindow(hwnd_);
}

void TForm1::onEndSession(bool ending) {
  // The session ends although a run held it back (a forced shut-down, or the
  // user chose to end it anyway). The run cannot be finished from here, beneath
  // it on the stack: it carries on between the batches as long as the system
  // lets the process live, and the window closes after it, as a close asked
  // for during a run does. Nothing is torn down under the run's feet.
  if (ending && running_) closeRequested_ = true;
}

LRESULT CALLBACK TForm1::panelProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  return guarded<LRESULT>(0, [&]() -> LRESULT {
    if (message == WM_NCCREATE) {
      auto* self = static_cast<TForm1*>(reinterpret_cast<CREATESTRUCTW*>(lParam)->lpCreateParams);
      SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
    }
    auto* self = reinterpret_cast<TForm1*>(GetWindowLongPtrW(window, GWLP_USERDATA));
    switch (message) {
      case WM_ERASEBKGND:
        return 1;
      case WM_PAINT:
        if (self != nullptr) {
          self->onPanelPaint(window);
          return 0;
        }
        break;
      case WM_SETTEXT:
        InvalidateRect(window, nullptr, TRUE);
        break;
      default:
        break;
    }
    return DefWindowProcW(window, message, wParam, lParam);
  });
}

void TForm1::onPanelPaint(HWND panel) {
  PAINTSTRUCT paint;
  const HDC dc = BeginPaint(panel, &paint);
  RECT area;
  GetClientRect(panel, &area);
  FillRect(dc, &area, silver_.get());
  DrawEdge(dc, &area, BDR_RAISEDOUTER, BF_RECT);
  const std::wstring caption = windowText(panel);
  {
    const SelectedObject font(dc, windowFont_.get());
    SetBkMode(dc, TRANSPARENT);
    SetTextColor(dc, GetSysColor(COLOR_WINDOWTEXT));
    DrawTextW(dc, caption.c_str(), int(caption.size()), &area,
              DT_CENTER | DT_VCENTER | DT_SINGLELINE | DT_NOPREFIX);
  }
  EndPaint(panel, &paint);
}

bool TForm1::preTranslate(MSG& message) {
  return hwnd_ != nullptr && IsDialogMessageW(hwnd_, &message);
}

void TForm1::btStartClick() {
  runOperation(kSessionReason, [this] { runEnded(card::runWrite(disk_, *this)); });
}

void TForm1::miReadCardClick() {
  runOperation(kReadSessionReason, [this] {
    // The card's checks come before the file's name is asked for, as a write
    // makes them before it asks for an image: a drive that is no card is
    // refused before the operator types anything. The card stays open while
    // the dialog is, so the card read is the card checked.
    card::Card card = card::openCard(disk_, *this);
    if (!card) return;
    const std::wstring backup = executeSaveDialog(toUtf16(card.name()));
    // Cancelled: the card is let go unused and nothing is said.
    if (backup.empty()) {
      card.closeUnused();
      return;
    }
    runEnded(card::runBackup(disk_, *this, std::move(card), toUtf8(backup)));
  });
}

void TForm1::miCompareCardClick() {
  runOperation(kCompareSessionReason, [this] { runEnded(card::runCompare(disk_, *this)); });
}

// However a run ended, the status label shows the count text of the last
// accepted header, never the text of a pass that is over. A run that
// accepted none leaves the label as the run before left it.
void TForm1::runEnded(const card::Outcome& outcome) {
  if (!outcome.status.empty()) setStatus(outcome.status);
}

void TForm1::runOperation(const wchar_t* sessionReason, const std::function<void()>& operation) {
  // A click or a menu choice that reaches here while an operation is under
  // way (its events are processed meanwhile) never starts a second one.
  if (running_) return;
  // A close asked for during the run is carried out once the run has ended
  // and released everything, however it ended.
  const ScopeExit closeWhenAsked([this] {
    if (closeRequested_ && hwnd_ != nullptr) PostMessageW(hwnd_, WM_CLOSE, 0, 0);
    closeRequested_ = false;
  });
  const HWND focus = GetFocus();
  RunGuard guard(running_, control(kBtStart), control(kBtPickFile));
  const SessionGuard session(hwnd_, sessionReason);
  operation();
  // Disabling the buttons may have taken the focus away: give it back.
  if (hwnd_ != nullptr && focus != nullptr && IsWindow(focus) &&
      (GetFocus() == nullptr || GetFocus() == hwnd_))
    SetFocus(focus);
}

void TForm1::btPickFileClick() {
  if (running_) return;
  executeOpenDialog();
}

void TForm1::cbDriveChange(bool fromList) {
  const HWND combo = control(kCbDrive);
  std::wstring text;
  if (fromList) {
    // The field shows the chosen item only after this notification.
    const LRESULT item = SendMessageW(combo, CB_GETCURSEL, 0, 0);
    if (item == CB_ERR) return;
    const LRESULT length = SendMessageW(combo, CB_GETLBTEXTLEN, item, 0);
    if (length == CB_ERR) return;
    text.assign(std::size_t(length) + 1, L'\0');
    SendMessageW(combo, CB_GETLBTEXT, item, reinterpret_cast<LPARAM>(&text[0]));
    text.resize(std::size_t(length));
  } else {
    text = windowText(combo);
  }
  const std::wstring normal = normaliseDriveText(text, CP_ACP);
  if (normal == windowText(combo)) return;
  SetWindowTextW(combo, normal.c_str());
  const WORD end = WORD(normal.size());
  SendMessageW(combo, CB_SETEDITSEL, 0, MAKELPARAM(end, end));
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

std::string TForm1::driveText() { return toUtf8(windowText(control(kCbDrive))); }

std::string TForm1::chosenFileName() { return toUtf8(fileName_); }

bool TForm1::askForFile() { return executeOpenDialog(); }

void TForm1::showMessage(const std::string& text, const std::string& caption) {
  // Owned by the window: it stays in front of it, shares its taskbar button,
  // and the window takes no clicks until it is closed.
  MessageBoxW(hwnd_, toUtf16(text).c_str(), toUtf16(caption).c_str(), MB_OK);
}

void TForm1::repaintWindow() {
  if (hwnd_ != nullptr)
    RedrawWindow(hwnd_, nullptr, nullptr,
                 RDW_INVALIDATE | RDW_ERASE | RDW_ALLCHILDREN | RDW_UPDATENOW);
}

void TForm1::setProgress(int position) {
  SendMessageW(control(kProgressBar1), PBM_SETPOS, WPARAM(position), 0);
}

void TForm1::showProgressPanel(bool visible) {
  ShowWindow(control(kPanel1), visible ? SW_SHOWNA : SW_HIDE);
}

void TForm1::setStatus(const std::string& text) {
  setLabelText(kLabel3, toUtf16(text));
  if (hwnd_ != nullptr) UpdateWindow(hwnd_);
  UpdateWindow(control(kLabel3));
}

void TForm1::repaintProgress() {
  const HWND bar = control(kProgressBar1);
  if (bar != nullptr) RedrawWindow(bar, nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW);
}

void TForm1::processEvents() {
  MSG message;
  while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
    if (message.message == WM_QUIT) {
      // Leave the end of the application to the message loop.
      PostQuitMessage(int(message.wParam));
      return;
    }
    if (preTranslate(message)) continue;
    TranslateMessage(&message);
    DispatchMessageW(&message);
  }
}

}  // namespace quenvory
