// Decompression layer: whole zlib streams (RFC 1950) held in memory.
#ifndef SKIFF_ARCHIVE_INFLATE_H_
#define SKIFF_ARCHIVE_INFLATE_H_

#include <stddef.h>
#include <stdint.h>

// Inflates `input` into a new buffer (caller frees with free()). On entry
// *outputLength is the expected size, or 0 when unknown (the buffer then
// starts at 3 * inputLength and grows by inputLength; it comes from the
// platform's allocate and reallocate, replaceable calls through which
// tests see its sizes). 1 on success with
// *output and *outputLength set; 0 on failure with *output null and
// *outputLength 0 (both untouched when the stream cannot be set up).
int inflateBuffer(const uint8_t* input, size_t inputLength, uint8_t** output,
                  size_t* outputLength);
// inflateBuffer with a ceiling for data of unknown size: fails once the
// output would grow beyond `limit` bytes (0: no ceiling).
int inflateBufferLimited(const uint8_t* input, size_t inputLength,
                         uint8_t** output, size_t* outputLength, size_t limit);

// Archive kinds: 1 stored, 2 zlib, 3 no decoder.
const int kKindStored = 1;
const int kKindZlib = 2;
const int kKindUnsupported = 3;

// Decodes by archive kind; the decoded length, 0 on failure. Kind 1:
// *output = input. Kind 2: *output a new buffer (null on failure, or input
// when the stream could not be set up). Other kinds: *output = input, 0.
// The caller frees *output when it differs from input.
// `limit` bounds zlib output of unknown size, as inflateBufferLimited.
size_t decodeByKind(int kind, uint8_t* input, size_t inputLength,
                    uint8_t** output, size_t expectedSize, size_t limit = 0);

#endif  // SKIFF_ARCHIVE_INFLATE_H_
