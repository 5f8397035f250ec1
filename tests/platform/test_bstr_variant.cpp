#include <pim/fault.h>

#include <cstring>

#include "platform_test_util.h"

namespace {

uint32_t prefix_of(BSTR b) {
  uint32_t n;
  std::memcpy(&n, reinterpret_cast<const char*>(b) - 4, 4);
  return n;
}

TEST(Bstr, PrefixHoldsByteLengthAndStringIsTerminated) {
  BSTR b = SysAllocString(u"Test");
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(prefix_of(b), 8u);
  EXPECT_EQ(SysStringLen(b), 4u);
  EXPECT_EQ(SysStringByteLen(b), 8u);
  EXPECT_EQ(b[4], 0);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(b) % sizeof(void*), 0u);
  SysFreeString(b);
  EXPECT_EQ(SysAllocString(nullptr), nullptr);
}

TEST(Bstr, EmbeddedNulsAreKept) {
  const OLECHAR text[] = {u'a', 0, u'b', 0, u'c'};
  BSTR b = SysAllocStringLen(text, 5);
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(SysStringLen(b), 5u);
  EXPECT_EQ(std::memcmp(b, text, sizeof text), 0);
  BSTR copy = nullptr;
  VARIANT v, w;
  VariantInit(&v);
  VariantInit(&w);
  v.vt = VT_BSTR;
  v.bstrVal = b;
  ASSERT_EQ(VariantCopy(&w, &v), S_OK);
  copy = w.bstrVal;
  EXPECT_NE(copy, b);
  EXPECT_EQ(SysStringLen(copy), 5u);
  EXPECT_EQ(std::memcmp(copy, text, sizeof text), 0);
  VariantClear(&v);
  VariantClear(&w);
}

TEST(Bstr, NullAndZeroLengthEdges) {
  BSTR b = SysAllocStringLen(nullptr, 3);  // room for three characters, zero-filled, terminated
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(SysStringLen(b), 3u);
  EXPECT_EQ(b[0], 0);
  EXPECT_EQ(b[3], 0);
  SysFreeString(b);
  BSTR empty = SysAllocStringLen(nullptr, 0);
  ASSERT_NE(empty, nullptr);
  EXPECT_EQ(SysStringLen(empty), 0u);
  SysFreeString(empty);
  EXPECT_EQ(SysStringLen(nullptr), 0u);
  EXPECT_EQ(SysStringByteLen(nullptr), 0u);
  SysFreeString(nullptr);
}

TEST(Bstr, OddByteLengthAndOverflow) {
  BSTR b = SysAllocStringByteLen("abc", 3);
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(SysStringByteLen(b), 3u);
  EXPECT_EQ(SysStringLen(b), 1u);
  EXPECT_EQ(std::memcmp(b, "abc", 4), 0);  // followed by NUL bytes
  SysFreeString(b);
  EXPECT_EQ(SysAllocStringLen(u"x", 0x80000000u), nullptr);
  EXPECT_EQ(SysAllocStringByteLen(nullptr, 0xFFFFFFFFu), nullptr);
}

TEST(Bstr, ReallocFromItsOwnContents) {
  BSTR b = SysAllocString(u"Hello world");
  ASSERT_TRUE(SysReAllocString(&b, b + 6));
  EXPECT_EQ(std::u16string(b), u"world");
  ASSERT_TRUE(SysReAllocStringLen(&b, b, 3));
  EXPECT_EQ(std::u16string(b, SysStringLen(b)), u"wor");
  SysFreeString(b);
}

TEST(Bstr, AllocationFaultPointFailsAllocators) {
  pim::fault::Scope faults;
  pim::fault::arm("allocation", E_OUTOFMEMORY, 2);
  BSTR first = SysAllocString(u"a");
  EXPECT_NE(first, nullptr);
  EXPECT_EQ(SysAllocString(u"b"), nullptr);
  BSTR third = SysAllocString(u"c");
  EXPECT_NE(third, nullptr);
  EXPECT_EQ(pim::fault::count("allocation"), 3u);
  pim::fault::arm("allocation", E_OUTOFMEMORY);
  EXPECT_EQ(CoTaskMemAlloc(16), nullptr);
  SysFreeString(first);
  SysFreeString(third);
}

TEST(Variant, ClearAndCopyKeepInterfaceCountsBalanced) {
  std::atomic<int> destroyed{0};
  auto* obj = new TestObject(&destroyed);
  VARIANT v, w;
  VariantInit(&v);
  VariantInit(&w);
  EXPECT_EQ(v.vt, VT_EMPTY);
  v.vt = VT_DISPATCH;
  v.pdispVal = obj;  // takes the creation reference
  ASSERT_EQ(VariantCopy(&w, &v), S_OK);
  EXPECT_EQ(w.vt, VT_DISPATCH);
  EXPECT_REF(obj, 2);
  w.vt = VT_UNKNOWN;  // same pointer seen as IUnknown
  ASSERT_EQ(VariantCopy(&v, &w), S_OK);  // clears v (one release) then adds one
  EXPECT_REF(obj, 2);
  EXPECT_EQ(VariantClear(&w), S_OK);
  EXPECT_EQ(w.vt, VT_EMPTY);
  EXPECT_REF(obj, 1);
  EXPECT_EQ(VariantClear(&v), S_OK);
  EXPECT_EQ(destroyed, 1);
}

TEST(Variant, BadTypesAreRefused) {
  VARIANT v;
  VariantInit(&v);
  v.vt = 0x0FFF;
  EXPECT_EQ(VariantClear(&v), DISP_E_BADVARTYPE);
  VARIANT w;
  VariantInit(&w);
  EXPECT_EQ(VariantCopy(&w, &v), DISP_E_BADVARTYPE);
  EXPECT_EQ(w.vt, VT_EMPTY);
  v.vt = VT_BYREF | VT_BSTR;  // a reference owns nothing
  BSTR b = SysAllocString(u"kept");
  v.pbstrVal = &b;
  EXPECT_EQ(VariantClear(&v), S_OK);
  EXPECT_EQ(std::u16string(b), u"kept");
  SysFreeString(b);
}

}  // namespace
