// Fuzz target: the fuzz input as an archive file; open it, read every
// member, close. Any result is fine; a crash, leak or hang is not.
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <string>

#include "archive/archive.h"

static std::string gPath;

static void removeInputFile() { (void)unlink(gPath.c_str()); }  // best effort

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (gPath.empty()) {
    const char* dir = getenv("TMPDIR");
    gPath = std::string(dir && *dir ? dir : "/tmp") + "/fuzz_archive_read." +
            std::to_string(getpid()) + ".qar";
    atexit(removeInputFile);
  }
  FILE* f = fopen(gPath.c_str(), "wb");
  if (!f) return 0;
  size_t written = fwrite(data, 1, size, f);
  fclose(f);
  if (written != size) return 0;

  Archive* archive = openArchive(gPath.c_str(), 0);
  if (archive) {
    for (ArchiveMember* m = firstMember(archive); m; m = nextMember(archive)) {
      uint8_t* content = nullptr;
      uint32_t n = readMember(archive, m, &content);
      if (n == 0 && content) abort();  // a failed read hands out no buffer
      free(content);
    }
    closeArchive(archive);
  }
  return 0;
}
