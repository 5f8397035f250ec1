#include "bytes.h"
#include "event.h"
#include "objects.h"

#include "pimserver/Errors.h"

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <strings.h>

namespace pim::outlook {
namespace {

void stripRecurrence(icalcomponent* e) {
    for (icalproperty_kind k : {ICAL_RRULE_PROPERTY, ICAL_RDATE_PROPERTY, ICAL_EXDATE_PROPERTY, ICAL_EXRULE_PROPERTY}) {
        while (icalproperty* p = icalcomponent_get_first_property(e, k)) {
            icalcomponent_remove_property(e, p);
            icalproperty_free(p);
        }
    }
}

std::string paramText(icalproperty* p, icalparameter_kind k) {
    icalparameter* q = icalproperty_get_first_parameter(p, k);
    if (!q) return {};
    const char* s = k == ICAL_CN_PARAMETER ? icalparameter_get_cn(q) : nullptr;
    return s ? s : "";
}

std::string address(icalproperty* p) {
    const char* v = icalproperty_get_value_as_string(p);
    std::string a = v ? v : "";
    if (a.size() >= 7 && strncasecmp(a.c_str(), "mailto:", 7) == 0) a.erase(0, 7);
    return a;
}

}  // namespace

AppointmentItem::AppointmentItem(std::shared_ptr<store::Store> s) : store_(std::move(s)) {}

AppointmentItem::AppointmentItem(std::shared_ptr<store::Store> s, const Entry& e)
    : store_(std::move(s)), key_(e.key), occurrence_(e.occurrence), recurrenceId_(e.recurrenceId), haveTimes_(true),
      start_(e.start), end_(e.end), version_(e.version), exception_(e.exception) {}

STDMETHODIMP AppointmentItem::QueryInterface(REFIID riid, void** ppv) {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    if (IsEqualGUID(riid, IID__AppointmentItem)) PIM_OM_FAULT("AppointmentItem.QueryInterface");
    if (IsEqualGUID(riid, server::IID_IPimItemAccess)) {
        *ppv = static_cast<server::IPimItemAccess*>(this);
        AddRef();
        return S_OK;
    }
    return queryBase(riid, ppv, IID__AppointmentItem);
}

namespace {

LONG recipientType(icalproperty* a);

// The organizer first, then the attendees, as the application lists recipients.
std::vector<server::Recipient> recipientsOf(icalcomponent* ev) {
    std::vector<server::Recipient> out;
    if (icalproperty* o = icalcomponent_get_first_property(ev, ICAL_ORGANIZER_PROPERTY))
        out.push_back({toUtf16(paramText(o, ICAL_CN_PARAMETER)), toUtf16(address(o)), olOrganizer});
    for (icalproperty* a = icalcomponent_get_first_property(ev, ICAL_ATTENDEE_PROPERTY); a;
         a = icalcomponent_get_next_property(ev, ICAL_ATTENDEE_PROPERTY))
        out.push_back({toUtf16(paramText(a, ICAL_CN_PARAMETER)), toUtf16(address(a)), recipientType(a)});
    return out;
}

// The slot of the master (and of occurrences without an override) among an item's memos.
constexpr std::int64_t kMasterSlot = INT64_MIN;

// A view as the store keeps it for other processes.
constexpr std::uint32_t kViewFormat = 0x41560001u;

// What a view shows, as read from an iCalendar text; kept only in its byte form.
struct ViewFields {
    std::u16string subject, location, body;
    bool allDay = false, reminderSet = false;
    LONG reminderMinutes = 15, busyStatus = 2;
    std::u16string entryId;
    std::vector<server::Recipient> recipients;
};

std::string saveView(const ViewFields& v) {
    store::bytes::Writer w;
    w.num(kViewFormat).text(v.subject).text(v.location).text(v.body).num<std::uint8_t>(v.allDay);
    w.num<std::uint8_t>(v.reminderSet).num(v.reminderMinutes).num(v.busyStatus).text(v.entryId);
    w.num<std::uint32_t>(static_cast<std::uint32_t>(v.recipients.size()));
    for (const server::Recipient& r : v.recipients) w.text(r.name).text(r.address).num(r.type);
    return w.take();
}

// Walks the bytes a Writer made; a short read leaves `ok` false.
struct ViewCursor {
    std::string_view in;
    std::size_t at = 0;
    bool ok = true;

    template <class T>
    T num() {
        T v{};
        if (in.size() - at < sizeof v) {
            ok = false;
            at = in.size();
            return v;
        }
        std::memcpy(&v, in.data() + at, sizeof v);
        at += sizeof v;
        return v;
    }
    AppointmentView::Text text() {
        std::uint32_t n = num<std::uint32_t>();
        if (!ok || (in.size() - at) / sizeof(char16_t) < n) {
            ok = false;
            at = in.size();
            return {};
        }
        AppointmentView::Text t{static_cast<std::uint32_t>(at), n};
        at += n * sizeof(char16_t);
        return t;
    }
};

// Null when the bytes are not a whole view of this format.
std::shared_ptr<const AppointmentView> loadView(std::string bytes) {
    if (bytes.size() > UINT32_MAX) return nullptr;
    auto v = std::make_shared<AppointmentView>();
    v->bytes = std::move(bytes);
    ViewCursor r{v->bytes};
    if (r.num<std::uint32_t>() != kViewFormat) return nullptr;
    v->subject = r.text();
    v->location = r.text();
    v->body = r.text();
    v->allDay = r.num<std::uint8_t>() != 0;
    v->reminderSet = r.num<std::uint8_t>() != 0;
    v->reminderMinutes = r.num<LONG>();
    v->busyStatus = r.num<LONG>();
    v->entryId = r.text();
    std::uint32_t n = r.num<std::uint32_t>();
    if (!r.ok || n > 100000) return nullptr;
    v->recipientsAt = static_cast<std::uint32_t>(r.at);
    v->recipientCount = n;
    for (std::uint32_t i = 0; i < n && r.ok; ++i) {
        r.text();
        r.text();
        r.num<LONG>();
    }
    return r.ok && r.at == v->bytes.size() ? v : nullptr;
}

// What the item shows of one VEVENT (the master or an override).
ViewFields makeView(icalcomponent* ev, const std::string& entryId) {
    ViewFields v;
    v.subject = toUtf16(store::event::text(ev, ICAL_SUMMARY_PROPERTY));
    v.location = toUtf16(store::event::text(ev, ICAL_LOCATION_PROPERTY));
    v.body = toUtf16(store::event::text(ev, ICAL_DESCRIPTION_PROPERTY));
    icalproperty* ds = icalcomponent_get_first_property(ev, ICAL_DTSTART_PROPERTY);
    v.allDay = ds && ical::readTime(ds).isDate;
    v.reminderSet = store::event::reminderSet(ev);
    v.reminderMinutes = store::event::reminderMinutes(ev);
    v.busyStatus = store::event::busyStatus(ev);
    v.entryId = toUtf16(entryId);
    v.recipients = recipientsOf(ev);
    return v;
}

// The views of an appointment being stored, under the slots view() looks them up by.
void deriveViews(icalcomponent* cal, const std::string& zone, const std::string& entryId,
                 std::vector<std::pair<std::int64_t, std::string>>& slots) {
    icalcomponent* m = ical::master(cal);
    if (!m) return;
    slots.emplace_back(kMasterSlot, saveView(makeView(m, entryId)));
    for (icalcomponent* e = icalcomponent_get_first_component(cal, ICAL_VEVENT_COMPONENT); e;
         e = icalcomponent_get_next_component(cal, ICAL_VEVENT_COMPONENT)) {
        if (e == m) continue;
        icalproperty* p = icalcomponent_get_first_property(e, ICAL_RECURRENCEID_PROPERTY);
        if (!p) continue;
        ical::Time t = ical::readTime(p);
        slots.emplace_back(ical::toUtc(t, ical::zoneOf(t, zone)), saveView(makeView(e, entryId)));
    }
}

struct KeepViewsAtWrite {
    KeepViewsAtWrite() { store::Store::setEventDeriver(&deriveViews); }
} g_keepViewsAtWrite;

}  // namespace

HRESULT AppointmentView::newBstr(Text t, BSTR* out) const {
    if (!out) return E_POINTER;
    *out = SysAllocStringLen(static_cast<const OLECHAR*>(nullptr), t.size);
    if (!*out) return E_OUTOFMEMORY;
    std::memcpy(*out, bytes.data() + t.at, t.size * sizeof(char16_t));
    return S_OK;
}

std::u16string AppointmentView::text(Text t) const {
    std::u16string s(t.size, u'\0');
    std::memcpy(s.data(), bytes.data() + t.at, t.size * sizeof(char16_t));
    return s;
}

std::vector<server::Recipient> AppointmentView::recipients() const {
    std::vector<server::Recipient> out;
    out.reserve(recipientCount);
    ViewCursor r{bytes, recipientsAt};
    for (std::uint32_t i = 0; i < recipientCount; ++i) {
        server::Recipient x;
        x.name = text(r.text());
        x.address = text(r.text());
        x.type = r.num<LONG>();
        out.push_back(std::move(x));
    }
    return out;
}

HRESULT AppointmentItem::view() {
    if (deleted_) return server::kItemDeleted;
    if (ev_) return S_FALSE;
    if (view_) return S_OK;
    return guarded([&]() -> HRESULT {
        const std::int64_t slot = occurrence_ && exception_ ? recurrenceId_ : kMasterSlot;
        if (version_ != 0) {
            view_ = std::static_pointer_cast<const AppointmentView>(store_->memo(key_, version_, slot));
            if (view_) return S_OK;
            // Another process may have read this version already.
            if (auto kept = store_->derived(key_, version_, slot)) {
                if (auto v = loadView(std::move(*kept))) {
                    store_->setMemo(key_, version_, slot, v);
                    view_ = std::move(v);
                    return S_OK;
                }
            }
        }
        auto rec = store_->get(key_);
        if (!rec) {
            deleted_ = true;
            return server::kItemDeleted;
        }
        ical::ComponentPtr cal = ical::parse(rec->data);
        icalcomponent* m = cal ? ical::master(cal.get()) : nullptr;
        if (!m) return MAPI_E_CORRUPT_DATA;
        icalcomponent* ev = occurrence_ ? ical::overrideAt(cal.get(), rec->zone, recurrenceId_) : nullptr;
        if (!ev) ev = m;
        std::string bytes = saveView(makeView(ev, rec->entryId));
        std::shared_ptr<const AppointmentView> v = loadView(bytes);
        if (!v) return E_FAIL;  // what saveView wrote always reads back
        // Kept under what was just read, whatever the listing saw.
        const std::int64_t readSlot = ev != m ? recurrenceId_ : kMasterSlot;
        store_->setMemo(key_, rec->version, readSlot, v);
        store_->setDerived(key_, rec->version, readSlot, std::move(bytes));
        view_ = std::move(v);
        return S_OK;
    });
}

HRESULT AppointmentItem::load() {
    if (deleted_) return server::kItemDeleted;
    if (ev_) return S_OK;
    return guarded([&]() -> HRESULT {
        if (key_ == 0) {
            // A new appointment: the next half hour, thirty minutes long, as the application makes it.
            zone_ = store::zone::local();
            cal_.reset(icalcomponent_new(ICAL_VCALENDAR_COMPONENT));
            icalcomponent_add_property(cal_.get(), icalproperty_new_version("2.0"));
            icalcomponent_add_property(cal_.get(), icalproperty_new_prodid("-//PimServer//Outlook//EN"));
            ev_ = icalcomponent_new(ICAL_VEVENT_COMPONENT);
            icalcomponent_add_component(cal_.get(), ev_);
            store::event::setText(ev_, ICAL_UID_PROPERTY, store::event::newUid());
            store::UtcSeconds now = static_cast<store::UtcSeconds>(std::time(nullptr));
            store::UtcSeconds s = (now / 1800 + 1) * 1800;
            store::event::setTimes(ev_, s, s + 1800, false, zone_);
            store::event::setBusyStatus(ev_, 2);
            store::event::setReminder(ev_, true, 15);
            return S_OK;
        }
        auto rec = store_->get(key_);
        if (!rec) {
            deleted_ = true;
            return server::kItemDeleted;
        }
        zone_ = rec->zone;
        entryId_ = rec->entryId;
        cal_ = ical::parse(rec->data);
        if (!cal_ || !ical::master(cal_.get())) return MAPI_E_CORRUPT_DATA;
        if (!occurrence_) {
            ev_ = ical::master(cal_.get());
            return S_OK;
        }
        if (icalcomponent* o = ical::overrideAt(cal_.get(), zone_, recurrenceId_)) {
            ev_ = o;
            return S_OK;
        }
        // An occurrence without an override yet: a copy of the series at its own time.
        single_.reset(icalcomponent_new_clone(ical::master(cal_.get())));
        stripRecurrence(single_.get());
        store::event::setTimes(single_.get(), start_, end_, rec->kind == store::Kind::Appointment && ical::readTime(
            icalcomponent_get_first_property(single_.get(), ICAL_DTSTART_PROPERTY)).isDate, zone_);
        ev_ = single_.get();
        return S_OK;
    });
}

store::UtcSeconds AppointmentItem::start() {
    icalproperty* p = icalcomponent_get_first_property(ev_, ICAL_DTSTART_PROPERTY);
    if (!p) return 0;
    ical::Time t = ical::readTime(p);
    std::string z = t.isDate ? zone_ : ical::zoneOf(t, zone_);
    return ical::toUtc(t, z);
}

store::UtcSeconds AppointmentItem::end() {
    store::UtcSeconds s = start();
    if (icalproperty* p = icalcomponent_get_first_property(ev_, ICAL_DTEND_PROPERTY)) {
        ical::Time t = ical::readTime(p);
        return std::max(s, ical::toUtc(t, t.isDate ? zone_ : ical::zoneOf(t, zone_)));
    }
    if (icalproperty* d = icalcomponent_get_first_property(ev_, ICAL_DURATION_PROPERTY))
        return s + icaldurationtype_as_int(icalproperty_get_duration(d));
    return allDay() ? s + 86400 : s;
}

bool AppointmentItem::allDay() {
    icalproperty* p = icalcomponent_get_first_property(ev_, ICAL_DTSTART_PROPERTY);
    return p && ical::readTime(p).isDate;
}

void AppointmentItem::setTimes(store::UtcSeconds s, store::UtcSeconds e, bool all) {
    store::event::setTimes(ev_, s, e, all, zone_);
}

#define ITEM_ENTER(name)                            \
    PIM_OM_FAULT("AppointmentItem." name);           \
    std::lock_guard<ItemLock> lock(mu_);

HRESULT AppointmentItem::text(icalproperty_kind k, BSTR* p) {
    if (!p) return E_POINTER;
    *p = nullptr;
    HRESULT hr = view();
    if (FAILED(hr)) return hr;
    if (hr == S_OK) {
        const AppointmentView::Text t = k == ICAL_SUMMARY_PROPERTY    ? view_->subject
                                        : k == ICAL_LOCATION_PROPERTY ? view_->location
                                                                      : view_->body;
        return view_->newBstr(t, p);
    }
    hr = load();
    if (FAILED(hr)) return hr;
    return newBstr(store::event::text(ev_, k), p);
}

HRESULT AppointmentItem::setText(icalproperty_kind k, BSTR v) {
    HRESULT hr = load();
    if (FAILED(hr)) return hr;
    return guarded([&] {
        store::event::setText(ev_, k, toUtf8(v));
        return S_OK;
    });
}

STDMETHODIMP AppointmentItem::get_EntryID(BSTR* p) {
    ITEM_ENTER("get_EntryID");
    if (!p) return E_POINTER;
    *p = nullptr;
    if (deleted_) return server::kItemDeleted;
    if (key_ != 0 && entryId_.empty() && !ev_) {
        HRESULT hr = view();
        if (FAILED(hr)) return hr;
        if (hr == S_OK) return view_->newBstr(view_->entryId, p);
    }
    if (key_ != 0 && entryId_.empty()) {
        HRESULT hr = guarded([&]() -> HRESULT {
            auto rec = store_->get(key_);
            if (!rec) {
                deleted_ = true;
                return server::kItemDeleted;
            }
            entryId_ = rec->entryId;
            return S_OK;
        });
        if (FAILED(hr)) return hr;
    }
    return newBstr(entryId_, p);  // empty until the first save
}

STDMETHODIMP AppointmentItem::get_Subject(BSTR* p) {
    ITEM_ENTER("get_Subject");
    return text(ICAL_SUMMARY_PROPERTY, p);
}
STDMETHODIMP AppointmentItem::put_Subject(BSTR v) {
    ITEM_ENTER("put_Subject");
    return setText(ICAL_SUMMARY_PROPERTY, v);
}
STDMETHODIMP AppointmentItem::get_Location(BSTR* p) {
    ITEM_ENTER("get_Location");
    return text(ICAL_LOCATION_PROPERTY, p);
}
STDMETHODIMP AppointmentItem::put_Location(BSTR v) {
    ITEM_ENTER("put_Location");
    return setText(ICAL_LOCATION_PROPERTY, v);
}
STDMETHODIMP AppointmentItem::get_Body(BSTR* p) {
    ITEM_ENTER("get_Body");
    return text(ICAL_DESCRIPTION_PROPERTY, p);
}
STDMETHODIMP AppointmentItem::put_Body(BSTR v) {
    ITEM_ENTER("put_Body");
    return setText(ICAL_DESCRIPTION_PROPERTY, v);
}

STDMETHODIMP AppointmentItem::get_Start(DATE* p) {
    ITEM_ENTER("get_Start");
    if (!p) return E_POINTER;
    if (deleted_) return server::kItemDeleted;
    if (!ev_ && haveTimes_) {
        return guarded([&] {
            *p = utcToLocalDate(start_);  // straight from the query: no text parsed
            return S_OK;
        });
    }
    HRESULT hr = load();
    if (FAILED(hr)) return hr;
    return guarded([&] {
        *p = utcToLocalDate(start());
        return S_OK;
    });
}

STDMETHODIMP AppointmentItem::get_End(DATE* p) {
    ITEM_ENTER("get_End");
    if (!p) return E_POINTER;
    if (deleted_) return server::kItemDeleted;
    if (!ev_ && haveTimes_) {
        return guarded([&] {
            *p = utcToLocalDate(end_);
            return S_OK;
        });
    }
    HRESULT hr = load();
    if (FAILED(hr)) return hr;
    return guarded([&] {
        *p = utcToLocalDate(end());
        return S_OK;
    });
}

STDMETHODIMP AppointmentItem::put_Start(DATE v) {
    ITEM_ENTER("put_Start");
    HRESULT hr = load();
    if (FAILED(hr)) return hr;
    return guarded([&] {
        // Moving the start keeps the duration, as the application does.
        store::UtcSeconds s = start(), e = end();
        store::UtcSeconds ns = localDateToUtc(v);
        setTimes(ns, ns + (e - s), allDay());
        return S_OK;
    });
}

STDMETHODIMP AppointmentItem::put_End(DATE v) {
    ITEM_ENTER("put_End");
    HRESULT hr = load();
    if (FAILED(hr)) return hr;
    return guarded([&] {
        store::UtcSeconds s = start();
        store::UtcSeconds ne = localDateToUtc(v);
        if (ne < s) return E_INVALIDARG;
        setTimes(s, ne, allDay());
        return S_OK;
    });
}

STDMETHODIMP AppointmentItem::get_AllDayEvent(VARIANT_BOOL* p) {
    ITEM_ENTER("get_AllDayEvent");
    if (!p) return E_POINTER;
    HRESULT hr = view();
    if (FAILED(hr)) return hr;
    if (hr == S_OK) {
        *p = view_->allDay ? VARIANT_TRUE : VARIANT_FALSE;
        return S_OK;
    }
    hr = load();
    if (FAILED(hr)) return hr;
    *p = allDay() ? VARIANT_TRUE : VARIANT_FALSE;
    return S_OK;
}

STDMETHODIMP AppointmentItem::put_AllDayEvent(VARIANT_BOOL v) {
    ITEM_ENTER("put_AllDayEvent");
    HRESULT hr = load();
    if (FAILED(hr)) return hr;
    return guarded([&] {
        bool want = v != VARIANT_FALSE;
        if (want != allDay()) setTimes(start(), end(), want);
        return S_OK;
    });
}

STDMETHODIMP AppointmentItem::get_ReminderSet(VARIANT_BOOL* p) {
    ITEM_ENTER("get_ReminderSet");
    if (!p) return E_POINTER;
    HRESULT hr = view();
    if (FAILED(hr)) return hr;
    if (hr == S_OK) {
        *p = view_->reminderSet ? VARIANT_TRUE : VARIANT_FALSE;
        return S_OK;
    }
    hr = load();
    if (FAILED(hr)) return hr;
    *p = store::event::reminderSet(ev_) ? VARIANT_TRUE : VARIANT_FALSE;
    return S_OK;
}

STDMETHODIMP AppointmentItem::put_ReminderSet(VARIANT_BOOL v) {
    ITEM_ENTER("put_ReminderSet");
    HRESULT hr = load();
    if (FAILED(hr)) return hr;
    store::event::setReminder(ev_, v != VARIANT_FALSE, store::event::reminderMinutes(ev_));
    return S_OK;
}

STDMETHODIMP AppointmentItem::get_ReminderMinutesBeforeStart(LONG* p) {
    ITEM_ENTER("get_ReminderMinutesBeforeStart");
    if (!p) return E_POINTER;
    HRESULT hr = view();
    if (FAILED(hr)) return hr;
    if (hr == S_OK) {
        *p = view_->reminderMinutes;
        return S_OK;
    }
    hr = load();
    if (FAILED(hr)) return hr;
    *p = store::event::reminderMinutes(ev_);
    return S_OK;
}

STDMETHODIMP AppointmentItem::put_ReminderMinutesBeforeStart(LONG v) {
    ITEM_ENTER("put_ReminderMinutesBeforeStart");
    HRESULT hr = load();
    if (FAILED(hr)) return hr;
    store::event::setReminder(ev_, store::event::reminderSet(ev_), v);
    return S_OK;
}

STDMETHODIMP AppointmentItem::get_BusyStatus(LONG* p) {
    ITEM_ENTER("get_BusyStatus");
    if (!p) return E_POINTER;
    HRESULT hr = view();
    if (FAILED(hr)) return hr;
    if (hr == S_OK) {
        *p = view_->busyStatus;
        return S_OK;
    }
    hr = load();
    if (FAILED(hr)) return hr;
    *p = store::event::busyStatus(ev_);
    return S_OK;
}

STDMETHODIMP AppointmentItem::put_BusyStatus(LONG v) {
    ITEM_ENTER("put_BusyStatus");
    if (v < olFree || v > olOutOfOffice) return E_INVALIDARG;
    HRESULT hr = load();
    if (FAILED(hr)) return hr;
    store::event::setBusyStatus(ev_, v);
    return S_OK;
}

STDMETHODIMP AppointmentItem::get_IsRecurring(VARIANT_BOOL* p) {
    ITEM_ENTER("get_IsRecurring");
    if (!p) return E_POINTER;
    HRESULT hr = load();
    if (FAILED(hr)) return hr;
    icalcomponent* m = ical::master(cal_.get());
    bool rec = occurrence_ || icalcomponent_get_first_property(m, ICAL_RRULE_PROPERTY) ||
               icalcomponent_get_first_property(m, ICAL_RDATE_PROPERTY);
    *p = rec ? VARIANT_TRUE : VARIANT_FALSE;
    return S_OK;
}

STDMETHODIMP AppointmentItem::Save() {
    ITEM_ENTER("Save");
    HRESULT hr = load();
    if (FAILED(hr)) return hr;
    hr = guarded([&]() -> HRESULT {
        if (key_ == 0) {
            key_ = store_->addEvent(ical::write(cal_.get()));
        } else if (occurrence_) {
            store::UtcSeconds s = start(), e = end();
            store_->saveOccurrence(key_, recurrenceId_, ical::write(ev_));
            start_ = s;
            end_ = e;
        } else {
            store_->updateEvent(key_, ical::write(cal_.get()));
        }
        return S_OK;
    });
    if (hr == MAPI_E_NOT_FOUND) {
        deleted_ = true;
        return server::kItemDeleted;
    }
    if (FAILED(hr)) return hr;
    // Read back what the store made of it (zones normalised, override merged).
    ev_ = nullptr;
    single_.reset();
    cal_.reset();
    entryId_.clear();
    haveTimes_ = false;
    return load();
}

STDMETHODIMP AppointmentItem::Delete() {
    ITEM_ENTER("Delete");
    if (deleted_) return server::kItemDeleted;
    HRESULT hr = guarded([&]() -> HRESULT {
        if (key_ == 0) return S_OK;
        if (occurrence_) store_->deleteOccurrence(key_, recurrenceId_);
        else store_->remove(key_);
        return S_OK;
    });
    if (FAILED(hr) && hr != MAPI_E_NOT_FOUND) return hr;
    deleted_ = true;
    ev_ = nullptr;
    single_.reset();
    cal_.reset();
    return hr == MAPI_E_NOT_FOUND ? server::kItemDeleted : S_OK;
}

namespace {

// A recipient type the application has no word for is kept in a parameter of our own, so that
// whatever was stored reads back the same.
constexpr const char* kTypeParameter = "X-PIM-TYPE";

icalparameter* typeParameter(icalproperty* p) {
    for (icalparameter* x = icalproperty_get_first_parameter(p, ICAL_X_PARAMETER); x;
         x = icalproperty_get_next_parameter(p, ICAL_X_PARAMETER))
        if (const char* n = icalparameter_get_xname(x); n && strcasecmp(n, kTypeParameter) == 0) return x;
    return nullptr;
}

LONG recipientType(icalproperty* a) {
    LONG type = olRequired;
    if (icalparameter* cu = icalproperty_get_first_parameter(a, ICAL_CUTYPE_PARAMETER)) {
        icalparameter_cutype c = icalparameter_get_cutype(cu);
        if (c == ICAL_CUTYPE_RESOURCE || c == ICAL_CUTYPE_ROOM) type = olResource;
    }
    if (type != olResource)
        if (icalparameter* r = icalproperty_get_first_parameter(a, ICAL_ROLE_PARAMETER))
            if (icalparameter_get_role(r) == ICAL_ROLE_OPTPARTICIPANT || icalparameter_get_role(r) == ICAL_ROLE_NONPARTICIPANT)
                type = olOptional;
    if (icalparameter* x = typeParameter(a))
        if (const char* v = icalparameter_get_xvalue(x)) type = static_cast<LONG>(std::strtol(v, nullptr, 10));
    return type;
}

void setTypeParameter(icalproperty* p, LONG type) {
    while (icalparameter* x = typeParameter(p)) icalproperty_remove_parameter_by_ref(p, x);
    if (type >= olOrganizer && type <= olResource) return;
    icalparameter* x = icalparameter_new_x(std::to_string(type).c_str());
    icalparameter_set_xname(x, kTypeParameter);
    icalproperty_add_parameter(p, x);
}

}  // namespace

HRESULT STDMETHODCALLTYPE AppointmentItem::GetRecipients(std::vector<server::Recipient>* out) {
    if (!out) return E_POINTER;
    std::lock_guard<ItemLock> lock(mu_);
    HRESULT hr = view();
    if (FAILED(hr)) return hr;
    if (hr == S_OK) return guarded([&] {
        *out = view_->recipients();
        return S_OK;
    });
    hr = load();
    if (FAILED(hr)) return hr;
    return guarded([&] {
        *out = recipientsOf(ev_);
        return S_OK;
    });
}

HRESULT STDMETHODCALLTYPE AppointmentItem::SetRecipients(const std::vector<server::Recipient>& list) {
    std::lock_guard<ItemLock> lock(mu_);
    HRESULT hr = load();
    if (FAILED(hr)) return hr;
    return guarded([&] {
        // Keep the old properties (PARTSTAT, RSVP, ...) of attendees that stay.
        std::vector<icalproperty*> old;
        for (icalproperty_kind k : {ICAL_ORGANIZER_PROPERTY, ICAL_ATTENDEE_PROPERTY})
            while (icalproperty* p = icalcomponent_get_first_property(ev_, k)) {
                icalcomponent_remove_property(ev_, p);
                old.push_back(p);
            }
        for (const server::Recipient& r : list) {
            std::string addr = toUtf8(r.address);
            std::string name = toUtf8(r.name);
            icalproperty_kind k = r.type == olOrganizer ? ICAL_ORGANIZER_PROPERTY : ICAL_ATTENDEE_PROPERTY;
            icalproperty* p = nullptr;
            for (auto it = old.begin(); it != old.end(); ++it)
                if (icalproperty_isa(*it) == k && !addr.empty() && strcasecmp(address(*it).c_str(), addr.c_str()) == 0) {
                    p = *it;
                    old.erase(it);
                    break;
                }
            if (!p) p = icalproperty_new(k);
            icalproperty_set_value_from_string(p, ("mailto:" + addr).c_str(), "CAL-ADDRESS");
            icalproperty_remove_parameter_by_kind(p, ICAL_CN_PARAMETER);
            if (!name.empty()) icalproperty_add_parameter(p, icalparameter_new_cn(name.c_str()));
            if (k == ICAL_ATTENDEE_PROPERTY) {
                icalproperty_remove_parameter_by_kind(p, ICAL_ROLE_PARAMETER);
                icalproperty_remove_parameter_by_kind(p, ICAL_CUTYPE_PARAMETER);
                if (r.type == olResource) {
                    icalproperty_add_parameter(p, icalparameter_new_cutype(ICAL_CUTYPE_RESOURCE));
                    icalproperty_add_parameter(p, icalparameter_new_role(ICAL_ROLE_NONPARTICIPANT));
                } else {
                    icalproperty_add_parameter(
                        p, icalparameter_new_role(r.type == olOptional ? ICAL_ROLE_OPTPARTICIPANT : ICAL_ROLE_REQPARTICIPANT));
                }
                setTypeParameter(p, r.type);
            }
            icalcomponent_add_property(ev_, p);
        }
        for (icalproperty* p : old) icalproperty_free(p);
        return S_OK;
    });
}

}  // namespace pim::outlook
