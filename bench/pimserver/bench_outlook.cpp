// The object model over the same calendars: the adapter's week query (sort,
// expand, restrict, sort, walk) and one GetNext step with a property read.
#include "bench_support.h"
#include "objects.h"

#include <ComPtr.h>
#include <benchmark/benchmark.h>

#include <cstdlib>

using namespace pim;

namespace {

struct Session {
    ComPtr<_Items> items;
    explicit Session(int n) {
        setenv("PIM_STORE", pimbench::storeOf(n).c_str(), 1);
        setenv("PIM_REGISTRY", (pimbench::benchDir() + "/registry.reg").c_str(), 1);
        ComPtr<_Application> app;
        app = ComPtr<_Application>::attach(outlook::make<outlook::Application>());
        ComPtr<_NameSpace> ns;
        BSTR mapi = SysAllocString(u"MAPI");
        app->GetNamespace(mapi, ns.put());
        SysFreeString(mapi);
        VARIANT m;
        VariantInit(&m);
        m.vt = VT_ERROR;
        m.scode = DISP_E_PARAMNOTFOUND;
        ns->Logon(m, m, m, m);
        ComPtr<MAPIFolder> f;
        ns->GetDefaultFolder(olFolderCalendar, f.put());
        f->get_Items(items.put());
    }
};

// 2026-01-05 00:00 to 2026-01-11 23:59 in the user's default formats (UTC here).
const char16_t* kWeek = u"[Start] <= \"1/11/2026 23:59\" and [End] >= \"1/5/2026 00:00\"";

ComPtr<_Items> restrictWeek(_Items* items) {
    BSTR start = SysAllocString(u"[Start]");
    BSTR filter = SysAllocString(kWeek);
    VARIANT no;
    VariantInit(&no);
    no.vt = VT_BOOL;
    no.boolVal = VARIANT_FALSE;
    items->Sort(start, no);
    items->put_IncludeRecurrences(VARIANT_TRUE);
    ComPtr<_Items> r;
    items->Restrict(filter, r.put());
    r->Sort(start, no);
    SysFreeString(start);
    SysFreeString(filter);
    return r;
}

}  // namespace

static void BM_OutlookWeekRestrictAndWalk(benchmark::State& state) {
    setenv("TZ", "UTC", 1);
    Session s(static_cast<int>(state.range(0)));
    restrictWeek(s.items.get());  // warm the store's caches
    long found = 0;
    for (auto _ : state) {
        ComPtr<_Items> r = restrictWeek(s.items.get());
        ComPtr<IDispatch> d;
        long n = 0;
        for (r->GetFirst(d.put()); d; r->GetNext(d.put())) ++n;
        found = n;
    }
    state.counters["items"] = static_cast<double>(found);
}
BENCHMARK(BM_OutlookWeekRestrictAndWalk)->Arg(1000)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond);

// One step of the walk: GetNext, the typed query, one property read, the releases.
static void BM_OutlookGetNextAndRead(benchmark::State& state) {
    setenv("TZ", "UTC", 1);
    Session s(static_cast<int>(state.range(0)));
    ComPtr<_Items> r = restrictWeek(s.items.get());
    ComPtr<IDispatch> d;
    r->GetFirst(d.put());
    for (auto _ : state) {
        if (!d) {
            state.PauseTiming();
            r->GetFirst(d.put());
            state.ResumeTiming();
        }
        ComPtr<_AppointmentItem> a;
        if (SUCCEEDED(d->QueryInterface(IID__AppointmentItem, a.put_void()))) {
            DATE start = 0;
            a->get_Start(&start);
            benchmark::DoNotOptimize(start);
        }
        r->GetNext(d.put());
    }
}
BENCHMARK(BM_OutlookGetNextAndRead)->Arg(100000)->Unit(benchmark::kMicrosecond);
