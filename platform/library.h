#pragma once
// Libraries loaded by name, as the socket layer binds the Windows Sockets library: a module is
// "loaded" from its first LoadLibrary to its last FreeLibrary, and its entry points are found by
// name. The modules are linked in; loading them only makes the lifecycle observable.
namespace library {

struct Module;
using HMODULE = const Module*;
using FARPROC = void (*)();

constexpr unsigned ERROR_MOD_NOT_FOUND = 126;
constexpr unsigned ERROR_PROC_NOT_FOUND = 127;

HMODULE LoadLibrary(const char* name);  // null when unknown (GetLastError: 126)
bool FreeLibrary(HMODULE module);
FARPROC GetProcAddress(HMODULE module, const char* name);  // null when missing (127)
unsigned GetLastError();
bool IsLoaded(const char* name);

}  // namespace library
