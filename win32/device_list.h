// The owner of a list of the system's devices (SetupDiGetClassDevs), apart
// from the other handle owners so that only the code that asks the device
// setup includes it.
#pragma once

#include <windows.h>
// After windows.h, which it needs.
#include <setupapi.h>

#include "win32/handles.h"

namespace win32 {

// A device information list: empty is INVALID_HANDLE_VALUE.
struct DeviceListTraits {
  using Handle = HDEVINFO;
  static Handle empty() { return INVALID_HANDLE_VALUE; }
  static void close(Handle handle) { SetupDiDestroyDeviceInfoList(handle); }
};
using DeviceList = UniqueHandle<DeviceListTraits>;

}  // namespace win32
