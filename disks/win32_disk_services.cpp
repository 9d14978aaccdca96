// The card's blocks on Windows: written, read back and flushed through the
// handle a run holds, and the block buffer they go through.
#include "disks/win32_disk_services.h"

#include <windows.h>
#include <winioctl.h>

namespace disks {
namespace {

HANDLE toHandle(NativeHandle handle) { return reinterpret_cast<HANDLE>(handle); }

}  // namespace

bool Win32DiskServices::failed() {
  lastError_ = GetLastError();
  return false;
}

bool Win32DiskServices::writeDevice(NativeHandle device, const void* data, std::size_t size) {
  if (size > MAXDWORD) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return failed();
  }
  // A disk takes a write whole or fails it: the success flag is the answer.
  DWORD written = 0;
  if (!WriteFile(toHandle(device), data, static_cast<DWORD>(size), &written, nullptr))
    return failed();
  return true;
}

void Win32DiskServices::closeDevice(NativeHandle device) { CloseHandle(toHandle(device)); }

bool Win32DiskServices::seekDevice(NativeHandle device, std::int64_t offset) {
  LARGE_INTEGER distance;
  distance.QuadPart = offset;
  if (!SetFilePointerEx(toHandle(device), distance, nullptr, FILE_BEGIN)) return failed();
  return true;
}

bool Win32DiskServices::readDevice(NativeHandle device, void* data, std::size_t size) {
  if (size > MAXDWORD) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return failed();
  }
  DWORD read = 0;
  if (!ReadFile(toHandle(device), data, static_cast<DWORD>(size), &read, nullptr)) return failed();
  // Fewer bytes than asked means the end of the device came first.
  if (read != size) {
    lastError_ = ERROR_HANDLE_EOF;
    return false;
  }
  return true;
}

bool Win32DiskServices::deviceLength(NativeHandle device, std::int64_t& bytes) {
  GET_LENGTH_INFORMATION length = {};
  DWORD returned = 0;
  if (DeviceIoControl(toHandle(device), IOCTL_DISK_GET_LENGTH_INFO, nullptr, 0, &length,
                      sizeof length, &returned, nullptr)) {
    bytes = length.Length.QuadPart;
    return true;
  }
  // A disk opened for queries only may not tell its length (that takes read
  // access); its extended geometry holds its size all the same.
  DISK_GEOMETRY_EX geometry = {};
  if (DeviceIoControl(toHandle(device), IOCTL_DISK_GET_DRIVE_GEOMETRY_EX, nullptr, 0, &geometry,
                      sizeof geometry, &returned, nullptr)) {
    bytes = geometry.DiskSize.QuadPart;
    return true;
  }
  // A plain file has no disk ioctls but a size.
  LARGE_INTEGER size;
  if (!GetFileSizeEx(toHandle(device), &size)) return failed();
  bytes = size.QuadPart;
  return true;
}

bool Win32DiskServices::flushDevice(NativeHandle device) {
  return FlushFileBuffers(toHandle(device)) != 0 || failed();
}

void Win32DiskServices::updateLayout(NativeHandle device) {
  // The system then shows the card's new partitions without the card being
  // put in again; a plain file or an old driver refuses, which changes
  // nothing.
  DWORD returned = 0;
  DeviceIoControl(toHandle(device), IOCTL_DISK_UPDATE_PROPERTIES, nullptr, 0, nullptr, 0, &returned,
                  nullptr);
}

void* Win32DiskServices::allocateBuffer(std::size_t size) {
  void* buffer = buffers_.allocate(size);
  if (buffer == nullptr) lastError_ = ERROR_NOT_ENOUGH_MEMORY;
  return buffer;
}

void Win32DiskServices::freeBuffer(void* buffer) { buffers_.free(buffer); }

}  // namespace disks
