// Start-up: the main window, the message loop until it closes, and the
// report of any failure that escapes them.
#pragma once

#include <windows.h>

#include <functional>
#include <memory>
#include <string>

#include "card/disk_services.h"
#include "version/version.h"

namespace quenvory {

// The program's name directly followed by its version.
constexpr const wchar_t* kProductCaption = L"QuenvoryV" QUENVORY_CAPTION_VERSION;

// Makes the disk services the window's writes go to; may throw AppError.
using DiskServicesFactory = std::function<std::unique_ptr<card::DiskServices>()>;

// Runs the application with the main window titled `caption` until the
// window is closed. Never throws; returns the program's exit code, 0.
int runApplication(HINSTANCE instance, const DiskServicesFactory& makeDisk,
                   const std::wstring& caption) noexcept;

}  // namespace quenvory
