// The key search walks every item of the contacts folder on every call. Its cost per contact is
// set against the cost of reading one entry id through the object model, measured in the same run
// (counter "x_entryid": search CPU time per contact / one entry id read; it should stay a small number).
//
// Two folders: a stand-in folder that costs almost nothing (the component's own cost per item), and
// the PIM server over a store of that many contacts, when libpimserver.so is in the build.
#include <benchmark/benchmark.h>

#include <ComPtr.h>
#include <Outlook.h>
#include <objbase.h>
#include <oleauto.h>

#include <time.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "ServerLogon.h"
#include "CContactEntry.h"
#include "CContactsDatabase.h"

#ifdef PIM_SERVER_LIBRARY
#include <unistd.h>

#include "store.h"
#endif

namespace {

// CPU time of the calling thread: the machine is shared, so wall time says little.
double ThreadCpuNs() {
  timespec ts;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return (double)ts.tv_sec * 1e9 + (double)ts.tv_nsec;
}

// ---- a stand-in folder -------------------------------------------------------------------------

template <class I>
class Obj : public I {
 public:
  explicit Obj(const IID& iid) : m_iid(iid) {}
  virtual ~Obj() = default;
  STDMETHOD(QueryInterface)(REFIID riid, void** ppv) override {
    *ppv = nullptr;
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IDispatch) || IsEqualIID(riid, m_iid)) {
      *ppv = static_cast<I*>(this);
      AddRef();
      return S_OK;
    }
    return E_NOINTERFACE;
  }
  STDMETHOD_(ULONG, AddRef)() override { return ++m_refs; }
  STDMETHOD_(ULONG, Release)() override {
    ULONG n = --m_refs;
    if (n == 0) delete this;
    return n;
  }
  STDMETHOD(GetTypeInfoCount)(UINT*) override { return E_NOTIMPL; }
  STDMETHOD(GetTypeInfo)(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
  STDMETHOD(GetIDsOfNames)(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
  STDMETHOD(Invoke)(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) override { return E_NOTIMPL; }

 private:
  const IID& m_iid;
  std::atomic<ULONG> m_refs{1};
};

class Contact : public Obj<_ContactItem> {
 public:
  explicit Contact(const std::u16string& id) : Obj(IID__ContactItem), m_id(id) {}
  STDMETHOD(get_EntryID)(BSTR* p) override {
    *p = SysAllocStringLen(reinterpret_cast<const OLECHAR*>(m_id.data()), (UINT)m_id.size());
    return *p ? S_OK : E_OUTOFMEMORY;
  }
#define FIELD(name)                                                \
  STDMETHOD(get_##name)(BSTR*) override { return E_NOTIMPL; } \
  STDMETHOD(put_##name)(BSTR) override { return E_NOTIMPL; }
  FIELD(FirstName) FIELD(LastName) FIELD(FullName) FIELD(CompanyName) FIELD(JobTitle) FIELD(Email1Address)
  FIELD(Email2Address) FIELD(Email3Address) FIELD(BusinessTelephoneNumber) FIELD(HomeTelephoneNumber)
  FIELD(MobileTelephoneNumber) FIELD(Body)
#undef FIELD
  STDMETHOD(Save)() override { return E_NOTIMPL; }
  STDMETHOD(Delete)() override { return E_NOTIMPL; }

 private:
  std::u16string m_id;
};

class Items : public Obj<_Items> {
 public:
  Items() : Obj(IID__Items) {}
  ~Items() override {
    for (IDispatch* p : m_items) p->Release();
  }
  std::vector<IDispatch*> m_items;
  size_t m_next = 0;
  STDMETHOD(GetFirst)(IDispatch** pp) override {
    m_next = 0;
    return GetNext(pp);
  }
  STDMETHOD(GetNext)(IDispatch** pp) override {
    *pp = nullptr;
    if (m_next < m_items.size()) {
      *pp = m_items[m_next++];
      (*pp)->AddRef();
    }
    return S_OK;
  }
  STDMETHOD(get_Count)(LONG* p) override {
    *p = (LONG)m_items.size();
    return S_OK;
  }
  STDMETHOD(Find)(BSTR, IDispatch**) override { return E_NOTIMPL; }
  STDMETHOD(get_IncludeRecurrences)(VARIANT_BOOL*) override { return E_NOTIMPL; }
  STDMETHOD(put_IncludeRecurrences)(VARIANT_BOOL) override { return E_NOTIMPL; }
  STDMETHOD(Restrict)(BSTR, _Items**) override { return E_NOTIMPL; }
  STDMETHOD(Sort)(BSTR, VARIANT) override { return E_NOTIMPL; }
};

class Folder : public Obj<MAPIFolder> {
 public:
  explicit Folder(Items* items) : Obj(IID_MAPIFolder), m_items(items) { CoCreateFreeThreadedMarshaler(this, &m_ftm); }
  ~Folder() override {
    m_items->Release();
    if (m_ftm) m_ftm->Release();
  }
  STDMETHOD(QueryInterface)(REFIID riid, void** ppv) override {
    if (IsEqualIID(riid, IID_IMarshal) && m_ftm) return m_ftm->QueryInterface(riid, ppv);
    return Obj::QueryInterface(riid, ppv);
  }
  STDMETHOD(get_Items)(_Items** pp) override {
    m_items->AddRef();
    *pp = m_items;
    return S_OK;
  }
  STDMETHOD(get_Name)(BSTR*) override { return E_NOTIMPL; }

 private:
  Items* m_items;
  IUnknown* m_ftm = nullptr;
};

// An entry id in the store's form: flags, store id, record key least significant byte first.
std::u16string EntryIdOf(uint32_t key) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "00000000%s%02X%02X%02X%02X", "0123456789ABCDEF0123456789ABCDEF", key & 0xFF,
                (key >> 8) & 0xFF, (key >> 16) & 0xFF, (key >> 24) & 0xFF);
  return std::u16string(buf, buf + 48);
}

ComPtr<MAPIFolder> StandInFolder(int n) {
  auto* items = new Items();
  for (int i = 1; i <= n; ++i) items->m_items.push_back(new Contact(EntryIdOf((uint32_t)i)));
  return ComPtr<MAPIFolder>::attach(new Folder(items));
}

// ---- the PIM server ----------------------------------------------------------------------------

#ifdef PIM_SERVER_LIBRARY
struct Server {
  bool ready = false;
  std::string dir, store;
  ComPtr<_Application> app;
  ComPtr<_NameSpace> ns;
  std::unique_ptr<pim::store::Store> writer;
  int contacts = 0;

  Server() {
    dir = (std::filesystem::temp_directory_path() / ("pimbench-contacts-" + std::to_string(getpid()))).string();
    std::filesystem::create_directories(dir);
    store = dir + "/store.db";
    setenv("PIM_REGISTRY", (dir + "/registry.reg").c_str(), 1);
    setenv("PIM_STORE", store.c_str(), 1);
    try {
      writer = pim::store::Store::open(store, pim::store::Store::Options{true, 10000});
    } catch (const std::exception&) {
      return;
    }
    ready = LogOnToServer(PIM_SERVER_LIBRARY, &app, &ns);
  }
  ~Server() {
    if (ns) ns->Logoff();
    ns.reset();
    app.reset();
    writer.reset();
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
  }

  // Tops the contacts folder up to n contacts.
  bool Fill(int n) {
    if (contacts >= n) return contacts == n;
    writer->transaction([&] {
      char card[256];
      for (int i = contacts; i < n; ++i) {
        std::snprintf(card, sizeof card,
                      "BEGIN:VCARD\r\nVERSION:3.0\r\nN:Last%d;First%d;;;\r\nFN:First%d Last%d\r\n"
                      "EMAIL:c%d@example.org\r\nEND:VCARD\r\n",
                      i, i, i, i, i);
        writer->addContact(card);
      }
    });
    contacts = n;
    return true;
  }

  ComPtr<MAPIFolder> ContactsFolder() {
    ComPtr<MAPIFolder> f;
    if (ns) ns->GetDefaultFolder(olFolderContacts, f.put());
    return f;
  }
};

Server& TheServer() {
  static Server s;
  return s;
}
#endif

// ---- the measurements --------------------------------------------------------------------------

// A contacts database bound to `folder` as the adapter hands it over.
CComObject<CContactsDatabase>* DatabaseOn(MAPIFolder* folder) {
  CComObject<CContactsDatabase>* db = nullptr;
  if (FAILED(CComObject<CContactsDatabase>::CreateInstance(&db))) return nullptr;
  db->AddRef();
  IStream* stream = nullptr;
  if (FAILED(CoMarshalInterThreadInterfaceInStream(IID_MAPIFolder, folder, &stream))) {
    db->Release();
    return nullptr;
  }
  db->m_pContactsFolderStream = stream;
  stream->AddRef();  // the handover's second reference
  return db;
}

// The key that finds an entry id of the store's form: its window at 40, read back as bytes.
ULONG KeyOf(BSTR id) {
  auto hex = [](OLECHAR c) -> ULONG { return c <= '9' ? (ULONG)(c - '0') : (ULONG)(c - 'A' + 10); };
  ULONG key = 0;
  if (SysStringLen(id) < 48) return key;
  for (int i = 0; i < 4; ++i) key |= (hex(id[40 + 2 * i]) * 16 + hex(id[41 + 2 * i])) << (8 * i);
  return key;
}

// Nanoseconds of one get_EntryID (with freeing the text) on the folder's first contact, and the
// key of that contact.
double EntryIdReadNs(MAPIFolder* folder, ULONG* pKey) {
  ComPtr<_Items> items;
  ComPtr<IDispatch> first;
  ComPtr<_ContactItem> contact;
  if (FAILED(folder->get_Items(items.put())) || FAILED(items->GetFirst(first.put())) || !first ||
      FAILED(first.query(IID__ContactItem, &contact)))
    return 0;
  const int reps = 20000;
  const double t0 = ThreadCpuNs();
  for (int i = 0; i < reps; ++i) {
    BSTR id = nullptr;
    contact->get_EntryID(&id);
    benchmark::DoNotOptimize(id);
    if (i == 0) *pKey = KeyOf(id);
    SysFreeString(id);
  }
  return (ThreadCpuNs() - t0) / reps;
}

void RunKeySearch(benchmark::State& state, MAPIFolder* folder, int n) {
  CComObject<CContactsDatabase>* db = DatabaseOn(folder);
  if (db == nullptr) {
    state.SkipWithError("no contacts database");
    return;
  }
  // The first contact's key: one match, and every item is still looked at.
  ULONG key = 0;
  const double readNs = EntryIdReadNs(folder, &key);
  const double t0 = ThreadCpuNs();
  for (auto _ : state) {
    IContactEntry* entry = nullptr;
    EContactsDatabaseResult result = EContactsDatabaseResult_ERROR;
    db->GetContactByMagicBytes(key, &entry, &result);
    if (entry) entry->Release();
    if (result != EContactsDatabaseResult_SUCCESS) {
      state.SkipWithError("the key was not found once");
      break;
    }
  }
  const double t1 = ThreadCpuNs();
  db->Release();
  state.SetItemsProcessed(state.iterations() * n);
  const double perContactNs = (t1 - t0) / ((double)n * (double)state.iterations());
  state.counters["ns_per_contact"] = perContactNs;
  state.counters["entryid_read_ns"] = readNs;
  state.counters["x_entryid"] = readNs > 0 ? perContactNs / readNs : 0;
}

void BM_KeySearch_StandIn(benchmark::State& state) {
  CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  {
    ComPtr<MAPIFolder> folder = StandInFolder((int)state.range(0));
    RunKeySearch(state, folder.get(), (int)state.range(0));
  }
  CoUninitialize();
}
BENCHMARK(BM_KeySearch_StandIn)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond);

#ifdef PIM_SERVER_LIBRARY
void BM_KeySearch_PimServer(benchmark::State& state) {
  CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  {
    Server& server = TheServer();
    ComPtr<MAPIFolder> folder = server.ready && server.Fill((int)state.range(0)) ? server.ContactsFolder() : nullptr;
    if (!folder)
      state.SkipWithError("PIM server not available");
    else
      RunKeySearch(state, folder.get(), (int)state.range(0));
  }
  CoUninitialize();
}
BENCHMARK(BM_KeySearch_PimServer)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond)->Iterations(5);
#endif

}  // namespace
