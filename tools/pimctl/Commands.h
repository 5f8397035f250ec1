// The commands of pimctl. Each returns the process's exit status.
#pragma once
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "Entries.h"

namespace pimctl {

struct Options {
  bool json = false;
  bool utc = false;
  bool interactive = false;  // standard error is a terminal: show progress
  std::function<std::string()> usageText;  // the command's usage, made only when an error shows it
  // agenda
  std::string from, to;
  bool day = false, week = false, month = false;
  // show, update, remove
  std::string id;
  // add, update
  std::string subject, start, end, location, status, notes;
  bool allDay = false;
  std::optional<LONG> reminder;
  std::vector<std::string> attendees;
  // contact
  std::string first, last, key, exportFile, format = "vcard";
  // store
  std::string storePath, file;
};

int run(const std::string& command, const Options& opt);
int runStore(const std::string& chore, const Options& opt);
// Syncs the profile's working copy with its CalDAV/CardDAV server.
int runSync(const Options& opt);
// `make run`'s job: a demonstration store on first run, this week's agenda, a contact by name and
// by key, exported as vCard.
int runDemo(const Options& opt);

// The PIM server's side, for what the component does not offer.
std::string profileStorePath();
// Attendees of appointments by entry id, read from the store. One reader serves one command: it
// opens the store once and reads each appointment once, however many of its occurrences are listed.
// Most occurrences the PIM server lists for one period (the earliest ones).
std::size_t serverOccurrenceLimit();
class StoredAttendees {
 public:
  StoredAttendees();
  ~StoredAttendees();
  StoredAttendees(const StoredAttendees&) = delete;
  StoredAttendees& operator=(const StoredAttendees&) = delete;
  // Their texts are kept in `texts`.
  std::vector<Attendee> of(std::string_view entryId, Texts& texts);
  // The attendees of each of these, in their order, read at once (one snapshot of the store); an
  // id listed twice is read once.
  std::vector<std::vector<Attendee>> readAll(const std::vector<std::string_view>& entryIds, Texts& texts);

 private:
  struct State;
  std::unique_ptr<State> state_;
};
// Creates the store when missing and fills it with a demonstration week and a few dozen contacts
// (only when it was created); tells what it did on standard output unless quiet.
bool ensureDemoStore(bool quiet, std::string* error);

}  // namespace pimctl
