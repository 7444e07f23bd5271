// Windows types, structures and constants as the rest of the module sees them.
//
// On Windows these are the SDK's own declarations. Elsewhere they are declared
// here with the same sizes and field offsets, so that the logic above the
// platform layer reads identically behind every backend.
#pragma once

#include <cstddef>
#include <cstdint>

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <unknwn.h>
#include <windows.h>
#endif

namespace lumigrab::win {

#ifdef _WIN32

using ::BOOL;
using ::BYTE;
using ::DEVMODEW;
using ::DISPLAY_DEVICEW;
using ::DPI_AWARENESS_CONTEXT;
using ::DWORD;
using ::GUID;
using ::HDC;
using ::HMODULE;
using ::HMONITOR;
using ::HRESULT;
using ::HWND;
using ::LONG;
using ::LONG_PTR;
using ::LPARAM;
using ::LRESULT;
using ::MONITORENUMPROC;
using ::MONITORINFOEXW;
using ::MSG;
using ::POINT;
using ::RECT;
using ::UINT;
using ::ULONG;
using ::WCHAR;
using ::WNDENUMPROC;
using ::WORD;
using ::WPARAM;
using FARPROC = ::FARPROC;
using BSTR = ::BSTR;

#define LUMIGRAB_STDCALL __stdcall

#else

#define LUMIGRAB_STDCALL

using BOOL = std::int32_t;
using BYTE = std::uint8_t;
using WORD = std::uint16_t;
using DWORD = std::uint32_t;
using LONG = std::int32_t;
using UINT = std::uint32_t;
using ULONG = std::uint32_t;
using HRESULT = std::int32_t;
using LONG_PTR = std::intptr_t;
using WPARAM = std::uintptr_t;
using LPARAM = std::intptr_t;
using LRESULT = std::intptr_t;
// UTF-16 code unit. Windows' wchar_t is 16 bits; here it is char16_t.
using WCHAR = char16_t;
using BSTR = WCHAR*;

struct HWND__;
struct HMONITOR__;
struct HDC__;
struct HINSTANCE__;
using HWND = HWND__*;
using HMONITOR = HMONITOR__*;
struct DPI_AWARENESS_CONTEXT__;
using DPI_AWARENESS_CONTEXT = DPI_AWARENESS_CONTEXT__*;
using HDC = HDC__*;
using HMODULE = HINSTANCE__*;
using FARPROC = std::intptr_t (*)();

struct GUID {
  std::uint32_t Data1;
  std::uint16_t Data2;
  std::uint16_t Data3;
  std::uint8_t Data4[8];
};

struct POINT {
  LONG x;
  LONG y;
};

struct RECT {
  LONG left;
  LONG top;
  LONG right;
  LONG bottom;
};

struct MONITORINFOEXW {
  DWORD cbSize;
  RECT rcMonitor;
  RECT rcWork;
  DWORD dwFlags;
  WCHAR szDevice[32];
};

struct DEVMODEW {
  WCHAR dmDeviceName[32];
  WORD dmSpecVersion;
  WORD dmDriverVersion;
  WORD dmSize;
  WORD dmDriverExtra;
  DWORD dmFields;
  union {
    struct {
      short dmOrientation;
      short dmPaperSize;
      short dmPaperLength;
      short dmPaperWidth;
      short dmScale;
      short dmCopies;
      short dmDefaultSource;
      short dmPrintQuality;
    } printer;
    struct {
      POINT dmPosition;
      DWORD dmDisplayOrientation;
      DWORD dmDisplayFixedOutput;
    } display;
  } u1;
  short dmColor;
  short dmDuplex;
  short dmYResolution;
  short dmTTOption;
  short dmCollate;
  WCHAR dmFormName[32];
  WORD dmLogPixels;
  DWORD dmBitsPerPel;
  DWORD dmPelsWidth;
  DWORD dmPelsHeight;
  union {
    DWORD dmDisplayFlags;
    DWORD dmNup;
  } u2;
  DWORD dmDisplayFrequency;
  DWORD dmICMMethod;
  DWORD dmICMIntent;
  DWORD dmMediaType;
  DWORD dmDitherType;
  DWORD dmReserved1;
  DWORD dmReserved2;
  DWORD dmPanningWidth;
  DWORD dmPanningHeight;
};

struct DISPLAY_DEVICEW {
  DWORD cb;
  WCHAR DeviceName[32];
  WCHAR DeviceString[128];
  DWORD StateFlags;
  WCHAR DeviceID[128];
  WCHAR DeviceKey[128];
};

struct MSG {
  HWND hwnd;
  UINT message;
  WPARAM wParam;
  LPARAM lParam;
  DWORD time;
  POINT pt;
  DWORD lPrivate;
};

using MONITORENUMPROC = BOOL (*)(HMONITOR, HDC, RECT*, LPARAM);
using WNDENUMPROC = BOOL (*)(HWND, LPARAM);

#endif

static_assert(sizeof(MONITORINFOEXW) == 104);
static_assert(sizeof(DEVMODEW) == 220);
static_assert(sizeof(DISPLAY_DEVICEW) == 840);
static_assert(offsetof(DEVMODEW, dmPelsWidth) == 172);
static_assert(offsetof(DEVMODEW, dmDisplayFrequency) == 184);

inline constexpr bool operator==(const GUID& a, const GUID& b) noexcept {
  if (a.Data1 != b.Data1 || a.Data2 != b.Data2 || a.Data3 != b.Data3) {
    return false;
  }
  for (int i = 0; i < 8; ++i) {
    if (a.Data4[i] != b.Data4[i]) {
      return false;
    }
  }
  return true;
}

// HRESULTs and other codes the module names.
inline constexpr HRESULT S_OK_ = 0;
inline constexpr HRESULT S_FALSE_ = 1;
inline constexpr HRESULT E_NOTIMPL_ = static_cast<HRESULT>(0x80004001U);
inline constexpr HRESULT E_NOINTERFACE_ = static_cast<HRESULT>(0x80004002U);
inline constexpr HRESULT E_POINTER_ = static_cast<HRESULT>(0x80004003U);
inline constexpr HRESULT E_FAIL_ = static_cast<HRESULT>(0x80004005U);
inline constexpr HRESULT E_ACCESSDENIED_ = static_cast<HRESULT>(0x80070005U);
inline constexpr HRESULT E_INVALIDARG_ = static_cast<HRESULT>(0x80070057U);
inline constexpr HRESULT CO_E_NOTINITIALIZED_ = static_cast<HRESULT>(0x800401F0U);
inline constexpr HRESULT REGDB_E_CLASSNOTREG_ = static_cast<HRESULT>(0x80040154U);
inline constexpr HRESULT RO_E_CLOSED_ = static_cast<HRESULT>(0x80000013U);

inline constexpr DWORD ERROR_INVALID_THREAD_ID_ = 1444;

inline constexpr UINT WM_NULL_ = 0x0000;
inline constexpr UINT WM_QUIT_ = 0x0012;
inline constexpr DWORD ENUM_CURRENT_SETTINGS_ = 0xFFFFFFFFU;
// The DPI awareness contexts are small negative handle values.
inline DPI_AWARENESS_CONTEXT dpi_awareness_context(std::intptr_t value) noexcept {
  return reinterpret_cast<DPI_AWARENESS_CONTEXT>(value);
}
inline constexpr std::intptr_t DPI_AWARENESS_CONTEXT_UNAWARE_ = -1;
inline constexpr std::intptr_t DPI_AWARENESS_CONTEXT_PER_MONITOR_AWARE_ = -3;
inline constexpr std::intptr_t DPI_AWARENESS_CONTEXT_PER_MONITOR_AWARE_V2_ = -4;
inline constexpr DWORD MONITOR_DEFAULTTONULL_ = 0;
inline constexpr int GWL_STYLE_ = -16;
inline constexpr int GWL_EXSTYLE_ = -20;
inline constexpr LONG_PTR WS_CHILD_ = 0x40000000;
inline constexpr LONG_PTR WS_EX_TOOLWINDOW_ = 0x80;

inline constexpr DWORD FORMAT_MESSAGE_ALLOCATE_BUFFER_ = 0x0100;
inline constexpr DWORD FORMAT_MESSAGE_IGNORE_INSERTS_ = 0x0200;
inline constexpr DWORD FORMAT_MESSAGE_FROM_HMODULE_ = 0x0800;
inline constexpr DWORD FORMAT_MESSAGE_FROM_SYSTEM_ = 0x1000;
inline constexpr DWORD LOAD_LIBRARY_SEARCH_SYSTEM32_ = 0x00000800;
inline constexpr DWORD LOAD_LIBRARY_SEARCH_DEFAULT_DIRS_ = 0x00001000;

inline constexpr bool succeeded(HRESULT hr) noexcept {
  return hr >= 0;
}
inline constexpr bool failed(HRESULT hr) noexcept {
  return hr < 0;
}

}  // namespace lumigrab::win
