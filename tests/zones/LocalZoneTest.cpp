// The zone table against the C library: every zone file, the TZ forms glibc reads, rule footers
// of every kind, TZ changed at run time, and the cases left to the C library.
#include "LocalZone.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <time.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "../support/Scratch.h"
#include "TimeZoneScope.h"

namespace fs = std::filesystem;
using pim::zones::Segment;
using pim::zones::Zone;

namespace {

const char* const kZoneDir = "/usr/share/zoneinfo";
constexpr int64_t k1850 = -3786825600, k2200 = 7258118400;

// localtime_r's offset, or false where it cannot break t down.
bool libcOffset(int64_t t, long* offset) {
  time_t tt = static_cast<time_t>(t);
  struct tm tm;
  if (!localtime_r(&tt, &tm)) return false;
  *offset = tm.tm_gmtoff;
  return true;
}

using pimtest::readFile;
using pimtest::TempDir;

std::vector<std::string> zoneNames() {
  std::vector<std::string> names;
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(kZoneDir, ec); !ec && it != fs::recursive_directory_iterator();
       it.increment(ec)) {
    if (!it->is_regular_file()) continue;
    std::ifstream in(it->path(), std::ios::binary);
    char magic[4] = {};
    if (in.read(magic, 4) && std::string(magic, 4) == "TZif")
      names.push_back(fs::relative(it->path(), kZoneDir).string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

// Compares the zone TZ names now (already in force) with localtime_r: at every change the
// table knows ±1 s, at every stretch's end from 1850 to 2200, and at random instants. Returns
// how many instants were compared.
size_t expectAgrees(const Zone& z, const std::string& label, std::mt19937_64& rng, int samples = 200) {
  std::vector<int64_t> probes;
  for (int64_t at : z.transitions())
    for (int64_t d : {-1, 0, 1}) probes.push_back(at + d);
  for (int64_t t = k1850; t < k2200;) {
    Segment g;
    if (!z.segmentAt(t, &g)) {
      ADD_FAILURE() << label << ": no answer at " << t;
      break;
    }
    // Stretches follow one another: each after the first starts where the last ended.
    if (g.from > t || g.to <= t || (t != k1850 && g.from != t)) {
      ADD_FAILURE() << label << ": stretch [" << g.from << ", " << g.to << ") does not hold " << t;
      break;
    }
    probes.push_back(g.to - 1);
    probes.push_back(g.to);
    t = g.to;
  }
  std::uniform_int_distribution<int64_t> any(k1850, k2200);
  for (int i = 0; i < samples; ++i) probes.push_back(any(rng));
  size_t compared = 0;
  for (int64_t t : probes) {
    long want;
    if (!libcOffset(t, &want)) continue;
    Segment g;
    if (!z.segmentAt(t, &g)) {
      ADD_FAILURE() << label << ": no answer at " << t;
      return compared;
    }
    long live = 0;
    if (!pim::zones::offsetAt(t, &live)) {
      ADD_FAILURE() << label << ": the process's zone gave no answer at " << t;
      return compared;
    }
    if (g.offset != want || live != want) {
      ADD_FAILURE() << label << " at " << t << ": table " << g.offset << ", process " << live << ", localtime_r "
                    << want;
      return compared;
    }
    ++compared;
  }
  return compared;
}

// A TZif file of version 2: one set of transitions in both sections, then the footer.
struct Type {
  long offset;
  bool dst;
};
std::string tzif(const std::vector<int64_t>& at, const std::vector<unsigned char>& idx, const std::vector<Type>& types,
                 const std::string& footer, char version = '2', uint32_t leaps = 0) {
  auto be = [](std::string& s, uint64_t v, int width) {
    for (int i = width - 1; i >= 0; --i) s += static_cast<char>(v >> (8 * i) & 0xff);
  };
  auto section = [&](int width) {
    std::string s = "TZif";
    s += version;
    s.append(15, '\0');
    for (uint32_t n : {0u, 0u, leaps, uint32_t(at.size()), uint32_t(types.size()), 4u}) be(s, n, 4);
    for (int64_t t : at) be(s, static_cast<uint64_t>(t), width);
    for (unsigned char i : idx) s += static_cast<char>(i);
    for (const Type& t : types) {
      be(s, static_cast<uint32_t>(static_cast<int32_t>(t.offset)), 4);
      s += static_cast<char>(t.dst);
      s += '\0';
    }
    s.append("ABC", 4);
    s.append(size_t(leaps) * (width + 4), '\0');
    return s;
  };
  std::string out = section(4);
  if (version != '\0') out += section(8) + "\n" + footer + "\n";
  return out;
}

TEST(LocalZone, EveryZoneFileAgreesWithTheCLibrary) {
  const std::vector<std::string> names = zoneNames();
  ASSERT_GT(names.size(), 300u) << "the zone files are missing under " << kZoneDir << " (Debian package tzdata)";
  std::mt19937_64 rng(17);
  std::set<std::string> exact;
  size_t compared = 0;
  for (const std::string& name : names) {
    pimtest::TimeZoneScope scope(name.c_str());
    const Zone z = Zone::forTz(name.c_str());
    long offset;
    if (!z.exact()) {
      // Only leap-second zones are the C library's alone.
      EXPECT_EQ(name.rfind("right/", 0), 0u) << name << " was not read";
      EXPECT_FALSE(pim::zones::offsetAt(0, &offset)) << name;
      continue;
    }
    exact.insert(name);
    compared += expectAgrees(z, name, rng, 50);
    if (HasFailure()) return;
  }
  for (const char* odd : {"Australia/Lord_Howe", "America/Santiago", "America/Asuncion", "Africa/Casablanca",
                          "Europe/Dublin", "Pacific/Kiritimati", "Pacific/Apia", "America/St_Johns", "Europe/London"})
    EXPECT_TRUE(exact.count(odd)) << odd;
  EXPECT_GT(compared, names.size() * 100);
}

TEST(LocalZone, ReadsEveryFormOfTzAsGlibcDoes) {
  std::mt19937_64 rng(3);
  long offset;
  TempDir dir;
  dir.put("Mine/Zone", readFile(std::string(kZoneDir) + "/Asia/Kolkata"));
  const std::string berlin = std::string(kZoneDir) + "/Europe/Berlin";
  struct Form {
    std::string tz;
    long july2026;
    bool ownTzdir = false;
  } forms[] = {{"", 0}, {":Europe/Berlin", 7200}, {berlin, 7200}, {":" + berlin, 7200}, {"Mine/Zone", 19800, true}};
  for (const Form& f : forms) {
    const std::string label = f.ownTzdir ? "TZDIR" : f.tz.empty() ? "TZ=\"\"" : f.tz;
    pimtest::Env env;
    if (f.ownTzdir) env.set("TZDIR", dir.path().string());
    pimtest::TimeZoneScope scope(f.tz.c_str());
    const Zone z = Zone::forTz(f.tz.c_str());
    ASSERT_TRUE(z.exact()) << label;
    expectAgrees(z, label, rng);
    ASSERT_TRUE(pim::zones::offsetAt(1782900000, &offset)) << label;
    EXPECT_EQ(offset, f.july2026) << label;
  }
  {
    pimtest::TimeZoneScope scope("UTC");
    unsetenv("TZ");  // the machine's zone, /etc/localtime
    tzset();
    const Zone z = Zone::forTz(nullptr);
    if (fs::exists("/etc/localtime")) {
      ASSERT_TRUE(z.exact());
      expectAgrees(z, "/etc/localtime", rng);
    } else {
      EXPECT_FALSE(pim::zones::offsetAt(0, &offset));
    }
  }
}

// Footers beyond the usual Mm.w.d/2: Julian days with and without leap days, times before
// midnight and past a day, permanent daylight time, a negative daylight saving, southern summers.
TEST(LocalZone, RuleFootersOfEveryKindAgreeWithTheCLibrary) {
  const char* footers[] = {
      "<+1030>-10:30<+11>-11,M10.1.0,M4.1.0",  // half-hour daylight saving
      "XXX3YYY,J60/1,J300/25",                 // Julian days, 1-based, no leap day
      "XXX-5YYY,59/3,300",                     // 0-based, leap days counted
      "EST5EDT,0/0,J365/25",                   // daylight time all year
      "<-03>3<-02>,M3.5.0/-2,M10.5.0/-1",      // changes the evening before
      "IST-1GMT0,M10.5.0,M3.5.0/1",            // negative daylight saving
      "<-04>4<-03>,M9.1.6/24,M4.1.6/24",       // changes at the end of a Saturday
      "XXX0YYY,M2.5.0,M11.5.6/167",            // a week of hours, the fifth week clipped to the last
      "<+0545>-5:45",                          // no daylight saving
      "AAA+3:30:15BBB+2:30:15,M3.2.0/2:15:30,M11.1.0/-0:30",
      "XXX-2YYY-3,M1.1.0/0,M12.5.6/23:59:59",
  };
  TempDir dir;
  std::mt19937_64 rng(5);
  int n = 0;
  for (const char* footer : footers) {
    const std::string path =
        dir.put("footer" + std::to_string(n++), tzif({0, 20000000}, {0, 1}, {{3600, false}, {7200, true}}, footer));
    pimtest::TimeZoneScope scope(path.c_str());
    const Zone z = Zone::forTz(path.c_str());
    ASSERT_TRUE(z.exact()) << footer;
    expectAgrees(z, footer, rng);
    if (HasFailure()) return;
  }
  // Version 1: 32-bit transitions, no footer; the last type holds on.
  const std::string v1 = dir.put("v1", tzif({-100000, 1000000000}, {1, 0}, {{-18000, false}, {-14400, true}}, "", '\0'));
  pimtest::TimeZoneScope scope(v1.c_str());
  const Zone z = Zone::forTz(v1.c_str());
  ASSERT_TRUE(z.exact());
  expectAgrees(z, "v1", rng);
}

// What the table cannot be sure of is left to the C library: the process's zone says so and has
// made glibc read the same TZ.
TEST(LocalZone, LeavesWhatItCannotReadToTheCLibrary) {
  TempDir dir;
  const std::string berlin = readFile(std::string(kZoneDir) + "/Europe/Berlin");
  ASSERT_GT(berlin.size(), 200u);
  std::string badFooter = berlin.substr(0, berlin.rfind('\n', berlin.size() - 2)) + "\nCET-1CEST,M3.5.0\n";
  std::string unsorted = tzif({20000000, 0}, {0, 1}, {{3600, false}, {7200, true}}, "CET-1");
  const std::string cases[] = {
      "Nowhere/Missing",
      dir.put("garbage", "not a zone file at all, though long enough to have a header..................."),
      dir.put("truncated", berlin.substr(0, berlin.size() / 2)),
      dir.put("bad-footer", badFooter),
      dir.put("unsorted", unsorted),
      dir.put("leaps", tzif({0}, {0}, {{0, false}}, "UTC0", '2', 1)),
      dir.put("bad-type", tzif({0}, {3}, {{0, false}}, "UTC0")),
      "EST5EDT4,M3.2.0,M11.1.0",  // a bare rule string: glibc's to read
      dir.path(),                 // a folder
  };
  for (const std::string& tz : cases) {
    pimtest::TimeZoneScope scope(tz.c_str());
    EXPECT_FALSE(Zone::forTz(tz.c_str()).exact()) << tz;
    long offset;
    EXPECT_FALSE(pim::zones::offsetAt(1782900000, &offset)) << tz;
    EXPECT_FALSE(pim::zones::uniqueOffset(1782900000, &offset)) << tz;
  }
}

// TZ changed without tzset(), by setenv, putenv, unsetenv, or by rewriting a putenv'd string,
// with other variables coming and going: the next answer follows.
TEST(LocalZone, FollowsTzChangedAtRunTime) {
  pimtest::TimeZoneScope scope("UTC");
  const int64_t july = 1782900000;
  long offset = 0;
  auto expectOffset = [&](long want, const char* how) {
    ASSERT_TRUE(pim::zones::offsetAt(july, &offset)) << how;
    EXPECT_EQ(offset, want) << how;
    long libc;
    ASSERT_TRUE(libcOffset(july, &libc));
    EXPECT_EQ(libc, want) << how << ": glibc was not told";
  };
  setenv("TZ", "Europe/Berlin", 1);
  expectOffset(7200, "setenv");
  setenv("ZONES_TEST_A", "1", 1);  // grows the environment
  expectOffset(7200, "another variable");
  setenv("TZ", "Asia/Tokyo", 1);
  expectOffset(32400, "setenv again");
  unsetenv("ZONES_TEST_A");  // moves the entries after it
  setenv("TZ", "America/New_York", 1);
  expectOffset(-14400, "after unsetenv of another");
  static char entry[] = "TZ=Asia/Kolkata\0\0\0\0\0";
  putenv(entry);
  expectOffset(19800, "putenv");
  std::snprintf(entry, sizeof entry, "TZ=Asia/Dubai");
  expectOffset(14400, "rewritten in place");
  unsetenv("TZ");
  setenv("ZONES_TEST_B", "1", 1);
  setenv("TZ", "Pacific/Kiritimati", 1);
  expectOffset(50400, "unset, then set at the end");
  unsetenv("ZONES_TEST_B");
  unsetenv("TZ");
  const bool answered = pim::zones::offsetAt(july, &offset);
  long machine;
  ASSERT_TRUE(libcOffset(july, &machine));
  if (answered) {
    EXPECT_EQ(offset, machine) << "unset";
  }
}

// Local time to UTC: where uniqueOffset answers there is exactly one instant showing the local
// time, the one mktime finds; it declines only near a change.
TEST(LocalZone, UniqueOffsetOnlyWhereOneInstantShowsTheLocalTime) {
  const char* zones[] = {"Europe/Berlin", "Australia/Lord_Howe", "America/St_Johns", "Pacific/Apia",
                         "Europe/Dublin", "America/Santiago",    "Europe/London",    "Pacific/Kiritimati"};
  std::mt19937_64 rng(11);
  for (const char* name : zones) {
    pimtest::TimeZoneScope scope(name);
    const Zone z = Zone::forTz(name);
    ASSERT_TRUE(z.exact()) << name;
    std::vector<int64_t> locals;
    for (int64_t at : z.transitions()) {
      if (at < -2208988800 || at > 2240524800) continue;  // 1900 to 2041
      for (int64_t d = -3 * 3600; d <= 3 * 3600; d += 600 + 7) locals.push_back(at + d);
    }
    std::uniform_int_distribution<int64_t> any(-2208988800, 4102444800);
    for (int i = 0; i < 500; ++i) locals.push_back(any(rng));
    const std::vector<int64_t>& at = z.transitions();
    for (int64_t local : locals) {
      // Every instant showing `local` lies within 15 hours of it: its offset is seen hourly there,
      // or at a change in between.
      std::set<long> offsets;
      std::vector<int64_t> near;
      for (int64_t d = -15 * 3600; d <= 15 * 3600; d += 3600) near.push_back(local + d);
      for (auto it = std::lower_bound(at.begin(), at.end(), local - 15 * 3600);
           it != at.end() && *it <= local + 15 * 3600; ++it) {
        near.push_back(*it - 1);
        near.push_back(*it);
      }
      for (int64_t t : near) {
        long o;
        if (libcOffset(t, &o)) offsets.insert(o);
      }
      std::set<int64_t> shows;
      for (long o : offsets) {
        long at;
        if (libcOffset(local - o, &at) && at == o) shows.insert(local - o);
      }
      long offset;
      if (pim::zones::uniqueOffset(local, &offset)) {
        ASSERT_EQ(shows.size(), 1u) << name << " " << local;
        ASSERT_EQ(*shows.begin(), local - offset) << name << " " << local;
        time_t tl = static_cast<time_t>(local);
        struct tm tm;
        gmtime_r(&tl, &tm);
        tm.tm_isdst = -1;
        ASSERT_EQ(mktime(&tm), local - offset) << name << " " << local;
      } else {
        Segment g;
        ASSERT_TRUE(z.segmentAt(local, &g));
        EXPECT_TRUE(g.to - g.from < 4 * 86400 || local - g.from < 2 * 86400 || g.to - local < 2 * 86400)
            << name << " " << local << " declined far from any change";
      }
    }
  }
}

}  // namespace
