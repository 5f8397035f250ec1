// Private to the store's sources: the SQLite statement wrapper and caches.
#pragma once

#include "store.h"

#include <sqlite3.h>

#include <memory>
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

struct Store::Cache {
    std::unordered_map<const char*, sqlite3_stmt*> stmts;
    // What a period query needs of an appointment, valid while no other
    // connection has committed (PRAGMA data_version) and dropped on our own writes.
    struct Info {
        uint64_t version;
        UtcSeconds start, end;
        bool recurring, allDay;
        std::shared_ptr<const Series> series;
    };
    std::unordered_map<RecordKey, Info> info;
    int64_t dataVersion = -1;
    struct MemoKey {
        RecordKey key;
        int64_t slot;
        bool operator==(const MemoKey& o) const { return key == o.key && slot == o.slot; }
    };
    struct MemoHash {
        size_t operator()(const MemoKey& k) const {
            return std::hash<uint64_t>()(static_cast<uint64_t>(k.slot) * 1000003u + k.key);  // wraps, never overflows
        }
    };
    struct Memo {
        uint64_t version;
        std::shared_ptr<const void> value;
    };
    std::unordered_map<MemoKey, Memo, MemoHash> memos;
    // Derived bytes of items by key: every slot kept for one version of the item, encoded as in
    // the file's item_derived row (one block a row, read in place); `dirty` rows have slots the
    // file does not have yet.
    struct DerivedRow {
        uint64_t version = 0;
        std::string bytes;
        bool dirty = false;
    };
    std::unordered_map<RecordKey, DerivedRow> derived;
    size_t dirtyRows = 0;
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
