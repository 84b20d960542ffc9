// The table-driven part of the embedded-module loader. It lives apart
// from embedded.cc so that code running single records (the tests) links
// without a generated table.
#include "host/embedded.h"

#include <stdio.h>

#include "host/runtime.h"

// One new module reference per record, filled as the records run and
// released once at the end of the run (Py_DecRef accepts null).
static PyObject* gModules[kEmbeddedModuleCount];

static PyObject* loadRecord(size_t index, const char* name) {
  const EmbeddedModule& record = kEmbeddedModules[index];
  return loadEmbeddedModule(name, record.data, record.size,
                            record.compression);
}

int loadFrameworkModules() {
  for (size_t i = 0; i < kFrameworkModuleCount; ++i) {
    const char* name = kEmbeddedModules[i].name;
    gModules[i] = loadRecord(i, name);
    if (!gModules[i]) {
      fprintf(stderr, "failed loading embedded module '%s'\n", name);
      return 0;
    }
  }
  return 1;
}

int loadMainModule(const char* mainName) {
  gModules[kSiteRecord] = loadRecord(kSiteRecord, "site");
  if (!gModules[kSiteRecord]) return 0;
  gModules[kMainRecord] = loadRecord(kMainRecord, mainName);
  return gModules[kMainRecord] != nullptr;
}

void releaseEmbeddedModules() {
  for (size_t i = kEmbeddedModuleCount; i-- > 0;) {
    gRuntime.Py_DecRef(gModules[i]);
  }
}

