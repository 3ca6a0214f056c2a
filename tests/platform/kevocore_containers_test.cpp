#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <thread>

#include "kevocore.h"

namespace {

// Owners that hand the raw handle to a growing call and take back whatever it left there.
struct Hash {
  KVSZHASH* h = KVLIBSzHashAlloc(1);
  ~Hash() { KVLIBSzHashFree(h); }
};
struct List {
  KVSZLIST* l = KVLIBSzListAlloc(0);
  ~List() { KVLIBSzListFree(l); }
};

std::string keyOf(int i) {
  return "k" + std::to_string((i * 7919) % 2000);
}

TEST(KevocoreContainers, GrowThroughTheirAddressAndKeepInsertionOrder) {
  Hash hash;
  const KVSZHASH* first = hash.h;
  for (int i = 0; i < 2000; ++i) {
    ASSERT_EQ(0, KVLIBSzHashSetValue(&hash.h, keyOf(i).c_str(), std::to_string(i).c_str()));
  }
  EXPECT_NE(first, hash.h) << "growth is expected to move the handle";
  EXPECT_EQ(0, KVLIBSzHashSetValue(&hash.h, keyOf(0).c_str(), "new"));
  ASSERT_EQ(2000, KVLIBSzHashCount(hash.h));
  EXPECT_STREQ("new", KVLIBSzHashGetValue(hash.h, keyOf(0).c_str()));
  EXPECT_EQ(nullptr, KVLIBSzHashGetValue(hash.h, "absent"));

  List keys;
  ASSERT_EQ(2000, KVLIBSzHashEnumKey(hash.h, &keys.l));
  for (int i = 0; i < 2000; ++i) ASSERT_EQ(keyOf(i), KVLIBSzListGet(keys.l, i)) << i;
  EXPECT_EQ(nullptr, KVLIBSzListGet(keys.l, 2000));
  EXPECT_EQ(nullptr, KVLIBSzListGet(keys.l, -1));

  KVLIBHashRemoveAll(hash.h);
  EXPECT_EQ(nullptr, KVLIBSzHashGetValue(hash.h, keyOf(0).c_str()));

  char text[] = "item";  // pushed text is copied
  EXPECT_EQ(2001, KVLIBSzListPush(&keys.l, text));
  text[0] = 'X';
  EXPECT_STREQ("item", KVLIBSzListGet(keys.l, 2000));
}

TEST(KevocoreContainers, ErrorSlotIsPerThreadAndCopiesTheFileName) {
  KVLIBErrSetEx(0x200, std::string("caller.cpp").c_str(), 107);
  std::thread([] { EXPECT_EQ(0u, KVLIBErrGet()); }).join();
  EXPECT_EQ(0x200u, KVLIBErrGet());
  EXPECT_STREQ("caller.cpp", KVLIBErrGetFile());
  EXPECT_EQ(107, KVLIBErrGetLine());
}

}  // namespace
