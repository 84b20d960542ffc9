// Archives and environment for the runtime: extracts "bin.qar" and
// "modules.qar" (beside the executable) into the work directory, holds the
// modules archive open twice (core and application handles), records the
// module locations that _tav_import publishes, and keeps the set of
// package names found in the archives.
#ifndef SKIFF_HOST_PREPARE_H_
#define SKIFF_HOST_PREPARE_H_

#include "archive/archive.h"
#include "archive/extract.h"
#include "archive/hash_table.h"

// Archive table slots, indexed by module type.
const int kModuleTypeCore = 1;
const int kModuleTypeApp = 2;
const int kModuleTypeExtension = 4;
const int kArchiveSlots = 5;

extern const char kLibrariesArchiveName[];  // "bin.qar"
extern const char kModulesArchiveName[];    // "modules.qar"
extern const char kInitZipName[];           // "tav_init.zip"
extern const char kRuntimeLibraryName[];    // set by the build

// Prints "# Error: " `what` CR LF on standard error, control bytes in
// `what` shown as '?': the one shape of the launcher's start-up failure
// lines.
void printStartupError(const char* what);

// Extracts and opens everything; writes the runtime library's path into
// `runtimePath` (kPathBufferSize bytes). 1 when all archives are ready; 0
// after printing its one "# Error: ...\r\n" line on standard error. When
// `shortfall` is given and an extraction failed for the work directory's
// sake (no room, paths too long for it), 0 with *shortfall saying which
// and no line printed: the caller may try another directory.
int prepareArchives(const char* exePath, char* runtimePath,
                    DirShortfall* shortfall = nullptr);
// Renames every "NAME.__init__" member of `archive` to NAME and enters it
// in the package set. Accepts null.
void registerPackages(Archive* archive);
// Closes the archives, frees the locations and the package set; 1.
int releaseArchives();

// State read by _tav_import while scripts run; null or "" when not set.
Archive* moduleArchive(int moduleType);
HashTable* packageSet();
const char* coreModulePath();
const char* appModulePath();
const char* extensionPath();

#endif  // SKIFF_HOST_PREPARE_H_
