// Out of memory at every step: the logon, the period query and the contact search run once with the
// platform's "allocation" fault point failing at the 1st allocation, once at the 2nd, and so on until
// a run no longer reaches the failure. Each failing run must report a failure, leave no object of the
// component alive (and, under LeakSanitizer, nothing leaked), and the next run must work again.
#ifdef PIM_HAVE_STORE
#include <ComPtr.h>
#include <store.h>

#include <cstdio>
#include <functional>

#include "support/PimTestEnvironment.h"

namespace {

using pim::store::Folder;

// The nth allocation from here on fails, until the scope ends.
class FailingAllocation {
 public:
  explicit FailingAllocation(unsigned n) : m_n(n), m_before(pim::fault::count("allocation")) {
    pim::fault::arm("allocation", E_OUTOFMEMORY, n);
  }
  ~FailingAllocation() { pim::fault::disarm("allocation"); }
  FailingAllocation(const FailingAllocation&) = delete;
  FailingAllocation& operator=(const FailingAllocation&) = delete;
  bool Reached() const { return pim::fault::count("allocation") - m_before >= m_n; }

 private:
  unsigned m_n;
  unsigned long m_before;
};

struct Outcome {
  bool succeeded = false;
  bool reached = false;
};

class AllocationFailure : public pimtest::AdapterTest {
 protected:
  void SetUp() override {
    if (!pimtest::Env().serverRegistered) GTEST_SKIP() << "PIM server not registered";
    AdapterTest::SetUp();
    ReleaseAdapter();  // each run makes its own
    m_store = pim::store::Store::open(pimtest::Env().storeFile, pim::store::Store::Options{true, 10000});
  }
  void TearDown() override {
    for (pim::store::RecordKey k : m_keys) m_store->remove(k);
    m_store.reset();
    AdapterTest::TearDown();
  }

  // Runs the scenario with allocation 1, 2, ... failing; returns how many failure points it reached.
  unsigned Sweep(const char* scenario, const std::function<Outcome(unsigned)>& run) {
    for (unsigned n = 1; n < 20000; ++n) {
      SCOPED_TRACE(std::string(scenario) + ", allocation " + std::to_string(n) + " failing");
      const Outcome o = run(n);
      EXPECT_TRUE(pimtest::Env().ComponentCanUnload()) << "an object of the component is still alive";
      if (!o.reached) {
        EXPECT_TRUE(o.succeeded) << "the run that reached no failure did not succeed";
        std::printf("[ sweep    ] %s: %u failure points\n", scenario, n - 1);
        return n - 1;
      }
      EXPECT_FALSE(o.succeeded) << "an allocation failed, yet the call reported success";
      if (::testing::Test::HasFatalFailure()) return n;
    }
    ADD_FAILURE() << scenario << " never completed";
    return 0;
  }

  ComPtr<IPimAdapter> NewAdapter() {
    ComPtr<IPimAdapter> a;
    EXPECT_EQ(CoCreateInstance(CLSID_COutlookPimAdapter, nullptr, CLSCTX_INPROC_SERVER, IID_IPimAdapter, a.put_void()),
              S_OK);
    return a;
  }
  // A new adapter logged on with nothing failing.
  ComPtr<IPimAdapter> LoggedOn() {
    ComPtr<IPimAdapter> a = NewAdapter();
    if (a && pimtest::Logon(a.get()) == EPimAdapterResult_SUCCESS) return a;
    ADD_FAILURE() << "logon without a failure";
    return ComPtr<IPimAdapter>();
  }

  pimtest::FaultScope m_faults;
  std::unique_ptr<pim::store::Store> m_store;
  std::vector<pim::store::RecordKey> m_keys;
};

TEST_F(AllocationFailure, LogonFailsCleanlyAtEveryAllocation) {
  const unsigned points = Sweep("logon", [&](unsigned n) {
    ComPtr<IPimAdapter> a = NewAdapter();
    Outcome o;
    if (!a) return o;
    pimtest::Bstr id;
    EPimAdapterResult r = EPimAdapterResult_ERROR;
    HRESULT hr;
    {
      FailingAllocation fail(n);
      hr = a->Logon(id.put(), &r);
      o.reached = fail.Reached();
    }
    o.succeeded = hr == S_OK && r == EPimAdapterResult_SUCCESS;
    if (o.succeeded) {
      EXPECT_NE(id.get(), nullptr);
    } else {
      EXPECT_EQ(id.get(), nullptr) << "a failed logon hands out no id";
    }
    pimtest::Logoff(a.get());
    return o;
  });
  EXPECT_GT(points, 0u);
}

TEST_F(AllocationFailure, PeriodQueryFailsCleanlyAtEveryAllocation) {
  // 2051-03-06, with a recurring series, attendees and notes.
  const pim::store::UtcSeconds day = 2561673600;
  pim::store::Appointment a;
  a.subject = "Sweep one";
  a.location = "Room 5";
  a.body = "notes";
  a.start = day + 9 * 3600;
  a.end = day + 10 * 3600;
  a.zone = "UTC";
  m_keys.push_back(m_store->addAppointment(a));
  a.subject = "Sweep daily";
  a.start = day + 12 * 3600;
  a.end = day + 13 * 3600;
  a.rrule = "FREQ=DAILY;COUNT=3";
  m_keys.push_back(m_store->addAppointment(a));
  const DATE from = 25569.0 + day / 86400.0, to = from + 1;

  const unsigned points = Sweep("period query", [&](unsigned n) {
    Outcome o;
    ComPtr<IPimAdapter> adapter = LoggedOn();
    if (!adapter) return o;
    ICalendarDatabase* cal = nullptr;  // borrowed: it goes with the logon
    pimtest::GetCalendar(adapter.get(), &cal);
    if (cal) {
      ComPtr<ICalendarEntryList> list;
      ECalendarDatabaseResult r = ECalendarDatabaseResult_SUCCESS;
      HRESULT hr;
      {
        FailingAllocation fail(n);
        hr = cal->GetCalendarEntriesForPeriod(from, to, list.put(), &r);
        o.reached = fail.Reached();
      }
      o.succeeded = hr == S_OK && r == ECalendarDatabaseResult_SUCCESS;
      if (o.succeeded) {
        UINT count = 0;
        EXPECT_TRUE(list && list->get_numElements(&count) == S_OK && count == 2u) << "entries: " << count;
      } else {
        EXPECT_EQ(list.get(), nullptr) << "a failed query hands out no list";
      }
    }
    pimtest::Logoff(adapter.get());
    return o;
  });
  EXPECT_GT(points, 0u);
}

TEST_F(AllocationFailure, ContactSearchFailsCleanlyAtEveryAllocation) {
  for (pim::store::RecordKey k : m_store->keys(Folder::Contacts)) m_store->remove(k);
  m_keys.push_back(m_store->addContact("BEGIN:VCARD\r\nVERSION:3.0\r\nN:Sweeper;Ada;;;\r\nFN:Ada Sweeper\r\n"
                                       "EMAIL:ada@sweep.example\r\nEND:VCARD\r\n"));
  m_keys.push_back(m_store->addContact("BEGIN:VCARD\r\nVERSION:3.0\r\nN:Other;Bo;;;\r\nFN:Bo Other\r\nEND:VCARD\r\n"));

  const unsigned points = Sweep("contact search", [&](unsigned n) {
    Outcome o;
    ComPtr<IPimAdapter> adapter = LoggedOn();
    if (!adapter) return o;
    IContactsDatabase* contacts = nullptr;  // borrowed: it goes with the logon
    pimtest::GetContacts(adapter.get(), &contacts);
    if (contacts) {
      ComPtr<IContactEntry> entry;
      EContactsDatabaseResult r = EContactsDatabaseResult_SUCCESS;
      pimtest::Bstr first(u"Ada"), last(u"Sweeper");
      HRESULT hr;
      {
        FailingAllocation fail(n);
        hr = contacts->GetContactByName(first.get(), last.get(), entry.put(), &r);
        o.reached = fail.Reached();
      }
      o.succeeded = hr == S_OK && r == EContactsDatabaseResult_SUCCESS && entry;
      if (!o.succeeded) {
        EXPECT_EQ(entry.get(), nullptr) << "a failed search hands out no contact";
      }
    }
    pimtest::Logoff(adapter.get());
    return o;
  });
  EXPECT_GT(points, 0u);
}

}  // namespace
#endif
