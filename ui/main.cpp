// quenvory.exe: the product, writing to the card reader's physical drive.
#include <windows.h>

#include "disks/win32_disk_services.h"
#include "ui/application.h"
#include "win32/dll_search.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
  win32::restrictDllSearch();
  return quenvory::runApplication(
      instance, [] { return std::make_unique<disks::Win32DiskServices>(); },
      quenvory::kProductCaption);
}
