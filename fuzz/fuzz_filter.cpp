// Fuzzes the filter language of Items.Restrict and Items.Find: the parser, the date reader under
// several short-date pictures (or one taken from the input: it is the user's own registry value),
// evaluation against an item, and the period window a query derives from a filter.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "filter.h"
#include "scratch.h"

namespace {

namespace filter = pim::outlook::filter;

const char* const kPictures[] = {"M/d/yyyy", "dd.MM.yyyy", "yyyy-MM-dd", "d MMMM yyyy", "dd/MM/yy",
                                 "ddd, MMM d, yyyy", "'Day' d 'of' M, yyyy", "gg yyyy/M/d"};
const char* const kDesignators[][2] = {{"AM", "PM"}, {"vorm.", "nachm."}, {"", ""}, {"a", "p"}};

std::optional<filter::Value> itemValue(const std::string& property) {
  filter::Value v;
  auto type = filter::propertyType(property, true);
  if (!type) type = filter::propertyType(property, false);
  if (!type) std::abort();  // the parser let through a property it does not know
  v.type = *type;
  switch (v.type) {
    case filter::Type::Text: v.text = property == "Subject" ? "Weekly \"sync\"" : "o'Brien"; break;
    case filter::Type::Time: v.time = 1796382000; break;  // 2026-12-05 12:00 UTC
    case filter::Type::Bool: v.number = property.size() % 2; break;
    case filter::Type::Number: v.number = 15; break;
  }
  if (property == "Location") return std::nullopt;  // an item without that property
  return v;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::isolate();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  // Byte 0: bit 0 the calendar's properties, else the contacts'; bit 1 the first line is the
  // short-date picture; bits 2-4 a picture of the table; bits 5-6 the AM/PM designators.
  const uint8_t flags = data[0];
  std::string_view rest(reinterpret_cast<const char*>(data + 1), size - 1);
  filter::Formats formats;
  formats.shortDate = kPictures[(flags >> 2) & 7];
  formats.am = kDesignators[(flags >> 5) & 3][0];
  formats.pm = kDesignators[(flags >> 5) & 3][1];
  if (flags & 2) {
    size_t nl = rest.find('\n');
    if (nl == std::string_view::npos) return 0;
    formats.shortDate = std::string(rest.substr(0, nl));
    rest.remove_prefix(nl + 1);
  }
  const bool calendar = flags & 1;

  filter::parseLocalDateTime(rest, formats);
  std::unique_ptr<filter::Node> node;
  try {
    node = filter::parse(rest, calendar, formats);
  } catch (const filter::Error&) {
    return 0;
  }
  filter::evaluate(*node, itemValue);
  filter::window(*node);
  filter::exactlyWindow(*node);
  return 0;
}
