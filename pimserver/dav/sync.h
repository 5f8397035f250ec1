// Two-way sync of the local store (the working copy) with a CalDAV calendar and
// a CardDAV address book.
//
// Pull: sync-collection REPORT (RFC 6578) from the last token, else a PROPFIND
// listing compared by etag; bodies come by multiget. Push: new items with
// If-None-Match: *, changed ones with If-Match on the known etag, local deletes
// (tombstones) with DELETE and If-Match.
//
// A conflict (the server's copy changed while the local one did too) keeps both:
// the server's version takes the item's place, the local version becomes a new
// item marked "(conflict copy)" that is sent as a new one. Nothing is dropped
// without the other side having agreed to it.
//
// Every step commits on its own, so a sync that stops half way (the server went
// away) loses nothing: the next one carries on.
#pragma once

#include "http.h"
#include "webdav.h"

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

namespace pim::store {
class Store;
}

namespace pim::dav {

struct CollectionCounts {
    std::string url;
    std::size_t received = 0;      // items added or changed here from the server
    std::size_t removedHere = 0;   // local items removed because the server removed them
    std::size_t sent = 0;          // items sent (new or changed)
    std::size_t removedThere = 0;  // local deletes carried out on the server
    std::size_t skipped = 0;       // server items this store cannot hold (tasks, unreadable)
    bool incremental = false;      // the server answered a sync-collection from our token
};

struct SyncReport {
    CollectionCounts calendar, contacts;
    bool calendarSynced = false, contactsSynced = false;
    /// One sentence per conflict, naming the item and what was kept.
    std::vector<std::string> conflicts;
    /// Items that could not be sent or read, one sentence each; they stay local.
    std::vector<std::string> warnings;
};

struct Collections {
    std::string calendarUrl;  // absolute URL of a calendar collection; empty: not synced
    std::string contactsUrl;  // absolute URL of an address book; empty: not synced
};

/// Called with a phase ("calendar: receiving"), the items done and the items in all.
using SyncProgress = std::function<void(const std::string& phase, std::size_t done, std::size_t total)>;

/// Adds the sync state tables to a store (idempotent). The store's schema version
/// is unchanged: the tables are extra, and an older reader ignores them.
void ensureSyncSchema(store::Store& store);

/// Syncs both collections. Throws DavError; what was done before the failure
/// stays done, and the failure is recorded (lastError).
SyncReport synchronize(store::Store& store, HttpClient& http, const Collections& collections,
                       const SyncProgress& progress = {});

/// The failure of the last sync of this store, empty after a successful one.
std::string lastError(store::Store& store);

/// Number of local changes not yet on the server (new, changed and deleted items).
std::size_t pendingChanges(store::Store& store);

}  // namespace pim::dav
