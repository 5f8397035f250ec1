// Small COM plumbing for the object model: a reference-counted base that answers
// QueryInterface from a list of interface ids, empty IDispatch members (callers
// use the early-bound slots), text and time conversions.
#pragma once

#include <objbase.h>
#include <oleauto.h>
#include <pim/fault.h>
#include <windows.h>

#include <atomic>
#include <cstdint>
#include <new>
#include <string>
#include <string_view>

#include "store.h"

namespace pim::outlook {

namespace ical = store::ical;
using store::WallTime;

/// Live objects of the object model (for DllCanUnloadNow).
extern std::atomic<LONG> g_liveObjects;

/// Base of every object: one interface I (derived from IDispatch) plus, for
/// items, the private item-access interface.
template <class I>
class Dispatch : public I {
public:
    Dispatch() { g_liveObjects.fetch_add(1, std::memory_order_relaxed); }
    virtual ~Dispatch() {
        if (IUnknown* ftm = marshaler_.load(std::memory_order_acquire)) ftm->Release();
        g_liveObjects.fetch_sub(1, std::memory_order_relaxed);
    }

    STDMETHODIMP_(ULONG) AddRef() override {
        return static_cast<ULONG>(refs_.fetch_add(1, std::memory_order_relaxed) + 1);
    }
    STDMETHODIMP_(ULONG) Release() override {
        LONG n = refs_.fetch_sub(1, std::memory_order_acq_rel) - 1;
        if (n == 0) {
            refs_.store(1, std::memory_order_relaxed);  // a destructor's own AddRef/Release must not re-enter
            delete this;
        }
        return static_cast<ULONG>(n);
    }
    STDMETHODIMP GetTypeInfoCount(UINT* pctinfo) override {
        if (!pctinfo) return E_POINTER;
        *pctinfo = 0;
        return S_OK;
    }
    STDMETHODIMP GetTypeInfo(UINT, LCID, ITypeInfo** pp) override {
        if (pp) *pp = nullptr;
        return E_NOTIMPL;
    }
    STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return DISP_E_UNKNOWNNAME; }
    STDMETHODIMP Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) override {
        return DISP_E_MEMBERNOTFOUND;
    }

protected:
    // Answers IUnknown, IDispatch and `iid` with the object itself.
    HRESULT queryBase(REFIID riid, void** ppv, REFIID iid) {
        if (!ppv) return E_POINTER;
        *ppv = nullptr;
        if (IsEqualGUID(riid, IID_IUnknown) || IsEqualGUID(riid, IID_IDispatch) || IsEqualGUID(riid, iid)) {
            *ppv = static_cast<I*>(this);
            AddRef();
            return S_OK;
        }
        // The objects are free-threaded and this server registers no proxies, so another
        // apartment of the process gets the object itself (only a Windows COM runtime asks).
        if (IsEqualGUID(riid, IID_IMarshal)) return queryMarshaler(ppv);
        return E_NOINTERFACE;
    }

private:
    HRESULT queryMarshaler(void** ppv) {
        IUnknown* ftm = marshaler_.load(std::memory_order_acquire);
        if (!ftm) {
            HRESULT hr = CoCreateFreeThreadedMarshaler(static_cast<I*>(this), &ftm);
            if (FAILED(hr)) return hr;
            IUnknown* raced = nullptr;
            if (!marshaler_.compare_exchange_strong(raced, ftm, std::memory_order_acq_rel)) {
                ftm->Release();
                ftm = raced;
            }
        }
        return ftm->QueryInterface(IID_IMarshal, ppv);
    }

    std::atomic<LONG> refs_{0};
    std::atomic<IUnknown*> marshaler_{nullptr};
};

/// Creates T with one reference for the caller.
template <class T, class... Args>
T* make(Args&&... args) {
    T* p = new (std::nothrow) T(std::forward<Args>(args)...);
    if (p) p->AddRef();
    return p;
}

#define PIM_OM_FAULT(name)                     \
    do {                                       \
        HRESULT faultHr_;                      \
        if (PIM_FAULT(name, &faultHr_)) return faultHr_; \
    } while (0)

// ---- texts ----
std::string toUtf8(const OLECHAR* s, size_t n);
std::string toUtf8(BSTR s);
inline std::string toUtf8(std::u16string_view s) { return toUtf8(reinterpret_cast<const OLECHAR*>(s.data()), s.size()); }
std::u16string toUtf16(std::string_view s);
/// A new BSTR (never null on success); E_OUTOFMEMORY otherwise.
HRESULT newBstr(std::string_view utf8, BSTR* out);
HRESULT newBstr(const std::u16string& s, BSTR* out);

// ---- times: DATE in local time <-> UTC instants ----
store::UtcSeconds localDateToUtc(DATE d);
DATE utcToLocalDate(store::UtcSeconds t);

/// HRESULT for a store failure.
HRESULT hresultOf(const store::StoreError& e);

/// Runs fn, turning exceptions into HRESULTs at the interface boundary.
template <class F>
HRESULT guarded(F&& fn) noexcept {
    try {
        return fn();
    } catch (const store::StoreError& e) {
        return hresultOf(e);
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    } catch (...) {
        return E_FAIL;
    }
}

}  // namespace pim::outlook
