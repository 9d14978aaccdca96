#include "ui/Unit1.h"

#include <commctrl.h>

#include <algorithm>
#include <cstring>
#include <cwchar>

#include "ui/app_error.h"
#include "ui/chinese_font.h"

namespace quenvory {
namespace {

constexpr const wchar_t* kFormClass = L"TForm1";
constexpr const wchar_t* kPanelClass = L"QuenvoryPanel";

}  // namespace

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
  if (running_) {
    closeDuringRun();
    return;
  }
  DestroyWindow(hwnd_);
}

void TForm1::onEndSession(bool ending) {
  // The session ends although a run held it back (a forced shut-down, or the
  // user chose to end it anyway). The run cannot be finished from here, beneath
  // it on the stack: it carries on between the batches as long as the system
  // lets the process live, and the window closes after it. It is no stop:
  // nothing is torn down under the run's feet.
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

}  // namespace quenvory
