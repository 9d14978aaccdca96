// What the Windows back-end's files share about disks and volumes: which
// disk a handle is, where a volume or a file lies, and the one way a disk or
// volume is opened only to be asked what it is.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include "disks/card_types.h"
#include "win32/handles.h"

namespace disks {

// Opens a disk, a volume or a file with no access rights: enough to ask what
// it is, and no administrator needed.
win32::FileHandle openForQueries(const std::wstring& path);

// Which device `handle` is (its type, its disk's number, its partition), as
// the system numbers it; false when it does not say.
bool deviceNumber(HANDLE handle, StorageDeviceNumber& number);

// The disks a volume has extents on, asked through a handle of its own.
// `volume` is a volume's name without its trailing backslash
// (\\?\Volume{...}, \\?\GLOBALROOT\Device\HarddiskVolume1). Empty when the
// volume does not answer.
std::vector<std::uint32_t> disksOfVolume(const std::wstring& volume);

// The name of the volume a file lies on (\\?\Volume{...}, no trailing
// backslash), or empty. A path already in a volume's own name keeps it.
std::wstring volumeOfFile(const std::wstring& path);

}  // namespace disks
