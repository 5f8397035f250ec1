#include "safe_items.h"

#include "account.h"
#include "item_lock.h"
#include "recycled.h"
#include "atomic_file.h"
#include "message_file.h"
#include "vcard.h"

#include <ComPtr.h>
#include <oleauto.h>
#include <pim/fault.h>
#include <windows.h>

#include <atomic>
#include <cerrno>
#include <memory>
#include <mutex>
#include <new>

namespace pim::redemption {

namespace {

std::atomic<LONG> g_live{0};

#define SAFE_FAULT(name)                          \
    do {                                          \
        HRESULT fault_hr_;                        \
        if (PIM_FAULT(name, &fault_hr_)) return fault_hr_; \
    } while (0)

// Standard-library failures stop at the interface.
template <class F>
HRESULT guarded(F&& f) noexcept
{
    try {
        return f();
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    } catch (...) {
        return E_FAIL;
    }
}

std::u16string fromBstr(BSTR b) { return b ? std::u16string(reinterpret_cast<const char16_t*>(b), SysStringLen(b)) : std::u16string(); }

HRESULT toBstr(const std::u16string& s, BSTR* out)
{
    *out = SysAllocStringLen(s.data(), static_cast<UINT>(s.size()));
    return *out ? S_OK : E_OUTOFMEMORY;
}

HRESULT hresultFromErrno(int err)
{
    switch (err) {
    case ENOENT:
    case ENOTDIR: return HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND);
    case EACCES:
    case EPERM:
    case EROFS:
    case EISDIR: return HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED);
    case ENOSPC:
    case EDQUOT: return HRESULT_FROM_WIN32(ERROR_DISK_FULL);
    case ENAMETOOLONG: return HRESULT_FROM_WIN32(ERROR_FILENAME_EXCED_RANGE);
    case ENOMEM: return E_OUTOFMEMORY;
    default: return HRESULT_FROM_WIN32(ERROR_WRITE_FAULT);
    }
}

// IUnknown and IDispatch for an object with one interface. The objects carry
// no type information: callers use the early-bound members.
template <class I>
class DispatchObject : public I {
public:
    explicit DispatchObject(const IID& iid) : iid_(iid) { g_live.fetch_add(1, std::memory_order_relaxed); }
    virtual ~DispatchObject() { g_live.fetch_sub(1, std::memory_order_relaxed); }
    DispatchObject(const DispatchObject&) = delete;
    DispatchObject& operator=(const DispatchObject&) = delete;

    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override
    {
        if (!ppv) return E_POINTER;
        *ppv = nullptr;
        if (!IsEqualIID(riid, IID_IUnknown) && !IsEqualIID(riid, IID_IDispatch) && !IsEqualIID(riid, iid_))
            return E_NOINTERFACE;
        *ppv = static_cast<I*>(this);
        AddRef();
        return S_OK;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return ref_.fetch_add(1, std::memory_order_relaxed) + 1; }
    STDMETHODIMP_(ULONG) Release() override
    {
        const ULONG n = ref_.fetch_sub(1, std::memory_order_acq_rel) - 1;
        if (n == 0) {
            ref_.store(1, std::memory_order_relaxed);  // a destructor's own QI/Release must not re-enter
            destroy();
        }
        return n;
    }
    STDMETHODIMP GetTypeInfoCount(UINT* pctinfo) override
    {
        if (!pctinfo) return E_POINTER;
        *pctinfo = 0;
        return S_OK;
    }
    STDMETHODIMP GetTypeInfo(UINT, LCID, ITypeInfo** ppTInfo) override
    {
        if (ppTInfo) *ppTInfo = nullptr;
        return DISP_E_BADINDEX;
    }
    STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR*, UINT cNames, LCID, DISPID* rgDispId) override
    {
        for (UINT i = 0; rgDispId && i < cNames; ++i) rgDispId[i] = -1;  // DISPID_UNKNOWN
        return DISP_E_UNKNOWNNAME;
    }
    STDMETHODIMP Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) override
    {
        return DISP_E_MEMBERNOTFOUND;
    }

protected:
    // At the last Release; nothing of the object is used after it.
    virtual void destroy() { delete this; }

private:
    const IID& iid_;
    std::atomic<ULONG> ref_{1};
};

// ---- recipients --------------------------------------------------------------------

// One appointment's recipients as read when Recipients was asked for; shared by
// the collection and the recipient objects it hands out. Every change is written
// to the appointment at once (it reaches the store when the appointment is saved);
// a change the appointment refuses is undone.
//
// The records live as long as the list, removed ones too: a recipient object keeps the
// list and points at its record, so reading a collection costs no allocation a record.
struct RecipientList {
    std::shared_ptr<AppointmentLink> link;
    std::vector<RecipientRecord*> items;                  // the collection, in order
    std::vector<RecipientRecord> read;                    // as read; never resized
    std::vector<std::unique_ptr<RecipientRecord>> added;  // by Add
    ItemLock mu;

    RecipientRecord* newRecord()
    {
        std::lock_guard<ItemLock> lock(mu);
        added.push_back(std::make_unique<RecipientRecord>());
        return added.back().get();
    }

    template <class Change>
    HRESULT change(Change&& apply)
    {
        std::lock_guard<ItemLock> lock(mu);
        std::vector<RecipientRecord*> before = items;
        std::vector<RecipientRecord> beforeValues;
        beforeValues.reserve(items.size());
        for (RecipientRecord* r : items) beforeValues.push_back(*r);
        apply();
        std::vector<RecipientRecord> now;
        now.reserve(items.size());
        for (RecipientRecord* r : items) now.push_back(*r);
        const HRESULT hr = link->setRecipients(now);
        if (FAILED(hr)) {
            items = std::move(before);
            for (std::size_t i = 0; i < items.size(); ++i) *items[i] = std::move(beforeValues[i]);
        }
        return hr;
    }
};

class SafeRecipient final : public DispatchObject<ISafeRecipient> {
public:
    SafeRecipient(std::shared_ptr<RecipientList> list, RecipientRecord* record)
        : DispatchObject(IID_ISafeRecipient), list_(std::move(list)), record_(record)
    {
    }
    static void* operator new(std::size_t size) { return Recycled<SafeRecipient>::take(size); }
    static void operator delete(void* p, std::size_t size) noexcept { Recycled<SafeRecipient>::give(p, size); }

    STDMETHODIMP get_Name(BSTR* pName) override
    {
        SAFE_FAULT("ISafeRecipient::get_Name");
        if (!pName) return E_POINTER;
        return guarded([&] {
            std::lock_guard<ItemLock> lock(list_->mu);
            return toBstr(record_->name, pName);
        });
    }
    STDMETHODIMP put_Name(BSTR name) override
    {
        SAFE_FAULT("ISafeRecipient::put_Name");
        return guarded([&] { return list_->change([&] { record_->name = fromBstr(name); }); });
    }
    STDMETHODIMP get_Address(BSTR* pAddress) override
    {
        SAFE_FAULT("ISafeRecipient::get_Address");
        if (!pAddress) return E_POINTER;
        return guarded([&] {
            std::lock_guard<ItemLock> lock(list_->mu);
            return toBstr(record_->address, pAddress);
        });
    }
    STDMETHODIMP put_Address(BSTR address) override
    {
        SAFE_FAULT("ISafeRecipient::put_Address");
        return guarded([&] { return list_->change([&] { record_->address = fromBstr(address); }); });
    }
    STDMETHODIMP get_Type(LONG* pType) override
    {
        SAFE_FAULT("ISafeRecipient::get_Type");
        if (!pType) return E_POINTER;
        std::lock_guard<ItemLock> lock(list_->mu);
        *pType = record_->type;
        return S_OK;
    }
    STDMETHODIMP put_Type(LONG type) override
    {
        SAFE_FAULT("ISafeRecipient::put_Type");
        return guarded([&] { return list_->change([&] { record_->type = type; }); });
    }
    // No dialog is ever shown; an unresolved name is not an error.
    STDMETHODIMP Resolve(VARIANT_BOOL, VARIANT_BOOL* pResolved) override
    {
        SAFE_FAULT("ISafeRecipient::Resolve");
        if (pResolved) *pResolved = VARIANT_FALSE;
        return guarded([&] {
            std::u16string name;
            {
                std::lock_guard<ItemLock> lock(list_->mu);
                name = record_->name;
            }
            if (name.empty()) return S_OK;
            const std::optional<std::u16string> address = list_->link->resolve(name);
            if (!address) return S_OK;
            const HRESULT hr = list_->change([&] { record_->address = *address; });
            if (SUCCEEDED(hr) && pResolved) *pResolved = VARIANT_TRUE;
            return hr;
        });
    }

private:
    std::shared_ptr<RecipientList> list_;
    RecipientRecord* record_;  // owned by list_
};

// The collection lives in one block with its list (see RecipientsBlock).
class SafeRecipients final : public DispatchObject<ISafeRecipients> {
public:
    SafeRecipients() : DispatchObject(IID_ISafeRecipients) {}
    // The list, which shares this object's block: kept until the last Release.
    void keep(std::shared_ptr<RecipientList> list) { list_ = std::move(list); }

    STDMETHODIMP get_Count(LONG* pCount) override
    {
        SAFE_FAULT("ISafeRecipients::get_Count");
        if (!pCount) return E_POINTER;
        std::lock_guard<ItemLock> lock(list_->mu);
        *pCount = static_cast<LONG>(list_->items.size());
        return S_OK;
    }
    STDMETHODIMP Item(LONG index, ISafeRecipient** pp) override
    {
        SAFE_FAULT("ISafeRecipients::Item");
        if (!pp) return E_POINTER;
        *pp = nullptr;
        return guarded([&] {
            RecipientRecord* record;
            {
                std::lock_guard<ItemLock> lock(list_->mu);
                if (index < 1 || static_cast<std::size_t>(index) > list_->items.size()) return DISP_E_BADINDEX;
                record = list_->items[static_cast<std::size_t>(index) - 1];
            }
            *pp = new SafeRecipient(list_, record);
            return S_OK;
        });
    }
    STDMETHODIMP Add(BSTR name, ISafeRecipient** pp) override
    {
        SAFE_FAULT("ISafeRecipients::Add");
        if (!pp) return E_POINTER;
        *pp = nullptr;
        if (!name || SysStringLen(name) == 0) return S_OK;  // callers expect a null recipient here
        return guarded([&] {
            RecipientRecord* record = list_->newRecord();
            record->name = fromBstr(name);
            record->type = 1;  // olRequired
            auto object = ComPtr<ISafeRecipient>::attach(new SafeRecipient(list_, record));
            const HRESULT hr = list_->change([&] { list_->items.push_back(record); });
            if (SUCCEEDED(hr)) *pp = object.detach();
            return hr;
        });
    }
    STDMETHODIMP Remove(LONG index) override
    {
        SAFE_FAULT("ISafeRecipients::Remove");
        return guarded([&] {
            {
                std::lock_guard<ItemLock> lock(list_->mu);
                if (index < 1 || static_cast<std::size_t>(index) > list_->items.size()) return DISP_E_BADINDEX;
            }
            return list_->change([&] { list_->items.erase(list_->items.begin() + (index - 1)); });
        });
    }

protected:
    // The block goes with the last of the collection and the recipient objects it handed out.
    void destroy() override
    {
        std::shared_ptr<RecipientList> last = std::move(list_);
    }

private:
    std::shared_ptr<RecipientList> list_;
};

// A collection and its list, allocated together.
struct RecipientsBlock {
    RecipientList list;
    SafeRecipients collection;
};

// ---- items -------------------------------------------------------------------------

class SafeAppointmentItem final : public DispatchObject<ISafeAppointmentItem> {
public:
    explicit SafeAppointmentItem(ItemLinker& linker) : DispatchObject(IID_ISafeAppointmentItem), linker_(linker) {}
    static void* operator new(std::size_t size) { return Recycled<SafeAppointmentItem>::take(size); }
    static void operator delete(void* p, std::size_t size) noexcept { Recycled<SafeAppointmentItem>::give(p, size); }

    STDMETHODIMP get_Item(IDispatch** pp) override
    {
        SAFE_FAULT("ISafeAppointmentItem::get_Item");
        if (!pp) return E_POINTER;
        std::lock_guard<ItemLock> lock(mu_);
        *pp = item_.get();
        if (*pp) (*pp)->AddRef();
        return S_OK;
    }
    STDMETHODIMP put_Item(IDispatch* item) override
    {
        SAFE_FAULT("ISafeAppointmentItem::put_Item");
        if (!item) return E_INVALIDARG;
        return guarded([&] {
            std::shared_ptr<AppointmentLink> link;
            const HRESULT hr = linker_.linkAppointment(item, &link);
            if (FAILED(hr)) return hr;
            if (!link) return E_INVALIDARG;
            std::lock_guard<ItemLock> lock(mu_);
            item_ = ComPtr<IDispatch>(item);
            link_ = std::move(link);
            return S_OK;
        });
    }
    STDMETHODIMP get_Recipients(ISafeRecipients** pp) override
    {
        SAFE_FAULT("ISafeAppointmentItem::get_Recipients");
        if (!pp) return E_POINTER;
        *pp = nullptr;
        return guarded([&] {
            std::shared_ptr<AppointmentLink> link;
            {
                std::lock_guard<ItemLock> lock(mu_);
                link = link_;
            }
            if (!link) return E_UNEXPECTED;  // no item wrapped yet
            auto block = std::allocate_shared<RecipientsBlock>(RecycledAllocator<RecipientsBlock>());
            RecipientList& list = block->list;
            list.link = std::move(link);
            list.read = list.link->recipients();
            list.items.reserve(list.read.size());
            for (RecipientRecord& r : list.read) list.items.push_back(&r);
            block->collection.keep(std::shared_ptr<RecipientList>(block, &list));
            *pp = &block->collection;
            return S_OK;
        });
    }

private:
    ItemLinker& linker_;
    ItemLock mu_;
    ComPtr<IDispatch> item_;
    std::shared_ptr<AppointmentLink> link_;
};

bool saveAsType(const VARIANT& v, LONG* type)
{
    switch (v.vt) {
    case VT_I4: *type = v.lVal; return true;
    case VT_INT: *type = v.intVal; return true;
    case VT_I2: *type = v.iVal; return true;
    case VT_UI1: *type = v.bVal; return true;
    case VT_UI2: *type = v.uiVal; return true;
    case VT_UI4:
    case VT_UINT: *type = static_cast<LONG>(v.ulVal); return true;
    default: return false;
    }
}

class SafeContactItem final : public DispatchObject<ISafeContactItem> {
public:
    explicit SafeContactItem(ItemLinker& linker) : DispatchObject(IID_ISafeContactItem), linker_(linker) {}

    STDMETHODIMP get_Item(IDispatch** pp) override
    {
        SAFE_FAULT("ISafeContactItem::get_Item");
        if (!pp) return E_POINTER;
        std::lock_guard<ItemLock> lock(mu_);
        *pp = item_.get();
        if (*pp) (*pp)->AddRef();
        return S_OK;
    }
    STDMETHODIMP put_Item(IDispatch* item) override
    {
        SAFE_FAULT("ISafeContactItem::put_Item");
        if (!item) return E_INVALIDARG;
        return guarded([&] {
            std::shared_ptr<ContactLink> link;
            const HRESULT hr = linker_.linkContact(item, &link);
            if (FAILED(hr)) return hr;
            if (!link) return E_INVALIDARG;
            std::lock_guard<ItemLock> lock(mu_);
            item_ = ComPtr<IDispatch>(item);
            link_ = std::move(link);
            return S_OK;
        });
    }
    // 6 (olVCard): vCard 3.0; 3 (olMSG): message file. The file appears whole or not at all.
    STDMETHODIMP SaveAs(BSTR path, VARIANT type) override
    {
        SAFE_FAULT("ISafeContactItem::SaveAs");
        LONG kind = 0;
        if (!saveAsType(type, &kind)) return DISP_E_TYPEMISMATCH;
        if (kind != 6 && kind != 3) return E_INVALIDARG;
        if (!path || SysStringLen(path) == 0) return E_INVALIDARG;
        return guarded([&] {
            std::shared_ptr<ContactLink> link;
            {
                std::lock_guard<ItemLock> lock(mu_);
                link = link_;
            }
            if (!link) return E_UNEXPECTED;
            std::string text;
            HRESULT hr = link->vcard(&text);
            if (FAILED(hr)) return hr;
            std::vector<vcard::Card> cards;
            try {
                cards = vcard::parseCards(text);
            } catch (const vcard::ParseError&) {
                return HRESULT_FROM_WIN32(ERROR_INVALID_DATA);
            }
            if (cards.empty()) return HRESULT_FROM_WIN32(ERROR_INVALID_DATA);
            std::string bytes;
            if (kind == 6) {
                bytes = vcard::writeCard(cards.front());
            } else {
                const msg::Bytes b = msg::writeContactMessage(msg::contactFieldsFromCard(cards.front()));
                bytes.assign(b.begin(), b.end());
            }
            const std::u16string wide = fromBstr(path);
            if (wide.find(u'\0') != std::u16string::npos) return E_INVALIDARG;
            if (const int err = files::writeAtomically(toUtf8(wide), bytes)) return hresultFromErrno(err);
            return S_OK;
        });
    }

private:
    ItemLinker& linker_;
    ItemLock mu_;
    ComPtr<IDispatch> item_;
    std::shared_ptr<ContactLink> link_;
};

class SafeCurrentUser final : public DispatchObject<ISafeCurrentUser> {
public:
    SafeCurrentUser() : DispatchObject(IID_ISafeCurrentUser) {}

    STDMETHODIMP get_Name(BSTR* pName) override
    {
        SAFE_FAULT("ISafeCurrentUser::get_Name");
        if (!pName) return E_POINTER;
        *pName = nullptr;
        return guarded([&] {
            const std::optional<std::u16string> name = currentUserName();
            return name ? toBstr(*name, pName) : S_OK;
        });
    }
    STDMETHODIMP Cleanup() override
    {
        SAFE_FAULT("ISafeCurrentUser::Cleanup");
        return S_OK;
    }
};

template <class T, class... Args>
HRESULT create(REFIID riid, void** ppv, Args&&... args)
{
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    return guarded([&] {
        T* object = new T(std::forward<Args>(args)...);
        const HRESULT hr = object->QueryInterface(riid, ppv);
        object->Release();
        return hr;
    });
}

std::optional<std::u16string> profileUserName()
{
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, u"Software\\PimServer\\Profile", 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS)
        return std::nullopt;
    DWORD type = 0, size = 0;
    std::optional<std::u16string> result;
    if (RegQueryValueExW(key, u"UserName", nullptr, &type, nullptr, &size) == ERROR_SUCCESS &&
        (type == REG_SZ || type == REG_EXPAND_SZ) && size >= sizeof(char16_t)) {
        std::u16string value(size / sizeof(char16_t), u'\0');
        if (RegQueryValueExW(key, u"UserName", nullptr, &type, reinterpret_cast<BYTE*>(value.data()), &size) ==
            ERROR_SUCCESS) {
            value.resize(std::min<std::size_t>(value.size(), size / sizeof(char16_t)));
            while (!value.empty() && value.back() == u'\0') value.pop_back();
            if (!value.empty()) result = std::move(value);
        }
    }
    RegCloseKey(key);
    return result;
}

}  // namespace

LONG liveObjects() { return g_live.load(std::memory_order_relaxed); }

std::optional<std::u16string> currentUserName()
{
    if (auto name = profileUserName()) return name;
    return accountFullName();
}

HRESULT createSafeAppointmentItem(ItemLinker& linker, REFIID riid, void** ppv)
{
    return create<SafeAppointmentItem>(riid, ppv, linker);
}

HRESULT createSafeContactItem(ItemLinker& linker, REFIID riid, void** ppv)
{
    return create<SafeContactItem>(riid, ppv, linker);
}

HRESULT createSafeCurrentUser(REFIID riid, void** ppv) { return create<SafeCurrentUser>(riid, ppv); }

std::string toUtf8(const std::u16string& s)
{
    if (s.empty()) return {};
    int len = WideCharToMultiByte(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<std::size_t>(len > 0 ? len : 0), '\0');
    if (len > 0) WideCharToMultiByte(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), out.data(), len, nullptr, nullptr);
    return out;
}

std::u16string toUtf16(const std::string& s)
{
    if (s.empty()) return {};
    int len = MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), nullptr, 0);
    std::u16string out(static_cast<std::size_t>(len > 0 ? len : 0), u'\0');
    if (len > 0) MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), out.data(), len);
    return out;
}

}  // namespace pim::redemption
