#include "host/prepare.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "archive/extract.h"
#include "archive/zip_check.h"
#include "launcher/paths.h"
#include "launcher/phase_timing.h"
#include "launcher/work_dir.h"
#include "platform/platform.h"

#ifndef SKIFF_RUNTIME_LIBRARY
#define SKIFF_RUNTIME_LIBRARY "libpython3.11.so.1.0"
#endif

const char kLibrariesArchiveName[] = "bin.qar";
const char kModulesArchiveName[] = "modules.qar";
const char kInitZipName[] = "tav_init.zip";
const char kRuntimeLibraryName[] = SKIFF_RUNTIME_LIBRARY;

// Suffix of the member that holds a package's __init__ code.
static const char kPackageSuffix[] = ".__init__";
static const size_t kPackageSuffixLength = sizeof kPackageSuffix - 1;

// Process-wide state, created by prepareArchives and read by _tav_import
// while scripts run; released by releaseArchives at the end of the run.
static Archive* gArchives[kArchiveSlots];
static HashTable* gPackages;
// Owned heap copies, in the order library directory, core, application,
// extension; the named pointers below point into them.
static std::vector<char*> gLocations;
static const char* gCoreModulePath;
static const char* gAppModulePath;
static const char* gExtensionPath;

void printStartupError(const char* what) {
  // Names in the text (a member, a directory) come from outside: control
  // bytes become '?', so that none can end the line early or forge one.
  std::string text = what;
  for (char& c : text) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = '?';
  }
  fprintf(stderr, "# Error: %s\r\n", text.c_str());
  fflush(stderr);
}

// Appends an owned copy of `text` to the location list; the copy, or null
// when memory fails (the location then stays unpublished).
static const char* addLocation(const char* text) {
  char* copy = strdup(text);
  if (copy) gLocations.push_back(copy);
  return copy;
}

// `dir` joined with `name` into `out` (kPathBufferSize bytes); 0 when the
// result does not fit.
static size_t buildPath(char* out, const char* dir, const char* name) {
  size_t len = strlen(dir);
  if (len >= kPathBufferSize) return 0;
  memcpy(out, dir, len + 1);
  return pathJoin(out, kPathBufferSize, name);
}

// Puts `dir` in front of PATH for this process and its children; an
// unset PATH counts as empty. An empty PATH becomes `dir` and the list
// separator, except where an empty entry of a PATH list means the current
// directory (POSIX): there it becomes `dir` alone, so that the search
// does not gain whatever directory the run happens to be in.
static void prependToPath(const char* dir) {
  const char* old = getEnv("PATH");
  std::string value = dir;
  if ((old && *old) || !kEmptyPathEntryIsCurrentDir) {
    value += kPathListSeparator;
    if (old) value += old;
  }
  (void)setEnv("PATH", value.c_str());  // a failed set leaves PATH as it was
}

// Closes the archive it holds when it goes away.
struct ScopedArchive {
  Archive* archive = nullptr;
  ~ScopedArchive() {
    if (archive) closeArchive(archive);
  }
};

// The first member name of `archive` that `other` holds too, or null.
static const char* sharedMemberName(Archive* archive, Archive* other) {
  for (ArchiveMember* member = firstMember(archive); member;
       member = nextMember(archive)) {
    if (findMember(other, member->name)) return member->name;
  }
  return nullptr;
}

// Prints `what` unless the failure is the work directory's and the
// caller asked to hear of that instead; always 0, the failed result.
static int prepareFailed(const char* what, DirShortfall found,
                         DirShortfall* shortfall) {
  if (found != kDirFine && shortfall) {
    *shortfall = found;
  } else {
    printStartupError(what);
  }
  return 0;
}

int prepareArchives(const char* exePath, char* runtimePath,
                    DirShortfall* shortfall) {
  (void)releaseArchives();  // a second preparation starts from scratch
  runtimePath[0] = '\0';
  if (shortfall) *shortfall = kDirFine;
  DirShortfall found = kDirFine;

  gPackages = createTable(kStringTableTag);

  const char* workDir = nullptr;
  size_t workDirLength = getWorkDir(&workDir);

  // Everything lives beside the executable. An exe path that could not
  // be found (empty) or is too long finds no archive.
  char exeDir[kPathBufferSize];
  char binPath[kPathBufferSize];
  char modulesPath[kPathBufferSize];
  int havePaths = exePath[0] && strlen(exePath) < kPathBufferSize;
  if (havePaths) {
    pathParent(exePath, exeDir);
    havePaths = buildPath(binPath, exeDir, kLibrariesArchiveName) &&
                buildPath(modulesPath, exeDir, kModulesArchiveName);
  }

  // The runtime library itself comes out of the libraries archive, which
  // stays open until modules.qar has been checked against its names.
  uint64_t phase = phaseStart();
  ScopedArchive libraries;
  if (gPackages && workDirLength && havePaths) {
    libraries.archive = openArchive(binPath, 0);
  }
  int extracted = libraries.archive &&
                  writeAllMembers(libraries.archive, workDir, &found) ==
                      libraries.archive->memberCount;
  if (extracted && !buildPath(runtimePath, workDir, kRuntimeLibraryName)) {
    found = kDirPathTooLong;
    extracted = 0;
  }
  if (!extracted) {
    runtimePath[0] = '\0';
    return prepareFailed("unable to extract required libraries", found,
                         shortfall);
  }
  phase = phaseEnd("extract-bin.qar", phase);
  const char* libraryDir = addLocation(workDir);  // kept, published nowhere
  // The runtime library and the extension modules find the libraries
  // they need in the work directory.
  prependToPath(libraryDir ? libraryDir : workDir);

  gArchives[kModuleTypeCore] = openArchive(modulesPath, 0);
  if (!gArchives[kModuleTypeCore]) {
    printStartupError("unable to load the core modules archive");
    return 0;
  }
  // The runtime and the libraries it needs come from bin.qar alone: a
  // modules.qar member of the same name is refused before anything of
  // modules.qar is written (extraction would not replace the file either,
  // but the line says why).
  if (const char* clash =
          sharedMemberName(gArchives[kModuleTypeCore], libraries.archive)) {
    std::string what = std::string("modules.qar member \"") + clash +
                       "\" has the name of a member of bin.qar";
    printStartupError(what.c_str());
    return 0;
  }
  closeArchive(libraries.archive);
  libraries.archive = nullptr;
  gCoreModulePath = addLocation(modulesPath);

  // A second, independent handle: reads through one never move the file
  // position of the other.
  gArchives[kModuleTypeApp] = openArchive(modulesPath, 0);
  if (!gArchives[kModuleTypeApp]) {
    printStartupError("unable to load the application modules archive");
    return 0;
  }
  gAppModulePath = addLocation(modulesPath);
  phase = phaseEnd("open-modules.qar", phase);

  // Native extension modules are loaded from files, so the modules
  // archive is also extracted whole.
  if (!extractArchive(modulesPath, 0, workDir, &found)) {
    return prepareFailed("unable to extract the python extensions archive",
                         found, shortfall);
  }
  // The runtime's only search path while it starts: without a readable
  // zip there it would abort with a fatal error of its own.
  char initZip[kPathBufferSize];
  if (!buildPath(initZip, workDir, kInitZipName) || !isZipFile(initZip)) {
    printStartupError(
        "modules.qar holds no usable tav_init.zip (missing, or not a zip "
        "archive)");
    return 0;
  }
  gExtensionPath = addLocation(workDir);
  phase = phaseEnd("extract-modules.qar", phase);

  registerPackages(gArchives[kModuleTypeApp]);
  registerPackages(gArchives[kModuleTypeCore]);
  phaseEnd("register-packages", phase);
  return 1;
}

void registerPackages(Archive* archive) {
  if (!archive) return;
  // Collect first: no member may be renamed during a walk. Names are kept
  // rather than records, since each rename releases the record it
  // renames; looking the name up again never touches a released one.
  std::vector<std::string> found;
  for (ArchiveMember* member = firstMember(archive); member;
       member = nextMember(archive)) {
    if (nameEndsWith(member->name, kPackageSuffix))
      found.push_back(member->name);
  }
  for (const std::string& name : found) {
    ArchiveMember* member = findMember(archive, name.c_str());
    if (!member) continue;
    std::string package = name.substr(0, name.size() - kPackageSuffixLength);
    // Refused when another member already holds the package name.
    if (!renameMember(archive, &member, package.c_str())) continue;
    // The second handle on the same file enters the same names: the
    // entry is replaced, the set keeps one.
    if (gPackages) (void)tablePut(gPackages, member->name, member);
  }
}

int releaseArchives() {
  // Application archive before the core archive.
  for (int slot = kArchiveSlots - 1; slot >= 0; --slot) {
    if (gArchives[slot]) closeArchive(gArchives[slot]);
    gArchives[slot] = nullptr;
  }
  for (char* text : gLocations) free(text);
  gLocations.clear();
  gLocations.shrink_to_fit();
  gCoreModulePath = gAppModulePath = gExtensionPath = nullptr;
  if (gPackages) destroyTable(gPackages);
  gPackages = nullptr;
  return 1;
}

Archive* moduleArchive(int moduleType) {
  if (moduleType < 0 || moduleType >= kArchiveSlots) return nullptr;
  return gArchives[moduleType];
}

HashTable* packageSet() { return gPackages; }

const char* coreModulePath() { return gCoreModulePath ? gCoreModulePath : ""; }
const char* appModulePath() { return gAppModulePath ? gAppModulePath : ""; }
const char* extensionPath() { return gExtensionPath ? gExtensionPath : ""; }
