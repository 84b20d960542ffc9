#include "archive/inflate.h"

#include <limits.h>
#include <stdlib.h>
#include <string.h>
#include <zlib.h>

#include "launcher/phase_timing.h"
#include "platform/platform.h"

int inflateBuffer(const uint8_t* input, size_t inputLength, uint8_t** output,
                  size_t* outputLength) {
  return inflateBufferLimited(input, inputLength, output, outputLength, 0);
}

int inflateBufferLimited(const uint8_t* input, size_t inputLength,
                         uint8_t** output, size_t* outputLength,
                         size_t limit) {
  size_t expected = *outputLength;
  // zlib counts in unsigned int; nothing this system handles comes near,
  // and refusing keeps every size below fit for the stream fields.
  if (inputLength > UINT_MAX / 4 || expected > UINT_MAX) {
    *output = nullptr;
    *outputLength = 0;
    return 0;
  }
  size_t size = expected ? expected : 3 * inputLength;
  if (!expected && limit && size > limit) size = limit;
  uint8_t* buffer = static_cast<uint8_t*>(allocate(size ? size : 1));
  if (!buffer) {
    *output = nullptr;
    *outputLength = 0;
    return 0;
  }

  z_stream stream;
  memset(&stream, 0, sizeof stream);
  if (inflateInit(&stream) != Z_OK) {
    free(buffer);
    return 0;  // *output and *outputLength untouched
  }
  // zlib never writes through next_in.
  stream.next_in = const_cast<Bytef*>(input);
  stream.avail_in = static_cast<uInt>(inputLength);
  stream.next_out = buffer;
  stream.avail_out = static_cast<uInt>(size);

  int result = Z_OK;
  int failed = 0;
  while (result == Z_OK) {
    if (stream.avail_out == 0) {
      if (expected) break;  // the data is larger than announced
      size_t grown = size + inputLength;
      if (limit && grown > limit) grown = limit;
      if (grown > UINT_MAX || grown == size) break;
      uint8_t* bigger =
          static_cast<uint8_t*>(reallocate(buffer, grown ? grown : 1));
      if (!bigger) {
        failed = 1;
        break;
      }
      buffer = bigger;
      stream.next_out = buffer + size;
      stream.avail_out = static_cast<uInt>(grown - size);
      size = grown;
    }
    result = inflate(&stream, Z_FULL_FLUSH);
  }
  (void)inflateEnd(&stream);  // only fails on a broken stream state

  if (failed || result != Z_STREAM_END) {
    free(buffer);
    *output = nullptr;
    *outputLength = 0;
    return 0;
  }
  *output = buffer;
  *outputLength = size - stream.avail_out;
  return 1;
}

size_t decodeByKind(int kind, uint8_t* input, size_t inputLength,
                    uint8_t** output, size_t expectedSize, size_t limit) {
  *output = input;
  if (kind == kKindStored) return inputLength;
  if (kind != kKindZlib) return 0;
  // inflateBuffer leaves *output alone only when the stream cannot be
  // set up; it then still names the input.
  size_t length = expectedSize;
  uint64_t phase = phaseStart();
  int ok = inflateBufferLimited(input, inputLength, output, &length, limit);
  phaseAdd(kPhaseTotalInflate, phase);
  return ok ? length : 0;
}
