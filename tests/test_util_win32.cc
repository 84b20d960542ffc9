// Windows implementation of the shared test helpers (tests/test_util.h)
// and of the Windows-only ones (tests/test_util_win32.h). Test code only:
// the launcher itself reaches the system through platform/.
#include "tests/test_util.h"
#include "tests/test_util_win32.h"

#include <windows.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>


// Deletes `path` and everything below it; links (reparse points) are
// removed themselves, never followed.
static void removeTree(const std::string& path) {
  DWORD attributes = GetFileAttributesA(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return;
  if (attributes & FILE_ATTRIBUTE_READONLY) {
    SetFileAttributesA(path.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY);
  }
  if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
    DeleteFileA(path.c_str());
    return;
  }
  if (!(attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
    WIN32_FIND_DATAA data;
    HANDLE find = FindFirstFileA((path + "\\*").c_str(), &data);
    if (find != INVALID_HANDLE_VALUE) {
      do {
        if (strcmp(data.cFileName, ".") == 0 ||
            strcmp(data.cFileName, "..") == 0) {
          continue;
        }
        removeTree(path + "\\" + data.cFileName);
      } while (FindNextFileA(find, &data));
      FindClose(find);
    }
  }
  RemoveDirectoryA(path.c_str());
}

ScopedTempDir::ScopedTempDir() {
  std::string base;
  const char* env = getenv("TEST_TMPDIR");
  if (env && *env) {
    base = nativePath(env);
  } else {
    char temp[MAX_PATH + 1];
    DWORD n = GetTempPathA(sizeof temp, temp);
    if (n == 0 || n >= sizeof temp) return;
    base.assign(temp, n);
  }
  if (!base.empty() && base.back() == '\\') base.pop_back();
  // Names of eight characters, so that the directory is its own short
  // (8.3) name and paths compare equal in both forms.
  static unsigned counter;
  unsigned seed = GetCurrentProcessId() * 2654435761u ^ GetTickCount();
  for (int attempt = 0; attempt < 100; ++attempt) {
    char name[16];
    snprintf(name, sizeof name, "sk%06x",
             (seed + 7919u * ++counter) & 0xFFFFFFu);
    std::string candidate = base + "\\" + name;
    if (CreateDirectoryA(candidate.c_str(), nullptr)) {
      dir = candidate;
      return;
    }
    if (GetLastError() != ERROR_ALREADY_EXISTS) return;
  }
}

ScopedTempDir::~ScopedTempDir() {
  // A launcher run from here leaves its cleanup child behind for a moment
  // after the run (it removes the run's directory once the run's process
  // has ended), and while it runs its program file cannot be deleted:
  // tried again for up to 10 s.
  for (int attempt = 0; !dir.empty() && attempt < 200; ++attempt) {
    removeTree(dir);
    if (GetFileAttributesA(dir.c_str()) == INVALID_FILE_ATTRIBUTES) break;
    Sleep(50);
  }
}

std::string nativePath(const std::string& path) {
  std::string p = path;
  for (char& c : p) {
    if (c == '/') c = '\\';
  }
  char full[MAX_PATH * 4];
  DWORD n = GetFullPathNameA(p.c_str(), sizeof full, full, nullptr);
  if (n == 0 || n >= sizeof full) return p;
  return std::string(full, n);
}

std::string shortPath(const std::string& path) {
  char out[MAX_PATH * 4];
  DWORD n = GetShortPathNameA(path.c_str(), out, sizeof out);
  if (n == 0 || n >= sizeof out) return path;
  return std::string(out, n);
}

bool libraryIsLoaded(const std::string& path) {
  return GetModuleHandleA(path.c_str()) != nullptr;
}

int deleteFileInOtherProcess(const std::string& path) {
  RunResult r = runProgram({nativePath(SKIFF_DELETE_FILE_PATH), path});
  return r.status == 0 ? 1 : 0;
}

bool ageFile(const std::string& path, int seconds) {
  HANDLE h = CreateFileA(path.c_str(), FILE_WRITE_ATTRIBUTES,
                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                         nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS,
                         nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  FILETIME now;
  GetSystemTimeAsFileTime(&now);
  ULARGE_INTEGER t;
  t.LowPart = now.dwLowDateTime;
  t.HighPart = now.dwHighDateTime;
  t.QuadPart -= static_cast<ULONGLONG>(seconds) * 10000000ULL;
  FILETIME then;
  then.dwLowDateTime = t.LowPart;
  then.dwHighDateTime = t.HighPart;
  bool ok = SetFileTime(h, nullptr, &then, &then) != 0;
  CloseHandle(h);
  return ok;
}

std::string manifestOf(const std::string& exePath) {
  HMODULE module = LoadLibraryExA(exePath.c_str(), nullptr,
                                  LOAD_LIBRARY_AS_DATAFILE);
  if (!module) return "";
  std::string text;
  HRSRC resource = FindResourceA(module, MAKEINTRESOURCEA(1),
                                 MAKEINTRESOURCEA(24));  // RT_MANIFEST
  if (resource) {
    HGLOBAL loaded = LoadResource(module, resource);
    DWORD size = SizeofResource(module, resource);
    const char* data = loaded ? static_cast<const char*>(LockResource(loaded))
                              : nullptr;
    if (data) text.assign(data, size);
  }
  FreeLibrary(module);
  return text;
}

bool makeDirectoryLink(const std::string& link, const std::string& target) {
  if (!CreateSymbolicLinkA(link.c_str(), target.c_str(),
                           SYMBOLIC_LINK_FLAG_DIRECTORY)) {
    return false;
  }
  DWORD attributes = GetFileAttributesA(link.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES &&
         (attributes & FILE_ATTRIBUTE_REPARSE_POINT);
}

// Quotes one argument so that the C runtime's command-line parser gives
// it back unchanged: backslashes are literal except before a quote.
static std::string quoteArgument(const std::string& arg) {
  if (!arg.empty() && arg.find_first_of(" \t\n\v\"") == std::string::npos) {
    return arg;
  }
  std::string out = "\"";
  size_t backslashes = 0;
  for (char c : arg) {
    if (c == '\\') {
      ++backslashes;
      continue;
    }
    if (c == '"') out.append(backslashes * 2 + 1, '\\');
    else out.append(backslashes, '\\');
    backslashes = 0;
    out += c;
  }
  out.append(backslashes * 2, '\\');
  out += '"';
  return out;
}

// The current environment with the "NAME=value" changes of `env` applied
// ("NAME=" removes NAME), as a block for CreateProcessA.
static std::vector<char> environmentBlock(const std::vector<std::string>& env) {
  std::vector<std::string> vars;
  char* strings = GetEnvironmentStringsA();
  if (strings) {
    for (const char* p = strings; *p; p += strlen(p) + 1) vars.push_back(p);
    FreeEnvironmentStringsA(strings);
  }
  for (const std::string& change : env) {
    size_t eq = change.find('=');
    std::string name = change.substr(0, eq);
    bool remove = eq == std::string::npos || eq + 1 == change.size();
    for (size_t i = 0; i < vars.size();) {
      size_t veq = vars[i].find('=', 1);  // "=C:=..." entries start with '='
      if (veq == name.size() &&
          _strnicmp(vars[i].c_str(), name.c_str(), name.size()) == 0) {
        vars.erase(vars.begin() + i);
      } else {
        ++i;
      }
    }
    if (!remove) vars.push_back(change);
  }
  std::vector<char> block;
  for (const std::string& v : vars) block.insert(block.end(), v.c_str(), v.c_str() + v.size() + 1);
  block.push_back('\0');
  if (vars.empty()) block.push_back('\0');
  return block;
}

// Moves whatever `pipe` holds now into `out` without blocking; false once
// the writing end is closed and the pipe is empty.
static bool drainPipe(HANDLE pipe, std::string* out) {
  for (;;) {
    DWORD available = 0;
    if (!PeekNamedPipe(pipe, nullptr, 0, nullptr, &available, nullptr)) {
      return false;  // broken pipe: every writer is gone
    }
    if (available == 0) return true;
    char buf[4096];
    DWORD got = 0;
    DWORD want = available < sizeof buf ? available : sizeof buf;
    if (!ReadFile(pipe, buf, want, &got, nullptr) || got == 0) return false;
    out->append(buf, got);
  }
}

RunResult runProgram(const std::vector<std::string>& argv,
                     const std::vector<std::string>& env, int timeoutSeconds,
                     const std::string& cwd) {
  RunResult result{-1, "", ""};
  if (argv.empty()) return result;
  std::string commandLine;
  for (const std::string& a : argv) {
    if (!commandLine.empty()) commandLine += ' ';
    commandLine += quoteArgument(a);
  }
  std::vector<char> commandBuffer(commandLine.begin(), commandLine.end());
  commandBuffer.push_back('\0');
  std::vector<char> block = environmentBlock(env);

  // Only the writing ends are inheritable; the child gets them as its
  // standard output and error, and the null device as standard input.
  SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
  HANDLE outRead, outWrite, errRead, errWrite;
  if (!CreatePipe(&outRead, &outWrite, &inherit, 0)) return result;
  if (!CreatePipe(&errRead, &errWrite, &inherit, 0)) {
    CloseHandle(outRead);
    CloseHandle(outWrite);
    return result;
  }
  SetHandleInformation(outRead, HANDLE_FLAG_INHERIT, 0);
  SetHandleInformation(errRead, HANDLE_FLAG_INHERIT, 0);
  HANDLE nul = CreateFileA("NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                           &inherit, OPEN_EXISTING, 0, nullptr);

  STARTUPINFOA startup;
  memset(&startup, 0, sizeof startup);
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = nul;
  startup.hStdOutput = outWrite;
  startup.hStdError = errWrite;
  PROCESS_INFORMATION process;
  memset(&process, 0, sizeof process);
  BOOL started = CreateProcessA(
      nullptr, commandBuffer.data(), nullptr, nullptr, TRUE, 0, block.data(),
      cwd.empty() ? nullptr : cwd.c_str(), &startup, &process);
  CloseHandle(outWrite);
  CloseHandle(errWrite);
  if (nul != INVALID_HANDLE_VALUE) CloseHandle(nul);
  if (!started) {
    CloseHandle(outRead);
    CloseHandle(errRead);
    return result;
  }
  CloseHandle(process.hThread);

  DWORD start = GetTickCount();
  DWORD limit = static_cast<DWORD>(timeoutSeconds) * 1000u;
  bool outOpen = true, errOpen = true, exited = false, timedOut = false;
  DWORD exitedAt = 0;
  for (;;) {
    if (outOpen) outOpen = drainPipe(outRead, &result.out);
    if (errOpen) errOpen = drainPipe(errRead, &result.err);
    if (!exited) {
      exited = WaitForSingleObject(process.hProcess, 0) == WAIT_OBJECT_0;
      if (exited) exitedAt = GetTickCount();
    }
    // A program that has ended may have passed its pipes on to a
    // descendant; what that one writes later is not waited for long.
    if (exited && (!(outOpen || errOpen) || GetTickCount() - exitedAt > 2000)) {
      break;
    }
    if (!exited && GetTickCount() - start > limit) {
      timedOut = true;
      TerminateProcess(process.hProcess, 255);
      WaitForSingleObject(process.hProcess, 5000);
      break;
    }
    Sleep(5);
  }
  if (outOpen) drainPipe(outRead, &result.out);
  if (errOpen) drainPipe(errRead, &result.err);
  CloseHandle(outRead);
  CloseHandle(errRead);
  DWORD code = 0;
  if (!timedOut && GetExitCodeProcess(process.hProcess, &code)) {
    result.status = static_cast<int>(code);
  }
  CloseHandle(process.hProcess);
  return result;
}
