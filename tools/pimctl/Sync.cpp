// pimctl sync: the profile's local working copy against its CalDAV/CardDAV server.
#include <cstdio>
#include <iostream>

#include <nlohmann/json.hpp>

#include "Commands.h"
#include "Outcome.h"
#include "objects.h"
#include "profile.h"
#include "store.h"

namespace pimctl {
namespace {

std::string countsLine(const char* name, const pim::dav::CollectionCounts& c) {
  std::string s = std::string(name) + ": " + std::to_string(c.received) + " received, " + std::to_string(c.removedHere) +
                  " removed here, " + std::to_string(c.sent) + " sent, " + std::to_string(c.removedThere) +
                  " removed on the server";
  if (c.skipped) s += ", " + std::to_string(c.skipped) + " not of this store's kind";
  return s + " (" + c.url + ")";
}

nlohmann::json countsJson(const pim::dav::CollectionCounts& c) {
  return {{"url", c.url},           {"received", c.received},         {"removedHere", c.removedHere},
          {"sent", c.sent},         {"removedThere", c.removedThere}, {"skipped", c.skipped},
          {"incremental", c.incremental}};
}

}  // namespace

int runSync(const Options& opt) {
  pim::outlook::ProfilePath where = pim::outlook::profileStorePath();
  if (where.davUrl.empty()) {
    std::cerr << "pimctl: the profile's store is the local file " << where.path
              << "; set the profile value Store (HKCU\\Software\\PimServer\\Profile) to the server's http(s) URL to sync\n";
    return kExitStore;
  }
  pim::dav::SyncProgress progress;
  if (opt.interactive && !opt.json) {
    progress = [last = std::string()](const std::string& phase, std::size_t done, std::size_t total) mutable {
      std::fprintf(stderr, "\r%s %zu/%zu", phase.c_str(), done, total);
      if (done >= total) std::fputc('\n', stderr);
      last = phase;
    };
  }
  pim::dav::DavProfile profile = pim::dav::readProfile(where.davUrl);
  try {
    pim::dav::SyncReport r = pim::dav::syncProfile(profile, progress);
    if (opt.json) {
      nlohmann::json j = {{"store", where.path}, {"conflicts", r.conflicts}, {"warnings", r.warnings}};
      if (r.calendarSynced) j["calendar"] = countsJson(r.calendar);
      if (r.contactsSynced) j["contacts"] = countsJson(r.contacts);
      std::cout << j.dump(2) << "\n";
    } else {
      if (r.calendarSynced) std::cout << countsLine("calendar", r.calendar) << "\n";
      if (r.contactsSynced) std::cout << countsLine("contacts", r.contacts) << "\n";
      for (const std::string& c : r.conflicts) std::cout << "conflict: " << c << "\n";
      for (const std::string& w : r.warnings) std::cerr << "pimctl: " << w << "\n";
    }
    return kExitOk;
  } catch (const pim::dav::DavError& e) {
    std::cerr << "pimctl: sync failed: " << e.what() << "\n";
    if (e.kind() == pim::dav::Failure::Network || e.kind() == pim::dav::Failure::Http) {
      std::string count = "local changes";
      try {
        count = std::to_string(pim::dav::pendingChangesOf(where.path)) + " local change(s)";
      } catch (const std::exception&) {
      }
      std::cerr << "pimctl: " << count << " not yet on the server are kept in " << where.path
                << " and go there with the next sync\n";
    }
    return kExitStore;
  }
}

}  // namespace pimctl
