// ntdll forwards: a file opened or made below a directory handle.
#include <cstddef>

#include "platform/win32/WindowsHeaders.h"
// After windows.h, which it builds on.
#include <winternl.h>

static_assert(sizeof(win::UNICODE_STRING) == sizeof(::UNICODE_STRING));
static_assert(offsetof(win::UNICODE_STRING, Buffer) == offsetof(::UNICODE_STRING, Buffer));
static_assert(sizeof(win::OBJECT_ATTRIBUTES) == sizeof(::OBJECT_ATTRIBUTES));
static_assert(offsetof(win::OBJECT_ATTRIBUTES, RootDirectory) ==
              offsetof(::OBJECT_ATTRIBUTES, RootDirectory));
static_assert(offsetof(win::OBJECT_ATTRIBUTES, Attributes) ==
              offsetof(::OBJECT_ATTRIBUTES, Attributes));
static_assert(sizeof(win::IO_STATUS_BLOCK) == sizeof(::IO_STATUS_BLOCK));
static_assert(offsetof(win::IO_STATUS_BLOCK, Information) ==
              offsetof(::IO_STATUS_BLOCK, Information));

static_assert(offsetof(win::FILE_LINK_INFORMATION, RootDirectory) ==
              offsetof(::FILE_LINK_INFORMATION, RootDirectory));
static_assert(offsetof(win::FILE_LINK_INFORMATION, FileNameLength) ==
              offsetof(::FILE_LINK_INFORMATION, FileNameLength));
static_assert(offsetof(win::FILE_LINK_INFORMATION, FileName) ==
              offsetof(::FILE_LINK_INFORMATION, FileName));
static_assert(win::FileLinkInformation == ::FileLinkInformation);

namespace win {

NTSTATUS NtCreateFile(HANDLE* file, DWORD access, OBJECT_ATTRIBUTES* attributes,
                      IO_STATUS_BLOCK* status, std::int64_t* allocationSize, ULONG fileAttributes,
                      ULONG share, ULONG disposition, ULONG options, void* ea, ULONG eaLength) {
  return ::NtCreateFile(file, access, reinterpret_cast<::POBJECT_ATTRIBUTES>(attributes),
                        reinterpret_cast<::PIO_STATUS_BLOCK>(status),
                        reinterpret_cast<::PLARGE_INTEGER>(allocationSize), fileAttributes, share,
                        disposition, options, ea, eaLength);
}
NTSTATUS NtSetInformationFile(HANDLE file, IO_STATUS_BLOCK* status, void* info, ULONG length,
                              ULONG infoClass) {
  return ::NtSetInformationFile(file, reinterpret_cast<::PIO_STATUS_BLOCK>(status), info, length,
                                static_cast<::FILE_INFORMATION_CLASS>(infoClass));
}
ULONG RtlNtStatusToDosError(NTSTATUS status) {
  return ::RtlNtStatusToDosError(status);
}

}  // namespace win
