// The demonstration build: the same window, writing to simulated cards that
// are files on disk. Drive G is a removable card kept in a file next to the
// executable, unless QUENVORY_SIMULATED_DRIVES declares the drives.
#include <windows.h>

#include <vector>

#include "app_error.h"
#include "application.h"
#include "simulated_disk_services.h"

namespace {

constexpr const wchar_t* kDemoCaption = L"QuenvoryV1.0 - simulated cards";
constexpr const wchar_t* kDrivesVariable = L"QUENVORY_SIMULATED_DRIVES";

std::wstring executableFolder() {
  std::vector<wchar_t> path(MAX_PATH);
  for (;;) {
    const DWORD length = GetModuleFileNameW(nullptr, path.data(), DWORD(path.size()));
    if (length == 0) return L".";
    if (length < path.size()) {
      std::wstring text(path.data(), length);
      const std::size_t slash = text.find_last_of(L"\\/");
      return slash == std::wstring::npos ? L"." : text.substr(0, slash);
    }
    path.resize(path.size() * 2);
  }
}

std::unique_ptr<card::DiskServices> simulatedDrives() {
  auto disk = std::make_unique<card::SimulatedDiskServices>();
  const DWORD size = GetEnvironmentVariableW(kDrivesVariable, nullptr, 0);
  if (size > 0) {
    std::wstring text(size, L'\0');
    text.resize(GetEnvironmentVariableW(kDrivesVariable, &text[0], size));
    std::string error;
    if (!disk->configure(quenvory::toUtf8(text), error))
      throw quenvory::AppError("QUENVORY_SIMULATED_DRIVES cannot be read: " + error);
    return disk;
  }
  card::SimulatedDrive card;
  card.kind = card::SimulatedDrive::Kind::RemovableCard;
  card.file = quenvory::toUtf8(executableFolder() + L"\\simulated-card-G.img");
  disk->addDrive("G", card);
  return disk;
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
  return quenvory::runApplication(instance, simulatedDrives, kDemoCaption);
}
