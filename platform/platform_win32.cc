// Win32 implementation of platform/platform.h (32-bit Windows, narrow
// "A" calls throughout: every path is ANSI text with '\\' separators).
// rand_s, the system's random source, is declared only on request.
#define _CRT_RAND_S

#include "platform/platform.h"
#include "platform/platform_calls.h"

#include <windows.h>

#include <ctype.h>
#include <errno.h>
#include <fcntl.h>
#include <io.h>
#include <stdlib.h>
#include <string.h>

const char kPathSeparator = '\\';
const char kPathListSeparator = ';';
const char kExecutableSuffix[] = ".exe";
const char kExtensionModuleSuffix[] = ".pyd";
const char kTempDirVariable[] = "TMP";
// The user's temporary directory is the only one: no other is tried.
const char* const kSystemTempDirs[] = {nullptr};
const int kEmptyPathEntryIsCurrentDir = 0;

// Standard output and error carry exactly the bytes the program prints:
// the launcher's message lines already end in "\r\n", which text mode
// would turn into "\r\r\n". Done once before main, for every program
// linked with this file.
static int winBinaryStdStreams() {
  (void)_setmode(_fileno(stdout), _O_BINARY);  // fails only without a stream
  (void)_setmode(_fileno(stderr), _O_BINARY);
  return 1;
}
static const int gWinBinaryStdStreams = winBinaryStdStreams();

size_t platformExePath(char* out, size_t size) {
  if (size == 0) return 0;
  DWORD limit = size > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<DWORD>(size);
  DWORD n = GetModuleFileNameA(nullptr, out, limit);
  // A result equal to the buffer size means the name was cut (and on
  // older systems left unterminated): refuse it rather than hand out a
  // wrong path.
  if (n == 0 || n >= limit) {
    out[0] = '\0';
    return 0;
  }
  out[n] = '\0';
  return n;
}

// Wide buffers of the temporary directory lookup, in characters.
static const DWORD kWinTempChars = 1024;

size_t platformTempDir(char* out, size_t size) {
  WCHAR longPath[kWinTempChars];
  WCHAR shortPath[kWinTempChars];
  DWORD got = GetTempPathW(kWinTempChars, longPath);
  if (got == 0 || got >= kWinTempChars) return 0;
  // The run's directory lives under the short (8.3) form, which keeps
  // the paths handed to the runtime free of blanks and long names.
  got = GetShortPathNameW(longPath, shortPath, kWinTempChars);
  if (got == 0 || got >= kWinTempChars) return 0;
  size_t n = static_cast<size_t>(lstrlenW(shortPath));
  // The temporary directory path ends with a backslash; it is not taken.
  if (n > 0 && shortPath[n - 1] == L'\\') --n;
  if (n == 0 || n + 1 > size) return 0;
  for (size_t i = 0; i < n; ++i) {
    // Characters up to 0xFF become the byte of the same value. Anything
    // above has no such byte, and a directory name with a substitute in
    // it would be another directory: such a one is not used at all.
    if (shortPath[i] > 0xFF) return 0;
    out[i] = static_cast<char>(shortPath[i]);
  }
  out[n] = '\0';
  // A doubled separator at the end (a TMP value ending in "\\") leaves
  // one more backslash: drop it as well, so names join with exactly one.
  if (out[n - 1] == '\\') out[--n] = '\0';
  return n;
}

// No Windows file system forbids loading a library from it; a missing
// directory is left to fail where the work directory is created.
int platformRealDirAllowsExec(const char*) { return 1; }

// The user's temporary directory is private to the user by its access
// rules, and the executable's folder is the installer's to protect.
int dirSafeFromOthers(const char*, char*, char*, size_t) { return 1; }

int platformRealRandomBytes(void* out, size_t size) {
  uint8_t* p = static_cast<uint8_t*>(out);
  for (size_t i = 0; i < size; i += sizeof(unsigned int)) {
    unsigned int value = 0;
    if (rand_s(&value) != 0) return 0;
    size_t n = size - i < sizeof value ? size - i : sizeof value;
    memcpy(p + i, &value, n);
  }
  return 1;
}

// Seconds since 1970-01-01 UTC from a FILETIME (100 ns ticks since 1601).
static int64_t winUnixSeconds(const FILETIME& ft) {
  uint64_t ticks = (static_cast<uint64_t>(ft.dwHighDateTime) << 32) |
                   ft.dwLowDateTime;
  return static_cast<int64_t>(ticks / 10000000ULL) - 11644473600LL;
}

static void winFillInfo(DWORD attributes, const FILETIME& lastWrite,
                        PathInfo* info) {
  info->exists = 1;
  // A reparse point (symbolic link, junction) is a link, and a link to a
  // directory is not a directory: nothing ever descends through one.
  info->isLink = (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
  info->isDir =
      (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 && !info->isLink;
  // The temporary directory is per user on Windows; ownership is not
  // examined.
  info->isOurs = 1;
  info->isPrivate = 1;
  info->mtime = winUnixSeconds(lastWrite);
}

int statPath(const char* path, PathInfo* info) {
  memset(info, 0, sizeof *info);
  // Wildcards name no file; without this check the query would fail
  // anyway, but for a reason less plain to see.
  if (strpbrk(path, "*?")) return 0;
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!GetFileAttributesExA(path, GetFileExInfoStandard, &data)) return 0;
  winFillInfo(data.dwFileAttributes, data.ftLastWriteTime, info);
  return 1;
}

int platformRealMakeDir(const char* path) {
  return CreateDirectoryA(path, nullptr) != 0;  // default security
}

int removeDir(const char* path) { return RemoveDirectoryA(path) != 0; }

// The C runtime's streams report a full disk in errno; the system's own
// calls (CreateDirectoryA, CreateFileA) in the last error.
int lastFailureWasNoRoom() {
  if (errno == ENOSPC || errno == EFBIG) return 1;
  DWORD error = GetLastError();
  return error == ERROR_DISK_FULL || error == ERROR_HANDLE_DISK_FULL;
}

int isReservedFileName(const char* name) {
  size_t n = strlen(name);
  if (n == 0) return 0;
  if (strchr(name, ':') || name[n - 1] == '.' || name[n - 1] == ' ') return 1;
  // The device name is the part before the first dot ("nul.txt" is NUL).
  size_t base = strcspn(name, ".");
  char upper[5];
  if (base < 3 || base > 4) return 0;
  for (size_t i = 0; i < base; ++i) {
    upper[i] = static_cast<char>(toupper(static_cast<unsigned char>(name[i])));
  }
  upper[base] = '\0';
  static const char* const kDevices[] = {"CON", "PRN", "AUX", "NUL"};
  for (const char* device : kDevices) {
    if (strcmp(upper, device) == 0) return 1;
  }
  return base == 4 && (strncmp(upper, "COM", 3) == 0 ||
                       strncmp(upper, "LPT", 3) == 0) &&
         upper[3] >= '1' && upper[3] <= '9';
}

int removeFile(const char* path) {
  if (DeleteFileA(path)) return 1;
  // A directory symbolic link or junction is removed as the link itself
  // (RemoveDirectoryA never touches the target); plain directories stay.
  DWORD attributes = GetFileAttributesA(path);
  if (attributes != INVALID_FILE_ATTRIBUTES &&
      (attributes & FILE_ATTRIBUTE_REPARSE_POINT) &&
      (attributes & FILE_ATTRIBUTE_DIRECTORY)) {
    return RemoveDirectoryA(path) != 0;
  }
  return 0;
}

long processId() { return static_cast<long>(GetCurrentProcessId()); }

const char* getEnv(const char* name) { return getenv(name); }

int setEnv(const char* name, const char* value) {
  if (!name || !*name || strchr(name, '=')) return 0;
  const char* v = value ? value : "";
  // The C runtime's copy (read by getenv) and the process environment
  // (inherited by children, read by the loader's DLL search through
  // PATH) are kept the same. "NAME=" removes the variable from both.
  size_t n = strlen(name), m = strlen(v);
  char* entry = static_cast<char*>(malloc(n + m + 2));
  if (!entry) return 0;
  memcpy(entry, name, n);
  entry[n] = '=';
  memcpy(entry + n + 1, v, m + 1);
  int ok = _putenv(entry) == 0;
  free(entry);  // the C runtime keeps its own copy
  if (!SetEnvironmentVariableA(name, *v ? v : nullptr) && *v) ok = 0;
  return ok;
}

// Creates `path` for writing with CreateFileA (`share` and `disposition`
// as it takes them) and wraps the handle in a binary "wb" stream; null on
// failure, nothing left open.
static FILE* winCreateStream(const char* path, DWORD share,
                             DWORD disposition) {
  HANDLE handle = CreateFileA(path, GENERIC_WRITE, share, nullptr, disposition,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return nullptr;
  int fd = _open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_BINARY);
  if (fd < 0) {
    CloseHandle(handle);
    return nullptr;
  }
  FILE* stream = _fdopen(fd, "wb");
  if (!stream) _close(fd);  // closes the handle too
  return stream;
}

FILE* platformRealOpenFile(const char* path, const char* mode) {
  if (strcmp(mode, "wbx") != 0) return fopen(path, mode);
  // The C runtime knows no exclusive mode: a new file only, failing on
  // anything already there (a link included).
  return winCreateStream(path, FILE_SHARE_READ, CREATE_NEW);
}

size_t platformRealWriteFile(const void* data, size_t size, FILE* file) {
  return fwrite(data, 1, size, file);
}

// The run lock is the lock file held open as a "wb" stream whose handle
// shares read and write but not delete: while it is open, every attempt
// to delete the file fails, and that failure is how the sweep of another
// process recognises a live run. The file appears with this sharing mode
// at once, so no rename step is needed.
struct LockFile {
  FILE* stream;
};

// <windows.h> declares a function LockFile, which hides the struct's
// name: the struct is therefore always spelled with its keyword here.
struct LockFile* lockFileAcquire(const char* path) {
  FILE* stream = winCreateStream(path, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                 CREATE_ALWAYS);
  if (!stream) return nullptr;
  struct LockFile* lock =
      static_cast<struct LockFile*>(malloc(sizeof(struct LockFile)));
  if (!lock) {
    fclose(stream);
    return nullptr;
  }
  lock->stream = stream;
  return lock;
}

void lockFileRelease(struct LockFile* lock) {
  if (!lock) return;
  fclose(lock->stream);
  free(lock);
}

int lockFileRemoveIfFree(const char* path) { return DeleteFileA(path) != 0; }

struct DirScan {
  HANDLE find;
  int pending;  // the first entry, from FindFirstFileA, is not yet returned
  WIN32_FIND_DATAA data;
};

DirScan* dirScanOpen(const char* directory, const char* pattern) {
  // The pattern joined to the directory; an empty directory gives a
  // pattern beginning with a backslash: the root of the current drive.
  size_t n = strlen(directory), m = strlen(pattern);
  char* search = static_cast<char*>(malloc(n + m + 2));
  if (!search) return nullptr;
  memcpy(search, directory, n);
  if (n == 0 || directory[n - 1] != '\\') search[n++] = '\\';
  memcpy(search + n, pattern, m + 1);
  DirScan* scan = static_cast<DirScan*>(malloc(sizeof(DirScan)));
  if (!scan) {
    free(search);
    return nullptr;
  }
  scan->find = FindFirstFileA(search, &scan->data);
  free(search);
  if (scan->find == INVALID_HANDLE_VALUE) {
    free(scan);
    return nullptr;
  }
  scan->pending = 1;
  return scan;
}

int dirScanNext(DirScan* scan, DirEntry* entry) {
  for (;;) {
    if (scan->pending) {
      scan->pending = 0;
    } else if (!FindNextFileA(scan->find, &scan->data)) {
      return 0;
    }
    const char* name = scan->data.cFileName;
    if (strcmp(name, ".") == 0 || strcmp(name, "..") == 0) continue;
    size_t n = strlen(name);
    if (n >= sizeof entry->name) continue;
    memcpy(entry->name, name, n + 1);
    memset(&entry->info, 0, sizeof entry->info);
    winFillInfo(scan->data.dwFileAttributes, scan->data.ftLastWriteTime,
                &entry->info);
    return 1;
  }
}

void dirScanClose(DirScan* scan) {
  if (!scan) return;
  FindClose(scan->find);
  free(scan);
}

// A held directory is its path: every call below works by path, as the
// rest of this file does.
struct DirHandle {
  char* path;
};

// `dir`'s path, a backslash and `name` in a new block; null when none.
static char* winEntryPath(DirHandle* dir, const char* name) {
  size_t n = strlen(dir->path), m = strlen(name);
  char* path = static_cast<char*>(malloc(n + m + 2));
  if (!path) return nullptr;
  memcpy(path, dir->path, n);
  if (n == 0 || dir->path[n - 1] != '\\') path[n++] = '\\';
  memcpy(path + n, name, m + 1);
  return path;
}

DirHandle* dirOpen(const char* path, PathInfo* info) {
  if (!statPath(path, info) || !info->isDir) {
    memset(info, 0, sizeof *info);
    return nullptr;
  }
  DirHandle* dir = static_cast<DirHandle*>(malloc(sizeof(DirHandle)));
  char* copy = _strdup(path);
  if (!dir || !copy) {
    free(dir);
    free(copy);
    return nullptr;
  }
  dir->path = copy;
  return dir;
}

void dirClose(DirHandle* dir) {
  if (!dir) return;
  free(dir->path);
  free(dir);
}

int statAt(DirHandle* dir, const char* name, PathInfo* info) {
  memset(info, 0, sizeof *info);
  char* path = winEntryPath(dir, name);
  int found = path && statPath(path, info);
  free(path);
  return found;
}

int removeFileAt(DirHandle* dir, const char* name) {
  char* path = winEntryPath(dir, name);
  int removed = path && removeFile(path);
  free(path);
  return removed;
}

int removeOpenDir(DirHandle* dir, const char* path) {
  (void)dir;  // the path is all there is
  return RemoveDirectoryA(path) != 0;
}

DirScan* dirScanOpenAt(DirHandle* dir, const char* pattern) {
  return dirScanOpen(dir->path, pattern);
}

struct LockFile* lockFileAcquireAt(DirHandle* dir, const char* name) {
  char* path = winEntryPath(dir, name);
  struct LockFile* lock = path ? lockFileAcquire(path) : nullptr;
  free(path);
  return lock;
}

int lockFileRemoveIfFreeAt(DirHandle* dir, const char* name) {
  char* path = winEntryPath(dir, name);
  int removed = path && lockFileRemoveIfFree(path);
  free(path);
  return removed;
}

// Ctrl+C reaches a console program as an event on a thread of its own;
// the runtime turns it into KeyboardInterrupt once it has started. Not
// held back here.
int holdInterrupts() { return 0; }
int releaseInterrupts() { return 0; }

// The child's command line: the quoted executable, then each argument, an
// option as it is and any other quoted, so that the child's C runtime
// splits it back into exactly these arguments.
static const size_t kWinCommandLineSize = 2048;

int platformRealSpawnDetached(const char* exePath, const char* const* args) {
  char commandLine[kWinCommandLineSize];
  int n = snprintf(commandLine, sizeof commandLine, "\"%s\"", exePath);
  int count = 0;
  for (const char* const* arg = args; *arg && n >= 0; ++arg) {
    if (++count > kSpawnArgsMax ||
        static_cast<size_t>(n) >= sizeof commandLine) {
      return 0;
    }
    const char* form = (*arg)[0] == '-' ? " %s" : " \"%s\"";
    int added = snprintf(commandLine + n, sizeof commandLine - n, form, *arg);
    n = added < 0 ? -1 : n + added;
  }
  // A command line that does not fit would start the child with a cut
  // path: better no child at all.
  if (n < 0 || static_cast<size_t>(n) >= sizeof commandLine) return 0;
  STARTUPINFOA startup;
  memset(&startup, 0, sizeof startup);
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process;
  memset(&process, 0, sizeof process);
  // No console, no inherited handles (above all not the lock file's), the
  // parent's environment and current directory.
  if (!CreateProcessA(exePath, commandLine, nullptr, nullptr, FALSE,
                      DETACHED_PROCESS | NORMAL_PRIORITY_CLASS, nullptr,
                      nullptr, &startup, &process)) {
    return 0;
  }
  // The parent never waits for the child nor learns its outcome.
  CloseHandle(process.hProcess);
  CloseHandle(process.hThread);
  return 1;
}

// A mapped file cannot be deleted.
const int kLoadedLibraryFilesStayInUse = 1;

// When `process` started (100 ns ticks since 1601); 1, 0 when unknown.
static int winProcessStart(HANDLE process, uint64_t* start) {
  FILETIME created, exited, kernel, user;
  if (!GetProcessTimes(process, &created, &exited, &kernel, &user)) return 0;
  *start = (static_cast<uint64_t>(created.dwHighDateTime) << 32) |
           created.dwLowDateTime;
  return 1;
}

// The token: the process id in decimal, ".", the start in 16 hex digits.
size_t processToken(char* out, size_t size) {
  uint64_t start;
  if (!winProcessStart(GetCurrentProcess(), &start)) return 0;
  int n = snprintf(out, size, "%lu.%08lx%08lx",
                   static_cast<unsigned long>(GetCurrentProcessId()),
                   static_cast<unsigned long>(start >> 32),
                   static_cast<unsigned long>(start & 0xFFFFFFFFu));
  return n > 0 && static_cast<size_t>(n) < size ? static_cast<size_t>(n) : 0;
}

int waitForProcessEnd(const char* token, int milliseconds) {
  char* end = nullptr;
  unsigned long pid = strtoul(token, &end, 10);
  if (end == token || *end != '.' || strlen(end + 1) != 16 ||
      strspn(end + 1, "0123456789abcdef") != 16) {
    return 0;
  }
  char high[9];
  memcpy(high, end + 1, 8);
  high[8] = '\0';
  uint64_t start = (static_cast<uint64_t>(strtoul(high, nullptr, 16)) << 32) |
                   strtoul(end + 9, nullptr, 16);
  // A process that cannot be opened is none of this user's: the one the
  // token named has ended, and its id went to another.
  HANDLE process = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_INFORMATION, FALSE,
                               static_cast<DWORD>(pid));
  if (!process) return 1;
  uint64_t now;
  int ended = winProcessStart(process, &now) && now != start;
  if (!ended) {
    DWORD wait = milliseconds < 0 ? 0 : static_cast<DWORD>(milliseconds);
    ended = WaitForSingleObject(process, wait) == WAIT_OBJECT_0;
  }
  CloseHandle(process);
  return ended;
}

void sleepMilliseconds(int milliseconds) {
  Sleep(milliseconds < 0 ? 0 : static_cast<DWORD>(milliseconds));
}

void* loadLibrary(const char* path) {
  return reinterpret_cast<void*>(LoadLibraryA(path));
}

void* findSymbol(void* library, const char* name) {
  if (!library) return nullptr;
  FARPROC address = GetProcAddress(static_cast<HMODULE>(library), name);
  // A function address handed out as a plain pointer: copied bit for bit,
  // since the two pointer kinds do not convert by a cast.
  void* result = nullptr;
  static_assert(sizeof result == sizeof address, "pointer sizes differ");
  memcpy(&result, &address, sizeof result);
  return result;
}

void unloadLibrary(void* library) {
  if (library) FreeLibrary(static_cast<HMODULE>(library));
}
