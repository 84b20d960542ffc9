// POSIX implementation of platform/platform.h (Linux first).
#include "platform/platform.h"
#include "platform/platform_calls.h"

#include <ctype.h>
#include <dirent.h>
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

const char kPathSeparator = '/';
const char kPathListSeparator = ':';
const char kExecutableSuffix[] = "";
const char kExtensionModuleSuffix[] = ".so";
const char kTempDirVariable[] = "TMPDIR";
const char* const kSystemTempDirs[] = {"/tmp", "/var/tmp", nullptr};
const int kEmptyPathEntryIsCurrentDir = 1;

// Process set-up before main runs.
//
// A process started with standard input, output or error closed would
// hand that descriptor number to the first file it opens (the run's lock
// file, an extracted member), and the result line or an error message
// would then be written into that file. Each closed one is opened on the
// null device; the lowest free descriptor is the one wanted, since the
// lower ones are open by then.
//
// A start-up error line written to a pipe nobody reads any more must not
// end the process by SIGPIPE, nor a write beyond a file-size limit
// (ulimit -f) by SIGXFSZ: the status and the line are the caller's
// answer. Ignored, each becomes a failed write (EPIPE, EFBIG) that takes
// the ordinary failure path. The runtime ignores both from its start on
// anyway; this only moves that to the start of the process, before the
// archives are extracted.
static int posixPrepareProcess() {
  (void)signal(SIGPIPE, SIG_IGN);  // cannot fail for a valid signal
  (void)signal(SIGXFSZ, SIG_IGN);
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    int opened = open("/dev/null", O_RDWR);
    if (opened < 0) return 0;
    if (opened != fd) {
      (void)close(opened);  // cannot happen: fd is the lowest free one
      return 0;
    }
  }
  return 1;
}
static const int gProcessPrepared = posixPrepareProcess();

size_t platformExePath(char* out, size_t size) {
  if (size == 0) return 0;
  ssize_t n = readlink("/proc/self/exe", out, size);
  // A result that fills the buffer may have been cut: refuse it rather
  // than hand out a wrong path.
  if (n <= 0 || static_cast<size_t>(n) >= size) {
    out[0] = '\0';
    return 0;
  }
  out[n] = '\0';
  return static_cast<size_t>(n);
}

size_t platformTempDir(char* out, size_t size) {
  const char* dir = getenv("TMPDIR");
  if (!dir || !*dir) dir = "/tmp";
  // A relative TMPDIR is taken from the current directory now: the run
  // changes its current directory before the runtime looks into the work
  // directory, which must still be the same directory then.
  size_t prefix = 0;
  if (dir[0] != '/') {
    if (size == 0 || !getcwd(out, size)) return 0;
    prefix = strlen(out);
    if (out[prefix - 1] != '/') out[prefix++] = '/';
  }
  size_t n = strlen(dir);
  while (n > 1 && dir[n - 1] == '/') --n;
  if (prefix + n + 1 > size) return 0;
  memcpy(out + prefix, dir, n);
  out[prefix + n] = '\0';
  return prefix + n;
}

int platformRealDirAllowsExec(const char* dir) {
  struct stat st;
  struct statvfs fs;
  if (stat(dir, &st) != 0 || !S_ISDIR(st.st_mode)) return 0;
  // On a file system mounted noexec the runtime library cannot be mapped
  // for execution, so it would not load from there.
  return statvfs(dir, &fs) == 0 && !(fs.f_flag & ST_NOEXEC);
}

int platformRealRandomBytes(void* out, size_t size) {
  uint8_t* p = static_cast<uint8_t*>(out);
  size_t got = 0;
  while (got < size) {
    ssize_t n = getrandom(p + got, size - got, 0);
    if (n > 0) {
      got += static_cast<size_t>(n);
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else {
      break;  // no getrandom (an old kernel): the device below
    }
  }
  if (got == size) return 1;
  int fd = open("/dev/urandom", O_RDONLY | O_CLOEXEC);
  if (fd < 0) return 0;
  while (got < size) {
    ssize_t n = read(fd, p + got, size - got);
    if (n > 0) {
      got += static_cast<size_t>(n);
    } else if (n == 0 || errno != EINTR) {
      break;
    }
  }
  close(fd);
  return got == size;
}

static void posixFillInfo(const struct stat& st, PathInfo* info) {
  info->exists = 1;
  info->isDir = S_ISDIR(st.st_mode);
  info->isLink = S_ISLNK(st.st_mode);
  info->isOurs = st.st_uid == geteuid();
  // The set-group-id bit a directory inherits from its parent grants
  // nothing; only the permission bits count.
  info->isPrivate = (st.st_mode & 0777) == 0700;
  info->mtime = static_cast<int64_t>(st.st_mtime);
}

int statPath(const char* path, PathInfo* info) {
  memset(info, 0, sizeof *info);
  struct stat st;
  if (lstat(path, &st) != 0) return 0;
  posixFillInfo(st, info);
  return 1;
}

// Why another user could rename or replace the entries of the directory
// (or link) that `st` describes, into `why`; 1 when no one could.
static int posixClosedToOthers(const struct stat& st, char* why, size_t size) {
  if (st.st_uid != geteuid() && st.st_uid != 0) {
    snprintf(why, size, "owned by uid %ld", static_cast<long>(st.st_uid));
    return 0;
  }
  // A link's own permission bits mean nothing; only its owner may
  // replace it in a sticky directory. An ACL that lets a named user or
  // group write shows in the group bits (its mask).
  if (S_ISDIR(st.st_mode) && (st.st_mode & (S_IWGRP | S_IWOTH)) &&
      !(st.st_mode & S_ISVTX)) {
    snprintf(why, size, "%s may write, no sticky bit",
             (st.st_mode & S_IWOTH) ? "others" : "its group");
    return 0;
  }
  return 1;
}

// Checks `path` (absolute) and every directory above it, each as written
// (lstat: a link is judged as a link); 1 when all are closed to others.
static int posixPathClosedToOthers(const char* path, char* culprit, char* why,
                                   size_t size) {
  size_t n = strlen(path);
  char* prefix = static_cast<char*>(malloc(n + 2));
  if (!prefix) {
    snprintf(culprit, size, "%s", path);
    snprintf(why, size, "cannot be examined");
    return 0;
  }
  int ok = 1;
  // "/" first, then each prefix that ends a component: "/a", "/a/b", ...
  for (size_t end = 1; ok && end <= n; ++end) {
    int root = end == 1;
    if (!root && ((end < n && path[end] != '/') || path[end - 1] == '/')) {
      continue;  // inside a component, or a doubled or final separator
    }
    memcpy(prefix, path, end);
    prefix[end] = '\0';
    struct stat st;
    if (lstat(prefix, &st) != 0) {
      snprintf(why, size, "cannot be examined");
      ok = 0;
    } else {
      ok = posixClosedToOthers(st, why, size);
    }
    if (!ok) snprintf(culprit, size, "%s", prefix);
  }
  free(prefix);
  return ok;
}

int dirSafeFromOthers(const char* dir, char* culprit, char* why, size_t size) {
  if (dir[0] != '/') {
    snprintf(culprit, size, "%s", dir);
    snprintf(why, size, "not an absolute path");
    return 0;
  }
  if (!posixPathClosedToOthers(dir, culprit, why, size)) return 0;
  // The links along the path lead elsewhere: where they lead must be as
  // closed, or another user could swap a directory there.
  char* real = realpath(dir, nullptr);
  if (!real) {
    snprintf(culprit, size, "%s", dir);
    snprintf(why, size, "cannot be resolved");
    return 0;
  }
  int ok = strcmp(real, dir) == 0 ||
           posixPathClosedToOthers(real, culprit, why, size);
  free(real);
  return ok;
}

int isReservedFileName(const char*) { return 0; }

// mkdir never follows a link at `path` and fails on anything there.
int platformRealMakeDir(const char* path) { return mkdir(path, 0700) == 0; }
int removeDir(const char* path) { return rmdir(path) == 0; }
int removeFile(const char* path) { return unlink(path) == 0; }

int lastFailureWasNoRoom() {
  return errno == ENOSPC || errno == EDQUOT || errno == EFBIG;
}

long processId() { return static_cast<long>(getpid()); }

const char* getEnv(const char* name) { return getenv(name); }

int setEnv(const char* name, const char* value) {
  if (!value || !*value) return unsetenv(name) == 0;
  return setenv(name, value, 1) == 0;
}

FILE* platformRealOpenFile(const char* path, const char* mode) {
  // "e" makes the descriptor close-on-exec, so no child inherits our files.
  char withCloexec[8];
  size_t n = strlen(mode);
  if (n + 2 > sizeof withCloexec) return nullptr;
  memcpy(withCloexec, mode, n);
  withCloexec[n] = 'e';
  withCloexec[n + 1] = '\0';
  return fopen(path, withCloexec);
}

size_t platformRealWriteFile(const void* data, size_t size, FILE* file) {
  return fwrite(data, 1, size, file);
}

// The run lock is an flock(2) on the lock file, held while the descriptor
// is open. The file is created and locked under a private name and then
// renamed into place, so the sweep of another process never finds
// "__TAV_LOCK__" existing but unlocked while its run is alive.
struct LockFile {
  int fd;
};

// Both lock calls work on the entry `name` relative to the directory
// descriptor `dirFd` (AT_FDCWD: `name` is a path).
static LockFile* posixLockAcquire(int dirFd, const char* name) {
  size_t n = strlen(name);
  char* temp = static_cast<char*>(malloc(n + 32));
  if (!temp) return nullptr;
  snprintf(temp, n + 32, "%s.%ld.new", name, static_cast<long>(getpid()));
  int fd = openat(dirFd, temp,
                  O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) {
    free(temp);
    return nullptr;
  }
  LockFile* lock = nullptr;
  if (flock(fd, LOCK_EX | LOCK_NB) == 0 &&
      renameat(dirFd, temp, dirFd, name) == 0) {
    lock = static_cast<LockFile*>(malloc(sizeof(LockFile)));
  }
  if (!lock) {
    (void)unlinkat(dirFd, temp, 0);  // best effort: swept with its dir
    close(fd);
  } else {
    lock->fd = fd;
  }
  free(temp);
  return lock;
}

static int posixLockRemoveIfFree(int dirFd, const char* name) {
  int fd = openat(dirFd, name, O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
  if (fd < 0) {
    // A symbolic link in place of the lock file is no run's lock: remove
    // the link itself, never what it points to.
    if (errno == ELOOP) return unlinkat(dirFd, name, 0) == 0;
    return 0;
  }
  int removed = 0;
  if (flock(fd, LOCK_EX | LOCK_NB) == 0) {
    removed = unlinkat(dirFd, name, 0) == 0;
  }
  close(fd);
  return removed;
}

LockFile* lockFileAcquire(const char* path) {
  return posixLockAcquire(AT_FDCWD, path);
}

void lockFileRelease(LockFile* lock) {
  if (!lock) return;
  close(lock->fd);
  free(lock);
}

int lockFileRemoveIfFree(const char* path) {
  return posixLockRemoveIfFree(AT_FDCWD, path);
}

struct DirScan {
  DIR* dir;
  char* pattern;
};

// A listing of the open directory stream `dir`, which it takes over.
static DirScan* posixScanOf(DIR* dir, const char* pattern) {
  if (!dir) return nullptr;
  DirScan* scan = static_cast<DirScan*>(malloc(sizeof(DirScan)));
  char* copy = strdup(pattern);
  if (!scan || !copy) {
    free(scan);
    free(copy);
    closedir(dir);
    return nullptr;
  }
  scan->dir = dir;
  scan->pattern = copy;
  return scan;
}

DirScan* dirScanOpen(const char* directory, const char* pattern) {
  return posixScanOf(opendir(directory[0] ? directory : "/"), pattern);
}

struct DirHandle {
  int fd;
  dev_t device;
  ino_t inode;
};

static DirHandle* posixHandleOf(int fd, PathInfo* info) {
  memset(info, 0, sizeof *info);
  struct stat st;
  DirHandle* dir = nullptr;
  if (fd >= 0 && fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
    dir = static_cast<DirHandle*>(malloc(sizeof(DirHandle)));
  }
  if (!dir) {
    if (fd >= 0) close(fd);
    return nullptr;
  }
  posixFillInfo(st, info);
  dir->fd = fd;
  dir->device = st.st_dev;
  dir->inode = st.st_ino;
  return dir;
}

DirHandle* dirOpen(const char* path, PathInfo* info) {
  // O_NONBLOCK: should a FIFO be there, the open fails (O_DIRECTORY)
  // rather than wait for a writer.
  return posixHandleOf(
      open(path, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC),
      info);
}

void dirClose(DirHandle* dir) {
  if (!dir) return;
  close(dir->fd);
  free(dir);
}

int statAt(DirHandle* dir, const char* name, PathInfo* info) {
  memset(info, 0, sizeof *info);
  struct stat st;
  if (fstatat(dir->fd, name, &st, AT_SYMLINK_NOFOLLOW) != 0) return 0;
  posixFillInfo(st, info);
  return 1;
}

int removeFileAt(DirHandle* dir, const char* name) {
  return unlinkat(dir->fd, name, 0) == 0;
}

int removeOpenDir(DirHandle* dir, const char* path) {
  struct stat st;
  if (lstat(path, &st) != 0 || !S_ISDIR(st.st_mode) ||
      st.st_dev != dir->device || st.st_ino != dir->inode) {
    return 0;
  }
  return rmdir(path) == 0;
}

DirScan* dirScanOpenAt(DirHandle* dir, const char* pattern) {
  // A description of its own (not a dup, which would share the reading
  // position with the handle and with every earlier listing).
  int fd = openat(dir->fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return nullptr;
  DIR* stream = fdopendir(fd);
  if (!stream) {
    close(fd);
    return nullptr;
  }
  return posixScanOf(stream, pattern);
}

LockFile* lockFileAcquireAt(DirHandle* dir, const char* name) {
  return posixLockAcquire(dir->fd, name);
}

int lockFileRemoveIfFreeAt(DirHandle* dir, const char* name) {
  return posixLockRemoveIfFree(dir->fd, name);
}

// Interrupts held back with the signal mask: a SIGINT that comes stays
// pending, and its disposition (the runtime's handler once it started, or
// SIG_IGN inherited from the caller) is left as it is. A caller that had
// blocked SIGINT itself keeps it blocked: releasing then changes nothing.
static int gInterruptsHeld;
static int gInterruptsBlockedBefore;

static void posixInterruptSet(sigset_t* set) {
  sigemptyset(set);
  sigaddset(set, SIGINT);
}

int holdInterrupts() {
  sigset_t interrupt, before;
  posixInterruptSet(&interrupt);
  if (sigprocmask(SIG_BLOCK, &interrupt, &before) != 0) return 0;
  if (!gInterruptsHeld) {
    gInterruptsBlockedBefore = sigismember(&before, SIGINT) == 1;
    gInterruptsHeld = 1;
  }
  return 1;
}

int releaseInterrupts() {
  if (!gInterruptsHeld) return 0;
  gInterruptsHeld = 0;
  if (gInterruptsBlockedBefore) return 0;
  sigset_t interrupt, pending;
  posixInterruptSet(&interrupt);
  int came = 0;
  if (sigpending(&pending) == 0 && sigismember(&pending, SIGINT) == 1) {
    // Taken here, so that unblocking does not deliver it. One that the
    // process ignores (a caller that set SIGINT to SIG_IGN) is queued all
    // the same while blocked, but means nothing.
    struct sigaction now;
    int ignored = sigaction(SIGINT, nullptr, &now) == 0 &&
                  !(now.sa_flags & SA_SIGINFO) && now.sa_handler == SIG_IGN;
    struct timespec noWait = {0, 0};
    came = sigtimedwait(&interrupt, nullptr, &noWait) == SIGINT && !ignored;
  }
  (void)sigprocmask(SIG_UNBLOCK, &interrupt, nullptr);  // cannot fail
  return came;
}

int dirScanNext(DirScan* scan, DirEntry* entry) {
  for (;;) {
    struct dirent* d = readdir(scan->dir);
    if (!d) return 0;
    if (strcmp(d->d_name, ".") == 0 || strcmp(d->d_name, "..") == 0) continue;
    // No FNM_PERIOD: "*" must list dot files too, or a stale work
    // directory holding one could never be emptied and removed.
    if (fnmatch(scan->pattern, d->d_name, 0) != 0) continue;
    size_t n = strlen(d->d_name);
    if (n >= sizeof entry->name) continue;
    memcpy(entry->name, d->d_name, n + 1);
    memset(&entry->info, 0, sizeof entry->info);
    struct stat st;
    if (fstatat(dirfd(scan->dir), d->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0) {
      posixFillInfo(st, &entry->info);
    }
    return 1;
  }
}

void dirScanClose(DirScan* scan) {
  if (!scan) return;
  closedir(scan->dir);
  free(scan->pattern);
  free(scan);
}

// Closes every descriptor above standard error in a freshly forked child.
static void closeInheritedDescriptors() {
#ifdef SYS_close_range
  if (syscall(SYS_close_range, 3U, ~0U, 0U) == 0) return;
#endif
  long max = sysconf(_SC_OPEN_MAX);
  if (max < 0 || max > 65536) max = 65536;
  for (long fd = 3; fd < max; ++fd) close(static_cast<int>(fd));
}

// Double fork: the intermediate child starts a new session, forks the real
// child and exits at once; the parent reaps it right away, so the real
// child is re-parented and no zombie is left, and the parent never waits
// for the child's work.
int platformRealSpawnDetached(const char* exePath, const char* const* args) {
  char* argv[kSpawnArgsMax + 2];
  int argc = 0;
  argv[argc++] = const_cast<char*>(exePath);
  for (const char* const* arg = args; *arg; ++arg) {
    if (argc > kSpawnArgsMax) return 0;  // too many arguments
    argv[argc++] = const_cast<char*>(*arg);
  }
  argv[argc] = nullptr;
  pid_t middle = fork();
  if (middle < 0) return 0;
  if (middle == 0) {
    setsid();
    pid_t child = fork();
    if (child != 0) _exit(child < 0 ? 1 : 0);
    int devNull = open("/dev/null", O_RDWR);
    if (devNull >= 0) {
      dup2(devNull, 0);
      dup2(devNull, 1);
      dup2(devNull, 2);
    }
    closeInheritedDescriptors();
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    execv(exePath, argv);
    _exit(127);
  }
  int status = 0;
  while (waitpid(middle, &status, 0) < 0 && errno == EINTR) {
  }
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// An unlinked file stays usable by whoever has it open or mapped.
const int kLoadedLibraryFilesStayInUse = 0;

// The state letter and the start time (clock ticks after boot) of process
// `pid` from /proc; 1, or 0 when it has no entry there (it is gone).
static int posixProcessStart(long pid, char* state, unsigned long long* start) {
  char path[64];
  snprintf(path, sizeof path, "/proc/%ld/stat", pid);
  FILE* stat = fopen(path, "re");
  if (!stat) return 0;
  char text[1024];
  size_t n = fread(text, 1, sizeof text - 1, stat);
  fclose(stat);
  text[n] = '\0';
  // The name in parentheses may hold anything: the fields follow the last
  // parenthesis, the state first and the start time the 20th.
  const char* fields = strrchr(text, ')');
  return fields &&
         sscanf(fields + 1,
                " %c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %*u %*u %*d "
                "%*d %*d %*d %*d %*d %llu",
                state, start) == 2;
}

size_t processToken(char* out, size_t size) {
  char state;
  unsigned long long start;
  long pid = static_cast<long>(getpid());
  if (!posixProcessStart(pid, &state, &start)) return 0;
  int n = snprintf(out, size, "%ld.%llu", pid, start);
  return n > 0 && static_cast<size_t>(n) < size ? static_cast<size_t>(n) : 0;
}

static int64_t posixMonotonicMilliseconds() {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

int waitForProcessEnd(const char* token, int milliseconds) {
  char* end = nullptr;
  errno = 0;
  long pid = strtol(token, &end, 10);
  if (errno || pid <= 0 || *end != '.' ||
      !isdigit(static_cast<unsigned char>(end[1]))) {
    return 0;
  }
  unsigned long long start = strtoull(end + 1, &end, 10);
  if (errno || *end) return 0;
  // Asked every 10 ms: no call waits for a process that is no child.
  int64_t until = posixMonotonicMilliseconds() + milliseconds;
  for (;;) {
    char state;
    unsigned long long now;
    // A zombie has ended: only its exit status is left.
    if (!posixProcessStart(pid, &state, &now) || now != start || state == 'Z' ||
        state == 'X') {
      return 1;
    }
    if (posixMonotonicMilliseconds() >= until) return 0;
    sleepMilliseconds(10);
  }
}

void sleepMilliseconds(int milliseconds) {
  struct timespec wait = {milliseconds / 1000,
                          static_cast<long>(milliseconds % 1000) * 1000000L};
  while (nanosleep(&wait, &wait) != 0 && errno == EINTR) {
  }
}

void* loadLibrary(const char* path) {
  // GLOBAL: extension modules loaded later resolve the runtime's symbols
  // from the global namespace.
  return dlopen(path, RTLD_NOW | RTLD_GLOBAL);
}

void* findSymbol(void* library, const char* name) {
  return library ? dlsym(library, name) : nullptr;
}

void unloadLibrary(void* library) {
  if (library) dlclose(library);
}
