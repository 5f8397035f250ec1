// Named fault points and call counters.
#include <pim/fault.h>

#include <map>
#include <mutex>
#include <string>

namespace pim::fault {

std::atomic<bool> g_enabled{false};

namespace {

struct Point {
  unsigned long calls = 0;
  unsigned skip = 0;       // calls still to pass before the armed failures
  unsigned remaining = 0;  // armed failures left
  HRESULT hr = 0;
};

struct Table {
  std::mutex mutex;
  std::map<std::string, Point, std::less<>> points;
};

// Never destroyed: fault points may be hit from static destructors of other libraries.
Table& table() {
  static Table* t = new Table;
  return *t;
}

}  // namespace

bool hit(const char* name, HRESULT* hr) {
  if (!name) return false;
  try {
    Table& t = table();
    std::lock_guard lock(t.mutex);
    auto it = t.points.find(std::string_view(name));
    if (it == t.points.end()) it = t.points.emplace(name, Point{}).first;
    Point& p = it->second;
    ++p.calls;
    if (p.remaining == 0) return false;
    if (p.skip > 0) {
      --p.skip;
      return false;
    }
    --p.remaining;
    if (hr) *hr = p.hr;
    return true;
  } catch (...) {
    return false;
  }
}

void arm(const char* name, HRESULT hr, unsigned nth, unsigned times) {
  if (!name) return;
  try {
    Table& t = table();
    std::lock_guard lock(t.mutex);
    Point& p = t.points[name];
    p.skip = nth > 0 ? nth - 1 : 0;
    p.remaining = times;
    p.hr = hr;
  } catch (...) {
    return;
  }
  // An armed point must never be skipped by the fast check.
  g_enabled.store(true, std::memory_order_relaxed);
}

void disarm(const char* name) {
  if (!name) return;
  Table& t = table();
  std::lock_guard lock(t.mutex);
  auto it = t.points.find(std::string_view(name));
  if (it != t.points.end()) {
    it->second.remaining = 0;
    it->second.skip = 0;
  }
}

unsigned long count(const char* name) {
  if (!name) return 0;
  Table& t = table();
  std::lock_guard lock(t.mutex);
  auto it = t.points.find(std::string_view(name));
  return it == t.points.end() ? 0 : it->second.calls;
}

void enable(bool on) {
  Table& t = table();
  std::lock_guard lock(t.mutex);
  t.points.clear();
  g_enabled.store(on, std::memory_order_relaxed);
}

}  // namespace pim::fault
