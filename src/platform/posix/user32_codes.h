// The codes and flags of user32's monitor and display calls, which the POSIX
// backends answer as Windows does.
#pragma once

#include "platform/win_types.h"

namespace lumigrab::posix::user32 {

inline constexpr win::DWORD kErrorInvalidMonitorHandle = 1461;
inline constexpr win::DWORD kMonitorInfoSize = 40;  // MONITORINFO, without szDevice
inline constexpr win::DWORD kMonitorInfoFPrimary = 1;
inline constexpr win::DWORD kMonitorDefaultToPrimary = 1;
inline constexpr win::DWORD kMonitorDefaultToNearest = 2;
inline constexpr win::DWORD kEnumRegistrySettings = 0xFFFFFFFEU;
// DM_POSITION | DM_BITSPERPEL | DM_PELSWIDTH | DM_PELSHEIGHT | DM_DISPLAYFREQUENCY
inline constexpr win::DWORD kDisplayModeFields = 0x20 | 0x40000 | 0x80000 | 0x100000 | 0x400000;
inline constexpr win::DWORD kDisplayDeviceAttachedToDesktop = 0x1;
inline constexpr win::DWORD kDisplayDeviceActive = 0x1;
inline constexpr win::DWORD kDisplayDeviceAttached = 0x2;
inline constexpr win::DWORD kDisplayDevicePrimary = 0x4;

}  // namespace lumigrab::posix::user32
