#include "event.h"
#include "objects.h"

#include <algorithm>
#include <ctime>

namespace pim::outlook {
namespace {

constexpr store::UtcSeconds kInf = store::kOpenEnd;

// What evaluating and sorting read of one stored item, loaded on first need.
struct Loaded {
    bool tried = false;
    std::optional<store::ItemRecord> rec;
    ical::ComponentPtr cal;
    icalcomponent* ev = nullptr;
    std::optional<store::ContactFields> fields;
    std::optional<vcard::Card> card;
};

const char* messageClass(store::Kind k) {
    switch (k) {
    case store::Kind::Appointment: return "IPM.Appointment";
    case store::Kind::Contact: return "IPM.Contact";
    case store::Kind::DistList: return "IPM.DistList";
    case store::Kind::Note: return "IPM.StickyNote";
    case store::Kind::Task: return "IPM.Task";
    }
    return "IPM";
}

filter::Value textValue(std::string s) {
    filter::Value v;
    v.type = filter::Type::Text;
    v.text = std::move(s);
    return v;
}
filter::Value numberValue(int64_t n, filter::Type t = filter::Type::Number) {
    filter::Value v;
    v.type = t;
    v.number = n;
    return v;
}
filter::Value timeValue(store::UtcSeconds t) {
    filter::Value v;
    v.type = filter::Type::Time;
    v.time = t;
    return v;
}

}  // namespace

std::optional<filter::Value> entryProperty(store::Store& s, const Entry& e, const std::string& prop,
                                           std::shared_ptr<void>* cache) {
    if (prop == "Start") return e.hasTimes ? std::optional(timeValue(e.start)) : std::nullopt;
    if (prop == "End") return e.hasTimes ? std::optional(timeValue(e.end)) : std::nullopt;
    if (prop == "MessageClass") return textValue(messageClass(e.kind));
    if (!*cache) *cache = std::make_shared<Loaded>();
    Loaded& l = *static_cast<Loaded*>(cache->get());
    const bool contactKind = e.kind == store::Kind::Contact || e.kind == store::Kind::DistList;
    // A distribution list has a name but no person's fields.
    if (e.kind == store::Kind::DistList && prop != "FullName" && prop != "EntryID" && prop != "Body") return std::nullopt;
    if (contactKind && (prop == "FirstName" || prop == "LastName" || prop == "FullName" || prop == "CompanyName" ||
                        prop == "Email1Address" || prop == "Email2Address" || prop == "Email3Address")) {
        if (!l.fields) l.fields = s.contactFields(e.key);
        if (!l.fields) return std::nullopt;
        const store::ContactFields& f = *l.fields;
        if (prop == "FirstName") return textValue(f.firstName);
        if (prop == "LastName") return textValue(f.lastName);
        if (prop == "FullName") return textValue(f.fullName);
        if (prop == "CompanyName") return textValue(f.company);
        size_t i = static_cast<size_t>(prop[5] - '1');
        return textValue(i < f.emails.size() ? f.emails[i] : std::string());
    }
    if (!l.tried) {
        l.tried = true;
        l.rec = s.get(e.key);
    }
    if (!l.rec) return std::nullopt;
    if (prop == "EntryID") return textValue(l.rec->entryId);
    if (contactKind) {
        if (!l.card) {
            auto cards = vcard::parseCards(l.rec->data);
            l.card = cards.empty() ? vcard::Card{} : cards.front();
        }
        return textValue(contactText(*l.card, prop));
    }
    if (e.kind != store::Kind::Appointment) return std::nullopt;
    if (prop == "AllDayEvent") return numberValue(e.allDay ? 1 : 0, filter::Type::Bool);
    if (prop == "IsRecurring") return numberValue(e.recurring ? 1 : 0, filter::Type::Bool);
    if (!l.cal) {
        l.cal = ical::parse(l.rec->data);
        if (!l.cal) return std::nullopt;
        l.ev = e.exception ? ical::overrideAt(l.cal.get(), l.rec->zone, e.recurrenceId) : nullptr;
        if (!l.ev) l.ev = ical::master(l.cal.get());
    }
    if (!l.ev) return std::nullopt;
    if (prop == "Subject") return textValue(store::event::text(l.ev, ICAL_SUMMARY_PROPERTY));
    if (prop == "Location") return textValue(store::event::text(l.ev, ICAL_LOCATION_PROPERTY));
    if (prop == "Body") return textValue(store::event::text(l.ev, ICAL_DESCRIPTION_PROPERTY));
    if (prop == "ReminderSet") return numberValue(store::event::reminderSet(l.ev) ? 1 : 0, filter::Type::Bool);
    if (prop == "ReminderMinutesBeforeStart") return numberValue(store::event::reminderMinutes(l.ev));
    if (prop == "BusyStatus") return numberValue(store::event::busyStatus(l.ev));
    return std::nullopt;
}

HRESULT makeItem(const std::shared_ptr<store::Store>& s, const Entry& e, IDispatch** out) {
    *out = nullptr;
    switch (e.kind) {
    case store::Kind::Appointment: {
        AppointmentItem* a = make<AppointmentItem>(s, e);
        if (!a) return E_OUTOFMEMORY;
        *out = static_cast<_AppointmentItem*>(a);
        return S_OK;
    }
    case store::Kind::Contact: {
        ContactItem* c = make<ContactItem>(s, e.key, e.entryId);
        if (!c) return E_OUTOFMEMORY;
        *out = static_cast<_ContactItem*>(c);
        return S_OK;
    }
    default: {
        OtherItem* o = make<OtherItem>(s, e.key, e.kind);
        if (!o) return E_OUTOFMEMORY;
        *out = static_cast<IDispatch*>(static_cast<Dispatch<IDispatch>*>(o));
        return S_OK;
    }
    }
}

void Items::materialize() {
    if (list_) return;
    std::vector<Entry> all;
    if (calendar() && includeRecurrences_ && sort_ == "Start") {
        filter::Window w{-kInf, kInf};
        for (const auto& f : filters_) {
            filter::Window x = filter::window(*f);
            w = {std::max(w.lo, x.lo), std::min(w.hi, x.hi)};
        }
        if (w.hi >= kInf) {
            // Open-ended series would never end: expand a few years past the start.
            store::UtcSeconds from = w.lo > -kInf ? w.lo : static_cast<store::UtcSeconds>(std::time(nullptr));
            w.hi = std::max(from, static_cast<store::UtcSeconds>(std::time(nullptr))) + kExpansionHorizon;
        }
        const std::vector<store::Occurrence> occurrences = store_->occurrences(w.lo, w.hi, kMaxOccurrences);
        all.reserve(occurrences.size());
        for (const store::Occurrence& o : occurrences) {
            Entry e;
            e.key = o.key;
            e.occurrence = o.recurring;
            e.recurring = o.recurring;
            e.start = o.start;
            e.end = o.end;
            e.recurrenceId = o.recurrenceId;
            e.exception = o.exception;
            e.allDay = o.allDay;
            e.version = o.version;
            all.push_back(e);
        }
        for (const store::Store::Summary& s : store_->others(folder_)) {
            if (s.start == 0 && s.end == 0) continue;
            if (s.start > w.hi || s.end < w.lo) continue;
            Entry e;
            e.key = s.key;
            e.kind = s.kind;
            e.start = s.start;
            e.end = s.end;
            all.push_back(e);
        }
        auto byStart = [](const Entry& a, const Entry& b) { return a.start < b.start; };
        // The store lists by start already; only other items found beside them need a sort.
        if (!std::is_sorted(all.begin(), all.end(), byStart)) std::stable_sort(all.begin(), all.end(), byStart);
        if (all.size() > kMaxOccurrences) all.resize(kMaxOccurrences);
    } else {
        for (const store::Store::Summary& s : store_->list(folder_)) {
            Entry e;
            e.key = s.key;
            e.kind = s.kind;
            e.start = s.start;
            e.end = s.end;
            e.recurring = s.recurring;
            e.allDay = s.allDay;
            e.hasTimes = s.kind == store::Kind::Appointment || s.start != 0 || s.end != 0;
            e.entryId = s.entryId;
            all.push_back(e);
        }
    }
    std::vector<Entry> kept;
    std::vector<std::shared_ptr<void>> caches;
    bool windowOnly = calendar() && includeRecurrences_ && sort_ == "Start";
    for (const auto& f : filters_) windowOnly = windowOnly && filter::exactlyWindow(*f);
    if (windowOnly) {
        // The store's query already applied exactly these bounds (notes and tasks too).
        kept = std::move(all);
        caches.resize(kept.size());
        all.clear();
    }
    for (const Entry& e : all) {
        std::shared_ptr<void> cache;
        auto get = [&](const std::string& p) { return entryProperty(*store_, e, p, &cache); };
        bool ok = true;
        for (const auto& f : filters_)
            if (!filter::evaluate(*f, get)) {
                ok = false;
                break;
            }
        if (ok) {
            kept.push_back(e);
            caches.push_back(std::move(cache));
        }
    }
    if (!sort_.empty() && !(sort_ == "Start" && !descending_ && includeRecurrences_ && calendar())) {
        std::vector<size_t> order(kept.size());
        for (size_t i = 0; i < order.size(); ++i) order[i] = i;
        std::vector<std::optional<filter::Value>> keys(kept.size());
        for (size_t i = 0; i < kept.size(); ++i) keys[i] = entryProperty(*store_, kept[i], sort_, &caches[i]);
        auto less = [&](size_t a, size_t b) {
            const auto& x = keys[a];
            const auto& y = keys[b];
            if (!x || !y) return !x && y;  // items without the property first
            switch (x->type) {
            case filter::Type::Text: return x->text < y->text;
            case filter::Type::Time: return x->time < y->time;
            default: return x->number < y->number;
            }
        };
        std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) { return descending_ ? less(b, a) : less(a, b); });
        std::vector<Entry> sorted;
        sorted.reserve(kept.size());
        for (size_t i : order) sorted.push_back(kept[i]);
        kept.swap(sorted);
    }
    list_ = std::move(kept);
    cursor_ = 0;
}

HRESULT Items::itemAt(size_t i, IDispatch** out) {
    *out = nullptr;
    if (!list_ || i >= list_->size()) return S_OK;
    return makeItem(store_, (*list_)[i], out);
}

STDMETHODIMP Items::get_Count(LONG* pCount) {
    PIM_OM_FAULT("Items.get_Count");
    if (!pCount) return E_POINTER;
    std::lock_guard<ItemLock> lock(mu_);
    return guarded([&]() -> HRESULT {
        materialize();
        *pCount = static_cast<LONG>(std::min<size_t>(list_->size(), 0x7FFFFFFF));
        return S_OK;
    });
}

STDMETHODIMP Items::get_IncludeRecurrences(VARIANT_BOOL* pInclude) {
    PIM_OM_FAULT("Items.get_IncludeRecurrences");
    if (!pInclude) return E_POINTER;
    std::lock_guard<ItemLock> lock(mu_);
    *pInclude = includeRecurrences_ ? VARIANT_TRUE : VARIANT_FALSE;
    return S_OK;
}

STDMETHODIMP Items::put_IncludeRecurrences(VARIANT_BOOL Include) {
    PIM_OM_FAULT("Items.put_IncludeRecurrences");
    std::lock_guard<ItemLock> lock(mu_);
    includeRecurrences_ = Include != VARIANT_FALSE;
    list_.reset();
    return S_OK;
}

STDMETHODIMP Items::Find(BSTR Filter, IDispatch** ppItem) {
    PIM_OM_FAULT("Items.Find");
    if (!ppItem) return E_POINTER;
    *ppItem = nullptr;
    std::lock_guard<ItemLock> lock(mu_);
    return guarded([&]() -> HRESULT {
        std::unique_ptr<filter::Node> f;
        try {
            f = filter::parse(toUtf8(Filter), calendar(), filter::userFormats());
        } catch (const filter::Error&) {
            return DISP_E_EXCEPTION;
        }
        materialize();
        for (size_t i = 0; i < list_->size(); ++i) {
            std::shared_ptr<void> cache;
            const Entry& e = (*list_)[i];
            if (filter::evaluate(*f, [&](const std::string& p) { return entryProperty(*store_, e, p, &cache); })) {
                cursor_ = i;
                return itemAt(i, ppItem);
            }
        }
        return S_OK;
    });
}

STDMETHODIMP Items::GetFirst(IDispatch** ppItem) {
    PIM_OM_FAULT("Items.GetFirst");
    if (!ppItem) return E_POINTER;
    *ppItem = nullptr;
    std::lock_guard<ItemLock> lock(mu_);
    return guarded([&]() -> HRESULT {
        materialize();
        cursor_ = 0;
        return itemAt(cursor_, ppItem);
    });
}

STDMETHODIMP Items::GetNext(IDispatch** ppItem) {
    PIM_OM_FAULT("Items.GetNext");
    if (!ppItem) return E_POINTER;
    *ppItem = nullptr;
    std::lock_guard<ItemLock> lock(mu_);
    return guarded([&]() -> HRESULT {
        if (!list_) {
            materialize();
            return itemAt(cursor_, ppItem);
        }
        if (cursor_ < list_->size()) ++cursor_;
        return itemAt(cursor_, ppItem);
    });
}

STDMETHODIMP Items::Restrict(BSTR Filter, _Items** ppItems) {
    PIM_OM_FAULT("Items.Restrict");
    if (!ppItems) return E_POINTER;
    *ppItems = nullptr;
    std::lock_guard<ItemLock> lock(mu_);
    // Parsing and copying the filters allocate; no exception may leave the call.
    return guarded([&]() -> HRESULT {
        std::shared_ptr<const filter::Node> f;
        try {
            f = filter::parse(toUtf8(Filter), calendar(), filter::userFormats());
        } catch (const filter::Error&) {
            return DISP_E_EXCEPTION;
        }
        auto filters = filters_;
        filters.push_back(std::move(f));
        Items* r = make<Items>(store_, folder_);
        if (!r) return E_OUTOFMEMORY;
        r->filters_ = std::move(filters);
        r->sort_ = sort_;
        r->descending_ = descending_;
        r->includeRecurrences_ = includeRecurrences_;
        *ppItems = r;
        return S_OK;
    });
}

STDMETHODIMP Items::Sort(BSTR Property, VARIANT Descending) {
    PIM_OM_FAULT("Items.Sort");
    std::string name = toUtf8(Property);
    if (name.size() >= 2 && name.front() == '[' && name.back() == ']') name = name.substr(1, name.size() - 2);
    std::string canonical;
    if (!filter::propertyType(name, calendar(), &canonical)) return DISP_E_EXCEPTION;
    bool desc = false;
    if (Descending.vt == VT_BOOL) desc = Descending.boolVal != VARIANT_FALSE;
    else if (Descending.vt == VT_I4) desc = Descending.lVal != 0;
    else if (Descending.vt != VT_ERROR && Descending.vt != VT_EMPTY) return DISP_E_TYPEMISMATCH;
    std::lock_guard<ItemLock> lock(mu_);
    sort_ = canonical;
    descending_ = desc;
    list_.reset();
    return S_OK;
}

}  // namespace pim::outlook
