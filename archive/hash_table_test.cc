#include "archive/hash_table.h"

#include <stdlib.h>
#include <string.h>

#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/test_util.h"

namespace {

uint32_t hashOf(const char* s, uint32_t prefix, uint32_t suffix) {
  return stringHash(reinterpret_cast<const uint8_t*>(s), strlen(s), prefix,
                    suffix);
}

TEST(HashTableTest, StringHash) {
  EXPECT_EQ(0xA093D0A3u, hashOf("abc", 0, 0));
  EXPECT_EQ(0xA093D0A3u ^ 0x5A5Au, hashOf("abc", 0, 0x5A5A));
  for (uint32_t key : {0u, 1u, 0xDEADBEEFu}) {
    EXPECT_EQ(0u, hashOf("", key, key + 1));
  }
  // Bytes are unsigned: a high byte does not sign-extend.
  const uint8_t high[1] = {0xFF};
  uint32_t x = (0u ^ (0xFFu << 7)) * 1000003u ^ 0xFFu;
  EXPECT_EQ(x ^ 1u, stringHash(high, 1, 0, 0));
}

// Keys of the form "P,S": the test hashes below return P as the primary
// hash and S as the step hash, so each test places its keys exactly.
uint32_t testPrimary(const char* key) { return strtoul(key, nullptr, 10); }
uint32_t testStep(const char* key) {
  return strtoul(strchr(key, ',') + 1, nullptr, 10);
}

struct Keys {
  std::vector<std::string> names;
  const char* add(uint32_t primary, uint32_t step) {
    names.reserve(1024);  // keep the c_str()s stable
    names.push_back(std::to_string(primary) + "," + std::to_string(step));
    return names.back().c_str();
  }
};

HashTable* testTable() {
  HashTable* t = createTable(kStringTableTag);
  t->primaryHash = testPrimary;
  t->stepHash = testStep;
  return t;
}

int at(HashTable* t, uint32_t slot, const char* key) {
  return t->slots[slot].used && strcmp(t->slots[slot].key, key) == 0;
}

TEST(HashTableTest, CreatePutGetRemove) {
  HashTable* t = createTable(kStringTableTag);
  ASSERT_NE(nullptr, t);
  EXPECT_EQ(kStringTableTag, t->tag);
  EXPECT_EQ(64u, t->capacity);
  EXPECT_EQ(0u, tableCount(t));

  int one = 1, two = 2;
  EXPECT_EQ(1, tablePut(t, "python311.dll", &one));
  EXPECT_EQ(1, tablePut(t, "tav_init.zip", &two));
  void* v = nullptr;
  EXPECT_EQ(1, tableGet(t, "tav_init.zip", &v));
  EXPECT_EQ(&two, v);
  EXPECT_EQ(0, tableGet(t, "tav_init", &v));
  EXPECT_EQ(nullptr, v);

  // Replacing an equal key keeps the count.
  EXPECT_EQ(1, tablePut(t, "tav_init.zip", &one));
  EXPECT_EQ(2u, tableCount(t));
  EXPECT_EQ(1, tableGet(t, "tav_init.zip", &v));
  EXPECT_EQ(&one, v);

  EXPECT_EQ(1, tableRemove(t, "tav_init.zip"));
  EXPECT_EQ(0, tableRemove(t, "tav_init.zip"));
  EXPECT_EQ(0, tableContains(t, "tav_init.zip"));
  EXPECT_EQ(1, tableContains(t, "python311.dll"));
  EXPECT_EQ(1, tableRemove(t, "python311.dll"));
  EXPECT_EQ(0u, tableCount(t));
  destroyTable(t);
}

TEST(HashTableTest, ProbeSequence) {
  Keys k;
  HashTable* t = testTable();
  // Step hash 4 gives step 4 % 63 + 1 = 5.
  const char* a = k.add(10, 4);
  const char* b = k.add(74, 4);   // 74 % 64 == 10: next probe, 15
  const char* c = k.add(138, 4);  // then 20
  for (const char* key : {a, b, c}) ASSERT_EQ(1, tablePut(t, key, nullptr));
  // Ten more entries elsewhere keep removals from shrinking the table.
  for (uint32_t i = 30; i < 40; ++i) ASSERT_EQ(1, tablePut(t, k.add(i, 0), nullptr));
  EXPECT_TRUE(at(t, 10, a));
  EXPECT_TRUE(at(t, 15, b));
  EXPECT_TRUE(at(t, 20, c));

  // A freed slot does not end a look-up of a key further along.
  EXPECT_EQ(1, tableRemove(t, a));
  EXPECT_EQ(1, tableContains(t, c));

  // Putting c again replaces it in place instead of filling slot 10 with
  // a second copy.
  int v = 7;
  EXPECT_EQ(1, tablePut(t, c, &v));
  EXPECT_EQ(12u, tableCount(t));
  EXPECT_EQ(64u, t->capacity);
  EXPECT_FALSE(t->slots[10].used);
  EXPECT_EQ(1, tableRemove(t, c));
  EXPECT_EQ(0, tableContains(t, c));
  destroyTable(t);
}

TEST(HashTableTest, LoadLimitGrowsAt54Entries) {
  Keys k;
  HashTable* t = testTable();
  for (uint32_t i = 0; i < 54; ++i) ASSERT_EQ(1, tablePut(t, k.add(i, 0), nullptr));
  EXPECT_EQ(64u, t->capacity);  // 53 present passed the load test
  EXPECT_EQ(54u, tableCount(t));
  ASSERT_EQ(1, tablePut(t, k.add(54, 0), nullptr));
  EXPECT_EQ(128u, t->capacity);
  EXPECT_EQ(55u, tableCount(t));
  for (const std::string& key : k.names) EXPECT_EQ(1, tableContains(t, key.c_str()));

  // Shrinking: 128 slots stay down to 17 entries and halve at 16.
  for (uint32_t i = 0; i < 38; ++i) ASSERT_EQ(1, tableRemove(t, k.names[i].c_str()));
  EXPECT_EQ(17u, tableCount(t));
  EXPECT_EQ(128u, t->capacity);
  ASSERT_EQ(1, tableRemove(t, k.names[38].c_str()));
  EXPECT_EQ(64u, t->capacity);
  for (uint32_t i = 39; i < 55; ++i) {
    EXPECT_EQ(1, tableContains(t, k.names[i].c_str())) << i;
  }
  // Down to one entry: 64/1, 32/1 ... 8/1 shrink once per removal and
  // never below 4 slots.
  for (uint32_t i = 39; i < 54; ++i) ASSERT_EQ(1, tableRemove(t, k.names[i].c_str()));
  EXPECT_EQ(1u, tableCount(t));
  EXPECT_GE(t->capacity, 4u);
  EXPECT_EQ(1, tableContains(t, k.names[54].c_str()));
  destroyTable(t);
}

TEST(HashTableTest, FullProbeWindowGrowsAtLowLoad) {
  struct Case {
    std::vector<uint32_t> primaries;
    uint32_t stepHash;
    uint32_t capacityAfter;
  } cases[] = {
      // Six keys fill slots 0..5 (step 1); the seventh has no slot.
      {{0, 64, 128, 192, 256, 320, 384}, 0, 128},
      // Step 32 visits only slots 0 and 32, six times over.
      {{0, 32, 64}, 31, 128},
  };
  for (const Case& c : cases) {
    Keys k;
    HashTable* t = testTable();
    for (uint32_t p : c.primaries) ASSERT_EQ(1, tablePut(t, k.add(p, c.stepHash), nullptr));
    EXPECT_EQ(c.capacityAfter, t->capacity);
    EXPECT_EQ(c.primaries.size(), tableCount(t));
    for (const std::string& key : k.names) EXPECT_EQ(1, tableContains(t, key.c_str()));
    destroyTable(t);
  }
}

TEST(HashTableTest, NestedResize) {
  // Seven keys at primary 0 mod 128 whose step hashes 127 * j give steps
  // 1..7 in 64 slots (they fit) but step 1 in 128 slots (only six fit), so
  // the growth to 128 must grow again while moving them.
  Keys k;
  HashTable* t = testTable();
  for (uint32_t j = 0; j < 7; ++j) ASSERT_EQ(1, tablePut(t, k.add(128 * j, 127 * j), nullptr));
  for (uint32_t i = 8; i < 56; ++i) ASSERT_EQ(1, tablePut(t, k.add(i, 0), nullptr));
  EXPECT_EQ(256u, t->capacity);
  EXPECT_EQ(55u, tableCount(t));
  for (const std::string& key : k.names) EXPECT_EQ(1, tableContains(t, key.c_str())) << key;
  destroyTable(t);
}

uint32_t gFailCapacity = 0;  // slot arrays of this many slots fail
void* failingAlloc(size_t count, size_t size) {
  return count == gFailCapacity ? nullptr : calloc(count, size);
}

TEST(HashTableTest, FailedResizeLeavesTableUsable) {
  struct Case {
    const char* what;
    uint32_t failCapacity;
  } cases[] = {{"growth", 128}, {"nested growth", 256}};
  for (const Case& c : cases) {
    // The NestedResize layout: the 55th put grows to 128, then to 256.
    Keys k;
    HashTable* t = testTable();
    for (uint32_t j = 0; j < 7; ++j) ASSERT_EQ(1, tablePut(t, k.add(128 * j, 127 * j), nullptr));
    for (uint32_t i = 8; i < 55; ++i) ASSERT_EQ(1, tablePut(t, k.add(i, 0), nullptr));
    gFailCapacity = c.failCapacity;
    {
      ScopedPlatformCall failing("allocateZeroed", failingAlloc);
      EXPECT_EQ(0, tablePut(t, k.add(55, 0), nullptr)) << c.what;
    }
    EXPECT_EQ(64u, t->capacity) << c.what;
    EXPECT_EQ(54u, tableCount(t)) << c.what;
    for (size_t i = 0; i < 54; ++i) EXPECT_EQ(1, tableContains(t, k.names[i].c_str())) << c.what;
    EXPECT_EQ(1, tablePut(t, k.names[54].c_str(), nullptr)) << c.what;
    EXPECT_EQ(256u, t->capacity) << c.what;
    destroyTable(t);
  }

  // A shrink that cannot get memory still removes the entry.
  Keys k;
  HashTable* t = testTable();
  for (uint32_t i = 0; i < 9; ++i) ASSERT_EQ(1, tablePut(t, k.add(i, 0), nullptr));
  gFailCapacity = 32;
  {
    ScopedPlatformCall failing("allocateZeroed", failingAlloc);
    EXPECT_EQ(0, tableRemove(t, k.names[0].c_str()));  // 64 / 8 > 7
  }
  EXPECT_EQ(0, tableContains(t, k.names[0].c_str()));
  EXPECT_EQ(8u, tableCount(t));
  EXPECT_EQ(64u, t->capacity);
  EXPECT_EQ(1, tableRemove(t, k.names[1].c_str()));
  EXPECT_EQ(32u, t->capacity);
  destroyTable(t);
  EXPECT_EQ(nullptr, createTable(0x12345678));
}

TEST(HashTableTest, WalkVisitsEachEntryOnce) {
  HashTable* t = createTable(kStringTableTag);
  HashEntry e{"x", &e};
  EXPECT_EQ(0, tableFirst(t, &e));
  EXPECT_EQ(nullptr, e.key);
  EXPECT_EQ(nullptr, e.value);

  std::vector<std::string> names;
  for (int i = 0; i < 300; ++i) names.push_back("module" + std::to_string(i));
  for (std::string& n : names) ASSERT_EQ(1, tablePut(t, n.c_str(), &n));
  std::set<std::string> seen;
  for (int more = tableFirst(t, &e); more; more = tableNext(t, &e)) {
    EXPECT_EQ(*static_cast<std::string*>(e.value), e.key);
    EXPECT_TRUE(seen.insert(e.key).second) << e.key;
  }
  EXPECT_EQ(names.size(), seen.size());
  EXPECT_EQ(0, tableNext(t, &e));
  EXPECT_EQ(nullptr, e.key);
  destroyTable(t);
}

}  // namespace
