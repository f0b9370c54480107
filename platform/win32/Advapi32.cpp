// advapi32 forwards: registry, service control manager, event log.
#include <cstddef>

#include "platform/win32/WindowsHeaders.h"
// MACHINE_POLICY_PRESENT_TRIGGER_GUID, to check the seam's copy against.
#include <userenv.h>

using namespace win::native;

// The service callbacks are handed to Windows as they are: on x64 there is one calling
// convention, so WINAPI adds nothing and the seam's function types match the real ones.
#if !defined(__x86_64__) && !defined(_M_X64)
#error "platform/win32 passes service callbacks through unchanged; that holds on x64 only"
#endif
static_assert(sizeof(void*) == 8);

#define CORVANE_SAME_FIELD(type, field) \
  static_assert(offsetof(win::type, field) == offsetof(::type, field), #type "::" #field)

static_assert(sizeof(win::SERVICE_STATUS) == sizeof(::SERVICE_STATUS));
CORVANE_SAME_FIELD(SERVICE_STATUS, dwServiceType);
CORVANE_SAME_FIELD(SERVICE_STATUS, dwCurrentState);
CORVANE_SAME_FIELD(SERVICE_STATUS, dwControlsAccepted);
CORVANE_SAME_FIELD(SERVICE_STATUS, dwWin32ExitCode);
CORVANE_SAME_FIELD(SERVICE_STATUS, dwServiceSpecificExitCode);
CORVANE_SAME_FIELD(SERVICE_STATUS, dwCheckPoint);
CORVANE_SAME_FIELD(SERVICE_STATUS, dwWaitHint);
static_assert(sizeof(win::SERVICE_TABLE_ENTRYW) == sizeof(::SERVICE_TABLE_ENTRYW));
CORVANE_SAME_FIELD(SERVICE_TABLE_ENTRYW, lpServiceName);
CORVANE_SAME_FIELD(SERVICE_TABLE_ENTRYW, lpServiceProc);
static_assert(sizeof(win::QUERY_SERVICE_LOCK_STATUSW) == sizeof(::QUERY_SERVICE_LOCK_STATUSW));
CORVANE_SAME_FIELD(QUERY_SERVICE_LOCK_STATUSW, fIsLocked);
CORVANE_SAME_FIELD(QUERY_SERVICE_LOCK_STATUSW, lpLockOwner);
CORVANE_SAME_FIELD(QUERY_SERVICE_LOCK_STATUSW, dwLockDuration);
static_assert(sizeof(win::QUERY_SERVICE_CONFIGW) == sizeof(::QUERY_SERVICE_CONFIGW));
CORVANE_SAME_FIELD(QUERY_SERVICE_CONFIGW, dwServiceType);
CORVANE_SAME_FIELD(QUERY_SERVICE_CONFIGW, dwStartType);
CORVANE_SAME_FIELD(QUERY_SERVICE_CONFIGW, dwErrorControl);
CORVANE_SAME_FIELD(QUERY_SERVICE_CONFIGW, lpBinaryPathName);
CORVANE_SAME_FIELD(QUERY_SERVICE_CONFIGW, lpLoadOrderGroup);
CORVANE_SAME_FIELD(QUERY_SERVICE_CONFIGW, dwTagId);
CORVANE_SAME_FIELD(QUERY_SERVICE_CONFIGW, lpDependencies);
CORVANE_SAME_FIELD(QUERY_SERVICE_CONFIGW, lpServiceStartName);
CORVANE_SAME_FIELD(QUERY_SERVICE_CONFIGW, lpDisplayName);
static_assert(sizeof(win::ACL) == sizeof(::ACL));
CORVANE_SAME_FIELD(ACL, AclRevision);
CORVANE_SAME_FIELD(ACL, AclSize);
CORVANE_SAME_FIELD(ACL, AceCount);
static_assert(sizeof(win::ACE_HEADER) == sizeof(::ACE_HEADER));
CORVANE_SAME_FIELD(ACE_HEADER, AceType);
CORVANE_SAME_FIELD(ACE_HEADER, AceFlags);
CORVANE_SAME_FIELD(ACE_HEADER, AceSize);
static_assert(sizeof(win::ACCESS_ALLOWED_ACE) == sizeof(::ACCESS_ALLOWED_ACE));
CORVANE_SAME_FIELD(ACCESS_ALLOWED_ACE, Mask);
CORVANE_SAME_FIELD(ACCESS_ALLOWED_ACE, SidStart);
static_assert(sizeof(win::TOKEN_USER) == sizeof(::TOKEN_USER));
CORVANE_SAME_FIELD(SID_AND_ATTRIBUTES, Sid);
CORVANE_SAME_FIELD(SID_AND_ATTRIBUTES, Attributes);
// The trigger records: mingw-w64's winsvc.h has no SERVICE_TRIGGER yet, so where it is missing
// the layout Windows documents for x64 is pinned instead.
static_assert(sizeof(win::GUID) == sizeof(::GUID));
CORVANE_SAME_FIELD(GUID, Data1);
CORVANE_SAME_FIELD(GUID, Data2);
CORVANE_SAME_FIELD(GUID, Data3);
CORVANE_SAME_FIELD(GUID, Data4);
static_assert(win::MACHINE_POLICY_PRESENT_GUID ==
              win::GUID MACHINE_POLICY_PRESENT_TRIGGER_GUID);  // userenv.h's name for it
#ifdef SERVICE_TRIGGER_ACTION_SERVICE_START
static_assert(win::SERVICE_TRIGGER_ACTION_SERVICE_START == SERVICE_TRIGGER_ACTION_SERVICE_START);
static_assert(win::SERVICE_TRIGGER_ACTION_SERVICE_STOP == SERVICE_TRIGGER_ACTION_SERVICE_STOP);
static_assert(sizeof(win::SERVICE_TRIGGER_SPECIFIC_DATA_ITEM) ==
              sizeof(::SERVICE_TRIGGER_SPECIFIC_DATA_ITEM));
CORVANE_SAME_FIELD(SERVICE_TRIGGER_SPECIFIC_DATA_ITEM, cbData);
CORVANE_SAME_FIELD(SERVICE_TRIGGER_SPECIFIC_DATA_ITEM, pData);
static_assert(sizeof(win::SERVICE_TRIGGER) == sizeof(::SERVICE_TRIGGER));
CORVANE_SAME_FIELD(SERVICE_TRIGGER, dwAction);
CORVANE_SAME_FIELD(SERVICE_TRIGGER, pTriggerSubtype);
CORVANE_SAME_FIELD(SERVICE_TRIGGER, cDataItems);
CORVANE_SAME_FIELD(SERVICE_TRIGGER, pDataItems);
static_assert(sizeof(win::SERVICE_TRIGGER_INFO) == sizeof(::SERVICE_TRIGGER_INFO));
CORVANE_SAME_FIELD(SERVICE_TRIGGER_INFO, pTriggers);
CORVANE_SAME_FIELD(SERVICE_TRIGGER_INFO, pReserved);
#else
static_assert(sizeof(win::SERVICE_TRIGGER_SPECIFIC_DATA_ITEM) == 16);
static_assert(offsetof(win::SERVICE_TRIGGER_SPECIFIC_DATA_ITEM, pData) == 8);
static_assert(sizeof(win::SERVICE_TRIGGER) == 32);
static_assert(offsetof(win::SERVICE_TRIGGER, pTriggerSubtype) == 8);
static_assert(offsetof(win::SERVICE_TRIGGER, cDataItems) == 16);
static_assert(offsetof(win::SERVICE_TRIGGER, pDataItems) == 24);
static_assert(sizeof(win::SERVICE_TRIGGER_INFO) == 24);
static_assert(offsetof(win::SERVICE_TRIGGER_INFO, pTriggers) == 8);
static_assert(offsetof(win::SERVICE_TRIGGER_INFO, pReserved) == 16);
#endif
static_assert(sizeof(win::LPSERVICE_MAIN_FUNCTIONW) == sizeof(::LPSERVICE_MAIN_FUNCTIONW));
static_assert(sizeof(win::LPHANDLER_FUNCTION) == sizeof(::LPHANDLER_FUNCTION));

// The predefined HKEY roots are pointers, which no constant expression can compare; the
// Windows build of the contract tests checks them (tests/contract/Win32Constants.cpp).

namespace win {

// Registry.
LSTATUS RegOpenKeyExW(HKEY key, LPCWSTR subKey, DWORD options, REGSAM access, HKEY* result) {
  return ::RegOpenKeyExW(K(key), W(subKey), options, access, K(result));
}
LSTATUS RegCreateKeyExW(HKEY key, LPCWSTR subKey, DWORD reserved, LPWSTR className, DWORD options,
                        REGSAM access, void* security, HKEY* result, DWORD* disposition) {
  return ::RegCreateKeyExW(K(key), W(subKey), reserved, W(className), options, access,
                           static_cast<::LPSECURITY_ATTRIBUTES>(security), K(result),
                           D(disposition));
}
LSTATUS RegQueryValueExW(HKEY key, LPCWSTR name, DWORD* reserved, DWORD* type, BYTE* data,
                         DWORD* size) {
  return ::RegQueryValueExW(K(key), W(name), D(reserved), D(type), data, D(size));
}
LSTATUS RegSetValueExW(HKEY key, LPCWSTR name, DWORD reserved, DWORD type, const BYTE* data,
                       DWORD size) {
  return ::RegSetValueExW(K(key), W(name), reserved, type, data, size);
}
LSTATUS RegDeleteValueW(HKEY key, LPCWSTR name) {
  return ::RegDeleteValueW(K(key), W(name));
}
LSTATUS RegDeleteKeyW(HKEY key, LPCWSTR subKey) {
  return ::RegDeleteKeyW(K(key), W(subKey));
}
LSTATUS RegCloseKey(HKEY key) {
  return ::RegCloseKey(K(key));
}
LSTATUS RegEnumKeyExW(HKEY key, DWORD index, LPWSTR name, DWORD* nameSize, DWORD* reserved,
                      LPWSTR className, DWORD* classSize, FILETIME* lastWriteTime) {
  return ::RegEnumKeyExW(K(key), index, W(name), D(nameSize), D(reserved), W(className),
                         D(classSize), reinterpret_cast<::PFILETIME>(lastWriteTime));
}
LSTATUS RegQueryInfoKeyW(HKEY key, LPWSTR className, DWORD* classSize, DWORD* reserved,
                         DWORD* subKeys, DWORD* maxSubKeyLength, DWORD* maxClassLength,
                         DWORD* values, DWORD* maxValueNameLength, DWORD* maxValueLength,
                         DWORD* securityDescriptorSize, FILETIME* lastWriteTime) {
  return ::RegQueryInfoKeyW(K(key), W(className), D(classSize), D(reserved), D(subKeys),
                            D(maxSubKeyLength), D(maxClassLength), D(values), D(maxValueNameLength),
                            D(maxValueLength), D(securityDescriptorSize),
                            reinterpret_cast<::PFILETIME>(lastWriteTime));
}
LSTATUS RegEnumValueW(HKEY key, DWORD index, LPWSTR name, DWORD* nameSize, DWORD* reserved,
                      DWORD* type, BYTE* data, DWORD* size) {
  return ::RegEnumValueW(K(key), index, W(name), D(nameSize), D(reserved), D(type), data, D(size));
}

// Service control manager.
SC_HANDLE OpenSCManagerW(LPCWSTR machine, LPCWSTR database, DWORD access) {
  return reinterpret_cast<SC_HANDLE>(::OpenSCManagerW(W(machine), W(database), access));
}
SC_HANDLE OpenServiceW(SC_HANDLE manager, LPCWSTR name, DWORD access) {
  return reinterpret_cast<SC_HANDLE>(::OpenServiceW(S(manager), W(name), access));
}
SC_HANDLE CreateServiceW(SC_HANDLE manager, LPCWSTR name, LPCWSTR displayName, DWORD access,
                         DWORD serviceType, DWORD startType, DWORD errorControl, LPCWSTR binaryPath,
                         LPCWSTR loadOrderGroup, DWORD* tagId, LPCWSTR dependencies,
                         LPCWSTR account, LPCWSTR password) {
  return reinterpret_cast<SC_HANDLE>(::CreateServiceW(
      S(manager), W(name), W(displayName), access, serviceType, startType, errorControl,
      W(binaryPath), W(loadOrderGroup), D(tagId), W(dependencies), W(account), W(password)));
}
BOOL ControlService(SC_HANDLE service, DWORD control, SERVICE_STATUS* status) {
  return ::ControlService(S(service), control, reinterpret_cast<::LPSERVICE_STATUS>(status));
}
BOOL DeleteService(SC_HANDLE service) {
  return ::DeleteService(S(service));
}
BOOL StartServiceW(SC_HANDLE service, DWORD argc, LPCWSTR* argv) {
  return ::StartServiceW(S(service), argc, reinterpret_cast<::LPCWSTR*>(argv));
}
BOOL QueryServiceStatus(SC_HANDLE service, SERVICE_STATUS* status) {
  return ::QueryServiceStatus(S(service), reinterpret_cast<::LPSERVICE_STATUS>(status));
}
BOOL QueryServiceConfigW(SC_HANDLE service, QUERY_SERVICE_CONFIGW* config, DWORD size,
                         DWORD* needed) {
  return ::QueryServiceConfigW(S(service), reinterpret_cast<::LPQUERY_SERVICE_CONFIGW>(config),
                               size, D(needed));
}
BOOL ChangeServiceConfigW(SC_HANDLE service, DWORD serviceType, DWORD startType, DWORD errorControl,
                          LPCWSTR binaryPath, LPCWSTR loadOrderGroup, DWORD* tagId,
                          LPCWSTR dependencies, LPCWSTR account, LPCWSTR password,
                          LPCWSTR displayName) {
  return ::ChangeServiceConfigW(S(service), serviceType, startType, errorControl, W(binaryPath),
                                W(loadOrderGroup), D(tagId), W(dependencies), W(account),
                                W(password), W(displayName));
}
BOOL ChangeServiceConfig2W(SC_HANDLE service, DWORD infoLevel, LPVOID info) {
  return ::ChangeServiceConfig2W(S(service), infoLevel, info);
}
SC_LOCK LockServiceDatabase(SC_HANDLE manager) {
  return reinterpret_cast<SC_LOCK>(::LockServiceDatabase(S(manager)));
}
BOOL UnlockServiceDatabase(SC_LOCK lock) {
  return ::UnlockServiceDatabase(reinterpret_cast<::SC_LOCK>(lock));
}
BOOL QueryServiceLockStatusW(SC_HANDLE manager, QUERY_SERVICE_LOCK_STATUSW* status, DWORD size,
                             DWORD* needed) {
  return ::QueryServiceLockStatusW(
      S(manager), reinterpret_cast<::LPQUERY_SERVICE_LOCK_STATUSW>(status), size, D(needed));
}
BOOL CloseServiceHandle(SC_HANDLE handle) {
  return ::CloseServiceHandle(S(handle));
}
BOOL StartServiceCtrlDispatcherW(const SERVICE_TABLE_ENTRYW* table) {
  return ::StartServiceCtrlDispatcherW(reinterpret_cast<const ::SERVICE_TABLE_ENTRYW*>(table));
}
SERVICE_STATUS_HANDLE RegisterServiceCtrlHandlerW(LPCWSTR serviceName, LPHANDLER_FUNCTION handler) {
  return reinterpret_cast<SERVICE_STATUS_HANDLE>(::RegisterServiceCtrlHandlerW(
      W(serviceName), reinterpret_cast<::LPHANDLER_FUNCTION>(handler)));
}
BOOL SetServiceStatus(SERVICE_STATUS_HANDLE handle, SERVICE_STATUS* status) {
  return ::SetServiceStatus(reinterpret_cast<::SERVICE_STATUS_HANDLE>(handle),
                            reinterpret_cast<::LPSERVICE_STATUS>(status));
}

// Security.
DWORD GetSecurityInfo(HANDLE handle, DWORD objectType, DWORD information, PSID* owner,
                      PSID* group, PACL* dacl, PACL* sacl, PSECURITY_DESCRIPTOR* descriptor) {
  return ::GetSecurityInfo(handle, static_cast<::SE_OBJECT_TYPE>(objectType), information, owner,
                           group, reinterpret_cast<::PACL*>(dacl),
                           reinterpret_cast<::PACL*>(sacl), descriptor);
}
BOOL ConvertStringSecurityDescriptorToSecurityDescriptorW(LPCWSTR text, DWORD revision,
                                                          PSECURITY_DESCRIPTOR* descriptor,
                                                          ULONG* size) {
  return ::ConvertStringSecurityDescriptorToSecurityDescriptorW(
      W(text), revision, descriptor, reinterpret_cast<::PULONG>(size));
}
BOOL GetAce(PACL acl, DWORD index, LPVOID* ace) {
  return ::GetAce(reinterpret_cast<::PACL>(acl), index, ace);
}
BOOL EqualSid(PSID a, PSID b) {
  return ::EqualSid(a, b);
}
BOOL IsValidSid(PSID sid) {
  return ::IsValidSid(sid);
}
BOOL OpenProcessToken(HANDLE process, DWORD access, HANDLE* token) {
  return ::OpenProcessToken(process, access, token);
}
BOOL GetTokenInformation(HANDLE token, DWORD infoClass, LPVOID info, DWORD size, DWORD* needed) {
  return ::GetTokenInformation(token, static_cast<::TOKEN_INFORMATION_CLASS>(infoClass), info,
                               size, D(needed));
}

// Event log.
HANDLE RegisterEventSourceW(LPCWSTR server, LPCWSTR source) {
  return ::RegisterEventSourceW(W(server), W(source));
}
BOOL ReportEventW(HANDLE eventLog, WORD type, WORD category, DWORD eventId, PSID userSid,
                  WORD numStrings, DWORD dataSize, LPCWSTR* strings, LPVOID rawData) {
  return ::ReportEventW(eventLog, type, category, eventId, userSid, numStrings, dataSize,
                        reinterpret_cast<::LPCWSTR*>(strings), rawData);
}
BOOL DeregisterEventSource(HANDLE eventLog) {
  return ::DeregisterEventSource(eventLog);
}

}  // namespace win
