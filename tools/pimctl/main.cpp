// pimctl: the PIM adapter from the command line. Calendar and contacts go through the component
// (activated by CLSID through the registry, as any host does); store chores go to the PIM server.
#include <unistd.h>

#include <cstdio>
#include <ctime>
#include <iostream>
#include <memory>
#include <optional>

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>
#include <sqlite3.h>

#include "Commands.h"
#include "Outcome.h"

int main(int argc, char** argv) {
  using namespace pimctl;
  // Before SQLite starts: no page cache set up ahead for each connection (reads come from the
  // file's memory map; the 20 pages made ready for every connection were 87 KB of heap touched
  // for one or two used), and no memory statistics, which nothing here reads and which cost a
  // lock and a count on every one of SQLite's allocations.
  sqlite3_config(SQLITE_CONFIG_PAGECACHE, nullptr, 0, 0);
  sqlite3_config(SQLITE_CONFIG_MEMSTATUS, 0);
  CLI::App app{"pimctl: read and write the calendar and contacts through the PIM adapter"};
  app.require_subcommand(1);
  Options opt;
  // Every command is named, but only the one given (or all, when none is) gets its options: the
  // others' options would be built for nothing on every run. Help and errors read the same.
  const std::string given = argc > 1 && argv[1][0] != '-' ? argv[1] : "";
  auto wants = [&given](const char* name) { return given.empty() || given == name; };

  app.add_subcommand("check", "Tell whether the PIM application can be reached");
  app.add_subcommand("whoami", "Log on and show the PIM identity");

  auto* agenda = app.add_subcommand("agenda", "List the appointments of a period (default: this week)");
  if (wants("agenda")) {
    agenda->add_option("--from", opt.from, "First day or moment (YYYY-MM-DD[THH:MM] or your short date)");
    agenda->add_option("--to", opt.to, "Last day or moment (a day alone means its end)");
    auto* to = agenda->get_option("--to");
    auto* day = agenda->add_flag("--day", opt.day, "The day holding --from (default today)");
    auto* week = agenda->add_flag("--week", opt.week, "The week holding --from (Monday to Sunday)");
    auto* month = agenda->add_flag("--month", opt.month, "The month holding --from");
    day->excludes(week, month);
    week->excludes(month);
    to->excludes(day, week, month);
  }

  auto* show = app.add_subcommand("show", "Show one appointment by its entry id");
  if (wants("show")) show->add_option("id", opt.id, "Entry id")->required();

  auto addEntryOptions = [&opt](CLI::App* cmd, bool required) {
    auto* subject = cmd->add_option("--subject", opt.subject, "Subject");
    auto* start = cmd->add_option("--start", opt.start, "Start (YYYY-MM-DD[THH:MM] or your short date)");
    auto* end = cmd->add_option("--end", opt.end, "End");
    if (required) {
      subject->required();
      start->required();
      end->required();
    }
    cmd->add_option("--location", opt.location, "Location");
    cmd->add_flag("--all-day", opt.allDay, "An all-day event");
    cmd->add_option("--reminder", opt.reminder, "Reminder, minutes before the start (-1: none)");
    cmd->add_option("--status", opt.status, "free, busy, tentative or oof")
        ->check(CLI::IsMember({"free", "busy", "tentative", "oof"}));
    cmd->add_option("--notes", opt.notes, "Notes");
    cmd->add_option("--attendee", opt.attendees, "\"Name <address>:type\" (type: required, optional, resource, organizer)");
  };
  auto* add = app.add_subcommand("add", "Add an appointment");
  if (wants("add")) addEntryOptions(add, true);
  auto* update = app.add_subcommand("update", "Change an appointment (attendees given are added)");
  if (wants("update")) {
    update->add_option("id", opt.id, "Entry id")->required();
    addEntryOptions(update, false);
  }
  auto* remove = app.add_subcommand("remove", "Delete an appointment");
  if (wants("remove")) remove->add_option("id", opt.id, "Entry id")->required();

  auto* contact = app.add_subcommand("contact", "Find a contact by name or by key, and export it");
  if (wants("contact")) {
    auto* first = contact->add_option("--first", opt.first, "First name");
    auto* last = contact->add_option("--last", opt.last, "Last name");
    auto* key = contact->add_option("--key", opt.key, "32-bit key from the entry id, e.g. 0x0A0B0C0D");
    first->needs(last);
    last->needs(first);
    key->excludes(first, last);
    contact->add_option("--export", opt.exportFile, "Write the contact to this file");
    contact->add_option("--format", opt.format, "vcard (default) or msg")->check(CLI::IsMember({"vcard", "msg"}));
  }

  auto* store = app.add_subcommand("store", "Store chores: init, import, export");
  store->require_subcommand(1);
  if (wants("store")) {
    auto* init = store->add_subcommand("init", "Create the store if it does not exist");
    init->add_option("--path", opt.storePath, "Store file (default: the profile's)");
    auto* import = store->add_subcommand("import", "Import a .ics or .vcf file");
    import->add_option("file", opt.file, "File to import")->required()->check(CLI::ExistingFile);
    auto* exportCmd = store->add_subcommand("export", "Export the calendar (.ics) or the contacts (.vcf)");
    exportCmd->add_option("file", opt.file, "File to write (.ics or .vcf)")->required();
  }

  app.add_subcommand("sync", "Sync the working copy with the profile's CalDAV/CardDAV server (Store is its URL)");

  app.add_subcommand("demo", "Create a demonstration store on first run, then show its agenda and a contact");

  for (CLI::App* c : app.get_subcommands({})) {
    if (c->get_name() == "store" || !wants(c->get_name().c_str())) continue;
    if (c->get_name() == "sync") {
      c->add_flag("--json", opt.json, "Machine-readable output");
      continue;
    }
    c->add_flag("--json", opt.json, "Machine-readable output");
    c->add_flag("--utc", opt.utc, "Show times in UTC");
  }

  if (argc > 1 && argv[1][0] != '-') {
    bool known = false;
    for (CLI::App* c : app.get_subcommands({})) known = known || c->get_name() == argv[1];
    if (!known) {
      std::cerr << "pimctl: unknown command '" << argv[1] << "'\n" << app.help("", CLI::AppFormatMode::Normal);
      return kExitUsage;
    }
  }
  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp& e) {
    return app.exit(e);
  } catch (const CLI::CallForAllHelp& e) {
    return app.exit(e);
  } catch (const CLI::ParseError& e) {
    std::cerr << "pimctl: " << e.what() << "\n";
    CLI::App* where = &app;
    for (CLI::App* c = &app; c != nullptr;) {
      auto subs = c->get_subcommands();
      c = subs.empty() ? nullptr : subs.front();
      if (c) where = c;
    }
    std::cerr << where->help("", CLI::AppFormatMode::Normal);
    return kExitUsage;
  }

  CLI::App* cmd = app.get_subcommands().front();
  opt.interactive = isatty(STDERR_FILENO) != 0;
  CLI::App* leaf = cmd->get_subcommands().empty() ? cmd : cmd->get_subcommands().front();
  opt.usageText = [leaf] { return leaf->help("", CLI::AppFormatMode::Normal); };
  const std::string& name = cmd->get_name();
  if (name == "store") {
    CLI::App* chore = cmd->get_subcommands().front();
    return runStore(chore->get_name(), opt);
  }
  if (name == "sync") return runSync(opt);
  return run(name, opt);
}
