// Text hash and text list. Both grow by moving to a larger block, so every operation that may
// grow one takes the address of its handle and replaces it.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "kv_internal.h"

namespace {

// Initial reservations above this are trimmed: the containers grow on demand anyway, and a
// careless capacity must not reserve gigabytes.
constexpr int kMaxInitialCapacity = 1 << 16;
// Keeps every size computation far from integer overflow.
constexpr int kMaxCapacity = 1 << 26;
constexpr int kMinCapacity = 8;

int clampCapacity(int capacity) {
  if (capacity < kMinCapacity) return kMinCapacity;
  return capacity > kMaxInitialCapacity ? kMaxInitialCapacity : capacity;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Text hash: entries in insertion order, indexed by an open-addressing table of entry numbers.
// Header, entries and index live in one block.

struct KVHashEntry {
  char* key;
  char* value;
  uint32_t hash;
};

struct _KVSZHASH {
  int nCount;
  int nCap;    // entries that fit before the block must grow
  int nSlots;  // power of two, at least twice nCap
  KVHashEntry* entries;
  int* slots;  // entry number + 1; 0 is an empty slot
};

namespace {

uint32_t hashText(const char* text) {
  uint32_t h = 2166136261u;  // FNV-1a
  for (const unsigned char* p = reinterpret_cast<const unsigned char*>(text); *p; ++p) {
    h = (h ^ *p) * 16777619u;
  }
  return h;
}

size_t entriesOffset() {
  size_t a = alignof(KVHashEntry);
  return (sizeof(KVSZHASH) + a - 1) / a * a;
}

KVSZHASH* newHashBlock(int cap) {
  int nSlots = 16;
  while (nSlots < 2 * cap) nSlots *= 2;
  size_t slotsOffset = entriesOffset() + sizeof(KVHashEntry) * static_cast<size_t>(cap);
  void* block = calloc(1, slotsOffset + sizeof(int) * static_cast<size_t>(nSlots));
  if (block == nullptr) return nullptr;
  KVSZHASH* hash = static_cast<KVSZHASH*>(block);
  hash->nCap = cap;
  hash->nSlots = nSlots;
  hash->entries = reinterpret_cast<KVHashEntry*>(static_cast<char*>(block) + entriesOffset());
  hash->slots = reinterpret_cast<int*>(static_cast<char*>(block) + slotsOffset);
  return hash;
}

// Slot of `key`: the one holding it, or the empty one where it would go.
int findSlot(const KVSZHASH* hash, const char* key, uint32_t h) {
  int mask = hash->nSlots - 1;
  for (int i = static_cast<int>(h) & mask;; i = (i + 1) & mask) {
    int n = hash->slots[i];
    if (n == 0) return i;
    const KVHashEntry& e = hash->entries[n - 1];
    if (e.hash == h && strcmp(e.key, key) == 0) return i;
  }
}

// Moves the hash to a block with twice the room; the old handle is freed.
bool growHash(KVSZHASH** ppHash) {
  KVSZHASH* old = *ppHash;
  if (old->nCap >= kMaxCapacity) return false;
  KVSZHASH* grown = newHashBlock(old->nCap * 2);
  if (grown == nullptr) return false;
  for (int n = 0; n < old->nCount; ++n) {
    grown->entries[n] = old->entries[n];
    grown->slots[findSlot(grown, old->entries[n].key, old->entries[n].hash)] = n + 1;
  }
  grown->nCount = old->nCount;
  free(old);
  *ppHash = grown;
  return true;
}

}  // namespace

KVSZHASH* KVLIBSzHashAlloc(int capacity) {
  if (capacity < 0) {
    KV_FAIL(KVERR_INVALID_ARGUMENT);
    return nullptr;
  }
  KVSZHASH* hash = newHashBlock(clampCapacity(capacity));
  if (hash == nullptr) KV_FAIL(KVERR_OUT_OF_MEMORY);
  return hash;
}

int KVLIBSzHashSetValue(KVSZHASH** ppHash, const char* key, const char* value) {
  if (ppHash == nullptr || *ppHash == nullptr || key == nullptr || value == nullptr) {
    KV_FAIL(KVERR_INVALID_ARGUMENT);
    return -1;
  }
  char* copy = strdup(value);
  if (copy == nullptr) {
    KV_FAIL(KVERR_OUT_OF_MEMORY);
    return -1;
  }
  uint32_t h = hashText(key);
  int slot = findSlot(*ppHash, key, h);
  if ((*ppHash)->slots[slot] != 0) {
    KVHashEntry& e = (*ppHash)->entries[(*ppHash)->slots[slot] - 1];
    free(e.value);
    e.value = copy;
    return 0;
  }
  char* keyCopy = strdup(key);
  if (keyCopy == nullptr || ((*ppHash)->nCount == (*ppHash)->nCap && !growHash(ppHash))) {
    free(keyCopy);
    free(copy);
    KV_FAIL(KVERR_OUT_OF_MEMORY);
    return -1;
  }
  KVSZHASH* hash = *ppHash;
  hash->entries[hash->nCount] = KVHashEntry{keyCopy, copy, h};
  hash->slots[findSlot(hash, key, h)] = ++hash->nCount;
  return 0;
}

const char* KVLIBSzHashGetValue(const KVSZHASH* pHash, const char* key) {
  if (pHash == nullptr || key == nullptr) {
    KV_FAIL(KVERR_INVALID_ARGUMENT);
    return nullptr;
  }
  int n = pHash->slots[findSlot(pHash, key, hashText(key))];
  return n == 0 ? nullptr : pHash->entries[n - 1].value;
}

int KVLIBSzHashEnumKey(const KVSZHASH* pHash, KVSZLIST** ppList) {
  if (pHash == nullptr || ppList == nullptr || *ppList == nullptr) {
    KV_FAIL(KVERR_INVALID_ARGUMENT);
    return -1;
  }
  for (int n = 0; n < pHash->nCount; ++n) {
    if (KVLIBSzListPush(ppList, pHash->entries[n].key) < 0) return -1;
  }
  return pHash->nCount;
}

void KVLIBHashRemoveAll(KVSZHASH* pHash) {
  if (pHash == nullptr) {
    KV_FAIL(KVERR_INVALID_ARGUMENT);
    return;
  }
  for (int n = 0; n < pHash->nCount; ++n) {
    free(pHash->entries[n].key);
    free(pHash->entries[n].value);
  }
  pHash->nCount = 0;
  memset(pHash->slots, 0, sizeof(int) * static_cast<size_t>(pHash->nSlots));
}

int KVLIBSzHashCount(const KVSZHASH* pHash) {
  if (pHash == nullptr) {
    KV_FAIL(KVERR_INVALID_ARGUMENT);
    return -1;
  }
  return pHash->nCount;
}

void KVLIBSzHashFree(KVSZHASH* pHash) {
  if (pHash == nullptr) return;
  KVLIBHashRemoveAll(pHash);
  free(pHash);
}

// ---------------------------------------------------------------------------------------------
// Text list: one block, the header followed by the item pointers.

namespace {

size_t listBytes(int nAlloc) {
  return sizeof(KVSZLIST) + sizeof(char*) * static_cast<size_t>(nAlloc);
}

}  // namespace

KVSZLIST* KVLIBSzListAlloc(int capacity) {
  if (capacity < 0) {
    KV_FAIL(KVERR_INVALID_ARGUMENT);
    return nullptr;
  }
  int nAlloc = clampCapacity(capacity);
  KVSZLIST* list = static_cast<KVSZLIST*>(calloc(1, listBytes(nAlloc)));
  if (list == nullptr) {
    KV_FAIL(KVERR_OUT_OF_MEMORY);
    return nullptr;
  }
  list->nAlloc = nAlloc;
  return list;
}

int KVLIBSzListPush(KVSZLIST** ppList, const char* text) {
  if (ppList == nullptr || *ppList == nullptr || text == nullptr || (*ppList)->nItem < 0 ||
      (*ppList)->nItem > (*ppList)->nAlloc) {
    KV_FAIL(KVERR_INVALID_ARGUMENT);
    return -1;
  }
  char* copy = strdup(text);
  if (copy == nullptr) {
    KV_FAIL(KVERR_OUT_OF_MEMORY);
    return -1;
  }
  KVSZLIST* list = *ppList;
  if (list->nItem == list->nAlloc) {
    int nAlloc = list->nAlloc < kMinCapacity ? kMinCapacity : list->nAlloc * 2;
    KVSZLIST* grown = nullptr;
    if (list->nAlloc < kMaxCapacity) {
      grown = static_cast<KVSZLIST*>(realloc(list, listBytes(nAlloc)));
    }
    if (grown == nullptr) {
      free(copy);
      KV_FAIL(KVERR_OUT_OF_MEMORY);
      return -1;
    }
    grown->nAlloc = nAlloc;
    *ppList = list = grown;
  }
  list->pszItem[list->nItem] = copy;
  return ++list->nItem;
}

const char* KVLIBSzListGet(const KVSZLIST* pList, int index) {
  if (pList == nullptr) {
    KV_FAIL(KVERR_INVALID_ARGUMENT);
    return nullptr;
  }
  if (index < 0 || index >= pList->nItem || index >= pList->nAlloc) return nullptr;
  return pList->pszItem[index];
}

void KVLIBSzListFree(KVSZLIST* pList) {
  if (pList == nullptr) return;
  for (int n = 0; n < pList->nItem && n < pList->nAlloc; ++n) free(pList->pszItem[n]);
  free(pList);
}
