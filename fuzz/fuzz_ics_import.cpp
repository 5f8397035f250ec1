// Fuzzes `.ics` import into a store: the cutting into components, libical's reading, zone
// normalisation, the recurrence compiled for each event, then the period query and the export
// that read what the import stored.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "ical.h"
#include "scratch_store.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::isolate();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  // Byte 0: non-zero cancels the import at that many progress calls.
  const unsigned cancelAt = data[0] & 7;
  const std::string_view text(reinterpret_cast<const char*>(data + 1), size - 1);
  auto store = fuzz::freshStore();
  unsigned calls = 0;
  pim::store::ImportResult r = store->importIcs(text, [&](size_t done, size_t total) {
    if (done > total) std::abort();
    return ++calls != cancelAt;
  });
  if (r.cancelled && store->count(pim::store::Folder::Calendar) != 0) std::abort();  // a cancel keeps nothing
  for (const auto& s : store->list(pim::store::Folder::Calendar)) {
    if (s.kind != pim::store::Kind::Appointment) continue;
    store->series(s.key);
  }
  // 2026-01-01 to 2027-01-01 UTC.
  store->occurrences(1767225600, 1798761600, 500);
  const std::string out = store->exportIcs();
  if (!pim::store::ical::parse(out)) {  // our own export reads back
    fprintf(stderr, "the export does not read back:\n%s\n", out.c_str());
    std::abort();
  }
  return 0;
}
