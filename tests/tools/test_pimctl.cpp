// pimctl end to end: the real program against a temporary registry and store.
#include <signal.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <set>
#include <thread>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <windows.h>

#include "Radicale.h"
#include "Scratch.h"

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

struct Result {
  int status = -1;
  std::string out;
  std::string err;
};

using pimtest::readFile;
const auto quote = pimtest::shellQuote;

class Pimctl : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("pimctl-test-" + std::to_string(::getpid()) + "-" +
                                        ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_ / "data");
    env_ = "env -u QLT_TRACE_FILE TZ=Europe/Berlin PIM_REGISTRY=" + quote((dir_ / "registry.reg").string()) +
           " PIM_STORE=" + quote((dir_ / "store.db").string()) + " XDG_DATA_HOME=" + quote((dir_ / "data").string()) + " ";
  }
  void TearDown() override { fs::remove_all(dir_); }

  Result shell(const std::string& command) {
    fs::path out = dir_ / "out.txt", err = dir_ / "err.txt";
    std::string line = env_ + command + " >" + quote(out.string()) + " 2>" + quote(err.string()) + " </dev/null";
    int raw = std::system(line.c_str());
    Result r;
    r.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    r.out = readFile(out);
    r.err = readFile(err);
    return r;
  }
  Result pimctl(const std::string& args) { return shell(std::string(PIMCTL_PATH) + " " + args); }
  void registerAll() {
    ASSERT_EQ(shell(std::string(REGSVR_PATH) + " " + quote(PIMSERVER_PATH)).status, 0);
    ASSERT_EQ(shell(std::string(REGSVR_PATH) + " " + quote(COMPONENT_PATH)).status, 0);
  }
  json parse(const Result& r) {
    EXPECT_EQ(r.status, 0) << r.err;
    return json::parse(r.out);
  }
  // A command that must fail with `status` and say `says` on standard error.
  static void expectFailure(const Result& r, int status, const char* says) {
    EXPECT_EQ(r.status, status) << r.err;
    EXPECT_NE(r.err.find(says), std::string::npos) << r.err;
  }
  // The test's own process on `registry` for the call, as regsvr and pimctl see it.
  template <class F>
  static auto inRegistry(const std::string& registry, F f) {
    pimtest::Env env;
    env.set("PIM_REGISTRY", registry);
    return f();
  }
  static std::set<std::string> subjects(const json& listing) {
    std::set<std::string> out;
    for (const json& e : listing["entries"]) out.insert(e["subject"].get<std::string>());
    return out;
  }

  fs::path dir_;
  std::string env_;
};

TEST_F(Pimctl, CalendarRoundTripThroughTheComponent) {
  registerAll();
  EXPECT_EQ(parse(pimctl("check --json"))["available"], true);
  ASSERT_EQ(pimctl("store init").status, 0);

  json added = parse(pimctl(
      "add --subject 'Design review' --start 2026-12-08T14:00 --end 2026-12-08T15:30 --location 'Room 1' "
      "--status tentative --reminder 10 --attendee 'Ana Lima <ana@example.com>:required' "
      "--attendee 'Ben Okafor:optional' --json"));
  std::string id = added["id"];
  ASSERT_EQ(id.size(), 48u);
  EXPECT_EQ(added["start"], "2026-12-08T14:00:00+01:00");
  EXPECT_EQ(added["status"], "tentative");
  EXPECT_EQ(added["reminder"], 10);
  ASSERT_EQ(added["attendees"].size(), 2u);
  EXPECT_EQ(added["attendees"][0]["name"], "Ana Lima");

  json week = parse(pimctl("agenda --from 2026-12-08 --week --json"));
  ASSERT_EQ(week["entries"].size(), 1u);
  EXPECT_EQ(week["entries"][0]["subject"], "Design review");
  EXPECT_EQ(week["from"], "2026-12-07T00:00:00+01:00");
  json utc = parse(pimctl("show " + id + " --utc --json"));
  EXPECT_EQ(utc["start"], "2026-12-08T13:00:00Z");

  json updated = parse(pimctl("update " + id + " --subject 'Design review II' --end 2026-12-08T16:00 --json"));
  EXPECT_EQ(updated["subject"], "Design review II");
  EXPECT_EQ(updated["end"], "2026-12-08T16:00:00+01:00");
  EXPECT_EQ(updated["location"], "Room 1");

  Result table = pimctl("agenda --from 2026-12-08 --day");
  EXPECT_EQ(table.status, 0) << table.err;
  EXPECT_NE(table.out.find("Design review II"), std::string::npos);
  EXPECT_NE(table.out.find("2026-12-08 14:00"), std::string::npos);

  EXPECT_EQ(pimctl("remove " + id).status, 0);
  expectFailure(pimctl("show " + id), 23, "no appointment has that id");
  EXPECT_EQ(parse(pimctl("agenda --from 2026-12-08 --day --json"))["entries"].size(), 0u);
}

TEST_F(Pimctl, DemoStoreAndContacts) {
  registerAll();
  Result demo = pimctl("demo");
  ASSERT_EQ(demo.status, 0) << demo.err;
  EXPECT_NE(demo.out.find("created a demonstration store"), std::string::npos);
  EXPECT_NE(demo.out.find("Team stand-up"), std::string::npos);
  Result again = pimctl("demo");
  EXPECT_EQ(again.status, 0);
  EXPECT_EQ(again.out.find("created a demonstration store"), std::string::npos);

  json eva = parse(pimctl("contact --first Eva --last Schmidt --json"));
  EXPECT_EQ(eva["FN"][0], "Eva Schmidt");
  EXPECT_EQ(eva["EMAIL"][0], "eva.schmidt@example.com");

  fs::path msg = dir_ / "eva.msg";
  Result exported = pimctl("contact --first Eva --last Schmidt --export " + quote(msg.string()) + " --format msg");
  ASSERT_EQ(exported.status, 0) << exported.err;
  EXPECT_EQ(readFile(msg).substr(0, 4), std::string("\xD0\xCF\x11\xE0", 4));

  expectFailure(pimctl("contact --first No --last Body"), 31, "no such contact");
  EXPECT_EQ(pimctl("contact --first Eva --last Schmidt --export " + quote((dir_ / "missing/eva.vcf").string())).status, 33);
}

TEST_F(Pimctl, BadInputGetsAOneLineErrorAndTheUsage) {
  struct Case {
    const char* args;
    const char* says;
  } cases[] = {
      {"agenda --from tomorrowish", "cannot read the date"},
      {"agenda --from 2026-02-30", "no such day"},
      {"agenda --from 2026-12-08 --to 2026-12-01", "before"},
      {"add --subject x --start 2026-12-08T10:00", "--end is required"},
      {"add --subject x --start 2026-12-08T10:00 --end 2026-12-08T09:00", "before the start"},
      {"add --subject x --start 2026-12-08T10:00 --end 2026-12-08T11:00 --status sleepy", "sleepy"},
      {"add --subject x --start 2026-12-08T10:00 --end 2026-12-08T11:00 --attendee ':required'", "needs a name"},
      {"contact --key banana", "32-bit"},
      {"contact --first Eva", "--last"},
      {"frobnicate", "frobnicate"},
      {"", "subcommand"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args);
    expectFailure(pimctl(c.args), 2, c.says);
  }
  EXPECT_EQ(pimctl("agenda --help").status, 0);
}

TEST_F(Pimctl, MissingRegistrationsAreNamed) {
  expectFailure(pimctl("check"), 3, "regsvr");
  ASSERT_EQ(shell(std::string(REGSVR_PATH) + " " + quote(COMPONENT_PATH)).status, 0);
  expectFailure(pimctl("whoami"), 11, "not installed");
  Result check = pimctl("check --json");
  EXPECT_EQ(check.status, 11);
  EXPECT_EQ(json::parse(check.out)["available"], false);
}

TEST_F(Pimctl, ADamagedStoreOrAMissingSafeItemClassIsReportedNotHidden) {
  registerAll();
  std::ofstream(dir_ / "store.db") << "these are not the appointments you are looking for\n";
  expectFailure(pimctl("whoami"), 15, "is the store readable?");
  EXPECT_EQ(readFile(dir_ / "store.db"), "these are not the appointments you are looking for\n");

  fs::remove(dir_ / "store.db");
  ASSERT_EQ(pimctl("demo").status, 0);
  // Take the safe contact class out of the registry, as on a machine without that library.
  ASSERT_EQ(inRegistry((dir_ / "registry.reg").string(),
                       [] { return RegDeleteTreeA(HKEY_CLASSES_ROOT, "CLSID\\{4FD5C4D3-6C15-4EA0-9EB9-EEE8FC74A91B}"); }),
            ERROR_SUCCESS);
  expectFailure(pimctl("contact --first Eva --last Schmidt"), 35, "safe contact library");
}

TEST_F(Pimctl, StoreImportAndExport) {
  registerAll();
  fs::path ics = dir_ / "in.ics";
  std::ofstream(ics) << "BEGIN:VCALENDAR\r\nVERSION:2.0\r\nPRODID:-//test//EN\r\n"
                        "BEGIN:VEVENT\r\nUID:a@test\r\nDTSTAMP:20260101T000000Z\r\nSUMMARY:Imported\r\n"
                        "DTSTART;TZID=Europe/Berlin:20261209T100000\r\nDTEND;TZID=Europe/Berlin:20261209T110000\r\n"
                        "RRULE:FREQ=DAILY;COUNT=3\r\nEND:VEVENT\r\nEND:VCALENDAR\r\n";
  Result imported = pimctl("store import " + quote(ics.string()));
  ASSERT_EQ(imported.status, 0) << imported.err;
  EXPECT_NE(imported.out.find("imported 1"), std::string::npos);
  json days = parse(pimctl("agenda --from 2026-12-09 --to 2026-12-11 --json"));
  EXPECT_EQ(days["entries"].size(), 3u);

  fs::path out = dir_ / "out.ics";
  ASSERT_EQ(pimctl("store export " + quote(out.string())).status, 0);
  EXPECT_NE(readFile(out).find("SUMMARY:Imported"), std::string::npos);
  EXPECT_EQ(pimctl("store import " + quote((dir_ / "none.ics").string())).status, 2);
}

// Attendees of listed appointments come from the stored text: every occurrence of a series shows
// the series' attendees (quoted names, folded lines), an alarm's attendee is none of them.
TEST_F(Pimctl, AgendaShowsTheStoredAttendeesOfEveryOccurrence) {
  registerAll();
  fs::path ics = dir_ / "team.ics";
  std::ofstream(ics) << "BEGIN:VCALENDAR\r\nVERSION:2.0\r\nPRODID:-//test//EN\r\n"
                        "BEGIN:VEVENT\r\nUID:team@test\r\nDTSTAMP:20260101T000000Z\r\nSUMMARY:Team\r\n"
                        "DTSTART;TZID=Europe/Berlin:20261207T100000\r\nDTEND;TZID=Europe/Berlin:20261207T103000\r\n"
                        "RRULE:FREQ=DAILY\r\n"
                        "ATTENDEE;CN=\"Lima, Ana; Team\";ROLE=CHAIR:mailto:ana@example.com\r\n"
                        "ATTENDEE;ROLE=OPT-PARTICIPANT;CN=Ben Okafor:mailto:ben@exa\r\n mple.com\r\n"
                        "BEGIN:VALARM\r\nACTION:EMAIL\r\nTRIGGER:-PT5M\r\nSUMMARY:x\r\nDESCRIPTION:x\r\n"
                        "ATTENDEE:mailto:alarm@example.com\r\nEND:VALARM\r\n"
                        "END:VEVENT\r\nEND:VCALENDAR\r\n";
  ASSERT_EQ(pimctl("store import " + quote(ics.string())).status, 0);
  json days = parse(pimctl("agenda --from 2026-12-07 --to 2026-12-09 --json"));
  ASSERT_EQ(days["entries"].size(), 3u);
  for (const json& e : days["entries"]) {
    ASSERT_EQ(e["attendees"].size(), 2u) << e.dump();
    EXPECT_EQ(e["attendees"][0]["name"], "Lima, Ana; Team");
    EXPECT_EQ(e["attendees"][0]["address"], "ana@example.com");
    EXPECT_EQ(e["attendees"][0]["type"], "organizer");
    EXPECT_EQ(e["attendees"][1]["name"], "Ben Okafor");
    EXPECT_EQ(e["attendees"][1]["address"], "ben@example.com");
    EXPECT_EQ(e["attendees"][1]["type"], "optional");
  }
}

// Two profiles (two machines) on one CalDAV/CardDAV server: the component works on the
// local working copy, `pimctl sync` and the logon carry changes across.
TEST_F(Pimctl, TwoProfilesShareACalendarThroughAServer) {
  pimtest::Radicale server(dir_ / "radicale");
  std::string why = server.start();
  ASSERT_EQ(why, "") << why;
  auto profile = [&](const std::string& name) {
    std::string registry = (dir_ / (name + ".reg")).string();
    std::string prefix = "env PIM_REGISTRY=" + quote(registry) + " PIM_STORE= XDG_DATA_HOME=" +
                         quote((dir_ / name).string()) + " XDG_CONFIG_HOME=" + quote((dir_ / (name + "-config")).string()) + " ";
    EXPECT_EQ(shell(prefix + REGSVR_PATH + " " + quote(PIMSERVER_PATH)).status, 0);
    EXPECT_EQ(shell(prefix + REGSVR_PATH + " " + quote(COMPONENT_PATH)).status, 0);
    EXPECT_EQ(inRegistry(registry, [&] {
                HKEY k = nullptr;
                LSTATUS st = RegCreateKeyExA(HKEY_CURRENT_USER, "Software\\PimServer\\Profile", 0, nullptr, 0, KEY_WRITE,
                                             nullptr, &k, nullptr);
                for (auto [value, text] : {std::pair<const char*, std::string>{"Store", server.url()},
                                           {"CalendarUrl", "alice/calendar/"}, {"ContactsUrl", "alice/contacts/"},
                                           {"UserName", "alice"}})
                  if (st == ERROR_SUCCESS)
                    st = RegSetValueExA(k, value, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                                        static_cast<DWORD>(text.size() + 1));
                RegCloseKey(k);
                return st;
              }),
              ERROR_SUCCESS);
    return prefix;
  };
  const std::string one = profile("one") + "PIM_DAV_PASSWORD=secret ";
  const std::string two = profile("two");
  // The second machine keeps its password in a file only its owner reads.
  fs::create_directories(dir_ / "two-config" / "pim");
  fs::path pw = dir_ / "two-config" / "pim" / "dav-password";
  std::ofstream(pw) << "secret\n";
  fs::permissions(pw, fs::perms::owner_read | fs::perms::owner_write, fs::perm_options::replace);

  parse(shell(one + PIMCTL_PATH + " add --subject 'Team lunch' --start 2026-12-08T12:00 --end 2026-12-08T13:00 --json"));
  Result synced = shell(one + PIMCTL_PATH + " sync");
  ASSERT_EQ(synced.status, 0) << synced.err;
  EXPECT_NE(synced.out.find("calendar: 0 received, 0 removed here, 1 sent"), std::string::npos) << synced.out;
  EXPECT_EQ(readFile(dir_ / "one.reg").find("secret"), std::string::npos);

  // The other profile's logon pulls it in.
  json entries = parse(shell(two + PIMCTL_PATH + " agenda --from 2026-12-08 --day --json"))["entries"];
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0]["subject"], "Team lunch");
  EXPECT_EQ(parse(shell(two + PIMCTL_PATH + " sync --json"))["calendar"]["received"], 0);

  expectFailure(shell(two + "PIM_DAV_PASSWORD=wrong " + PIMCTL_PATH + " sync"), 4,
                "refused the user name or password of alice");
  fs::permissions(pw, fs::perms::group_read | fs::perms::others_read, fs::perm_options::add);
  expectFailure(shell(two + PIMCTL_PATH + " sync"), 4, "may be read by others (mode 644)");

  // Without the server the working copy serves alone, and a sync says why it cannot run.
  server.kill();
  EXPECT_EQ(parse(shell(two + PIMCTL_PATH + " agenda --from 2026-12-08 --day --json"))["entries"].size(), 1u);
  Result offlineAdd =
      shell(one + PIMCTL_PATH + " add --subject 'Planned offline' --start 2026-12-08T15:00 --end 2026-12-08T16:00");
  ASSERT_EQ(offlineAdd.status, 0) << offlineAdd.err;
  Result down = shell(one + PIMCTL_PATH + " sync");
  expectFailure(down, 4, "cannot reach http://127.0.0.1:");
  EXPECT_NE(down.err.find("1 local change(s) not yet on the server are kept"), std::string::npos) << down.err;
  ASSERT_EQ(server.start(), "");
  Result back = shell(one + PIMCTL_PATH + " sync");
  EXPECT_EQ(back.status, 0) << back.err;
  EXPECT_NE(back.out.find("1 sent"), std::string::npos) << back.out;
  EXPECT_EQ(parse(shell(two + "PIM_DAV_PASSWORD=secret " + PIMCTL_PATH + " agenda --from 2026-12-08 --day --json"))["entries"].size(),
            2u);

  // A profile on a local store file has nothing to sync.
  registerAll();
  expectFailure(pimctl("sync"), 4, "is the local file");
}

// Several processes on one store: two writers adding in a loop while a third reads the agenda. Every
// add arrives, and no command gives up on a locked store.
TEST_F(Pimctl, TwoWritersAndAReaderInSeparateProcessesLoseNothing) {
  registerAll();
  ASSERT_EQ(pimctl("store init").status, 0);
  const int kEach = 12;
  const std::string ctl = quote(PIMCTL_PATH);
  // kEach runs of a command; what goes wrong lands in name.err.
  auto loop = [&](const std::string& name, const std::string& args) {
    const std::string err = quote((dir_ / (name + ".err")).string());
    return "( for i in $(seq 1 " + std::to_string(kEach) + "); do " + env_ + ctl + " " + args + " >/dev/null 2>>" + err +
           " || echo \"$i: exit $?\" >>" + err + "; done )";
  };
  auto writer = [&](const std::string& name) {
    return loop(name, "add --subject " + name + "-$i --start 2026-12-08T10:00 --end 2026-12-08T11:00");
  };
  Result r = shell("sh -c " + quote(writer("a") + " & " + writer("b") + " & " +
                                    loop("reader", "agenda --from 2026-12-08 --day --json") + " & wait"));
  ASSERT_EQ(r.status, 0) << r.err;
  for (const char* name : {"a.err", "b.err", "reader.err"}) EXPECT_EQ(readFile(dir_ / name), "") << name;

  json day = parse(pimctl("agenda --from 2026-12-08 --day --json"));
  std::set<std::string> expected;
  for (int i = 1; i <= kEach; ++i) expected.insert({"a-" + std::to_string(i), "b-" + std::to_string(i)});
  EXPECT_EQ(subjects(day), expected);
  EXPECT_EQ(day["entries"].size(), 2u * kEach);
}

// True while another connection holds the store's write lock.
bool writeLocked(const fs::path& store) {
  sqlite3* db = nullptr;
  bool locked = false;
  if (sqlite3_open_v2(store.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) == SQLITE_OK) {
    locked = sqlite3_exec(db, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr) == SQLITE_BUSY;
    sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
  }
  sqlite3_close(db);
  return locked;
}

// SIGKILL in the middle of an import leaves a store that opens, passes SQLite's own check and holds
// every commit made before it; the half-done import is not there, and the next writer gets in.
TEST_F(Pimctl, AnImportKilledMidwayLeavesEveryEarlierCommit) {
  registerAll();
  ASSERT_EQ(pimctl("store init").status, 0);
  for (int i = 1; i <= 3; ++i)
    ASSERT_EQ(pimctl("add --subject before-" + std::to_string(i) + " --start 2026-12-08T0" + std::to_string(i) +
                     ":00 --end 2026-12-08T0" + std::to_string(i) + ":30").status, 0);
  std::ofstream(dir_ / "small.ics") << "BEGIN:VCALENDAR\r\nVERSION:2.0\r\nBEGIN:VEVENT\r\nUID:small@test\r\n"
                                       "DTSTAMP:20260101T000000Z\r\nSUMMARY:before-import\r\n"
                                       "DTSTART:20261208T120000Z\r\nDTEND:20261208T130000Z\r\nEND:VEVENT\r\nEND:VCALENDAR\r\n";
  ASSERT_EQ(pimctl("store import " + quote((dir_ / "small.ics").string())).status, 0);

  {
    std::ofstream big(dir_ / "big.ics");
    big << "BEGIN:VCALENDAR\r\nVERSION:2.0\r\n";
    for (int i = 0; i < 40000; ++i)
      big << "BEGIN:VEVENT\r\nUID:big-" << i << "@test\r\nDTSTAMP:20260101T000000Z\r\nSUMMARY:big " << i
          << "\r\nDTSTART:20261208T150000Z\r\nDTEND:20261208T153000Z\r\nEND:VEVENT\r\n";
    big << "END:VCALENDAR\r\n";
  }
  // exec keeps the shell's process id for pimctl itself.
  const std::string line = "exec " + env_ + quote(PIMCTL_PATH) + " store import " + quote((dir_ / "big.ics").string()) +
                           " >/dev/null 2>&1";
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    execl("/bin/sh", "sh", "-c", line.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  bool inside = false;
  for (int i = 0; i < 3000 && !inside; ++i) {
    inside = writeLocked(dir_ / "store.db");
    if (!inside) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(20));  // into the rows
  EXPECT_TRUE(inside) << "the import never took the write lock";
  ::kill(pid, SIGKILL);
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << "the import ended before it was killed";

  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open_v2((dir_ / "store.db").c_str(), &db, SQLITE_OPEN_READWRITE, nullptr), SQLITE_OK);
  sqlite3_stmt* check = nullptr;
  ASSERT_EQ(sqlite3_prepare_v2(db, "PRAGMA integrity_check", -1, &check, nullptr), SQLITE_OK);
  ASSERT_EQ(sqlite3_step(check), SQLITE_ROW);
  EXPECT_STREQ(reinterpret_cast<const char*>(sqlite3_column_text(check, 0)), "ok");
  sqlite3_finalize(check);
  sqlite3_close(db);

  json day = parse(pimctl("agenda --from 2026-12-08 --day --json"));
  EXPECT_EQ(subjects(day), (std::set<std::string>{"before-1", "before-2", "before-3", "before-import"}));
  EXPECT_EQ(day["entries"].size(), 4u);
  Result after = pimctl("add --subject after --start 2026-12-08T18:00 --end 2026-12-08T19:00");
  EXPECT_EQ(after.status, 0) << after.err;
}

}  // namespace
