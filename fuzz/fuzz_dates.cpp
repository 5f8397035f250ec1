// Fuzzes the dates pimctl accepts on its command line: ISO 8601 and the user's short-date picture
// (from a table, or from the input: it is the user's own registry value), then shows what was read
// as pimctl does. A date read must be a real instant that reads back as itself.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "Dates.h"
#include "scratch.h"

namespace {

const char* const kPictures[] = {"M/d/yyyy", "dd.MM.yyyy", "yyyy-MM-dd", "d/M/yy", "'W' yyyy.M.d", "MM-dd-yyyy",
                                 "d MMMM yyyy", "yy/M/d"};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::isolate();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  // Byte 0: bit 0 the first line is the picture, bits 1-3 a picture of the table.
  std::string text(reinterpret_cast<const char*>(data + 1), size - 1);
  std::string picture = kPictures[(data[0] >> 1) & 7];
  if (data[0] & 1) {
    size_t nl = text.find('\n');
    if (nl == std::string::npos) return 0;
    picture = text.substr(0, nl);
    text.erase(0, nl + 1);
  }
  std::string error;
  std::optional<DATE> d = pimctl::parseDate(text, picture, &error);
  if (!d) {
    if (error.empty()) std::abort();  // a refusal always says why
    return 0;
  }
  if (!std::isfinite(*d)) std::abort();
  const std::string shown = pimctl::formatDate(*d, true);
  const std::string iso = pimctl::isoDate(*d, true);
  pimctl::formatDate(*d, false);
  pimctl::isoDate(*d, false);
  // What pimctl prints for --json it reads back to the same second.
  std::string again;
  std::optional<DATE> back = pimctl::parseDate(iso, picture, &again);
  if (!back || std::llabs(pimctl::timeFromDate(*back) - pimctl::timeFromDate(*d)) > 0) {
    fprintf(stderr, "read %s, shown %s, read back %s\n", text.c_str(), iso.c_str(), again.c_str());
    std::abort();
  }
  return 0;
}
