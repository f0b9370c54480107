// kernel32 forwards. Each casts the seam's portable types to the real ones and calls through.
#include <cstddef>
#include <cstdint>

#include "platform/win32/WindowsHeaders.h"

using namespace win::native;

// The structs the seam hands to Windows must have the real layout.
#define CORVANE_SAME_FIELD(type, field) \
  static_assert(offsetof(win::type, field) == offsetof(::type, field), #type "::" #field)

static_assert(sizeof(win::FILETIME) == sizeof(::FILETIME));
static_assert(sizeof(std::int64_t) == sizeof(::LARGE_INTEGER) &&
              alignof(std::int64_t) == alignof(::LARGE_INTEGER));
static_assert(sizeof(win::SECURITY_ATTRIBUTES) == sizeof(::SECURITY_ATTRIBUTES));
CORVANE_SAME_FIELD(SECURITY_ATTRIBUTES, nLength);
CORVANE_SAME_FIELD(SECURITY_ATTRIBUTES, lpSecurityDescriptor);
CORVANE_SAME_FIELD(SECURITY_ATTRIBUTES, bInheritHandle);
static_assert(sizeof(win::WIN32_FIND_DATAW) == sizeof(::WIN32_FIND_DATAW));
CORVANE_SAME_FIELD(WIN32_FIND_DATAW, dwFileAttributes);
CORVANE_SAME_FIELD(WIN32_FIND_DATAW, ftCreationTime);
CORVANE_SAME_FIELD(WIN32_FIND_DATAW, ftLastWriteTime);
CORVANE_SAME_FIELD(WIN32_FIND_DATAW, nFileSizeHigh);
CORVANE_SAME_FIELD(WIN32_FIND_DATAW, nFileSizeLow);
CORVANE_SAME_FIELD(WIN32_FIND_DATAW, dwReserved0);
CORVANE_SAME_FIELD(WIN32_FIND_DATAW, cFileName);
CORVANE_SAME_FIELD(WIN32_FIND_DATAW, cAlternateFileName);
static_assert(sizeof(win::BY_HANDLE_FILE_INFORMATION) == sizeof(::BY_HANDLE_FILE_INFORMATION));
CORVANE_SAME_FIELD(BY_HANDLE_FILE_INFORMATION, dwFileAttributes);
CORVANE_SAME_FIELD(BY_HANDLE_FILE_INFORMATION, ftLastWriteTime);
CORVANE_SAME_FIELD(BY_HANDLE_FILE_INFORMATION, dwVolumeSerialNumber);
CORVANE_SAME_FIELD(BY_HANDLE_FILE_INFORMATION, nFileSizeLow);
CORVANE_SAME_FIELD(BY_HANDLE_FILE_INFORMATION, nNumberOfLinks);
CORVANE_SAME_FIELD(BY_HANDLE_FILE_INFORMATION, nFileIndexHigh);
CORVANE_SAME_FIELD(BY_HANDLE_FILE_INFORMATION, nFileIndexLow);

namespace win {

// Errors, process, modules.
void SetLastError(DWORD code) {
  ::SetLastError(code);
}
DWORD GetLastError() {
  return ::GetLastError();
}
LPWSTR GetCommandLineW() {
  return reinterpret_cast<LPWSTR>(::GetCommandLineW());
}
void ExitProcess(UINT exitCode) {
  ::ExitProcess(exitCode);
}
void Sleep(DWORD milliseconds) {
  ::Sleep(milliseconds);
}
std::uint64_t GetTickCount64() {
  return ::GetTickCount64();
}
DWORD GetModuleFileNameW(HMODULE module, LPWSTR buffer, DWORD size) {
  return ::GetModuleFileNameW(M(module), W(buffer), size);
}
HMODULE GetModuleHandleW(LPCWSTR name) {
  return M(::GetModuleHandleW(W(name)));
}
HMODULE LoadLibraryExW(LPCWSTR name, HANDLE file, DWORD flags) {
  return M(::LoadLibraryExW(W(name), file, flags));
}
HRSRC FindResourceW(HMODULE module, LPCWSTR name, LPCWSTR type) {
  return reinterpret_cast<HRSRC>(::FindResourceW(M(module), W(name), W(type)));
}
HGLOBAL LoadResource(HMODULE module, HRSRC resource) {
  return ::LoadResource(M(module), reinterpret_cast<::HRSRC>(resource));
}
LPVOID LockResource(HGLOBAL data) {
  return ::LockResource(data);
}
DWORD SizeofResource(HMODULE module, HRSRC resource) {
  return ::SizeofResource(M(module), reinterpret_cast<::HRSRC>(resource));
}
BOOL FreeLibrary(HMODULE module) {
  return ::FreeLibrary(M(module));
}
// Looked up, not imported: the programs must still start on Windows 7, which lacks it.
BOOL SetProcessMitigationPolicy(DWORD policy, const void* buffer, SIZE_T length) {
  using Set = ::BOOL(WINAPI*)(::PROCESS_MITIGATION_POLICY, ::PVOID, ::SIZE_T);
  const auto set = reinterpret_cast<Set>(reinterpret_cast<void (*)()>(
      ::GetProcAddress(::GetModuleHandleW(L"kernel32.dll"), "SetProcessMitigationPolicy")));
  if (set == nullptr) return FALSE;  // GetProcAddress's ERROR_PROC_NOT_FOUND stands
  return set(static_cast<::PROCESS_MITIGATION_POLICY>(policy), const_cast<void*>(buffer), length);
}
BOOL CloseHandle(HANDLE handle) {
  return ::CloseHandle(handle);
}
HLOCAL LocalAlloc(UINT flags, SIZE_T bytes) {
  return ::LocalAlloc(flags, bytes);
}
HLOCAL LocalFree(HLOCAL memory) {
  return ::LocalFree(memory);
}
HANDLE GetCurrentProcess() {
  return ::GetCurrentProcess();
}

// Standard handles and the console.
HANDLE GetStdHandle(DWORD which) {
  return ::GetStdHandle(which);
}
DWORD GetFileType(HANDLE file) {
  return ::GetFileType(file);
}
BOOL GetConsoleMode(HANDLE console, DWORD* mode) {
  return ::GetConsoleMode(console, D(mode));
}
BOOL WriteConsoleW(HANDLE console, const void* text, DWORD length, DWORD* written, void* reserved) {
  return ::WriteConsoleW(console, text, length, D(written), reserved);
}

// Message texts.
DWORD FormatMessageW(DWORD flags, LPCVOID source, DWORD messageId, DWORD languageId, LPWSTR buffer,
                     DWORD size, void* arguments) {
  return ::FormatMessageW(flags, source, messageId, languageId, W(buffer), size,
                          static_cast<va_list*>(arguments));
}

// Environment, for REG_EXPAND_SZ data.
DWORD ExpandEnvironmentStringsW(LPCWSTR source, LPWSTR buffer, DWORD size) {
  return ::ExpandEnvironmentStringsW(W(source), W(buffer), size);
}

// Files, directories, paths, volumes.
HANDLE CreateFileW(LPCWSTR name, DWORD access, DWORD share, void* security, DWORD disposition,
                   DWORD flags, HANDLE templateFile) {
  return ::CreateFileW(W(name), access, share, static_cast<::LPSECURITY_ATTRIBUTES>(security),
                       disposition, flags, templateFile);
}
BOOL ReadFile(HANDLE file, void* buffer, DWORD toRead, DWORD* read, void* overlapped) {
  return ::ReadFile(file, buffer, toRead, D(read), static_cast<::LPOVERLAPPED>(overlapped));
}
BOOL WriteFile(HANDLE file, const void* buffer, DWORD toWrite, DWORD* written, void* overlapped) {
  return ::WriteFile(file, buffer, toWrite, D(written), static_cast<::LPOVERLAPPED>(overlapped));
}
BOOL FlushFileBuffers(HANDLE file) {
  return ::FlushFileBuffers(file);
}
BOOL GetFileInformationByHandle(HANDLE file, BY_HANDLE_FILE_INFORMATION* info) {
  return ::GetFileInformationByHandle(file, reinterpret_cast<::LPBY_HANDLE_FILE_INFORMATION>(info));
}
static_assert(sizeof(FILE_ID_INFO) == sizeof(::FILE_ID_INFO));
static_assert(FileIdInfo == ::FileIdInfo);
BOOL GetFileInformationByHandleEx(HANDLE file, DWORD infoClass, void* info, DWORD size) {
  return ::GetFileInformationByHandleEx(file, static_cast<::FILE_INFO_BY_HANDLE_CLASS>(infoClass),
                                        info, size);
}
static_assert(sizeof(FILE_DISPOSITION_INFO) == sizeof(::FILE_DISPOSITION_INFO));
static_assert(FileDispositionInfo == ::FileDispositionInfo);
BOOL SetFileInformationByHandle(HANDLE file, DWORD infoClass, void* info, DWORD size) {
  return ::SetFileInformationByHandle(file, static_cast<::FILE_INFO_BY_HANDLE_CLASS>(infoClass),
                                      info, size);
}
BOOL GetFileSizeEx(HANDLE file, std::int64_t* size) {
  return ::GetFileSizeEx(file, reinterpret_cast<::PLARGE_INTEGER>(size));
}
BOOL DeviceIoControl(HANDLE device, DWORD code, void* in, DWORD inSize, void* out, DWORD outSize,
                     DWORD* returned, void* overlapped) {
  return ::DeviceIoControl(device, code, in, inSize, out, outSize, D(returned),
                           static_cast<::LPOVERLAPPED>(overlapped));
}
DWORD GetFileAttributesW(LPCWSTR name) {
  return ::GetFileAttributesW(W(name));
}
BOOL DeleteFileW(LPCWSTR name) {
  return ::DeleteFileW(W(name));
}
BOOL CreateDirectoryW(LPCWSTR name, void* security) {
  return ::CreateDirectoryW(W(name), static_cast<::LPSECURITY_ATTRIBUTES>(security));
}
BOOL RemoveDirectoryW(LPCWSTR name) {
  return ::RemoveDirectoryW(W(name));
}
BOOL MoveFileExW(LPCWSTR existing, LPCWSTR newName, DWORD flags) {
  return ::MoveFileExW(W(existing), W(newName), flags);
}
HANDLE FindFirstFileW(LPCWSTR name, WIN32_FIND_DATAW* data) {
  return ::FindFirstFileW(W(name), reinterpret_cast<::LPWIN32_FIND_DATAW>(data));
}
BOOL FindNextFileW(HANDLE find, WIN32_FIND_DATAW* data) {
  return ::FindNextFileW(find, reinterpret_cast<::LPWIN32_FIND_DATAW>(data));
}
BOOL FindClose(HANDLE find) {
  return ::FindClose(find);
}
DWORD GetFullPathNameW(LPCWSTR name, DWORD size, LPWSTR buffer, LPWSTR* filePart) {
  return ::GetFullPathNameW(W(name), size, W(buffer), reinterpret_cast<::LPWSTR*>(filePart));
}
BOOL GetVolumeInformationW(LPCWSTR root, LPWSTR volumeName, DWORD volumeNameSize,
                           DWORD* serialNumber, DWORD* maxComponentLength, DWORD* flags,
                           LPWSTR fileSystemName, DWORD fileSystemNameSize) {
  return ::GetVolumeInformationW(W(root), W(volumeName), volumeNameSize, D(serialNumber),
                                 D(maxComponentLength), D(flags), W(fileSystemName),
                                 fileSystemNameSize);
}
BOOL DefineDosDeviceW(DWORD flags, LPCWSTR deviceName, LPCWSTR targetPath) {
  return ::DefineDosDeviceW(flags, W(deviceName), W(targetPath));
}
DWORD QueryDosDeviceW(LPCWSTR deviceName, LPWSTR targetPath, DWORD size) {
  return ::QueryDosDeviceW(W(deviceName), W(targetPath), size);
}

// National language.
int MultiByteToWideChar(UINT codePage, DWORD flags, LPCSTR text, int size, LPWSTR wide,
                        int wideSize) {
  return ::MultiByteToWideChar(codePage, flags, text, size, W(wide), wideSize);
}
int WideCharToMultiByte(UINT codePage, DWORD flags, LPCWSTR wide, int wideSize, LPSTR text,
                        int size, LPCSTR defaultChar, BOOL* usedDefaultChar) {
  return ::WideCharToMultiByte(codePage, flags, W(wide), wideSize, text, size, defaultChar,
                               usedDefaultChar);
}
int CompareStringOrdinal(LPCWSTR a, int aSize, LPCWSTR b, int bSize, BOOL ignoreCase) {
  return ::CompareStringOrdinal(W(a), aSize, W(b), bSize, ignoreCase);
}

}  // namespace win
