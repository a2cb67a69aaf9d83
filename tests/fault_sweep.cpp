#include "tests/fault_sweep.h"

#include <valgrind/valgrind.h>

DWORD realistic_error(const std::string &name)
{
    static const std::map<std::string, DWORD> errors = {
        {"RegOpenKeyExA", ERROR_ACCESS_DENIED},       {"RegEnumValueA", ERROR_ACCESS_DENIED},
        {"RegDeleteValueA", ERROR_ACCESS_DENIED},     {"RegDeleteKeyA", ERROR_ACCESS_DENIED},
        {"NtDeleteValueKey", ERROR_ACCESS_DENIED},    {"NtEnumerateValueKey", ERROR_ACCESS_DENIED},
        {"GetPrivateProfileStringA", ERROR_ACCESS_DENIED},
        {"WritePrivateProfileStringA", ERROR_DISK_FULL},
        {"DeleteFileA", ERROR_SHARING_VIOLATION},     {"MoveFileA", ERROR_SHARING_VIOLATION},
        {"MoveFileExA", ERROR_ACCESS_DENIED},         {"fopen", ERROR_SHARING_VIOLATION},
        {"read", ERROR_READ_FAULT},                   {"write", ERROR_DISK_FULL},
        {"fclose", ERROR_DISK_FULL},                  {"stdout", ERROR_DISK_FULL},
        {"stderr", ERROR_DISK_FULL},                  {"CreateFileA", ERROR_FILE_NOT_FOUND},
        {"DeviceIoControl", ERROR_INVALID_FUNCTION},  {"ReadConsoleInputA", ERROR_INVALID_HANDLE},
        {"PeekConsoleInputA", ERROR_INVALID_HANDLE},  {"GetConsoleMode", ERROR_INVALID_HANDLE},
        {"SetConsoleMode", ERROR_INVALID_HANDLE},     {"GetVersionExA", ERROR_INSUFFICIENT_BUFFER},
        {"GetSystemDirectoryA", ERROR_INSUFFICIENT_BUFFER},
        {"GetWindowsDirectoryA", ERROR_INSUFFICIENT_BUFFER},
        {"ExitWindowsEx", ERROR_PRIVILEGE_NOT_HELD},  {"LoadLibraryA", ERROR_MOD_NOT_FOUND},
        // A call that Windows exports is not found only when the module that it is forwarded
        // to does not load; ERROR_PROC_NOT_FOUND says the call is not there at all, which is a
        // kind of Windows (sim::drop_export), not a fault.
        {"GetModuleHandleA", ERROR_MOD_NOT_FOUND},    {"GetProcAddress", ERROR_MOD_NOT_FOUND},
    };
    auto it = errors.find(name);
    return it == errors.end() ? ERROR_ACCESS_DENIED : it->second;
}

bool cannot_fail(const std::string &name)
{
    return name == "GetLastError" || name == "SetLastError" || name == "GetCurrentProcess" || name == "SleepEx";
}

int sweep_stride()
{
    if (RUNNING_ON_VALGRIND)
        return 40;
#if defined(__SANITIZE_ADDRESS__)
    return 6;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
    return 6;
#endif
#endif
    return 1;
}
