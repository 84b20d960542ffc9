// Test helper: a DLL that stands in for the runtime library inside
// bin.qar. It exports none of the runtime's names; loading it creates the
// file named by SKIFF_MARKER_FILE, so a test of the whole launcher learns
// that the extracted library really was loaded from the work directory.
#include <windows.h>

BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH) {
    char path[MAX_PATH];
    DWORD n = GetEnvironmentVariableA("SKIFF_MARKER_FILE", path, sizeof path);
    if (n > 0 && n < sizeof path) {
      HANDLE h = CreateFileA(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
      if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
    }
  }
  return TRUE;
}
