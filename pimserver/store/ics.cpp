// .ics import and export. The file is cut into its top-level components by
// scanning lines, so a large file is never held as one libical tree; the VEVENTs
// of one UID (master and overrides) are stored together as one item.
#include "event.h"
#include "store_impl.h"

#include <fstream>
#include <sstream>
#include <unordered_map>

namespace pim::store {
namespace {

struct Block {
    std::string_view text;
    std::string name;  // VEVENT, VTODO, VTIMEZONE, ...
    std::string uid;
};

std::string_view trimLine(std::string_view l) {
    while (!l.empty() && (l.back() == '\r' || l.back() == '\n')) l.remove_suffix(1);
    return l;
}

bool startsWithNoCase(std::string_view s, std::string_view p) {
    if (s.size() < p.size()) return false;
    for (size_t i = 0; i < p.size(); ++i)
        if (std::toupper(static_cast<unsigned char>(s[i])) != p[i]) return false;
    return true;
}

// Top-level components inside VCALENDARs, with the UID of each (unfolded).
std::vector<Block> splitComponents(std::string_view text) {
    std::vector<Block> out;
    size_t pos = 0;
    int depth = 0;
    size_t blockStart = 0;
    Block cur;
    bool uidPending = false;
    while (pos < text.size()) {
        size_t nl = text.find('\n', pos);
        size_t next = nl == std::string_view::npos ? text.size() : nl + 1;
        std::string_view line = trimLine(text.substr(pos, next - pos));
        if (uidPending) {
            if (!line.empty() && (line[0] == ' ' || line[0] == '\t')) cur.uid.append(line.substr(1));
            else uidPending = false;
        }
        if (startsWithNoCase(line, "BEGIN:")) {
            if (depth == 1) {
                blockStart = pos;
                cur = Block{};
                cur.name = std::string(line.substr(6));
                for (char& c : cur.name) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
            }
            ++depth;
        } else if (startsWithNoCase(line, "END:")) {
            --depth;
            if (depth == 1) {
                cur.text = text.substr(blockStart, next - blockStart);
                out.push_back(std::move(cur));
                cur = Block{};
            }
            if (depth < 0) depth = 0;
        } else if (depth == 2 && (startsWithNoCase(line, "UID:") || startsWithNoCase(line, "UID;"))) {
            size_t colon = line.find(':');
            cur.uid = std::string(line.substr(colon + 1));
            uidPending = true;
        }
        pos = next;
    }
    return out;
}

std::string readFile(const std::string& file) {
    std::ifstream in(file, std::ios::binary);
    if (!in) throw StoreError(Errc::NotFound, "cannot read " + file);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

}  // namespace

ImportResult Store::importIcs(std::string_view text, const Progress& progress) {
    std::vector<Block> blocks = splitComponents(text);
    std::map<std::string, std::string> hints;
    // Events grouped by UID in order of first appearance; others on their own.
    std::vector<std::vector<const Block*>> groups;
    std::unordered_map<std::string, size_t> byUid;
    for (const Block& b : blocks) {
        if (b.name == "VTIMEZONE") {
            if (ical::ComponentPtr tz = ical::parse(b.text)) {
                icalcomponent* inner = icalcomponent_get_first_component(tz.get(), ICAL_VTIMEZONE_COMPONENT);
                if (inner) ical::collectZoneHints(inner, hints);
            }
            continue;
        }
        if (b.name == "VEVENT" && !b.uid.empty()) {
            auto [it, fresh] = byUid.emplace(b.uid, groups.size());
            if (fresh) groups.emplace_back();
            groups[it->second].push_back(&b);
        } else {
            groups.push_back({&b});
        }
    }

    ImportResult result;
    const std::string floating = zone::local();
    const size_t total = groups.size();
    const size_t step = std::max<size_t>(1, total / 200);
    std::lock_guard<std::recursive_mutex> lock(mu_);
    // A large page cache keeps a big import from spilling pages into the WAL twice.
    struct CacheSize {
        Store& s;
        explicit CacheSize(Store& st) : s(st) { s.exec("PRAGMA cache_size=-131072"); }
        ~CacheSize() {
            try {
                s.exec("PRAGMA cache_size=-32768");
            } catch (...) {
            }
        }
    } bigCache(*this);
    beginWrite();
    try {
        for (size_t g = 0; g < groups.size(); ++g) {
            const auto& group = groups[g];
            std::string text = "BEGIN:VCALENDAR\r\nVERSION:2.0\r\n";
            for (const Block* b : group) text.append(b->text);
            text.append("END:VCALENDAR\r\n");
            const std::string& name = group.front()->name;
            try {
                if (name == "VEVENT") {
                    ical::ComponentPtr cal = ical::parse(text);
                    if (!cal || !ical::master(cal.get())) throw StoreError(Errc::Invalid, "unreadable VEVENT");
                    std::string z = ical::normalize(cal.get(), floating, hints);
                    std::optional<RecordKey> existing;
                    if (!group.front()->uid.empty()) {
                        Stmt q(*this, "SELECT key FROM items WHERE uid=?1 AND kind=1 LIMIT 1");
                        q.bind(1, group.front()->uid);
                        if (q.step()) existing = static_cast<RecordKey>(q.i64(0));
                    }
                    RecordKey added = 0;
                    // An unreadable event fails before anything is written.
                    storeEvent(existing.value_or(0), cal.get(), z, !existing, &added);
                } else if (name == "VTODO" || name == "VJOURNAL") {
                    // Kept as written, so it must read back: the export carries it to other readers.
                    if (!ical::parse(text)) throw StoreError(Errc::Invalid, "unreadable " + name);
                    insertItem(Folder::Calendar, name == "VTODO" ? Kind::Task : Kind::Note, group.front()->uid, text, "",
                               0, 0, false, 0, 0);
                } else {
                    ++result.skipped;
                    continue;
                }
                ++result.imported;
            } catch (const StoreError& e) {
                if (e.code() != Errc::Invalid) throw;
                ++result.skipped;
                result.errors.push_back(e.what());
            } catch (const std::invalid_argument& e) {
                ++result.skipped;
                result.errors.push_back(e.what());
            }
            if (progress && ((g + 1) % step == 0 || g + 1 == total) && !progress(g + 1, total)) {
                rollback();
                result.cancelled = true;
                result.imported = 0;
                return result;
            }
        }
    } catch (...) {
        rollback();
        throw;
    }
    commit();
    if (progress && total == 0) progress(0, 0);
    return result;
}

ImportResult Store::importIcsFile(const std::string& file, const Progress& progress) {
    std::string text = readFile(file);
    return importIcs(text, progress);
}

namespace {

// The components of a stored VCALENDAR text, without the wrapper.
std::string_view innerComponents(std::string_view data) {
    size_t first = data.find("\nBEGIN:");
    size_t last = data.rfind("END:VCALENDAR");
    if (first == std::string_view::npos || last == std::string_view::npos || last < first) return {};
    return data.substr(first + 1, last - first - 1);
}

}  // namespace

std::string Store::exportIcs(const Progress& progress) {
    std::lock_guard<std::recursive_mutex> lock(mu_);
    std::string out = "BEGIN:VCALENDAR\r\nVERSION:2.0\r\nPRODID:-//PimServer//Store//EN\r\n";
    std::vector<std::string> zones;
    std::string body;
    bool ownTx = txDepth_ == 0;
    if (ownTx) exec("BEGIN");
    try {
        size_t total;
        {
            Stmt c(*this, "SELECT count(*) FROM items WHERE folder=9");
            c.step();
            total = static_cast<size_t>(c.i64(0));
        }
        Stmt q(*this, "SELECT data, zone FROM items WHERE folder=9 ORDER BY key");
        size_t done = 0;
        const size_t step = std::max<size_t>(1, total / 200);
        while (q.step()) {
            std::string data = q.text(0);
            std::string z = q.text(1);
            if (!z.empty() && z != "UTC" && std::find(zones.begin(), zones.end(), z) == zones.end()) zones.push_back(z);
            body.append(innerComponents(data));
            ++done;
            if (progress && (done % step == 0 || done == total) && !progress(done, total)) break;
        }
    } catch (...) {
        if (ownTx) sqlite3_exec(db_, "COMMIT", nullptr, nullptr, nullptr);
        throw;
    }
    if (ownTx) exec("COMMIT");
    for (const std::string& z : zones) {
        icaltimezone* tz = icaltimezone_get_builtin_timezone(z.c_str());
        icalcomponent* c = tz ? icaltimezone_get_component(tz) : nullptr;
        if (!c) continue;
        ical::ComponentPtr copy(icalcomponent_new_clone(c));
        if (icalproperty* id = icalcomponent_get_first_property(copy.get(), ICAL_TZID_PROPERTY))
            icalproperty_set_tzid(id, z.c_str());
        out.append(ical::write(copy.get()));
    }
    out.append(body);
    out.append("END:VCALENDAR\r\n");
    return out;
}

void Store::exportIcsFile(const std::string& file, const Progress& progress) {
    std::string text = exportIcs(progress);
    std::string tmp = file + ".tmp";
    {
        std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
        if (!out) throw StoreError(Errc::AccessDenied, "cannot write " + file);
        out.write(text.data(), static_cast<std::streamsize>(text.size()));
        out.flush();
        if (!out) throw StoreError(Errc::Io, "cannot write " + file);
    }
    if (std::rename(tmp.c_str(), file.c_str()) != 0) {
        std::remove(tmp.c_str());
        throw StoreError(Errc::Io, "cannot write " + file);
    }
}

}  // namespace pim::store
