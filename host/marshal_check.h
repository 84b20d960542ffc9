// A shape check of marshalled data before the runtime reads it. The
// runtime's reader trusts the counts in its input: a tuple, list, set or
// integer whose count says two billion makes it allocate and clear
// gigabytes before it notices that the data ends after a few bytes. The
// check walks the bytes in the runtime's own format (version 4, with the
// 3.11 code-object layout) and refuses any count that the remaining bytes
// cannot hold, unknown type codes, nesting deeper than the runtime
// accepts, and data that ends early. It does not judge the bytecode
// inside a code object.
#ifndef SKIFF_HOST_MARSHAL_CHECK_H_
#define SKIFF_HOST_MARSHAL_CHECK_H_

#include <stddef.h>
#include <stdint.h>

// 1 when `data` starts with one complete marshalled object whose every
// count fits in the bytes that follow it (bytes after the object are
// allowed, as the runtime's reader ignores them); 0 otherwise.
int marshalShapeIsSound(const uint8_t* data, size_t length);

#endif  // SKIFF_HOST_MARSHAL_CHECK_H_
