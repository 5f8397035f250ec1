// Private to the store's sources: the SQLite statement wrapper and caches.
#pragma once

#include "store.h"

#include <sqlite3.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace pim::store {

inline Errc errcOf(int rc) {
    switch (rc & 0xFF) {
    case SQLITE_BUSY:
    case SQLITE_LOCKED: return Errc::Locked;
    case SQLITE_NOTADB:
    case SQLITE_CORRUPT: return Errc::NotAStore;
    case SQLITE_CANTOPEN:
    case SQLITE_PERM:
    case SQLITE_READONLY:
    case SQLITE_AUTH: return Errc::AccessDenied;
    default: return Errc::Io;
    }
}

[[noreturn]] inline void fail(sqlite3* db, int rc, const char* what) {
    std::string msg = std::string(what) + ": " + (db ? sqlite3_errmsg(db) : sqlite3_errstr(rc));
    throw StoreError(errcOf(rc), msg);
}

// A hash table in one array (linear probing, deletion by shifting back): a cache of hundreds of
// rows is then one allocation to build and one to drop, not one a row. Pointers into it last
// until the next insertion.
template <class K, class V, class Hash>
class FlatMap {
public:
    V* find(const K& k) {
        if (size_ == 0) return nullptr;
        for (size_t i = home(k);; i = (i + 1) & mask()) {
            if (!slots_[i].used) return nullptr;
            if (slots_[i].key == k) return &slots_[i].value;
        }
    }
    /// The value for `k`, default-made when new.
    V& operator[](const K& k) {
        if ((size_ + 1) * 4 > slots_.size() * 3) grow(slots_.empty() ? 16 : slots_.size() * 2);
        size_t i = home(k);
        for (; slots_[i].used; i = (i + 1) & mask())
            if (slots_[i].key == k) return slots_[i].value;
        slots_[i].used = true;
        slots_[i].key = k;
        ++size_;
        return slots_[i].value;
    }
    bool erase(const K& k) {
        if (size_ == 0) return false;
        size_t i = home(k);
        for (;; i = (i + 1) & mask()) {
            if (!slots_[i].used) return false;
            if (slots_[i].key == k) break;
        }
        // Later rows of the same run move back into the hole, so every probe still reaches its row.
        for (size_t j = (i + 1) & mask(); slots_[j].used; j = (j + 1) & mask()) {
            size_t h = home(slots_[j].key);
            if (((j - h) & mask()) >= ((j - i) & mask())) {
                slots_[i].key = slots_[j].key;
                slots_[i].value = std::move(slots_[j].value);
                i = j;
            }
        }
        slots_[i].used = false;
        slots_[i].value = V();
        --size_;
        return true;
    }
    void clear() {
        if (size_ == 0) return;
        for (Slot& s : slots_)
            if (s.used) s = Slot();
        size_ = 0;
    }
    void reserve(size_t n) {
        size_t want = 16;
        while (want * 3 < n * 4) want *= 2;
        if (want > slots_.size()) grow(want);
    }
    size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    template <class Fn>
    void forEach(Fn&& fn) {
        for (Slot& s : slots_)
            if (s.used) fn(s.key, s.value);
    }

private:
    struct Slot {
        bool used = false;
        K key{};
        V value{};
    };
    size_t mask() const { return slots_.size() - 1; }
    size_t home(const K& k) const { return Hash()(k) & mask(); }
    void grow(size_t n) {
        std::vector<Slot> old(n);
        old.swap(slots_);
        for (Slot& s : old)
            if (s.used) {
                size_t i = home(s.key);
                while (slots_[i].used) i = (i + 1) & mask();
                slots_[i] = std::move(s);
            }
    }
    std::vector<Slot> slots_;
    size_t size_ = 0;
};

struct KeyHash {
    size_t operator()(RecordKey k) const { return static_cast<size_t>((uint64_t{k} * 0x9E3779B97F4A7C15ull) >> 32); }
};

// Bytes kept until the whole arena is dropped: blocks of many rows in one allocation each. A
// replaced row's old bytes stay until then.
class Arena {
public:
    std::string_view keep(std::string_view b) {
        if (b.empty()) return {};
        if (blocks_.empty() || room_ < b.size()) {
            size_t n = std::max<size_t>(b.size(), 64 * 1024);
            blocks_.push_back(std::make_unique_for_overwrite<char[]>(n));  // no zeroing: every byte is written before use
            room_ = n;
            top_ = blocks_.back().get();
        }
        char* at = top_;
        used_ += b.size();
        std::memcpy(at, b.data(), b.size());
        top_ += b.size();
        room_ -= b.size();
        return {at, b.size()};
    }
    void clear() {
        blocks_.clear();
        room_ = 0;
        top_ = nullptr;
        used_ = 0;
    }
    size_t used() const { return used_; }

private:
    std::vector<std::unique_ptr<char[]>> blocks_;
    char* top_ = nullptr;
    size_t room_ = 0;
    size_t used_ = 0;
};

struct Store::Cache {
    std::unordered_map<const char*, sqlite3_stmt*> stmts;
    // What a period query needs of an appointment, valid while no other
    // connection has committed (PRAGMA data_version) and dropped on our own writes.
    struct Info {
        uint64_t version = 0;
        UtcSeconds start = 0, end = 0;
        bool recurring = false, allDay = false;
        std::shared_ptr<const Series> series;
    };
    FlatMap<RecordKey, Info, KeyHash> info;
    int64_t dataVersion = -1;
    struct MemoKey {
        RecordKey key = 0;
        int64_t slot = 0;
        bool operator==(const MemoKey& o) const { return key == o.key && slot == o.slot; }
    };
    struct MemoHash {
        size_t operator()(const MemoKey& k) const {
            return static_cast<size_t>(((static_cast<uint64_t>(k.slot) * 1000003u + k.key) * 0x9E3779B97F4A7C15ull) >> 32);
        }
    };
    struct Memo {
        uint64_t version = 0;
        std::shared_ptr<const void> value;
    };
    FlatMap<MemoKey, Memo, MemoHash> memos;
    // Derived bytes of items by key: every slot kept for one version of the item, encoded as in
    // the file's item_derived row (one block a row, read in place, held by `arena`); `dirty` rows
    // have slots the file does not have yet.
    struct DerivedRow {
        uint64_t version = 0;
        std::string_view bytes;
        bool dirty = false;
    };
    FlatMap<RecordKey, DerivedRow, KeyHash> derived;
    Arena arena;
    size_t compactAt = 1 << 20;
    void clearDerived() {
        derived.clear();
        arena.clear();
    }
    /// Gives `b` to a row; bytes of replaced and dropped rows are given back once they are most
    /// of the arena (views of rows are then out of date).
    std::string_view keep(std::string_view b) {
        if (arena.used() + b.size() > compactAt) {
            size_t live = 0;
            derived.forEach([&](RecordKey, DerivedRow& r) { live += r.bytes.size(); });
            if (live * 2 < arena.used()) {
                Arena fresh;
                derived.forEach([&](RecordKey, DerivedRow& r) { r.bytes = fresh.keep(r.bytes); });
                std::swap(arena, fresh);
            }
            compactAt = std::max<size_t>(compactAt, 2 * (arena.used() + b.size()));
        }
        return arena.keep(b);
    }
    size_t dirtyRows = 0;
    size_t lastListed = 0;  // instances the last listing collected: the next one's first guess
    bool derivedTable = false;
    int busyTimeoutMs = 10000;
};

struct Store::Stmt {
    sqlite3* db;
    sqlite3_stmt* s;
    Stmt(Store& store, const char* sql) : db(store.db_) {
        auto& cache = store.cache_->stmts;
        auto it = cache.find(sql);
        if (it != cache.end()) {
            s = it->second;
        } else {
            int rc = sqlite3_prepare_v3(db, sql, -1, SQLITE_PREPARE_PERSISTENT, &s, nullptr);
            if (rc != SQLITE_OK) fail(db, rc, "prepare");
            cache.emplace(sql, s);
        }
    }
    ~Stmt() {
        sqlite3_reset(s);
        sqlite3_clear_bindings(s);
    }
    Stmt& bind(int i, int64_t v) {
        sqlite3_bind_int64(s, i, v);
        return *this;
    }
    Stmt& bind(int i, std::string_view v) {
        sqlite3_bind_text(s, i, v.data(), static_cast<int>(v.size()), SQLITE_TRANSIENT);
        return *this;
    }
    Stmt& bindNull(int i) {
        sqlite3_bind_null(s, i);
        return *this;
    }
    bool step() {
        int rc = sqlite3_step(s);
        if (rc == SQLITE_ROW) return true;
        if (rc == SQLITE_DONE) return false;
        fail(db, rc, "step");
    }
    int64_t i64(int c) { return sqlite3_column_int64(s, c); }
    bool null(int c) { return sqlite3_column_type(s, c) == SQLITE_NULL; }
    std::string text(int c) {
        const unsigned char* t = sqlite3_column_text(s, c);
        return t ? std::string(reinterpret_cast<const char*>(t), static_cast<size_t>(sqlite3_column_bytes(s, c)))
                 : std::string();
    }
};

    


}  // namespace pim::store
