// A shape check of marshalled data before the runtime reads it. The
// runtime's reader trusts the counts in its input: a tuple, list, set or
// integer whose count says two billion makes it allocate and clear
// gigabytes before it notices that the data ends after a few bytes. The
// check walks the bytes in the runtime's own format and refuses any count
// that the remaining bytes cannot hold, unknown type codes, nesting deeper
// than the runtime accepts, and data that ends early. It does not judge
// the bytecode inside a code object.
//
// The two formats, by the runtime's major version:
//   3  version 4 of 3.11: a type code may carry the 0x80 flag (the object
//      may be referred to later, 'r' and an index), short forms for texts
//      and tuples ('a' 'A' 'z' 'Z' ')'), and code as five 4-byte fields,
//      eight objects, one field, two objects;
//   2  version 2 of 2.7: no flag bit, no short forms, interned texts 't'
//      referred to later by 'R' and an index, and code as four fields,
//      eight objects, one field, one object.
#ifndef SKIFF_HOST_MARSHAL_CHECK_H_
#define SKIFF_HOST_MARSHAL_CHECK_H_

#include <stddef.h>
#include <stdint.h>

// 1 when `data` starts with one complete marshalled object, in the format
// of a runtime of `majorVersion` (2 or 3), whose every count fits in the
// bytes that follow it (bytes after the object are allowed, as the
// runtime's reader ignores them); 0 otherwise, and for any other version.
int marshalShapeIsSound(const uint8_t* data, size_t length, int majorVersion);

#endif  // SKIFF_HOST_MARSHAL_CHECK_H_
