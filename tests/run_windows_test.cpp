// End-to-end on Windows: the shared table of cases with the marks hidden and
// system, files that another program holds, runs that make a new table
// together, and a folder of mails with marked files and a name beyond ASCII.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include <windows.h>

#include "cases.h"
#include "harness.h"
#include "harness_windows.h"
#include "overview.h"

using namespace meldtest;

namespace {

void mark(const std::string& cpath, DWORD nattr) { ::SetFileAttributesW(widepath(cpath).c_str(), nattr); }

// A handle of another program on the file: opened with the given sharing,
// and with a lock on all of it where block. Closed at the end of the scope.
struct Held {
  HANDLE h;
  Held(const std::string& cpath, DWORD nshare, bool block)
      : h(::CreateFileW(widepath(cpath).c_str(), GENERIC_READ | GENERIC_WRITE, nshare, nullptr, OPEN_ALWAYS,
                        FILE_ATTRIBUTE_NORMAL, nullptr)) {
    OVERLAPPED o{};
    if (block) {
      EXPECT_TRUE(::LockFileEx(h, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, MAXDWORD, MAXDWORD, &o));
    }
  }
  ~Held() { ::CloseHandle(h); }
  Held(const Held&) = delete;
  Held& operator=(const Held&) = delete;
};

constexpr DWORD NSHAREALL = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

}  // namespace

// The shared rows and those of the marks: an input marked hidden or system
// counts as absent, a marked table is still never replaced (the line goes
// into it), a marked protocol is emptied and unmarked.
TEST(Run, Cases) {
  std::vector<Case> cases = portablecases();
  const std::vector<Case> cwindows = {
      {.name = "hidden mail", .table = CHEAD3, .wantprot = "mail.txt nicht gefunden - Abbruch\r\n",
       .setup = [](const TempDir& d) { mark(d / "mail.txt", FILE_ATTRIBUTE_HIDDEN); }},
      {.name = "system mail", .table = CHEAD3, .wantprot = "mail.txt nicht gefunden - Abbruch\r\n",
       .setup = [](const TempDir& d) { mark(d / "mail.txt", FILE_ATTRIBUTE_SYSTEM); }},
      {.name = "hidden table", .table = CHEAD3, .wanttable = CHEAD3 + CLINE, .wantprot = PSTORED,
       .setup = [](const TempDir& d) { mark(d / "tabelle.csv", FILE_ATTRIBUTE_HIDDEN); }},
      {.name = "system table, empty", .table = "", .wanttable = CLINE, .wantprot = PSTORED,
       .setup = [](const TempDir& d) { mark(d / "tabelle.csv", FILE_ATTRIBUTE_SYSTEM); }},
      {.name = "hidden and system protocol", .table = CHEAD3, .wanttable = CHEAD3 + CLINE, .wantprot = PSTORED,
       .setup = [](const TempDir& d) {
         writefile(d / "prot.txt", "alt\r\n");
         mark(d / "prot.txt", FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM);
       }},
  };
  cases.insert(cases.end(), cwindows.begin(), cwindows.end());
  for (const auto& c : cases) checkcase(c);
}

// A table or protocol that another program holds: a lock (LockFileEx) or
// an open without sharing. The run waits for it within its one bound and
// then gives up: the table as it was, exit status 1. A protocol that stays
// locked cannot be written at all (a lock is mandatory on Windows): the run
// stops before the table and says so on standard error.
TEST(Run, HeldByAnotherProgram) {
  struct Case {
    const char* cname;
    const char* cheld;
    DWORD nshare;
    bool block;
    std::string cwantprot, cwantsaid;
  } cases[] = {
      {"table locked", "tabelle.csv", NSHAREALL, true, PMAIL + PDAYS + PREAD + PFAIL, ""},
      {"table held without sharing", "tabelle.csv", 0, false, PMAIL + PDAYS + PREAD + PFAIL, ""},
      {"protocol locked", "prot.txt", NSHAREALL, true, "alt\r\n", SNOPROT},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.cname);
    TempDir d;
    writeexample(d);
    writefile(d / "prot.txt", "alt\r\n");
    RunResult res;
    {
      const Held held(d / c.cheld, c.nshare, c.block);
      res = run(d.path);
    }
    EXPECT_EQ(res.nstatus, 1);
    EXPECT_EQ(res.coutput, c.cwantsaid);
    EXPECT_GT(res.nseconds, 9);
    EXPECT_LT(res.nseconds, 14);
    EXPECT_EQ(readfile(d / "prot.txt"), c.cwantprot);
    EXPECT_EQ(readfile(d / "tabelle.csv"), CHEAD3);
  }
}

// Two runs without a table that both come to make it: while another run
// holds the temporary, neither removes it or writes into it; they wait, one
// moves its new table into place, and the other, finding the name taken,
// appends its line. One header, two lines, no temporary left.
TEST(Run, NewTableRace) {
  TempDir d;
  writeexample(d, std::nullopt);
  std::vector<int> pids;
  {
    const Held held(d / ".tabelle.csv.tmp", 0, false);
    for (int n = 0; n < 2; ++n) pids.push_back(start(d.path));
    std::this_thread::sleep_for(std::chrono::seconds(3));  // both are waiting for the temporary by now
    EXPECT_FALSE(exists(d / "tabelle.csv"));
  }
  for (const int pid : pids) EXPECT_EQ(waitexit(pid), 0);
  EXPECT_EQ(readfile(d / "tabelle.csv"), CMARK + CHEAD3 + CLINE + CLINE);
  const std::string cprot = protocolof(d.path);
  EXPECT_TRUE(cprot == PSTORED || cprot == PMADE)
      << cprot;
  EXPECT_EQ(entries(d.path), (std::vector<std::string>{"mail.txt", "prot.txt", "tabelle.csv", "tage.txt"}));
}

// A folder named with a space, mails named in UTF-8 beyond ASCII, and files
// marked hidden or system among them: those are no mails and stay; the
// others are imported in the bytewise order of their names, which the log
// and the table keep byte for byte.
TEST(Folder, MarkedFilesAreNoMailsAndNamesKeepTheirBytes) {
  TempDir d;
  const std::string cin = d / "ein gang";
  writefile(d / "tage.txt", CDAYS);
  writefile(d / "tabelle.csv", CMARK + CHEAD3);  // UTF-8, as the names
  makedir(cin);
  const std::vector<std::string> cmails = {"Z", "a", "\xc3\xa4", "\xe2\x82\xac.eml"};  // a-umlaut, euro sign
  const auto mailof = [](const std::string& cname) { return std::string(CEXAMPLEMAIL).replace(6, 12, "Erika " + cname); };
  const auto lineof = [](const std::string& cname) { return std::string(CEXAMPLELINE).replace(0, 12, "Erika " + cname); };
  for (const std::string cn : {"\xe2\x82\xac.eml", "a", "Z", "\xc3\xa4"}) writefile(cin + "/" + cn, mailof(cn));
  for (const char* cn : {"versteckt", "system"}) writefile(cin + "/" + cn, mailof(cn));
  mark(cin + "/versteckt", FILE_ATTRIBUTE_HIDDEN);
  mark(cin + "/system", FILE_ATTRIBUTE_SYSTEM);
  RunOptions opt;
  opt.bfolder = true;
  opt.cargs = {"ein gang"};
  const RunResult res = run(d.path, opt);
  EXPECT_EQ(res.nstatus, 0);
  EXPECT_EQ(res.coutput, "4 Mails: 4 importiert, 0 fehlgeschlagen\n");
  std::string ctab = CMARK + CHEAD3, clog;
  for (const auto& cn : cmails) {
    ctab += lineof(cn);
    clog += "Mail: " + cn + "\r\n" + PSTORED;
  }
  EXPECT_EQ(readfile(d / "tabelle.csv"), ctab);
  EXPECT_EQ(logof(d.path), clog + "Ende: 4 Mails: 4 importiert, 0 fehlgeschlagen\r\n");
  EXPECT_EQ(entries(cin + "/importiert"), (std::vector<std::string>{"Z", "a", "\xc3\xa4", "\xe2\x82\xac.eml"}));
  EXPECT_EQ(entries(cin), (std::vector<std::string>{".in-arbeit", "importiert", "system", "versteckt"}));
  // The run that stored lines wrote the overview: the same bytes as the
  // page of the same table on Linux (the pure function that both run), the
  // time aside. A page that a browser holds open is written by a later run.
  meld::OVERVIEW ov;
  ov.FEED(ctab);
  std::string cwhy;
  EXPECT_EQ(untimed(readfile(d / "uebersicht.html")), untimed(ov.PAGE("tabelle.csv", "2026-12-08 17:45:03", &cwhy)));
  {
    const Held browser(d / "uebersicht.html", FILE_SHARE_READ, false);
    opt.cargs = {"--uebersicht"};
    const RunResult held = run(d.path, opt);
    EXPECT_EQ(held.nstatus, 1);
    EXPECT_EQ(held.coutput, "meldimport-all: uebersicht.html ist in einem anderen Programm geoeffnet - der naechste Lauf schreibt sie - Abbruch\n");
  }
  EXPECT_EQ(entries(d.path), (std::vector<std::string>{"ein gang", "importierte-mails.txt", "prot-all.txt", "prot.txt", "tabelle.csv",
                                                       "tage.txt", "uebersicht.html"}));
}
