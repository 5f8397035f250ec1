// The filter language of Items.Restrict and Items.Find:
//   [Property] op value, joined by and / or / not and parentheses,
//   op one of = <> < <= > >=, values in double quotes (a doubled quote stands for
//   one) or single quotes, or bare numbers and True/False.
// Dates and times are read in the user's short date format and time format
// (HKCU\Control Panel\International), the forms GetDateFormatA/GetTimeFormatA write.
#pragma once

#include "zone.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

namespace pim::outlook::filter {

class Error : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

enum class Type { Text, Time, Bool, Number };
enum class Op { Eq, Ne, Lt, Le, Gt, Ge };

struct Formats {
    std::string shortDate = "M/d/yyyy";
    std::string am = "AM", pm = "PM";
};
/// The user's formats from the registry (defaults when absent).
Formats userFormats();

/// Parses a date-and-time text as the user's formats write it (local time);
/// nullopt when it cannot be read.
std::optional<store::UtcSeconds> parseLocalDateTime(std::string_view text, const Formats& f);

struct Node {
    enum Kind { And, Or, Not, Compare } kind = Compare;
    std::unique_ptr<Node> left, right;
    // Compare:
    std::string property;  // canonical spelling
    Type type = Type::Text;
    Op op = Op::Eq;
    std::string text;             // Text
    store::UtcSeconds time = 0;   // Time
    int64_t number = 0;           // Number, Bool (0 / 1)
};

/// The type of a property of the folder's items, nullopt when unknown.
/// `calendar` selects the calendar's property set, else the contacts'.
std::optional<Type> propertyType(std::string_view name, bool calendar, std::string* canonical = nullptr);

/// Parses a filter; throws Error on anything it cannot read (unknown property,
/// unreadable value or date, stray text).
std::unique_ptr<Node> parse(std::string_view text, bool calendar, const Formats& formats);

/// A property's value on one item; nullopt when the item has no such property
/// (the comparison is then false).
struct Value {
    Type type = Type::Text;
    std::string text;
    store::UtcSeconds time = 0;
    int64_t number = 0;
};
using Getter = std::function<std::optional<Value>(const std::string& property)>;

bool evaluate(const Node& n, const Getter& get);

/// Conservative bounds of matching appointments: a match has end >= lo and start <= hi.
struct Window {
    store::UtcSeconds lo, hi;
};
Window window(const Node& n);

/// True when `n` says no more than its window: only [Start] <= t and [End] >= t
/// joined by and. A period query then needs no evaluation per item.
bool exactlyWindow(const Node& n);

}  // namespace pim::outlook::filter
