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

// A hash table as two arrays: the rows, dense and unordered, and an index of their positions
// (linear probing, deletion by shifting back). A cache of hundreds of rows is then a few
// allocations to build and to drop, not one a row, and a new table clears no more than its index.
// Pointers to rows last until the next insertion or deletion.
template <class K, class V, class Hash>
class FlatMap {
public:
    V* find(const K& k) {
        if (rows_.empty()) return nullptr;
        for (size_t i = home(k);; i = (i + 1) & mask()) {
            const uint32_t at = index_[i];
            if (at == 0) return nullptr;
            if (rows_[at - 1].first == k) return &rows_[at - 1].second;
        }
    }
    /// The value for `k`, default-made when new.
    V& operator[](const K& k) {
        if ((rows_.size() + 1) * 4 > index_.size() * 3) grow(index_.empty() ? 16 : index_.size() * 2);
        size_t i = home(k);
        for (; index_[i] != 0; i = (i + 1) & mask())
            if (rows_[index_[i] - 1].first == k) return rows_[index_[i] - 1].second;
        rows_.emplace_back(k, V());
        index_[i] = static_cast<uint32_t>(rows_.size());
        return rows_.back().second;
    }
    bool erase(const K& k) {
        if (rows_.empty()) return false;
        size_t i = home(k);
        for (;; i = (i + 1) & mask()) {
            if (index_[i] == 0) return false;
            if (rows_[index_[i] - 1].first == k) break;
        }
        const uint32_t gone = index_[i];
        // Later entries of the same run move back into the hole, so every probe still reaches its row.
        for (size_t j = (i + 1) & mask(); index_[j] != 0; j = (j + 1) & mask()) {
            const size_t h = home(rows_[index_[j] - 1].first);
            if (((j - h) & mask()) >= ((j - i) & mask())) {
                index_[i] = index_[j];
                i = j;
            }
        }
        index_[i] = 0;
        // The last row fills the gap in the rows.
        const uint32_t last = static_cast<uint32_t>(rows_.size());
        if (gone != last) {
            for (size_t j = home(rows_[last - 1].first);; j = (j + 1) & mask())
                if (index_[j] == last) {
                    index_[j] = gone;
                    break;
                }
            rows_[gone - 1] = std::move(rows_[last - 1]);
        }
        rows_.pop_back();
        return true;
    }
    void clear() {
        if (rows_.empty()) return;
        rows_.clear();
        std::fill(index_.begin(), index_.end(), 0u);
    }
    void reserve(size_t n) {
        rows_.reserve(n);
        size_t want = 16;
        while (want * 3 < n * 4) want *= 2;
        if (want > index_.size()) grow(want);
    }
    size_t size() const { return rows_.size(); }
    bool empty() const { return rows_.empty(); }
    template <class Fn>
    void forEach(Fn&& fn) {
        for (auto& [k, v] : rows_) fn(k, v);
    }

private:
    size_t mask() const { return index_.size() - 1; }
    size_t home(const K& k) const { return Hash()(k) & mask(); }
    void grow(size_t n) {
        index_.assign(n, 0u);
        for (size_t r = 0; r < rows_.size(); ++r) {
            size_t i = home(rows_[r].first);
            while (index_[i] != 0) i = (i + 1) & mask();
            index_[i] = static_cast<uint32_t>(r + 1);
        }
    }
    std::vector<std::pair<K, V>> rows_;
    std::vector<uint32_t> index_;  // 0: free; otherwise a row's position plus one
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
