// The result list and its iterator: element count, the iterator's states, reference ownership.
#include "test_calendar_fixture.h"

namespace caltest {
namespace {

class ListTest : public CalendarTest {
 protected:
  // A list holding the given entries, with the caller's one reference.
  ComPtr<ICalendarEntryList> MakeList(std::initializer_list<ICalendarEntry*> entries) {
    CComObject<CCalendarEntryList>* p = nullptr;
    EXPECT_EQ(CComObject<CCalendarEntryList>::CreateInstance(&p), S_OK);
    ComPtr<ICalendarEntryList> list(p);
    for (ICalendarEntry* e : entries) EXPECT_EQ(p->AddElement(e), S_OK);
    return list;
  }
  ComPtr<ICalendarEntryListIterator> Iterate(ICalendarEntryList* list) {
    ICalendarEntryListIterator* it = nullptr;
    EXPECT_EQ(list->GetIterator(&it), S_OK);
    return ComPtr<ICalendarEntryListIterator>::attach(it);
  }
  // Steps once; the current entry after the step (null at the end).
  ICalendarEntry* Step(ICalendarEntryListIterator* it, bool expectMore) {
    VARIANT_BOOL more = 7;
    EXPECT_EQ(it->Next(&more), S_OK);
    EXPECT_EQ(more, expectMore ? VARIANT_TRUE : VARIANT_FALSE);
    return Current(it);
  }
  ICalendarEntry* Current(ICalendarEntryListIterator* it) {
    ICalendarEntry* cur = reinterpret_cast<ICalendarEntry*>(1);
    EXPECT_EQ(it->get_current(&cur), S_OK);
    if (cur) cur->Release();  // the entry outlives this: list and iterator hold it
    return cur;
  }
};

TEST_F(ListTest, AnEmptyListHasNoElementsAndNeverAStep) {
  ComPtr<ICalendarEntryList> list = MakeList({});
  UINT n = 99;
  EXPECT_EQ(list->get_numElements(&n), S_OK);
  EXPECT_EQ(n, 0u);
  ComPtr<ICalendarEntryListIterator> it = Iterate(list.get());
  EXPECT_EQ(Current(it.get()), nullptr);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(Step(it.get(), false), nullptr);
}

TEST_F(ListTest, TwoEntriesCycleAfterTheEndIsReportedOnce) {
  ComPtr<ICalendarEntry> a = NewEntry(), b = NewEntry();
  ComPtr<ICalendarEntryList> list = MakeList({a.get(), b.get()});
  EXPECT_REF(a.get(), 2);
  UINT n = 0;
  list->get_numElements(&n);
  EXPECT_EQ(n, 2u);

  ComPtr<ICalendarEntryListIterator> it = Iterate(list.get());
  EXPECT_EQ(Current(it.get()), nullptr) << "before the first step";
  EXPECT_EQ(Step(it.get(), true), a.get());
  EXPECT_REF(a.get(), 3);  // test, list, iterator
  EXPECT_EQ(Step(it.get(), true), b.get());
  EXPECT_REF(a.get(), 2);
  EXPECT_EQ(Step(it.get(), false), nullptr);
  EXPECT_EQ(Current(it.get()), nullptr);
  EXPECT_REF(b.get(), 2);
  EXPECT_EQ(Step(it.get(), true), a.get());

  EXPECT_EQ(it->Reset(), S_OK);
  EXPECT_EQ(Current(it.get()), nullptr);
  EXPECT_REF(a.get(), 2);
  EXPECT_EQ(Step(it.get(), true), a.get());
  EXPECT_EQ(Step(it.get(), true), b.get());
  it.reset();
  EXPECT_REF(a.get(), 2);
  EXPECT_REF(b.get(), 2);
  EXPECT_REF(list.get(), 1);
}

TEST_F(ListTest, IteratorsAreIndependentAndEachHoldsTheList) {
  ComPtr<ICalendarEntry> a = NewEntry(), b = NewEntry();
  ComPtr<ICalendarEntryList> list = MakeList({a.get(), b.get()});
  ComPtr<ICalendarEntryListIterator> one = Iterate(list.get());
  ComPtr<ICalendarEntryListIterator> two = Iterate(list.get());
  EXPECT_NE(one.get(), two.get());
  EXPECT_REF(list.get(), 3);
  EXPECT_REF(one.get(), 1);
  EXPECT_EQ(Step(one.get(), true), a.get());
  EXPECT_EQ(Step(one.get(), true), b.get());
  EXPECT_EQ(Step(two.get(), true), a.get());
  EXPECT_EQ(Current(one.get()), b.get());
}

TEST_F(ListTest, TheListLivesUntilItsLastIteratorGoesAndThenReleasesEachEntryOnce) {
  ComPtr<ICalendarEntry> a = NewEntry(), b = NewEntry();
  ComPtr<ICalendarEntryList> list = MakeList({a.get(), b.get()});
  ComPtr<ICalendarEntryListIterator> it = Iterate(list.get());
  EXPECT_EQ(Step(it.get(), true), a.get());
  ICalendarEntry* held = nullptr;
  it->get_current(&held);  // the host keeps this one
  pimtest::TraceCapture trace;
  list.reset();
  EXPECT_FALSE(trace.Contains("~CCalendarEntryList() called."));
  EXPECT_EQ(Step(it.get(), true), b.get());
  it.reset();
  EXPECT_TRUE(trace.Contains("~CCalendarEntryList() called. List size: 2"));
  EXPECT_TRUE(trace.Contains(") currRefs = 2"));
  EXPECT_REF(a.get(), 2);  // test and the held reference
  EXPECT_REF(b.get(), 1);
  held->Release();
  EXPECT_REF(a.get(), 1);
}

TEST_F(ListTest, NextWritesSixteenBitsOnly) {
  ComPtr<ICalendarEntry> a = NewEntry();
  ComPtr<ICalendarEntryList> list = MakeList({a.get()});
  ComPtr<ICalendarEntryListIterator> it = Iterate(list.get());
  union {
    int32_t whole;
    VARIANT_BOOL low;
  } more;
  more.whole = 0x5A5A0000;
  it->Next(&more.low);
  EXPECT_EQ(more.whole, (int32_t)0x5A5AFFFF);
  more.whole = 0x5A5A1234;
  it->Next(&more.low);
  EXPECT_EQ(more.whole, (int32_t)0x5A5A0000);
}

TEST_F(ListTest, NullOutPointersWriteNothingAndTakeNoReference) {
  ComPtr<ICalendarEntry> a = NewEntry();
  ComPtr<ICalendarEntryList> list = MakeList({a.get()});
  EXPECT_EQ(list->GetIterator(nullptr), E_INVALIDARG);
  EXPECT_REF(list.get(), 1);
  EXPECT_EQ(list->get_numElements(nullptr), E_POINTER);
  ComPtr<ICalendarEntryListIterator> it = Iterate(list.get());
  EXPECT_EQ(it->Next(nullptr), E_POINTER);
  EXPECT_EQ(it->get_current(nullptr), E_POINTER);
  EXPECT_EQ(Current(it.get()), nullptr) << "a refused Next does not step";
}

TEST_F(ListTest, EachObjectAnswersItsOwnInterfaceOnly) {
  ComPtr<ICalendarEntryList> list = MakeList({});
  ComPtr<ICalendarEntryListIterator> it = Iterate(list.get());
  void* p = reinterpret_cast<void*>(1);
  EXPECT_EQ(list->QueryInterface(IID_ICalendarEntryListIterator, &p), E_NOINTERFACE);
  EXPECT_EQ(p, nullptr);
  EXPECT_EQ(it->QueryInterface(IID_ICalendarEntryList, &p), E_NOINTERFACE);
  EXPECT_EQ(it->QueryInterface(IID_ICalendarEntryListIterator, &p), S_OK);
  static_cast<IUnknown*>(p)->Release();
}

}  // namespace
}  // namespace caltest
