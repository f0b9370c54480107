// The subset of the Windows API that Corvane's programs call, with the platform's own names,
// argument order and constants. The Windows build links platform/win32 (one-line forwards);
// the native build links platform/sim (a simulated machine). Text is UTF-16 (char16_t), which
// is what wchar_t is on Windows, so the forwards cast and never convert.
#pragma once

#include <cstddef>
#include <cstdint>

namespace win {

using BYTE = std::uint8_t;
using WORD = std::uint16_t;
using DWORD = std::uint32_t;
using BOOL = std::int32_t;
using LONG = std::int32_t;
using LSTATUS = LONG;
using UINT = std::uint32_t;
using HRESULT = std::int32_t;
using ULONG_PTR = std::uintptr_t;
using LONG_PTR = std::intptr_t;
using WCHAR = char16_t;
using LPWSTR = char16_t*;
using LPCWSTR = const char16_t*;
using LPSTR = char*;
using LPCSTR = const char*;
using LPVOID = void*;
using LPCVOID = const void*;
using LPDWORD = DWORD*;
using REGSAM = DWORD;
using PSID = void*;
using ULONG = std::uint32_t;
using LCID = DWORD;
using SIZE_T = std::size_t;

using HANDLE = void*;
struct HKEY__;
using HKEY = HKEY__*;
struct HINSTANCE__;
using HINSTANCE = HINSTANCE__*;
using HMODULE = HINSTANCE;
struct HRSRC__;
using HRSRC = HRSRC__*;
using HGLOBAL = void*;
using HLOCAL = void*;
struct SC_HANDLE__;
using SC_HANDLE = SC_HANDLE__*;
struct SC_LOCK__;
using SC_LOCK = SC_LOCK__*;
struct SERVICE_STATUS_HANDLE__;
using SERVICE_STATUS_HANDLE = SERVICE_STATUS_HANDLE__*;
struct HWND__;
using HWND = HWND__*;

constexpr BOOL TRUE = 1;
constexpr BOOL FALSE = 0;
constexpr DWORD MAX_PATH = 260;

inline HANDLE const INVALID_HANDLE_VALUE = reinterpret_cast<HANDLE>(static_cast<LONG_PTR>(-1));
constexpr DWORD INVALID_FILE_ATTRIBUTES = 0xFFFFFFFF;

// Win32 error codes.
constexpr DWORD ERROR_SUCCESS = 0;
constexpr DWORD NO_ERROR = 0;
constexpr DWORD ERROR_INVALID_FUNCTION = 1;
constexpr DWORD ERROR_FILE_NOT_FOUND = 2;
constexpr DWORD ERROR_PATH_NOT_FOUND = 3;
constexpr DWORD ERROR_ACCESS_DENIED = 5;
constexpr DWORD ERROR_INVALID_HANDLE = 6;
constexpr DWORD ERROR_NOT_ENOUGH_MEMORY = 8;
constexpr DWORD ERROR_INVALID_DATA = 13;
constexpr DWORD ERROR_OUTOFMEMORY = 14;
constexpr DWORD ERROR_INVALID_DRIVE = 15;
constexpr DWORD ERROR_NOT_SAME_DEVICE = 17;
constexpr DWORD ERROR_NO_MORE_FILES = 18;
constexpr DWORD ERROR_BAD_LENGTH = 24;
constexpr DWORD ERROR_WRITE_FAULT = 29;
constexpr DWORD ERROR_READ_FAULT = 30;
constexpr DWORD ERROR_GEN_FAILURE = 31;
constexpr DWORD ERROR_SHARING_VIOLATION = 32;
constexpr DWORD ERROR_HANDLE_EOF = 38;
constexpr DWORD ERROR_NOT_SUPPORTED = 50;
constexpr DWORD ERROR_BAD_NETPATH = 53;
constexpr DWORD ERROR_FILE_EXISTS = 80;
constexpr DWORD ERROR_INVALID_PARAMETER = 87;
constexpr DWORD ERROR_INSUFFICIENT_BUFFER = 122;
constexpr DWORD ERROR_INVALID_NAME = 123;
constexpr DWORD ERROR_MOD_NOT_FOUND = 126;
constexpr DWORD ERROR_PROC_NOT_FOUND = 127;
constexpr DWORD ERROR_DIR_NOT_ROOT = 144;
constexpr DWORD ERROR_DIR_NOT_EMPTY = 145;
constexpr DWORD ERROR_BAD_PATHNAME = 161;
constexpr DWORD ERROR_ALREADY_EXISTS = 183;
constexpr DWORD ERROR_BAD_EXE_FORMAT = 193;
constexpr DWORD ERROR_FILENAME_EXCED_RANGE = 206;
constexpr DWORD ERROR_FILE_TOO_LARGE = 223;
constexpr DWORD ERROR_MORE_DATA = 234;
constexpr DWORD ERROR_MR_MID_NOT_FOUND = 317;
constexpr DWORD ERROR_NO_MORE_ITEMS = 259;
// "The path cannot be traversed because it contains an untrusted mount point." (Windows 10 and
// later; mingw-w64's headers do not have it yet.)
constexpr DWORD ERROR_UNTRUSTED_MOUNT_POINT = 448;
constexpr DWORD ERROR_INVALID_ADDRESS = 487;
constexpr DWORD ERROR_DIRECTORY = 267;
constexpr DWORD ERROR_NOACCESS = 998;
constexpr DWORD ERROR_KEY_DELETED = 1018;
constexpr DWORD ERROR_NO_UNICODE_TRANSLATION = 1113;
constexpr DWORD ERROR_INVALID_SERVICE_CONTROL = 1052;
constexpr DWORD ERROR_SERVICE_REQUEST_TIMEOUT = 1053;
constexpr DWORD ERROR_SERVICE_DATABASE_LOCKED = 1055;
constexpr DWORD ERROR_SERVICE_ALREADY_RUNNING = 1056;
constexpr DWORD ERROR_SERVICE_DISABLED = 1058;
constexpr DWORD ERROR_SERVICE_DOES_NOT_EXIST = 1060;
constexpr DWORD ERROR_SERVICE_CANNOT_ACCEPT_CTRL = 1061;
constexpr DWORD ERROR_SERVICE_NOT_ACTIVE = 1062;
constexpr DWORD ERROR_FAILED_SERVICE_CONTROLLER_CONNECT = 1063;
constexpr DWORD ERROR_DATABASE_DOES_NOT_EXIST = 1065;
constexpr DWORD ERROR_PROCESS_ABORTED = 1067;
constexpr DWORD ERROR_INVALID_SERVICE_LOCK = 1071;
constexpr DWORD ERROR_SERVICE_MARKED_FOR_DELETE = 1072;
constexpr DWORD ERROR_SERVICE_EXISTS = 1073;
constexpr DWORD ERROR_SERVICE_NEVER_STARTED = 1077;
constexpr DWORD ERROR_DUPLICATE_SERVICE_NAME = 1078;
constexpr DWORD ERROR_TOO_MANY_LINKS = 1142;
constexpr DWORD ERROR_UNKNOWN_REVISION = 1305;
constexpr DWORD ERROR_INVALID_OWNER = 1307;
constexpr DWORD ERROR_INVALID_ACL = 1336;
constexpr DWORD ERROR_INVALID_SID = 1337;
constexpr DWORD ERROR_INVALID_SECURITY_DESCR = 1338;
constexpr DWORD ERROR_TIMEOUT = 1460;
constexpr DWORD ERROR_INSTALL_FAILURE = 1603;
constexpr DWORD RPC_S_SERVER_UNAVAILABLE = 1722;
constexpr DWORD ERROR_RESOURCE_TYPE_NOT_FOUND = 1813;
constexpr DWORD ERROR_RESOURCE_NAME_NOT_FOUND = 1814;
constexpr DWORD ERROR_CANT_RESOLVE_FILENAME = 1921;
constexpr DWORD ERROR_INVALID_MSGBOX_STYLE = 1438;
constexpr DWORD ERROR_NOT_A_REPARSE_POINT = 4390;
constexpr DWORD ERROR_INVALID_REPARSE_DATA = 4392;
constexpr DWORD ERROR_REPARSE_TAG_INVALID = 4393;
constexpr DWORD ERROR_REPARSE_TAG_MISMATCH = 4394;

// HRESULTs.
constexpr HRESULT S_OK = 0;
constexpr HRESULT S_FALSE = 1;
constexpr HRESULT E_FAIL = static_cast<HRESULT>(0x80004005);
constexpr HRESULT E_OUTOFMEMORY = static_cast<HRESULT>(0x8007000E);
constexpr HRESULT E_INVALIDARG = static_cast<HRESULT>(0x80070057);
constexpr HRESULT E_NOTIMPL = static_cast<HRESULT>(0x80004001);
constexpr HRESULT DISP_E_EXCEPTION = static_cast<HRESULT>(0x80020009);
constexpr HRESULT DISP_E_TYPEMISMATCH = static_cast<HRESULT>(0x80020005);
constexpr HRESULT DISP_E_OVERFLOW = static_cast<HRESULT>(0x8002000A);

// Files.
constexpr DWORD GENERIC_READ = 0x80000000;
constexpr DWORD GENERIC_WRITE = 0x40000000;
constexpr DWORD GENERIC_EXECUTE = 0x20000000;
constexpr DWORD GENERIC_ALL = 0x10000000;
constexpr DWORD DELETE = 0x00010000;
constexpr DWORD FILE_READ_ATTRIBUTES = 0x0080;
constexpr DWORD FILE_READ_DATA = 0x0001;
constexpr DWORD FILE_WRITE_DATA = 0x0002;
constexpr DWORD FILE_APPEND_DATA = 0x0004;
constexpr DWORD FILE_EXECUTE = 0x0020;
constexpr DWORD FILE_WRITE_ATTRIBUTES = 0x0100;
constexpr DWORD FILE_SHARE_READ = 1;
constexpr DWORD FILE_SHARE_WRITE = 2;
constexpr DWORD FILE_SHARE_DELETE = 4;
constexpr DWORD CREATE_NEW = 1;
constexpr DWORD CREATE_ALWAYS = 2;
constexpr DWORD OPEN_EXISTING = 3;
constexpr DWORD OPEN_ALWAYS = 4;
constexpr DWORD TRUNCATE_EXISTING = 5;
constexpr DWORD FILE_ATTRIBUTE_READONLY = 0x1;
constexpr DWORD FILE_ATTRIBUTE_HIDDEN = 0x2;
constexpr DWORD FILE_ATTRIBUTE_SYSTEM = 0x4;
constexpr DWORD FILE_ATTRIBUTE_DIRECTORY = 0x10;
constexpr DWORD FILE_ATTRIBUTE_ARCHIVE = 0x20;
constexpr DWORD FILE_ATTRIBUTE_NORMAL = 0x80;
constexpr DWORD FILE_ATTRIBUTE_REPARSE_POINT = 0x400;
constexpr DWORD FILE_FLAG_BACKUP_SEMANTICS = 0x02000000;
constexpr DWORD FILE_FLAG_OPEN_REPARSE_POINT = 0x00200000;
constexpr DWORD FILE_BEGIN = 0;
constexpr DWORD FILE_CURRENT = 1;
constexpr DWORD FILE_END = 2;
constexpr DWORD INVALID_SET_FILE_POINTER = 0xFFFFFFFF;
constexpr DWORD MOVEFILE_REPLACE_EXISTING = 0x1;
constexpr DWORD MOVEFILE_COPY_ALLOWED = 0x2;
constexpr DWORD MOVEFILE_WRITE_THROUGH = 0x8;
constexpr DWORD FILE_TYPE_UNKNOWN = 0;
constexpr DWORD FILE_TYPE_DISK = 1;
constexpr DWORD FILE_TYPE_CHAR = 2;
constexpr DWORD FILE_TYPE_PIPE = 3;

// Security: access rights, descriptors, access control lists, tokens.
constexpr DWORD READ_CONTROL = 0x00020000;
constexpr DWORD WRITE_DAC = 0x00040000;
constexpr DWORD WRITE_OWNER = 0x00080000;
constexpr DWORD SYNCHRONIZE = 0x00100000;
constexpr DWORD FILE_WRITE_EA = 0x0010;
constexpr DWORD FILE_ADD_FILE = 0x0002;
constexpr DWORD FILE_ADD_SUBDIRECTORY = 0x0004;
constexpr DWORD FILE_DELETE_CHILD = 0x0040;
constexpr DWORD FILE_ALL_ACCESS = 0x001F01FF;
constexpr DWORD SE_FILE_OBJECT = 1;
constexpr DWORD SE_REGISTRY_KEY = 4;  // GetSecurityInfo on an open HKEY passed as the HANDLE
constexpr DWORD OWNER_SECURITY_INFORMATION = 0x1;
constexpr DWORD DACL_SECURITY_INFORMATION = 0x4;
constexpr DWORD SDDL_REVISION_1 = 1;
constexpr BYTE ACCESS_ALLOWED_ACE_TYPE = 0;
constexpr BYTE ACCESS_DENIED_ACE_TYPE = 1;
constexpr BYTE OBJECT_INHERIT_ACE = 0x01;
constexpr BYTE CONTAINER_INHERIT_ACE = 0x02;
constexpr BYTE NO_PROPAGATE_INHERIT_ACE = 0x04;
constexpr BYTE INHERIT_ONLY_ACE = 0x08;
constexpr DWORD TOKEN_QUERY = 0x0008;
constexpr DWORD TokenUser = 1;
using PSECURITY_DESCRIPTOR = void*;
// The layouts Windows documents for an access control list and its entries; an allowed and a
// denied entry share one layout, the SID starting at SidStart.
struct ACL {
  BYTE AclRevision;
  BYTE Sbz1;
  WORD AclSize;
  WORD AceCount;
  WORD Sbz2;
};
using PACL = ACL*;
struct ACE_HEADER {
  BYTE AceType;
  BYTE AceFlags;
  WORD AceSize;
};
struct ACCESS_ALLOWED_ACE {
  ACE_HEADER Header;
  DWORD Mask;
  DWORD SidStart;
};
struct SID_AND_ATTRIBUTES {
  PSID Sid;
  DWORD Attributes;
};
struct TOKEN_USER {
  SID_AND_ATTRIBUTES User;
};

// Standard handles.
constexpr DWORD STD_INPUT_HANDLE = static_cast<DWORD>(-10);
constexpr DWORD STD_OUTPUT_HANDLE = static_cast<DWORD>(-11);
constexpr DWORD STD_ERROR_HANDLE = static_cast<DWORD>(-12);

// Local heap.
constexpr UINT LMEM_FIXED = 0x0;
constexpr UINT LMEM_ZEROINIT = 0x40;
constexpr UINT LPTR = LMEM_FIXED | LMEM_ZEROINIT;

// Volume flags.
constexpr DWORD FILE_CASE_SENSITIVE_SEARCH = 0x1;
constexpr DWORD FILE_CASE_PRESERVED_NAMES = 0x2;
constexpr DWORD FILE_UNICODE_ON_DISK = 0x4;
constexpr DWORD FILE_PERSISTENT_ACLS = 0x8;
constexpr DWORD FILE_SUPPORTS_REPARSE_POINTS = 0x80;
constexpr DWORD FILE_SUPPORTS_HARD_LINKS = 0x00400000;

// MS-DOS device names.
constexpr DWORD DDD_RAW_TARGET_PATH = 0x1;
constexpr DWORD DDD_REMOVE_DEFINITION = 0x2;
constexpr DWORD DDD_EXACT_MATCH_ON_REMOVE = 0x4;
constexpr DWORD DDD_NO_BROADCAST_SYSTEM = 0x8;

// Reparse points.
constexpr DWORD FSCTL_SET_REPARSE_POINT = 0x000900A4;
constexpr DWORD FSCTL_GET_REPARSE_POINT = 0x000900A8;
constexpr DWORD FSCTL_DELETE_REPARSE_POINT = 0x000900AC;
constexpr DWORD IO_REPARSE_TAG_MOUNT_POINT = 0xA0000003;
constexpr DWORD IO_REPARSE_TAG_SYMLINK = 0xA000000C;
constexpr DWORD MAXIMUM_REPARSE_DATA_BUFFER_SIZE = 16 * 1024;

// Modules and resources.
constexpr DWORD LOAD_LIBRARY_AS_DATAFILE = 0x2;
// A resource id as the resource functions take it in place of a name.
inline LPCWSTR MAKEINTRESOURCEW(WORD id) {
  return reinterpret_cast<LPCWSTR>(static_cast<ULONG_PTR>(id));
}

// Registry.
// The predefined roots are 32-bit values sign-extended to pointer width, as windows.h has them.
inline HKEY const HKEY_CLASSES_ROOT =
    reinterpret_cast<HKEY>(static_cast<LONG_PTR>(static_cast<LONG>(0x80000000u)));
inline HKEY const HKEY_CURRENT_USER =
    reinterpret_cast<HKEY>(static_cast<LONG_PTR>(static_cast<LONG>(0x80000001u)));
inline HKEY const HKEY_LOCAL_MACHINE =
    reinterpret_cast<HKEY>(static_cast<LONG_PTR>(static_cast<LONG>(0x80000002u)));
inline HKEY const HKEY_USERS =
    reinterpret_cast<HKEY>(static_cast<LONG_PTR>(static_cast<LONG>(0x80000003u)));
inline HKEY const HKEY_PERFORMANCE_DATA =
    reinterpret_cast<HKEY>(static_cast<LONG_PTR>(static_cast<LONG>(0x80000004u)));
inline HKEY const HKEY_CURRENT_CONFIG =
    reinterpret_cast<HKEY>(static_cast<LONG_PTR>(static_cast<LONG>(0x80000005u)));
inline HKEY const HKEY_DYN_DATA =
    reinterpret_cast<HKEY>(static_cast<LONG_PTR>(static_cast<LONG>(0x80000006u)));
constexpr REGSAM KEY_QUERY_VALUE = 0x0001;
constexpr REGSAM KEY_SET_VALUE = 0x0002;
constexpr REGSAM KEY_CREATE_SUB_KEY = 0x0004;
constexpr REGSAM KEY_ENUMERATE_SUB_KEYS = 0x0008;
constexpr REGSAM KEY_READ = 0x20019;
constexpr REGSAM KEY_WRITE = 0x20006;
constexpr REGSAM KEY_ALL_ACCESS = 0xF003F;
constexpr REGSAM KEY_WOW64_64KEY = 0x0100;  // the 64-bit view, also from a 32-bit process
constexpr DWORD REG_NONE = 0;
constexpr DWORD REG_SZ = 1;
constexpr DWORD REG_EXPAND_SZ = 2;
constexpr DWORD REG_BINARY = 3;
constexpr DWORD REG_DWORD = 4;
constexpr DWORD REG_MULTI_SZ = 7;
constexpr DWORD REG_OPTION_NON_VOLATILE = 0;
constexpr DWORD REG_OPTION_VOLATILE = 1;
constexpr DWORD REG_OPTION_BACKUP_RESTORE = 4;
constexpr DWORD REG_OPTION_OPEN_LINK = 8;
constexpr DWORD REG_CREATED_NEW_KEY = 1;
constexpr DWORD REG_OPENED_EXISTING_KEY = 2;

// Services.
constexpr DWORD SERVICE_KERNEL_DRIVER = 0x1;
constexpr DWORD SERVICE_FILE_SYSTEM_DRIVER = 0x2;
constexpr DWORD SERVICE_WIN32_OWN_PROCESS = 0x10;
constexpr DWORD SERVICE_WIN32_SHARE_PROCESS = 0x20;
constexpr DWORD SERVICE_INTERACTIVE_PROCESS = 0x100;
constexpr DWORD SERVICE_STOPPED = 1;
constexpr DWORD SERVICE_START_PENDING = 2;
constexpr DWORD SERVICE_STOP_PENDING = 3;
constexpr DWORD SERVICE_RUNNING = 4;
constexpr DWORD SERVICE_CONTINUE_PENDING = 5;
constexpr DWORD SERVICE_PAUSE_PENDING = 6;
constexpr DWORD SERVICE_PAUSED = 7;
constexpr DWORD SERVICE_ACCEPT_STOP = 1;
constexpr DWORD SERVICE_ACCEPT_PAUSE_CONTINUE = 2;
constexpr DWORD SERVICE_CONTROL_STOP = 1;
constexpr DWORD SERVICE_CONTROL_PAUSE = 2;
constexpr DWORD SERVICE_CONTROL_CONTINUE = 3;
constexpr DWORD SERVICE_CONTROL_INTERROGATE = 4;
constexpr DWORD SERVICE_CONTROL_SHUTDOWN = 5;
constexpr DWORD SERVICE_BOOT_START = 0;
constexpr DWORD SERVICE_SYSTEM_START = 1;
constexpr DWORD SERVICE_AUTO_START = 2;
constexpr DWORD SERVICE_DEMAND_START = 3;
constexpr DWORD SERVICE_DISABLED = 4;
constexpr DWORD SERVICE_ERROR_IGNORE = 0;
constexpr DWORD SERVICE_ERROR_NORMAL = 1;
constexpr DWORD SERVICE_ERROR_SEVERE = 2;
constexpr DWORD SERVICE_ERROR_CRITICAL = 3;
constexpr DWORD SERVICE_NO_CHANGE = 0xFFFFFFFF;
constexpr DWORD SC_MANAGER_CONNECT = 0x0001;
constexpr DWORD SC_MANAGER_CREATE_SERVICE = 0x0002;
constexpr DWORD SC_MANAGER_ENUMERATE_SERVICE = 0x0004;
constexpr DWORD SC_MANAGER_LOCK = 0x0008;
constexpr DWORD SC_MANAGER_QUERY_LOCK_STATUS = 0x0010;
constexpr DWORD SC_MANAGER_ALL_ACCESS = 0xF003F;
constexpr DWORD SERVICE_ALL_ACCESS = 0xF01FF;
constexpr DWORD SERVICE_QUERY_CONFIG = 0x0001;
constexpr DWORD SERVICE_CHANGE_CONFIG = 0x0002;
constexpr DWORD SERVICE_QUERY_STATUS = 0x0004;
constexpr DWORD SERVICE_START = 0x0010;
constexpr DWORD SERVICE_STOP = 0x0020;
constexpr DWORD SERVICE_PAUSE_CONTINUE = 0x0040;
constexpr DWORD SERVICE_INTERROGATE = 0x0080;
constexpr DWORD SERVICE_USER_DEFINED_CONTROL = 0x0100;

// Shell change notifications.
constexpr LONG SHCNE_DRIVEREMOVED = 0x00000080;
constexpr LONG SHCNE_DRIVEADD = 0x00000100;
constexpr UINT SHCNF_PATHW = 0x0005;
constexpr UINT SHCNF_FLUSH = 0x1000;

// Message boxes.
constexpr UINT MB_OK = 0x0;
constexpr UINT MB_OKCANCEL = 0x1;
constexpr UINT MB_YESNO = 0x4;
constexpr UINT MB_ICONERROR = 0x10;
constexpr int IDOK = 1;
constexpr int IDCANCEL = 2;
constexpr int IDYES = 6;
constexpr int IDNO = 7;
constexpr int CSTR_LESS_THAN = 1;
constexpr int CSTR_EQUAL = 2;
constexpr int CSTR_GREATER_THAN = 3;

// Event log.
constexpr WORD EVENTLOG_ERROR_TYPE = 1;
constexpr WORD EVENTLOG_WARNING_TYPE = 2;
constexpr WORD EVENTLOG_INFORMATION_TYPE = 4;

// Code pages.
constexpr UINT CP_ACP = 0;
constexpr UINT CP_THREAD_ACP = 3;
constexpr UINT CP_UTF8 = 65001;

// Message texts.
constexpr DWORD FORMAT_MESSAGE_IGNORE_INSERTS = 0x200;
constexpr DWORD FORMAT_MESSAGE_FROM_HMODULE = 0x800;
constexpr DWORD FORMAT_MESSAGE_FROM_SYSTEM = 0x1000;
constexpr DWORD FORMAT_MESSAGE_ARGUMENT_ARRAY = 0x2000;
constexpr DWORD FORMAT_MESSAGE_MAX_WIDTH_MASK = 0xFF;

struct FILETIME {
  DWORD dwLowDateTime;
  DWORD dwHighDateTime;
};

struct SECURITY_ATTRIBUTES {
  DWORD nLength;
  LPVOID lpSecurityDescriptor;
  BOOL bInheritHandle;
};

struct WIN32_FIND_DATAW {
  DWORD dwFileAttributes;
  FILETIME ftCreationTime;
  FILETIME ftLastAccessTime;
  FILETIME ftLastWriteTime;
  DWORD nFileSizeHigh;
  DWORD nFileSizeLow;
  DWORD dwReserved0;
  DWORD dwReserved1;
  WCHAR cFileName[MAX_PATH];
  WCHAR cAlternateFileName[14];
};

struct BY_HANDLE_FILE_INFORMATION {
  DWORD dwFileAttributes;
  FILETIME ftCreationTime;
  FILETIME ftLastAccessTime;
  FILETIME ftLastWriteTime;
  DWORD dwVolumeSerialNumber;
  DWORD nFileSizeHigh;
  DWORD nFileSizeLow;
  DWORD nNumberOfLinks;
  DWORD nFileIndexHigh;
  DWORD nFileIndexLow;
};

// GetFileInformationByHandleEx's FileIdInfo class: a file's identity as the volume keeps it, a
// 128-bit id (ReFS's ids do not fit in 64 bits).
constexpr DWORD FileIdInfo = 18;
struct FILE_ID_INFO {
  std::uint64_t VolumeSerialNumber;
  std::uint8_t FileId[16];
};

// SetFileInformationByHandle's FileDispositionInfo class: the file or (empty) directory the handle
// is open on goes once its last handle closes. The handle needs DELETE.
constexpr DWORD FileDispositionInfo = 4;
struct FILE_DISPOSITION_INFO {
  BYTE DeleteFile;  // BOOLEAN
};

// ntdll: a file opened or made by its name below a directory handle (OBJECT_ATTRIBUTES'
// RootDirectory), so that the name is looked up in that very directory, whatever its path leads
// to by now. The result is an NTSTATUS; RtlNtStatusToDosError gives its Win32 code.
using NTSTATUS = std::int32_t;
struct UNICODE_STRING {
  WORD Length;  // in bytes, without a terminator
  WORD MaximumLength;
  WCHAR* Buffer;
};
struct OBJECT_ATTRIBUTES {
  ULONG Length;
  HANDLE RootDirectory;
  UNICODE_STRING* ObjectName;
  ULONG Attributes;
  void* SecurityDescriptor;
  void* SecurityQualityOfService;
};
struct IO_STATUS_BLOCK {
  union {
    NTSTATUS Status;
    void* Pointer;
  };
  ULONG_PTR Information;  // FILE_CREATED or FILE_OPENED
};
constexpr ULONG OBJ_CASE_INSENSITIVE = 0x40;
constexpr ULONG FILE_OPEN = 1;
constexpr ULONG FILE_CREATE = 2;
constexpr ULONG FILE_OPEN_IF = 3;
constexpr ULONG FILE_DIRECTORY_FILE = 0x1;
constexpr ULONG FILE_SYNCHRONOUS_IO_NONALERT = 0x20;
constexpr ULONG FILE_NON_DIRECTORY_FILE = 0x40;
constexpr ULONG FILE_OPEN_FOR_BACKUP_INTENT = 0x4000;
constexpr ULONG FILE_OPEN_REPARSE_POINT = 0x200000;
constexpr ULONG_PTR FILE_OPENED = 1;
constexpr ULONG_PTR FILE_CREATED = 2;
constexpr NTSTATUS STATUS_SUCCESS = 0;
// NtSetInformationFile's class for a new name of a file, made below RootDirectory (when given)
// as NtCreateFile would make it; with ReplaceIfExists an existing name is superseded in one step.
constexpr ULONG FileLinkInformation = 11;
struct FILE_LINK_INFORMATION {
  BYTE ReplaceIfExists;
  HANDLE RootDirectory;
  ULONG FileNameLength;  // in bytes
  WCHAR FileName[1];
};

struct SERVICE_STATUS {
  DWORD dwServiceType;
  DWORD dwCurrentState;
  DWORD dwControlsAccepted;
  DWORD dwWin32ExitCode;
  DWORD dwServiceSpecificExitCode;
  DWORD dwCheckPoint;
  DWORD dwWaitHint;
};

// The lock status record; the owner's name follows it in the caller's buffer.
struct QUERY_SERVICE_LOCK_STATUSW {
  DWORD fIsLocked;
  LPWSTR lpLockOwner;
  DWORD dwLockDuration;  // seconds
};

// A service record as QueryServiceConfigW returns it; the strings follow it in the caller's
// buffer.
struct QUERY_SERVICE_CONFIGW {
  DWORD dwServiceType;
  DWORD dwStartType;
  DWORD dwErrorControl;
  LPWSTR lpBinaryPathName;
  LPWSTR lpLoadOrderGroup;
  DWORD dwTagId;
  LPWSTR lpDependencies;  // double-NUL-terminated
  LPWSTR lpServiceStartName;
  LPWSTR lpDisplayName;
};

using LPSERVICE_MAIN_FUNCTIONW = void (*)(DWORD argc, LPWSTR* argv);
using LPHANDLER_FUNCTION = void (*)(DWORD control);

struct SERVICE_TABLE_ENTRYW {
  LPWSTR lpServiceName;
  LPSERVICE_MAIN_FUNCTIONW lpServiceProc;
};

// kernel32: errors, process, modules.
void SetLastError(DWORD code);
DWORD GetLastError();
LPWSTR GetCommandLineW();
[[noreturn]] void ExitProcess(UINT exitCode);
void Sleep(DWORD milliseconds);
// Milliseconds since the system started.
std::uint64_t GetTickCount64();
DWORD GetModuleFileNameW(HMODULE module, LPWSTR buffer, DWORD size);
HMODULE GetModuleHandleW(LPCWSTR name);
HMODULE LoadLibraryExW(LPCWSTR name, HANDLE file, DWORD flags);
HRSRC FindResourceW(HMODULE module, LPCWSTR name, LPCWSTR type);
HGLOBAL LoadResource(HMODULE module, HRSRC resource);
LPVOID LockResource(HGLOBAL data);
DWORD SizeofResource(HMODULE module, HRSRC resource);
BOOL FreeLibrary(HMODULE module);
// A mitigation policy of the calling process. With ProcessRedirectionTrustPolicy and the flag
// below, the system follows no junction that a non-administrator made for anything this process
// opens (RedirectionGuard, Windows 10 21H2 and Windows 11 and later). Windows that does not know
// the policy answers ERROR_INVALID_PARAMETER; Windows 7 has no such function (ERROR_PROC_NOT_FOUND).
constexpr DWORD ProcessRedirectionTrustPolicy = 16;
constexpr DWORD kEnforceRedirectionTrust = 1;  // PROCESS_MITIGATION_REDIRECTION_TRUST_POLICY's first bit
BOOL SetProcessMitigationPolicy(DWORD policy, const void* buffer, SIZE_T length);
BOOL CloseHandle(HANDLE handle);
HLOCAL LocalAlloc(UINT flags, SIZE_T bytes);
HLOCAL LocalFree(HLOCAL memory);  // null on success

// kernel32: standard handles and the console.
HANDLE GetStdHandle(DWORD which);  // null when the process has none, INVALID_HANDLE_VALUE on error
DWORD GetFileType(HANDLE file);
BOOL GetConsoleMode(HANDLE console, DWORD* mode);  // fails for a handle that is no console
BOOL WriteConsoleW(HANDLE console, const void* text, DWORD length, DWORD* written,
                   void* reserved);
// kernel32: message texts.
DWORD FormatMessageW(DWORD flags, LPCVOID source, DWORD messageId, DWORD languageId,
                     LPWSTR buffer, DWORD size, void* arguments);

// kernel32: files, directories, paths, volumes.
HANDLE CreateFileW(LPCWSTR name, DWORD access, DWORD share, void* security, DWORD disposition,
                   DWORD flags, HANDLE templateFile);
BOOL ReadFile(HANDLE file, void* buffer, DWORD toRead, DWORD* read, void* overlapped);
BOOL WriteFile(HANDLE file, const void* buffer, DWORD toWrite, DWORD* written, void* overlapped);
BOOL FlushFileBuffers(HANDLE file);
BOOL GetFileInformationByHandle(HANDLE file, BY_HANDLE_FILE_INFORMATION* info);
BOOL GetFileInformationByHandleEx(HANDLE file, DWORD infoClass, void* info, DWORD size);
BOOL SetFileInformationByHandle(HANDLE file, DWORD infoClass, void* info, DWORD size);
BOOL GetFileSizeEx(HANDLE file, std::int64_t* size);  // LARGE_INTEGER* on Windows
BOOL DeviceIoControl(HANDLE device, DWORD code, void* in, DWORD inSize, void* out, DWORD outSize,
                     DWORD* returned, void* overlapped);
DWORD GetFileAttributesW(LPCWSTR name);
BOOL DeleteFileW(LPCWSTR name);
BOOL CreateDirectoryW(LPCWSTR name, void* security);
BOOL RemoveDirectoryW(LPCWSTR name);
BOOL MoveFileExW(LPCWSTR existing, LPCWSTR newName, DWORD flags);
HANDLE FindFirstFileW(LPCWSTR name, WIN32_FIND_DATAW* data);
BOOL FindNextFileW(HANDLE find, WIN32_FIND_DATAW* data);
BOOL FindClose(HANDLE find);
DWORD GetFullPathNameW(LPCWSTR name, DWORD size, LPWSTR buffer, LPWSTR* filePart);
BOOL GetVolumeInformationW(LPCWSTR root, LPWSTR volumeName, DWORD volumeNameSize,
                           DWORD* serialNumber, DWORD* maxComponentLength, DWORD* flags,
                           LPWSTR fileSystemName, DWORD fileSystemNameSize);
BOOL DefineDosDeviceW(DWORD flags, LPCWSTR deviceName, LPCWSTR targetPath);
DWORD QueryDosDeviceW(LPCWSTR deviceName, LPWSTR targetPath, DWORD size);

// kernel32: national language.
int MultiByteToWideChar(UINT codePage, DWORD flags, LPCSTR text, int size, LPWSTR wide,
                        int wideSize);
int WideCharToMultiByte(UINT codePage, DWORD flags, LPCWSTR wide, int wideSize, LPSTR text,
                        int size, LPCSTR defaultChar, BOOL* usedDefaultChar);
// Compares code unit by code unit, case folded (when asked) by the system's own table, the one
// file names are compared with; CSTR_LESS_THAN, CSTR_EQUAL or CSTR_GREATER_THAN, 0 on failure.
int CompareStringOrdinal(LPCWSTR a, int aSize, LPCWSTR b, int bSize, BOOL ignoreCase);

// shlwapi.
BOOL PathIsUNCW(LPCWSTR path);
BOOL PathStripToRootW(LPWSTR path);

// user32.
int LoadStringW(HINSTANCE instance, UINT id, LPWSTR buffer, int size);
LPWSTR CharNextW(LPCWSTR text);
int MessageBoxW(HWND owner, LPCWSTR text, LPCWSTR caption, UINT type);
LPWSTR CharUpperW(LPWSTR text);  // a single character when the pointer's high bits are zero

// shell32. Without SHCNF_FLUSH the event is queued for the shell and the call returns at once.
void SHChangeNotify(LONG eventId, UINT flags, LPCVOID item1, LPCVOID item2);

// ole32.
HRESULT CoInitialize(LPVOID reserved);
void CoUninitialize();

// oleaut32.
HRESULT VarUI4FromStr(LPCWSTR text, LCID locale, ULONG flags, ULONG* out);

// advapi32: registry.
LSTATUS RegOpenKeyExW(HKEY key, LPCWSTR subKey, DWORD options, REGSAM access, HKEY* result);
LSTATUS RegCreateKeyExW(HKEY key, LPCWSTR subKey, DWORD reserved, LPWSTR className, DWORD options,
                        REGSAM access, void* security, HKEY* result, DWORD* disposition);
LSTATUS RegQueryValueExW(HKEY key, LPCWSTR name, DWORD* reserved, DWORD* type, BYTE* data,
                         DWORD* size);
LSTATUS RegSetValueExW(HKEY key, LPCWSTR name, DWORD reserved, DWORD type, const BYTE* data,
                       DWORD size);
LSTATUS RegDeleteValueW(HKEY key, LPCWSTR name);
LSTATUS RegDeleteKeyW(HKEY key, LPCWSTR subKey);
LSTATUS RegCloseKey(HKEY key);
LSTATUS RegEnumKeyExW(HKEY key, DWORD index, LPWSTR name, DWORD* nameSize, DWORD* reserved,
                      LPWSTR className, DWORD* classSize, FILETIME* lastWriteTime);
LSTATUS RegQueryInfoKeyW(HKEY key, LPWSTR className, DWORD* classSize, DWORD* reserved,
                         DWORD* subKeys, DWORD* maxSubKeyLength, DWORD* maxClassLength,
                         DWORD* values, DWORD* maxValueNameLength, DWORD* maxValueLength,
                         DWORD* securityDescriptorSize, FILETIME* lastWriteTime);
// The value at `index` (Windows keeps a key's values in the order they were made). `nameSize`
// counts characters: the room given, NUL included, then the name's length without it; `size`
// counts bytes. ERROR_MORE_DATA when either does not fit, ERROR_NO_MORE_ITEMS past the last.
LSTATUS RegEnumValueW(HKEY key, DWORD index, LPWSTR name, DWORD* nameSize, DWORD* reserved,
                      DWORD* type, BYTE* data, DWORD* size);
// kernel32, for REG_EXPAND_SZ data: %NAME% replaced by the process's environment variable (a name
// that is not one stays as written). The characters needed, NUL included (more than `size`: the
// buffer was too small), 0 on failure.
DWORD ExpandEnvironmentStringsW(LPCWSTR source, LPWSTR buffer, DWORD size);

// advapi32: service control manager.
SC_HANDLE OpenSCManagerW(LPCWSTR machine, LPCWSTR database, DWORD access);
SC_HANDLE OpenServiceW(SC_HANDLE manager, LPCWSTR name, DWORD access);
SC_HANDLE CreateServiceW(SC_HANDLE manager, LPCWSTR name, LPCWSTR displayName, DWORD access,
                         DWORD serviceType, DWORD startType, DWORD errorControl, LPCWSTR binaryPath,
                         LPCWSTR loadOrderGroup, DWORD* tagId, LPCWSTR dependencies,
                         LPCWSTR account, LPCWSTR password);
BOOL ControlService(SC_HANDLE service, DWORD control, SERVICE_STATUS* status);
BOOL DeleteService(SC_HANDLE service);
BOOL StartServiceW(SC_HANDLE service, DWORD argc, LPCWSTR* argv);
BOOL QueryServiceStatus(SC_HANDLE service, SERVICE_STATUS* status);
BOOL QueryServiceConfigW(SC_HANDLE service, QUERY_SERVICE_CONFIGW* config, DWORD size,
                         DWORD* needed);
BOOL ChangeServiceConfigW(SC_HANDLE service, DWORD serviceType, DWORD startType,
                          DWORD errorControl, LPCWSTR binaryPath, LPCWSTR loadOrderGroup,
                          DWORD* tagId, LPCWSTR dependencies, LPCWSTR account, LPCWSTR password,
                          LPCWSTR displayName);
// The optional configuration of a service; of its levels only SERVICE_CONFIG_TRIGGER_INFO is
// used: the events on which the service control manager starts or stops the service itself.
// A level Windows does not know is refused with ERROR_INVALID_LEVEL.
constexpr DWORD ERROR_INVALID_LEVEL = 124;
constexpr DWORD SERVICE_CONFIG_TRIGGER_INFO = 8;
constexpr DWORD SERVICE_TRIGGER_TYPE_GROUP_POLICY = 5;
constexpr DWORD SERVICE_TRIGGER_ACTION_SERVICE_START = 1;
constexpr DWORD SERVICE_TRIGGER_ACTION_SERVICE_STOP = 2;
// What a service main finds as argv[1] when a trigger started the service (argv[0] is its name).
inline constexpr char16_t SERVICE_TRIGGER_STARTED_ARGUMENT[] = u"TriggerStarted";
struct GUID {
  DWORD Data1;
  WORD Data2;
  WORD Data3;
  BYTE Data4[8];
  bool operator==(const GUID&) const = default;
};
// A group policy trigger's subtype: machine policy was applied ({659FCAE6-5BDB-4DA9-B1FF-
// CA2A178D46E0}), at boot, at every background refresh and at gpupdate.
inline constexpr GUID MACHINE_POLICY_PRESENT_GUID = {
    0x659FCAE6, 0x5BDB, 0x4DA9, {0xB1, 0xFF, 0xCA, 0x2A, 0x17, 0x8D, 0x46, 0xE0}};
struct SERVICE_TRIGGER_SPECIFIC_DATA_ITEM {
  DWORD dwDataType;
  DWORD cbData;
  BYTE* pData;
};
struct SERVICE_TRIGGER {
  DWORD dwTriggerType;
  DWORD dwAction;
  GUID* pTriggerSubtype;
  DWORD cDataItems;
  SERVICE_TRIGGER_SPECIFIC_DATA_ITEM* pDataItems;
};
// The service's whole set of triggers: given, it replaces the set; cTriggers 0 removes them.
struct SERVICE_TRIGGER_INFO {
  DWORD cTriggers;
  SERVICE_TRIGGER* pTriggers;
  BYTE* pReserved;  // must be null
};
// With a null `info` nothing is changed.
BOOL ChangeServiceConfig2W(SC_HANDLE service, DWORD infoLevel, LPVOID info);
SC_LOCK LockServiceDatabase(SC_HANDLE manager);
BOOL UnlockServiceDatabase(SC_LOCK lock);
BOOL QueryServiceLockStatusW(SC_HANDLE manager, QUERY_SERVICE_LOCK_STATUSW* status, DWORD size,
                             DWORD* needed);
BOOL CloseServiceHandle(SC_HANDLE handle);
BOOL StartServiceCtrlDispatcherW(const SERVICE_TABLE_ENTRYW* table);
SERVICE_STATUS_HANDLE RegisterServiceCtrlHandlerW(LPCWSTR serviceName, LPHANDLER_FUNCTION handler);
BOOL SetServiceStatus(SERVICE_STATUS_HANDLE handle, SERVICE_STATUS* status);

// ntdll.
NTSTATUS NtCreateFile(HANDLE* file, DWORD access, OBJECT_ATTRIBUTES* attributes,
                      IO_STATUS_BLOCK* status, std::int64_t* allocationSize, ULONG fileAttributes,
                      ULONG share, ULONG disposition, ULONG options, void* ea, ULONG eaLength);
NTSTATUS NtSetInformationFile(HANDLE file, IO_STATUS_BLOCK* status, void* info, ULONG length,
                              ULONG infoClass);
ULONG RtlNtStatusToDosError(NTSTATUS status);

// advapi32: security. GetSecurityInfo returns the error code itself; what it returns in
// `descriptor` is freed with LocalFree, and the owner and list pointers point into it.
DWORD GetSecurityInfo(HANDLE handle, DWORD objectType, DWORD information, PSID* owner,
                      PSID* group, PACL* dacl, PACL* sacl, PSECURITY_DESCRIPTOR* descriptor);
// A self-relative descriptor from its text form, freed with LocalFree.
BOOL ConvertStringSecurityDescriptorToSecurityDescriptorW(LPCWSTR text, DWORD revision,
                                                          PSECURITY_DESCRIPTOR* descriptor,
                                                          ULONG* size);
BOOL GetAce(PACL acl, DWORD index, LPVOID* ace);
BOOL EqualSid(PSID a, PSID b);
BOOL IsValidSid(PSID sid);
HANDLE GetCurrentProcess();  // a pseudo handle, never closed
BOOL OpenProcessToken(HANDLE process, DWORD access, HANDLE* token);
BOOL GetTokenInformation(HANDLE token, DWORD infoClass, LPVOID info, DWORD size, DWORD* needed);

// msi: the installer session a custom action is called with. Only the package's custom action,
// a Windows-only DLL, calls these; the simulation has none.
using MSIHANDLE = std::uint32_t;  // unsigned long on Windows
constexpr DWORD INSTALLMESSAGE_ERROR = 0x01000000;
constexpr DWORD INSTALLMESSAGE_INFO = 0x04000000;
UINT MsiGetPropertyW(MSIHANDLE install, LPCWSTR name, LPWSTR value, DWORD* size);
MSIHANDLE MsiCreateRecord(UINT fields);  // 0 on failure
UINT MsiRecordSetStringW(MSIHANDLE record, UINT field, LPCWSTR value);
// Shows an INSTALLMESSAGE_ERROR in a dialog when the install has a user interface and writes it
// to the log either way; field 0 of the record is the template of the text.
int MsiProcessMessage(MSIHANDLE install, DWORD type, MSIHANDLE record);
UINT MsiCloseHandle(MSIHANDLE handle);

// advapi32: event log.
HANDLE RegisterEventSourceW(LPCWSTR server, LPCWSTR source);
BOOL ReportEventW(HANDLE eventLog, WORD type, WORD category, DWORD eventId, PSID userSid,
                  WORD numStrings, DWORD dataSize, LPCWSTR* strings, LPVOID rawData);
BOOL DeregisterEventSource(HANDLE eventLog);

}  // namespace win
