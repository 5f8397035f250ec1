// The commands of pimctl. Each returns the process's exit status.
#pragma once
#include <string>
#include <vector>

#include "Entries.h"

namespace pimctl {

struct Options {
  bool json = false;
  bool utc = false;
  bool interactive = false;  // standard error is a terminal: show progress
  std::string usageText;     // the command's usage, shown after an error
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
// Attendees of the appointment with this entry id, read from the store.
std::vector<AttendeeSpec> storedAttendees(const std::string& entryId);
// Creates the store when missing and fills it with a demonstration week and a few dozen contacts
// (only when it was created); tells what it did on standard output unless quiet.
bool ensureDemoStore(bool quiet, std::string* error);

}  // namespace pimctl
