// Format-string record unpacker: copies a packed byte layout, described by
// a struct-like format ("<4sIII", "<HI", "<I"), into an in-memory record
// that is little-endian with every element widened to a multiple of 4.
#ifndef SKIFF_ARCHIVE_RECORD_H_
#define SKIFF_ARCHIVE_RECORD_H_

#include <stdint.h>

// Record size of a format under its own prefix's rules; 0 for an empty
// format; stops at the first unrecognised code.
uint32_t formatSize(const char* format);

// 1 on success, 0 on an empty format or an unrecognised code (the record
// may then be partly written). `packed` holds at least the packed size,
// `record` at least the memory size of the format.
int unpackRecord(const char* format, const void* packed, void* record);

#endif  // SKIFF_ARCHIVE_RECORD_H_
