// Recurrence expansion. libical's own expansion (icalcomponent_foreach_recurrence)
// ignores RDATE;TZID, misplaces all-day events, stretches durations across
// daylight-saving changes and skips RECURRENCE-ID overrides, so we drive
// icalrecur_iterator ourselves and apply EXDATE, RDATE and overrides here.
#pragma once

#include "ical.h"

#include <cstddef>
#include <limits>
#include <memory>
#include <optional>
#include <string_view>
#include <vector>

namespace pim::store {

inline constexpr UtcSeconds kOpenEnd = std::numeric_limits<std::int64_t>::max() / 4;

/// The rules of a series: nearly always one, kept inside the series (a rule is 2.6 KB; a block of
/// its own cost an allocation to load each series and a release to drop it).
class RuleList {
public:
    const icalrecurrencetype* begin() const { return n_ <= 1 ? &one_ : many_.data(); }
    const icalrecurrencetype* end() const { return begin() + n_; }
    icalrecurrencetype& back() { return n_ <= 1 ? one_ : many_.back(); }
    std::size_t size() const { return n_; }
    bool empty() const { return n_ == 0; }
    void push_back(const icalrecurrencetype& r) {
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
    icalrecurrencetype one_;  // the rule while there is one (not cleared before: a series is made by filling it)
    std::vector<icalrecurrencetype> many_;  // every rule once there are more
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
