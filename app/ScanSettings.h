// What the scan window remembers: the device last used, the folder scans are saved in,
// and for each device the choices last made on it, so that a feeder keeps its duplex and
// a flatbed its colour. Kept in the program's store (RegistryStore) under "Scan"; the
// choices of a device in a group of their own named after the device. Reads apply
// defaults and clamp what a hand edit left out of range, so an empty or damaged store is
// never an error.
#pragma once

#include "Scanner.h"

#include <string>

namespace folimo {

// The choices last used on `device`; the defaults of scan::Choices when none are stored.
// The driver's own options (deviceOptions) are never stored: they belong to one run.
scan::Choices GetScanChoices(const std::string& device);
int SetScanChoices(const std::string& device, const scan::Choices& choices); // 1 when written

// The device of the last scan, empty at first.
std::string GetLastScanDevice();
int SetLastScanDevice(const std::string& device);

// The folder scans are saved in: the one chosen, else scan::DefaultScanFolder().
std::string GetScanFolder();
int SetScanFolder(const std::string& folder);

// The store group of a device's choices: SANE's names hold ':' and '/' ("net:host:dev",
// "v4l:/dev/video0"), which the store would read as levels, so every character but a
// letter, a digit, '-' and '.' is written as "_XX" (its bytes in hex). Two devices never
// share a group.
std::wstring ScanDeviceGroup(const std::string& device);

} // namespace folimo
