#include "archive/hash_table.h"

#include <stdlib.h>
#include <string.h>

#include "launcher/work_dir.h"
#include "platform/platform.h"

namespace {

const uint32_t kInitialCapacity = 64;
const int kProbeCount = 6;
// Far beyond any archive index; stops endless doubling should a few keys
// ever share both hashes completely.
const uint32_t kMaxCapacity = 1u << 28;

// The step pair, derived from the process random key by the first
// createTable and shared by every later table.
uint32_t gStepPrefix = 0;
uint32_t gStepSuffix = 0;

uint32_t keyPrefix(uint64_t key) { return static_cast<uint32_t>(key); }
uint32_t keySuffix(uint64_t key) { return static_cast<uint32_t>(key >> 32); }

uint32_t stringPrimaryHash(const char* key) {
  uint64_t random = processRandomKey();
  return stringHash(reinterpret_cast<const uint8_t*>(key), strlen(key),
                    keyPrefix(random), keySuffix(random));
}

uint32_t stringStepHash(const char* key) {
  return stringHash(reinterpret_cast<const uint8_t*>(key), strlen(key),
                    gStepPrefix, gStepSuffix);
}

int stringCompare(const char* storedKey, const char* key) {
  return strcmp(storedKey, key);
}

void deriveStepPair() {
  uint64_t random = processRandomKey();
  uint32_t lo = keyPrefix(random);
  uint32_t hi = keySuffix(random);
  do {
    lo = lo * 784718005u + 48315u;
    hi = hi * 784718005u + 48315u;
  } while (lo == 0 && hi == 0);
  gStepPrefix = lo;
  gStepSuffix = hi;
}

// The six slots a key may occupy: h, h + step, h + 2 step, ... modulo the
// capacity. Repeated slots (an even step) are examined again as they come.
struct ProbeWindow {
  uint32_t slot[kProbeCount];
};

void probeWindow(const HashTable* table, const char* key, ProbeWindow* w) {
  uint32_t m = table->capacity;
  uint32_t h = table->primaryHash(key) % m;
  uint32_t step = table->stepHash(key) % (m - 1) + 1;
  for (int i = 0; i < kProbeCount; ++i) {
    w->slot[i] = h;
    h = static_cast<uint32_t>((static_cast<uint64_t>(h) + step) % m);
  }
}

int overLoaded(const HashTable* table) {
  return static_cast<double>(table->count) >=
         static_cast<double>(table->capacity) / 1.2;
}

// Look-up and removal: the first used slot in the window holding an equal
// key, or null. Free slots do not end the search.
HashSlot* findInWindow(const HashTable* table, const ProbeWindow& w,
                       const char* key) {
  for (int i = 0; i < kProbeCount; ++i) {
    HashSlot* s = &table->slots[w.slot[i]];
    if (s->used && table->compare(s->key, key) == 0) return s;
  }
  return nullptr;
}

HashSlot* probeFind(const HashTable* table, const char* key) {
  ProbeWindow w;
  probeWindow(table, key, &w);
  return findInWindow(table, w, key);
}

// Insertion: null when the table is loaded to its limit. Otherwise the
// slot of an equal key anywhere in the window, so that a key is never
// entered twice, else the first free slot, else null.
HashSlot* probeInsert(const HashTable* table, const char* key) {
  if (overLoaded(table)) return nullptr;
  ProbeWindow w;
  probeWindow(table, key, &w);
  HashSlot* equal = findInWindow(table, w, key);
  if (equal) return equal;
  for (int i = 0; i < kProbeCount; ++i) {
    HashSlot* s = &table->slots[w.slot[i]];
    if (!s->used) return s;
  }
  return nullptr;
}

void fillSlot(HashTable* table, HashSlot* slot, const char* key, void* value) {
  if (!slot->used) table->count++;
  slot->key = key;
  slot->value = value;
  slot->used = 1;
}

// Through the platform's replaceable allocation, so that tests can make
// growing or shrinking fail.
HashSlot* allocSlots(uint32_t capacity) {
  return static_cast<HashSlot*>(allocateZeroed(capacity, sizeof(HashSlot)));
}

// Moves every entry into a new array of `capacity` slots. An entry that
// finds no room there makes the new array grow again first (a nested
// resize). On failure the table is exactly as it was before the call: the
// old array is only read until everything has moved.
int resize(HashTable* table, uint32_t capacity) {
  if (capacity == 0 || capacity > kMaxCapacity) return 0;
  HashSlot* fresh = allocSlots(capacity);
  if (!fresh) return 0;
  HashSlot* old = table->slots;
  uint32_t oldCapacity = table->capacity;
  uint32_t oldCount = table->count;
  table->slots = fresh;
  table->capacity = capacity;
  table->count = 0;
  for (uint32_t i = oldCapacity; i-- > 0;) {
    if (!old[i].used) continue;
    HashSlot* slot;
    while (!(slot = probeInsert(table, old[i].key))) {
      if (!resize(table, table->capacity * 2)) {
        free(table->slots);
        table->slots = old;
        table->capacity = oldCapacity;
        table->count = oldCount;
        return 0;
      }
    }
    fillSlot(table, slot, old[i].key, old[i].value);
  }
  free(old);
  return 1;
}

int scanFrom(HashTable* table, uint32_t start, HashEntry* entry) {
  for (uint32_t i = start; i < table->capacity; ++i) {
    if (table->slots[i].used) {
      table->cursor = i + 1;
      entry->key = table->slots[i].key;
      entry->value = table->slots[i].value;
      return 1;
    }
  }
  return 0;
}

}  // namespace

uint32_t stringHash(const uint8_t* bytes, size_t n, uint32_t prefix,
                    uint32_t suffix) {
  if (n == 0) return 0;
  uint32_t x = prefix ^ (static_cast<uint32_t>(bytes[0]) << 7);
  for (size_t i = 0; i < n; ++i) x = (x * 1000003u) ^ bytes[i];
  return x ^ static_cast<uint32_t>(n) ^ suffix;
}

HashTable* createTable(uint32_t tag) {
  if (tag != kStringTableTag) return nullptr;  // the only type there is
  HashTable* table = static_cast<HashTable*>(calloc(1, sizeof(HashTable)));
  if (!table) return nullptr;
  table->slots = allocSlots(kInitialCapacity);
  if (!table->slots) {
    free(table);
    return nullptr;
  }
  table->tag = tag;
  table->capacity = kInitialCapacity;
  table->primaryHash = stringPrimaryHash;
  table->stepHash = stringStepHash;
  table->compare = stringCompare;
  if (gStepPrefix == 0 && gStepSuffix == 0) deriveStepPair();
  return table;
}

void destroyTable(HashTable* table) {
  if (!table) return;
  free(table->slots);
  free(table);
}

int tablePut(HashTable* table, const char* key, void* value) {
  HashSlot* slot;
  while (!(slot = probeInsert(table, key))) {
    if (!resize(table, table->capacity * 2)) return 0;
  }
  fillSlot(table, slot, key, value);
  return 1;
}

int tableGet(HashTable* table, const char* key, void** value) {
  HashSlot* slot = probeFind(table, key);
  *value = slot ? slot->value : nullptr;
  return slot ? 1 : 0;
}

int tableContains(HashTable* table, const char* key) {
  return probeFind(table, key) ? 1 : 0;
}

int tableRemove(HashTable* table, const char* key) {
  HashSlot* slot = probeFind(table, key);
  if (!slot) return 0;
  slot->used = 0;
  table->count--;
  if (table->count == 0) return 1;
  if (table->capacity / table->count > 7) {
    return resize(table, table->capacity / 2);
  }
  return 1;
}

uint32_t tableCount(const HashTable* table) { return table->count; }

int tableFirst(HashTable* table, HashEntry* entry) {
  entry->key = nullptr;
  entry->value = nullptr;
  if (table->count == 0) return 0;
  return scanFrom(table, 0, entry);
}

int tableNext(HashTable* table, HashEntry* entry) {
  entry->key = nullptr;
  entry->value = nullptr;
  if (table->count == 0 || table->cursor >= table->capacity) return 0;
  return scanFrom(table, table->cursor, entry);
}
