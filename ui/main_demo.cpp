// The demonstration build: the same window, writing to simulated cards that
// are files on disk. Drive G is a removable card kept in a file next to the
// executable, unless QUENVORY_SIMULATED_DRIVES declares the drives.
#include <windows.h>

#include "disks/simulated_disk_services.h"
#include "disks/simulated_drive_text.h"
#include "ui/app_error.h"
#include "ui/application.h"
#include "ui/win32_helpers.h"
#include "win32/dll_search.h"

namespace {

constexpr const wchar_t* kDemoCaption = L"QuenvoryV" QUENVORY_CAPTION_VERSION L" - simulated cards";
constexpr const wchar_t* kDrivesVariable = L"QUENVORY_SIMULATED_DRIVES";

std::wstring executableFolder() {
  const std::wstring path = quenvory::executablePath();
  const std::size_t slash = path.find_last_of(L"\\/");
  return slash == std::wstring::npos ? L"." : path.substr(0, slash);
}

std::unique_ptr<card::DiskServices> simulatedDrives() {
  auto disk = std::make_unique<disks::SimulatedDiskServices>();
  const DWORD size = GetEnvironmentVariableW(kDrivesVariable, nullptr, 0);
  if (size > 0) {
    std::wstring text(size, L'\0');
    text.resize(GetEnvironmentVariableW(kDrivesVariable, &text[0], size));
    std::string error;
    disks::SimulatedDrives drives;
    if (!disks::parseSimulatedDrives(quenvory::toUtf8(text), drives, error))
      throw quenvory::AppError("QUENVORY_SIMULATED_DRIVES cannot be read: " + error);
    for (const auto& drive : drives) disk->addDrive(drive.first, drive.second);
    return disk;
  }
  disks::SimulatedDrive card;
  card.kind = disks::SimulatedDrive::Kind::RemovableCard;
  card.file = quenvory::toUtf8(executableFolder() + L"\\simulated-card-G.img");
  disk->addDrive("G", card);
  return disk;
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
  win32::restrictDllSearch();
  return quenvory::runApplication(instance, simulatedDrives, kDemoCaption);
}
