// Recurrence expansion. libical's own expansion (icalcomponent_foreach_recurrence)
// ignores RDATE;TZID, misplaces all-day events, stretches durations across
// daylight-saving changes and skips RECURRENCE-ID overrides, so we drive
// icalrecur_iterator ourselves and apply EXDATE, RDATE and overrides here.
#pragma once

#include "ical.h"

#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace pim::store {

inline constexpr UtcSeconds kOpenEnd = std::numeric_limits<std::int64_t>::max() / 4;

/// One RRULE as the series keeps it: libical's struct is 2.6 KB, nearly all of it fixed BY arrays
/// that are empty, so the lists are kept as runs, inline while short.
struct Rule {
    enum List { Second, Minute, Hour, Day, MonthDay, YearDay, WeekNo, Month, SetPos, kLists };

    icalrecurrencetype_frequency freq = ICAL_NO_RECURRENCE;
    icaltimetype until = icaltime_null_time();  // its zone is always null
    int count = 0;
    short interval = 1;
    icalrecurrencetype_weekday week_start = ICAL_MONDAY_WEEKDAY;
    icalrecurrencetype_skip skip = ICAL_SKIP_OMIT;
    bool hasRscale = false;
    std::string rscale;  // owned: libical's pointer dies with the component

    static Rule from(const icalrecurrencetype& r);
    /// The full struct for libical's iterator (its rscale points into this rule).
    void fill(icalrecurrencetype& r) const;

    std::size_t size(List l) const { return off_[l + 1] - off_[l]; }
    const short* list(List l) const { return values() + off_[l]; }
    void add(List l, short v);  // at the end of list `l`

private:
    const short* values() const { return big_.empty() ? small_ : big_.data(); }
    static constexpr std::size_t kSmall = 14;
    std::uint16_t off_[kLists + 1] = {};
    short small_[kSmall] = {};
    std::vector<short> big_;  // every value once there are more than kSmall
};

/// The rules of a series: nearly always one, kept inside the series.
class RuleList {
public:
    const Rule* begin() const { return n_ <= 1 ? &one_ : many_.data(); }
    const Rule* end() const { return begin() + n_; }
    Rule& back() { return n_ <= 1 ? one_ : many_.back(); }
    std::size_t size() const { return n_; }
    bool empty() const { return n_ == 0; }
    void push_back(const Rule& r) {
        if (n_ == 0) {
            one_ = r;
        } else {
            if (n_ == 1) many_.push_back(one_);
            many_.push_back(r);
        }
        ++n_;
    }

private:
    std::size_t n_ = 0;
    Rule one_;                // the rule while there is one
    std::vector<Rule> many_;  // every rule once there are more
};

/// One event with its recurrence, compiled from a normalised VCALENDAR (master
/// VEVENT plus override VEVENTs).
struct Series {
    std::string zone;  // Olson
    bool allDay = false;
    WallTime startWall;     // master DTSTART in `zone`
    UtcSeconds start = 0;   // master's first instance
    UtcSeconds end = 0;
    // End of an instance: its wall start plus whole days and wall seconds, converted
    // in `zone`, plus exact seconds. DTEND in the start's zone gives wall seconds, so
    // a 01:30-03:30 meeting keeps those wall times on a daylight-saving night;
    // all-day events give days; DURATION gives days and exact seconds.
    int nominalDays = 0;
    std::int64_t wallSeconds = 0;
    std::int64_t exactSeconds = 0;
    RuleList rules;
    bool finite = true;     // every rule has COUNT or UNTIL
    struct Extra { UtcSeconds start, end; };
    std::vector<UtcSeconds> exdates;   // sorted instants
    std::vector<std::int64_t> exdays;  // EXDATE;VALUE=DATE on a timed event: local days
    std::vector<Extra> rdates;
    struct Override { UtcSeconds recurrenceId, start, end; };
    std::vector<Override> overrides;
    UtcSeconds spanStart = 0, spanEnd = 0;  // kOpenEnd when the rules never end
    UtcSeconds maxLength = 0;               // longest instance, for windowing

    bool recurring() const { return !rules.empty() || !rdates.empty(); }
};

/// Compiles a VCALENDAR after ical::normalize. Throws std::invalid_argument when it
/// holds no VEVENT with a DTSTART.
Series compileSeries(icalcomponent* vcalendar, const std::string& fallbackZone);

/// The compiled series as bytes, to keep beside the item (empty when it cannot be kept, say a
/// rule with RSCALE); loadSeries gives it back, or nothing for bytes of another format.
std::string saveSeries(const Series& s);
std::optional<Series> loadSeries(std::string_view bytes);
/// The same, made where it is kept (a series is a few KB): null for bytes of another format.
std::shared_ptr<const Series> loadSharedSeries(std::string_view bytes);

struct Instance {
    UtcSeconds start, end;
    UtcSeconds recurrenceId;  // the instance's original start
    int override = -1;        // index into Series::overrides, or -1
};

/// Instances with start <= to and end >= from, by start, at most `limit` of them.
std::vector<Instance> expand(const Series& s, UtcSeconds from, UtcSeconds to,
                             std::size_t limit = 100000);
/// The same into `out` (cleared first), so that a listing reuses one buffer for every series.
void expand(const Series& s, UtcSeconds from, UtcSeconds to, std::size_t limit, std::vector<Instance>& out);

namespace detail {
/// Tests set this to expand every rule with libical's iterator, to check the
/// date-arithmetic path against it.
extern bool noFastPath;
}  // namespace detail

}  // namespace pim::store
