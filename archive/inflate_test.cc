#include "archive/inflate.h"

#include <stdlib.h>
#include <zlib.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "archive/archive_test_util.h"

namespace {

std::vector<uint8_t> deflateBytes(const std::vector<uint8_t>& data,
                                  int level = Z_BEST_COMPRESSION) {
  uLongf size = compressBound(data.size());
  std::vector<uint8_t> out(size);
  EXPECT_EQ(Z_OK, compress2(out.data(), &size, data.data(), data.size(), level));
  out.resize(size);
  return out;
}

std::vector<uint8_t> sampleText(size_t n) {
  std::vector<uint8_t> out(n);
  for (size_t i = 0; i < n; ++i) out[i] = "skiff relay "[i % 12] + (i / 97) % 3;
  return out;
}

// Runs inflateBuffer with an expected size; returns its result and fills
// `out` with the inflated bytes.
int inflateWith(const std::vector<uint8_t>& stream, size_t expected,
                std::vector<uint8_t>* out) {
  uint8_t* buffer = nullptr;
  size_t length = expected;
  int ok = inflateBuffer(stream.data(), stream.size(), &buffer, &length);
  if (ok) {
    out->assign(buffer, buffer + length);
  } else {
    EXPECT_EQ(nullptr, buffer);
    EXPECT_EQ(0u, length);
  }
  free(buffer);
  return ok;
}

TEST(InflateTest, ExpectedSize) {
  std::vector<uint8_t> content = sampleText(5000);
  std::vector<uint8_t> stream = deflateBytes(content);
  struct Case {
    size_t expected;
    int ok;
  } cases[] = {
      {0, 1},                   // unknown: grows as needed
      {5000, 1},                // exactly the size
      {5001, 1},                // larger: the actual size is reported
      {1 << 20, 1},
      {4999, 0},                // smaller: the data exceeds the promise
      {1, 0},
  };
  for (const Case& c : cases) {
    std::vector<uint8_t> out;
    EXPECT_EQ(c.ok, inflateWith(stream, c.expected, &out)) << c.expected;
    if (c.ok) {
      EXPECT_EQ(content, out) << c.expected;
    }
  }
}


TEST(InflateTest, UnknownSizeGrowsByInputLength) {
  // Find 1000 bytes whose stream is exactly 100 bytes long: a run of
  // incompressible bytes followed by zeros.
  std::vector<uint8_t> content, stream;
  uint32_t seed = 12345;
  for (size_t random = 50; random < 120 && stream.size() != 100; ++random) {
    content.assign(1000, 0);
    for (size_t i = 0; i < random; ++i) {
      seed = seed * 1103515245u + 12345u;
      content[i] = static_cast<uint8_t>(seed >> 16);
    }
    stream = deflateBytes(content);
  }
  ASSERT_EQ(100u, stream.size());

  AllocationSizes buffer;
  std::vector<uint8_t> out;
  ASSERT_EQ(1, inflateWith(stream, 0, &out));
  EXPECT_EQ(content, out);
  EXPECT_EQ((std::vector<size_t>{300, 400, 500, 600, 700, 800, 900, 1000}),
            buffer.sizes);
}

TEST(InflateTest, KnownSizeAllocatesOnce) {
  std::vector<uint8_t> content = sampleText(777);
  AllocationSizes buffer;
  std::vector<uint8_t> out;
  EXPECT_EQ(1, inflateWith(deflateBytes(content), 777, &out));
  EXPECT_EQ(std::vector<size_t>{777}, buffer.sizes);
}

TEST(InflateTest, DamagedStreams) {
  std::vector<uint8_t> content = sampleText(3000);
  std::vector<uint8_t> stream = deflateBytes(content);

  std::vector<uint8_t> trailing = stream;
  trailing.insert(trailing.end(), {'j', 'u', 'n', 'k', 0, 0xFF});
  std::vector<uint8_t> out;
  EXPECT_EQ(1, inflateWith(trailing, 0, &out));
  EXPECT_EQ(content, out);

  std::vector<uint8_t> badAdler = stream;
  badAdler.back() ^= 0x01;
  EXPECT_EQ(0, inflateWith(badAdler, 0, &out));
  EXPECT_EQ(0, inflateWith(badAdler, 3000, &out));

  std::vector<uint8_t> rawDeflate(stream.begin() + 2, stream.end());
  EXPECT_EQ(0, inflateWith(rawDeflate, 0, &out));
  EXPECT_EQ(0, inflateWith({}, 0, &out));
  EXPECT_EQ(0, inflateWith(content, 0, &out));  // not zlib at all

  for (size_t n = 0; n < stream.size(); ++n) {
    std::vector<uint8_t> cut(stream.begin(), stream.begin() + n);
    EXPECT_EQ(0, inflateWith(cut, 0, &out)) << n;
    EXPECT_EQ(0, inflateWith(cut, 3000, &out)) << n;
  }
}

TEST(InflateTest, EmptyContent) {
  std::vector<uint8_t> stream = deflateBytes({});
  std::vector<uint8_t> out{1};
  EXPECT_EQ(1, inflateWith(stream, 0, &out));
  EXPECT_TRUE(out.empty());

  // decodeByKind reports the empty result as 0, with a buffer to free.
  uint8_t* decoded = nullptr;
  EXPECT_EQ(0u, decodeByKind(kKindZlib, stream.data(), stream.size(),
                             &decoded, 0));
  EXPECT_NE(stream.data(), decoded);
  free(decoded);
}

TEST(InflateTest, DecodeByKind) {
  std::vector<uint8_t> content = sampleText(400);
  std::vector<uint8_t> stream = deflateBytes(content);
  uint8_t* out = nullptr;

  EXPECT_EQ(400u, decodeByKind(kKindStored, content.data(), 400, &out, 0));
  EXPECT_EQ(content.data(), out);

  ASSERT_EQ(400u, decodeByKind(kKindZlib, stream.data(), stream.size(), &out,
                               400));
  EXPECT_EQ(content, std::vector<uint8_t>(out, out + 400));
  free(out);

  EXPECT_EQ(0u, decodeByKind(kKindZlib, stream.data(), stream.size(), &out,
                             399));
  EXPECT_EQ(nullptr, out);

  for (int kind : {kKindUnsupported, 0, 4}) {
    EXPECT_EQ(0u, decodeByKind(kind, stream.data(), stream.size(), &out, 0));
    EXPECT_EQ(stream.data(), out);
  }
}

}  // namespace

TEST(InflateTest, LimitBoundsUnknownSize) {
  std::vector<uint8_t> content = sampleText(5000);
  std::vector<uint8_t> stream = deflateBytes(content);
  struct Case {
    size_t limit;
    int ok;
  } cases[] = {{0, 1}, {5000, 1}, {4999, 0}, {10, 0}};
  for (const Case& c : cases) {
    uint8_t* buffer = nullptr;
    size_t length = 0;
    EXPECT_EQ(c.ok, inflateBufferLimited(stream.data(), stream.size(), &buffer,
                                         &length, c.limit))
        << c.limit;
    if (c.ok) {
      EXPECT_EQ(content, std::vector<uint8_t>(buffer, buffer + length));
    }
    free(buffer);
  }
}
