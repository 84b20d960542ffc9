// Fuzz target: unpackRecord over an arbitrary format and packed bytes.
// Input: the format up to the first NUL (at most 64 characters, repeat
// counts of at most three digits), then the packed bytes. Both buffers are
// sized from formatSize, so only the routine itself can go out of bounds.
#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include <string>
#include <vector>

#include "archive/record.h"

static const size_t kMaxFormat = 64;

// The memory-side size: the items under alignment 4, i.e. the format with
// any consumed prefix replaced by '@'.
static uint32_t memorySize(const std::string& format) {
  if (format.empty()) return 0;
  char c = format[0];
  if (c == '<' || c == '=' || c == '>' || c == '@') {
    return formatSize(("@" + format.substr(1)).c_str());
  }
  return formatSize(format.c_str());
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const uint8_t* nul = static_cast<const uint8_t*>(memchr(data, 0, size));
  if (!nul) return 0;
  std::string format(reinterpret_cast<const char*>(data), nul - data);
  if (format.size() > kMaxFormat) return 0;
  size_t digits = 0;
  for (char c : format) {
    digits = (c >= '0' && c <= '9') ? digits + 1 : 0;
    if (digits > 3) return 0;  // counts stay far from 32-bit overflow
  }
  const uint8_t* rest = nul + 1;
  size_t restSize = size - (rest - data);

  uint32_t packedSize = formatSize(format.c_str());
  uint32_t recordSize = memorySize(format);
  // Exactly sized heap buffers, so a read or write past them is caught.
  std::vector<uint8_t> packed(packedSize);
  for (size_t i = 0; i < packedSize; ++i) {
    packed[i] = restSize ? rest[i % restSize] : static_cast<uint8_t>(i);
  }
  uint8_t* p = new uint8_t[packedSize ? packedSize : 1];
  if (packedSize) memcpy(p, packed.data(), packedSize);
  uint8_t* record = new uint8_t[recordSize ? recordSize : 1];
  (void)unpackRecord(format.c_str(), p, record);
  delete[] p;
  delete[] record;
  return 0;
}
