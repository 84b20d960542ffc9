// Path text shared by all native code: narrow strings with the platform's
// one separator (kPathSeparator), built in fixed buffers.
#ifndef SKIFF_LAUNCHER_PATHS_H_
#define SKIFF_LAUNCHER_PATHS_H_

#include <stddef.h>

// Size of every path buffer; the work directory path gets 4 more bytes.
const size_t kPathBufferSize = 1024;
const size_t kWorkDirBufferSize = 1028;

// Writes the parent of `path` to `out` (at least strlen(path)+1 bytes):
// everything before the last separator, a trailing separator ignored.
// Returns its length; 0 and the empty text when there is no separator or
// it is the first character.
size_t pathParent(const char* path, char* out);

// Appends `part` to the text in `base` (a buffer of `capacity` bytes) with
// exactly one separator between them; a leading "." (not ".."), then one
// separator, or else one leading separator, is skipped from `part`, and
// nothing remaining leaves `base` without a trailing separator. Returns
// the new length, or 0 and `base` unchanged when the result would not fit.
size_t pathJoin(char* base, size_t capacity, const char* part);

#endif  // SKIFF_LAUNCHER_PATHS_H_
