// Marshalling between threads of one process, and the free-threaded marshaler.
//
// Marshal data is a small record naming an entry of a process-wide table; the entry owns one
// reference on the marshalled interface. Unmarshalling hands out the same object (there are no
// proxies in one process). Data written into one of our memory streams belongs to the bytes that
// stream and its clones share, so it can be unmarshalled again from every clone and its reference
// goes with the last of them; in a foreign stream, MSHLFLAGS_NORMAL data is consumed by the first
// unmarshal, table data lives until CoReleaseMarshalData.
#include <pim/fault.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <map>
#include <mutex>

#include "internal.h"
#include "stream_internal.h"

namespace pim::detail {

namespace {

constexpr uint32_t kMagic = 0x524D4950;  // "PIMR"
constexpr uint32_t kVersion = 1;

struct Record {
  uint32_t magic;
  uint32_t version;
  uint64_t id;
  IID iid;
  uint32_t pid;
  uint32_t flags;
};
static_assert(sizeof(Record) == 40, "marshal record layout");

struct Entry {
  IUnknown* object;  // one reference
  DWORD flags;
  bool tied;  // owned by a memory stream's data
};

struct MarshalTable {
  std::mutex mutex;
  std::map<uint64_t, Entry> entries;
  uint64_t next_id = 1;
};

MarshalTable& marshal_table() {
  static MarshalTable* t = new MarshalTable;
  return *t;
}

HRESULT read_record(IStream* stm, Record& r) {
  ULONG got = 0;
  HRESULT hr = stm->Read(&r, sizeof r, &got);
  if (FAILED(hr)) return hr;
  if (got != sizeof r) return STG_E_READFAULT;
  if (r.magic != kMagic || r.version != kVersion || r.pid != static_cast<uint32_t>(getpid()))
    return RPC_E_INVALID_OBJREF;
  return S_OK;
}

}  // namespace

void release_marshal_entry(uint64_t id) {
  IUnknown* obj = nullptr;
  {
    MarshalTable& t = marshal_table();
    std::lock_guard lock(t.mutex);
    auto it = t.entries.find(id);
    if (it == t.entries.end()) return;
    obj = it->second.object;
    t.entries.erase(it);
  }
  obj->Release();
}

HRESULT marshal_interface(IStream* stm, REFIID riid, IUnknown* punk, DWORD flags) {
  if (!stm || !punk) return E_INVALIDARG;
  IUnknown* itf = nullptr;
  HRESULT hr = punk->QueryInterface(riid, reinterpret_cast<void**>(&itf));
  if (FAILED(hr)) return hr;
  if (!itf) return E_NOINTERFACE;
  MarshalTable& t = marshal_table();
  uint64_t id;
  try {
    std::lock_guard lock(t.mutex);
    id = t.next_id++;
    t.entries.emplace(id, Entry{itf, flags, false});
  } catch (const std::bad_alloc&) {
    itf->Release();
    return E_OUTOFMEMORY;
  }
  Record r{kMagic, kVersion, id, riid, static_cast<uint32_t>(getpid()), flags};
  ULONG put = 0;
  hr = stm->Write(&r, sizeof r, &put);
  if (SUCCEEDED(hr) && put != sizeof r) hr = STG_E_MEDIUMFULL;
  if (FAILED(hr)) {
    release_marshal_entry(id);
    return hr;
  }
  MemoryStream* mem = nullptr;
  if (SUCCEEDED(stm->QueryInterface(IID_IPimMemoryStream, reinterpret_cast<void**>(&mem))) && mem) {
    try {
      {
        std::lock_guard data_lock(mem->data().mutex);
        mem->data().marshal_ids.push_back(id);
      }
      std::lock_guard lock(t.mutex);
      auto it = t.entries.find(id);
      if (it != t.entries.end()) it->second.tied = true;
    } catch (const std::bad_alloc&) {
      // Not tied: it stays a one-shot entry, released by its first unmarshal.
    }
    mem->Release();
  }
  return S_OK;
}

HRESULT unmarshal_interface(IStream* stm, REFIID riid, void** ppv) {
  if (!ppv) return E_INVALIDARG;
  *ppv = nullptr;
  if (!stm) return E_INVALIDARG;
  Record r;
  HRESULT hr = read_record(stm, r);
  if (FAILED(hr)) return hr;
  IUnknown* obj = nullptr;
  bool consumed = false;
  {
    MarshalTable& t = marshal_table();
    std::lock_guard lock(t.mutex);
    auto it = t.entries.find(r.id);
    if (it == t.entries.end()) return CO_E_OBJNOTCONNECTED;
    obj = it->second.object;
    if (!it->second.tied && it->second.flags == MSHLFLAGS_NORMAL) {
      t.entries.erase(it);  // the entry's reference is now ours
      consumed = true;
    } else {
      obj->AddRef();
    }
  }
  hr = obj->QueryInterface(riid, ppv);
  if (FAILED(hr)) *ppv = nullptr;
  obj->Release();
  (void)consumed;
  return hr;
}

HRESULT release_marshal_data(IStream* stm) {
  if (!stm) return E_INVALIDARG;
  Record r;
  HRESULT hr = read_record(stm, r);
  if (FAILED(hr)) return hr;
  release_marshal_entry(r.id);
  return S_OK;
}

// ---- the free-threaded marshaler ----

namespace {

// The inner object of an aggregate: its own IUnknown owns the count, its IMarshal forwards
// QueryInterface/AddRef/Release to the controlling object, which it never references.
class FreeThreadedMarshaler final {
 public:
  explicit FreeThreadedMarshaler(IUnknown* outer) : m_outer(outer ? outer : &m_inner) {
    m_inner.owner = this;
    m_marshal.owner = this;
  }
  IUnknown* inner() { return &m_inner; }

 private:
  struct Inner final : IUnknown {
    FreeThreadedMarshaler* owner;
    FreeThreadedMarshaler* self() { return owner; }
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
      if (!ppv) return E_POINTER;
      *ppv = nullptr;
      if (riid == IID_IUnknown) {
        *ppv = static_cast<IUnknown*>(this);
      } else if (riid == IID_IMarshal) {
        *ppv = static_cast<IMarshal*>(&self()->m_marshal);
      } else {
        return E_NOINTERFACE;
      }
      static_cast<IUnknown*>(*ppv)->AddRef();
      return S_OK;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return self()->m_refs.fetch_add(1, std::memory_order_relaxed) + 1; }
    STDMETHODIMP_(ULONG) Release() override {
      FreeThreadedMarshaler* s = self();
      ULONG n = s->m_refs.fetch_sub(1, std::memory_order_acq_rel) - 1;
      if (n == 0) {
        delete s;  // never touches the outer object: it may be gone already
      }
      return n;
    }
  };

  struct Marshal final : IMarshal {
    FreeThreadedMarshaler* owner;
    FreeThreadedMarshaler* self() { return owner; }
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override { return self()->m_outer->QueryInterface(riid, ppv); }
    STDMETHODIMP_(ULONG) AddRef() override { return self()->m_outer->AddRef(); }
    STDMETHODIMP_(ULONG) Release() override { return self()->m_outer->Release(); }
    STDMETHODIMP GetUnmarshalClass(REFIID, void*, DWORD dwDestContext, void*, DWORD, CLSID* pCid) override {
      if (!pCid) return E_INVALIDARG;
      *pCid = (dwDestContext == MSHCTX_INPROC || dwDestContext == MSHCTX_LOCAL) ? CLSID_InProcFreeMarshaler
                                                                               : CLSID_StdMarshal;
      return S_OK;
    }
    STDMETHODIMP GetMarshalSizeMax(REFIID, void*, DWORD, void*, DWORD, DWORD* pSize) override {
      if (!pSize) return E_INVALIDARG;
      *pSize = sizeof(Record);
      return S_OK;
    }
    STDMETHODIMP MarshalInterface(IStream* pStm, REFIID riid, void* pv, DWORD, void*, DWORD mshlflags) override {
      return marshal_interface(pStm, riid, static_cast<IUnknown*>(pv), mshlflags);
    }
    STDMETHODIMP UnmarshalInterface(IStream* pStm, REFIID riid, void** ppv) override {
      return unmarshal_interface(pStm, riid, ppv);
    }
    STDMETHODIMP ReleaseMarshalData(IStream* pStm) override { return release_marshal_data(pStm); }
    STDMETHODIMP DisconnectObject(DWORD) override { return S_OK; }
  };

  Inner m_inner;
  Marshal m_marshal;
  std::atomic<ULONG> m_refs{1};
  IUnknown* m_outer;
};

}  // namespace

}  // namespace pim::detail

using namespace pim::detail;

HRESULT CoMarshalInterface(LPSTREAM pStm, REFIID riid, LPUNKNOWN pUnk, DWORD dwDestContext, LPVOID pvDestContext,
                           DWORD mshlflags) {
  (void)dwDestContext;
  (void)pvDestContext;
  if (!pStm || !pUnk) return E_INVALIDARG;
  return marshal_interface(pStm, riid, pUnk, mshlflags);
}

HRESULT CoUnmarshalInterface(LPSTREAM pStm, REFIID riid, LPVOID* ppv) { return unmarshal_interface(pStm, riid, ppv); }

HRESULT CoReleaseMarshalData(LPSTREAM pStm) { return release_marshal_data(pStm); }

HRESULT CoMarshalInterThreadInterfaceInStream(REFIID riid, LPUNKNOWN pUnk, LPSTREAM* ppStm) {
  if (!ppStm) return E_INVALIDARG;
  *ppStm = nullptr;
  if (!pUnk) return E_INVALIDARG;
  HRESULT hr;
  if (PIM_FAULT("CoMarshalInterThreadInterfaceInStream", &hr)) return hr;
  IStream* stm = nullptr;
  hr = CreateStreamOnHGlobal(nullptr, TRUE, &stm);
  if (FAILED(hr)) return hr;
  hr = marshal_interface(stm, riid, pUnk, MSHLFLAGS_NORMAL);
  if (SUCCEEDED(hr)) {
    LARGE_INTEGER zero{};
    hr = stm->Seek(zero, STREAM_SEEK_SET, nullptr);
  }
  if (FAILED(hr)) {
    stm->Release();
    return hr;
  }
  *ppStm = stm;
  return S_OK;
}

HRESULT CoGetInterfaceAndReleaseStream(LPSTREAM pStm, REFIID iid, LPVOID* ppv) {
  if (ppv) *ppv = nullptr;
  if (!pStm) return E_INVALIDARG;
  HRESULT hr;
  if (!ppv) {
    hr = E_INVALIDARG;
  } else if (!PIM_FAULT("CoGetInterfaceAndReleaseStream", &hr)) {
    hr = unmarshal_interface(pStm, iid, ppv);
  }
  pStm->Release();
  return hr;
}

HRESULT CoCreateFreeThreadedMarshaler(LPUNKNOWN punkOuter, LPUNKNOWN* ppunkMarshal) {
  if (!ppunkMarshal) return E_INVALIDARG;
  *ppunkMarshal = nullptr;
  HRESULT hr;
  if (PIM_FAULT("CoCreateFreeThreadedMarshaler", &hr)) return hr;
  return guard([&] {
    auto* ftm = new FreeThreadedMarshaler(punkOuter);
    *ppunkMarshal = ftm->inner();
    return S_OK;
  });
}
