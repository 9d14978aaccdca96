#include "ui/application.h"

#include <commctrl.h>

#include "ui/Unit1.h"
#include "ui/app_error.h"

namespace quenvory {

int runApplication(HINSTANCE instance, const DiskServicesFactory& makeDisk,
                   const std::wstring& caption) noexcept {
  try {
    INITCOMMONCONTROLSEX controls{sizeof controls, ICC_STANDARD_CLASSES | ICC_PROGRESS_CLASS};
    InitCommonControlsEx(&controls);

    const std::unique_ptr<card::DiskServices> disk = makeDisk();
    TForm1 form(*disk, caption);
    form.create(instance);
    ShowWindow(form.handle(), SW_SHOWNORMAL);
    UpdateWindow(form.handle());

    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
      if (form.preTranslate(message)) continue;
      TranslateMessage(&message);
      DispatchMessageW(&message);
    }
  } catch (const AppError&) {
    reportCurrentException();
  } catch (...) {
    // Anything else is reported as the root kind with an empty message.
    showExceptionReport("");
  }
  return 0;
}

}  // namespace quenvory
