// The one place that includes <windows.h>. Everything else sees only platform/WinApi.h, so the
// Windows macros (min, max, CreateFile, ...) never leak into the programs' own code.
//
// The seam comes first: many of its names (ERROR_FILE_NOT_FOUND, MAX_PATH, DELETE, ...) are
// macros in windows.h and would not parse after it. For the same reason, code after this header
// cannot name a seam constant; Constants.cpp captures them before the include.
#pragma once

#include "platform/WinApi.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef _WIN32_WINNT
#define _WIN32_WINNT 0x0601  // Windows 7: the oldest system the programs run on
#endif

#include <windows.h>
// Not pulled in by WIN32_LEAN_AND_MEAN.
#include <aclapi.h>
#include <msi.h>
#include <msiquery.h>
#include <objbase.h>
#include <oleauto.h>
#include <sddl.h>
#include <shlobj.h>
#include <shlwapi.h>
#include <winioctl.h>
#include <winsvc.h>

namespace win::native {

// Text crosses the seam by reinterpretation: wchar_t is UTF-16 on Windows, as char16_t is.
static_assert(sizeof(wchar_t) == sizeof(char16_t));
static_assert(sizeof(::DWORD) == sizeof(win::DWORD) && sizeof(::LONG) == sizeof(win::LONG));
static_assert(sizeof(::BOOL) == sizeof(win::BOOL) && sizeof(::HRESULT) == sizeof(win::HRESULT));
static_assert(sizeof(::WORD) == sizeof(win::WORD) && sizeof(::UINT) == sizeof(win::UINT));
static_assert(sizeof(::LONG_PTR) == sizeof(win::LONG_PTR));

inline ::LPCWSTR W(win::LPCWSTR s) noexcept {
  return reinterpret_cast<::LPCWSTR>(s);
}
inline ::LPWSTR W(win::LPWSTR s) noexcept {
  return reinterpret_cast<::LPWSTR>(s);
}
inline ::HKEY K(win::HKEY key) noexcept {
  return reinterpret_cast<::HKEY>(key);
}
inline ::HKEY* K(win::HKEY* key) noexcept {
  return reinterpret_cast<::HKEY*>(key);
}
inline ::LPDWORD D(win::DWORD* value) noexcept {
  return reinterpret_cast<::LPDWORD>(value);
}
inline ::HMODULE M(win::HMODULE module) noexcept {
  return reinterpret_cast<::HMODULE>(module);
}
inline win::HMODULE M(::HMODULE module) noexcept {
  return reinterpret_cast<win::HMODULE>(module);
}
inline ::SC_HANDLE S(win::SC_HANDLE handle) noexcept {
  return reinterpret_cast<::SC_HANDLE>(handle);
}

}  // namespace win::native
