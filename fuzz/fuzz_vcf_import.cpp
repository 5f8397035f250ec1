// Fuzzes `.vcf` import into a store: the cutting into cards, the vCard reader (2.1, 3.0, 4.0,
// quoted-printable, charsets, base64 photos, folding), the 3.0 writer the store keeps, the contact
// index, and the export, which must read back card for card.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "contacts_io.h"
#include "scratch_store.h"
#include "vcard.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::isolate();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  auto store = fuzz::freshStore();
  pim::store::ImportResult r;
  try {
    r = pim::contacts::importVcf(*store, text);
  } catch (const pim::store::StoreError& e) {
    // Cards the reader took must store: show what the writer made of them.
    fprintf(stderr, "import failed: %s\n", e.what());
    try {
      fprintf(stderr, "%s\n", pim::vcard::writeCards(pim::vcard::parseCards(text)).c_str());
    } catch (const pim::vcard::ParseError&) {
    }
    std::abort();
  }
  if (r.errors.size() != r.skipped) std::abort();  // every card skipped is reported
  const size_t stored = store->count(pim::store::Folder::Contacts);
  if (stored != r.imported) std::abort();
  for (auto key : store->keys(pim::store::Folder::Contacts)) store->contactFields(key);
  const std::string out = pim::contacts::exportVcf(*store);
  if (pim::vcard::parseCards(out).size() != stored) std::abort();
  return 0;
}
