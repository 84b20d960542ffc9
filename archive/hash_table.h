// String-keyed open-addressing hash table with double hashing and at most
// six probes per operation. It owns its slot array only: keys and values
// belong to the caller, which keeps a key's bytes alive while it is in
// the table. Hashes are keyed per process (processRandomKey), so slot
// order, and with it the order of a walk, changes from run to run. Slot
// arrays come from the platform's allocateZeroed (a replaceable call).
#ifndef SKIFF_ARCHIVE_HASH_TABLE_H_
#define SKIFF_ARCHIVE_HASH_TABLE_H_

#include <stddef.h>
#include <stdint.h>

// The only table type: string keys. The letters q, S, t, M.
const uint32_t kStringTableTag = 0x7153744D;

struct HashSlot {
  const char* key;
  void* value;
  uint32_t used;  // 1 occupied, 0 free (no tombstones)
};

struct HashTable {
  uint32_t tag;
  uint32_t count;
  uint32_t capacity;
  HashSlot* slots;
  uint32_t cursor;
  uint32_t (*primaryHash)(const char* key);
  uint32_t (*stepHash)(const char* key);
  int (*compare)(const char* storedKey, const char* key);  // 0 when equal
};

struct HashEntry {
  const char* key;
  void* value;
};

// null when out of memory or `tag` is not kStringTableTag.
HashTable* createTable(uint32_t tag);
void destroyTable(HashTable* table);
// Inserts, or replaces the value of an equal key (count unchanged then);
// 1, or 0 when growing needs memory that cannot be had.
int tablePut(HashTable* table, const char* key, void* value);
int tableGet(HashTable* table, const char* key, void** value);  // 1 found
int tableContains(HashTable* table, const char* key);
// 1 when an entry was removed and any shrinking worked, else 0.
int tableRemove(HashTable* table, const char* key);
uint32_t tableCount(const HashTable* table);
// Walk in slot order; 1 and the entry, or 0 and a zeroed entry at the end.
int tableFirst(HashTable* table, HashEntry* entry);
int tableNext(HashTable* table, HashEntry* entry);

// The keyed string hash: 0 for n == 0, else
// x = prefix ^ (b0 << 7); x = (x * 1000003) ^ b for every byte b;
// x ^ n ^ suffix, all modulo 2^32.
uint32_t stringHash(const uint8_t* bytes, size_t n, uint32_t prefix,
                    uint32_t suffix);

#endif  // SKIFF_ARCHIVE_HASH_TABLE_H_
