// The system error codes the simulated services answer with: a Windows
// system's, as the real back-end sees them.
#pragma once

#include <cstdint>

namespace disks {
namespace simulated {

constexpr std::uint32_t kErrorInvalidFunction = 1;
constexpr std::uint32_t kErrorFileNotFound = 2;
constexpr std::uint32_t kErrorAccessDenied = 5;
constexpr std::uint32_t kErrorInvalidHandle = 6;
constexpr std::uint32_t kErrorWriteProtect = 19;
constexpr std::uint32_t kErrorNotReady = 21;
constexpr std::uint32_t kErrorSectorNotFound = 27;
constexpr std::uint32_t kErrorReadFault = 30;
constexpr std::uint32_t kErrorSharingViolation = 32;
constexpr std::uint32_t kErrorLockViolation = 33;
constexpr std::uint32_t kErrorNotSupported = 50;
constexpr std::uint32_t kErrorBusy = 170;
constexpr std::uint32_t kErrorNoMediaInDrive = 1112;
constexpr std::uint32_t kErrorNoSystemResources = 1450;

}  // namespace simulated
}  // namespace disks
