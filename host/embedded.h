// Python modules compiled into the executable, and the loader that runs
// them: the framework modules, site, and the main script. The table itself
// is generated at build time by tools/gen_embedded.py, one per program;
// each payload is the marshalled module code object, compiled with the
// module's name as its file name, usually zlib-compressed. The load order
// is the generator's list; the record count and positions come from the
// header it writes into the build tree (host/embedded_order.h).
#ifndef SKIFF_HOST_EMBEDDED_H_
#define SKIFF_HOST_EMBEDDED_H_

#include <stddef.h>
#include <stdint.h>

#include "host/embedded_order.h"

struct PyObject;

struct EmbeddedModule {
  const char* name;
  uint8_t compression;  // 1 zlib stream, 0 raw marshal data, else unusable
  uint32_t size;        // bytes at `data`
  const uint8_t* data;
};

// Records in load order: kFrameworkModuleCount framework modules, then
// site, then the main script (named "__main__"); the loader runs them in
// these steps. Declared without a bound, so that the generated table's
// size is that of its initialisers, which it checks against the count (a
// bound here would silently pad a short table with empty records).
static_assert(kSiteRecord == kFrameworkModuleCount &&
                  kMainRecord == kSiteRecord + 1 &&
                  kEmbeddedModuleCount == kMainRecord + 1,
              "framework modules, then site, then the main script");
extern const EmbeddedModule kEmbeddedModules[];

// Fixed first part of every embedded or archived module's file name,
// whatever the executable is called: "skiffrelay", then kExecutableSuffix
// ("skiffrelay/tav_import"; "skiffrelay.exe\tav_import" on Windows).
extern const char kModuleFilePrefix[];

// Writes kModuleFilePrefix, kExecutableSuffix, the path separator and `name` with every "."
// turned into the separator into `out` (`capacity` bytes). Its length, or
// 0 when it does not fit.
size_t moduleFileName(const char* name, char* out, size_t capacity);

// Runs marshalled module code as module `name`; the new module reference,
// or null (a runtime exception may then be pending).
PyObject* execMarshalledModule(const char* name, const uint8_t* bytes,
                               size_t length);
// Inflates (compression 1) or takes as is (0) and runs one record's
// payload as `name`; null on failure, with no exception pending when the
// payload could not be expanded.
PyObject* loadEmbeddedModule(const char* name, const uint8_t* data,
                             uint32_t size, int compression);

// Runs the framework records in order; 1 when all ran. The first failure
// prints "failed loading embedded module 'NAME'\n" on standard error.
int loadFrameworkModules();
// Imports `moduleName` and calls its `functionName` without arguments;
// 1 when the call was made (an exception it raised stays pending).
int callModuleFunction(const char* moduleName, const char* functionName);
// Runs site, then the main script as `mainName`; 1 when both ran.
int loadMainModule(const char* mainName);
// Drops the module references held since loading, last to first.
void releaseEmbeddedModules();
// Takes over the pending exception and hands it to
// tav_error.ErrorObject (report, log, dump, application callback); 1 when
// it got there, 0 when nothing was pending or tav_error failed.
int reportPendingException();

#endif  // SKIFF_HOST_EMBEDDED_H_
