// The table's invariant under faults, kills and concurrent runs: after any
// run, however it ends, tabelle.csv is exactly as before or the old bytes
// and one new complete line; the exit status and the protocol say which.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <random>
#include <string>
#include <thread>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include "harness.h"

using namespace meldtest;

namespace {

const std::string CDAYS = "Fr12;Sa13;So14;";
const std::string CHEAD = "Name;Mail;Anzahl;Eink;Tel;Nacht;Fr12;Sa13;So14;Text;\r\n";
const std::string CLINE = CEXAMPLELINE;
const std::string PDONE = "tabelle.csv um eine Zeile ergaenzt";

struct Scenario {
  const char* cname;
  bool btable;       // tabelle.csv exists before the run
  std::string cold;  // its bytes
  std::string cnew;  // the table after a run that stored the line
};

const Scenario SCENARIOS[] = {
    {"existing table", true, CHEAD + "a;b;", CHEAD + "a;b;\r\n" + CLINE},
    {"empty table", true, "", CLINE},
    {"no table", false, "", CHEAD + CLINE},
};

void prepare(const TempDir& d, const Scenario& s) {
  writefile(d / "mail.txt", CEXAMPLEMAIL);
  writefile(d / "tage.txt", CDAYS);
  if (s.btable) writefile(d / "tabelle.csv", s.cold);
}

// Checks the invariant after one run; returns whether the line was stored.
bool checkinvariant(const TempDir& d, const Scenario& s, const RunResult& res, const std::string& cwhat) {
  SCOPED_TRACE(std::string(s.cname) + ", " + cwhat);
  EXPECT_FALSE(res.btimedout);
  EXPECT_EQ(res.nsignal, 0);
  // Standard error carries one line only where no protocol can be written.
  const bool bsaid = !res.coutput.empty();
  EXPECT_TRUE(!bsaid || res.coutput == "meldimport: prot.txt kann nicht geschrieben werden - Abbruch\n" ||
              res.coutput == "meldimport: Benutzer des Verzeichnisses nicht annehmbar - Abbruch\n")
      << res.coutput;
  const bool bpresent = exists(d / "tabelle.csv");
  const std::string ctab = bpresent ? readfile(d / "tabelle.csv") : "";
  const bool bstored = bpresent && ctab == s.cnew;
  const bool bunchanged = s.btable ? bpresent && ctab == s.cold : !bpresent;
  EXPECT_TRUE(bstored || bunchanged) << "table holds: " << ctab;
  EXPECT_EQ(res.nstatus, bstored ? 0 : 1);
  const std::string cprot = exists(d / "prot.txt") ? readfile(d / "prot.txt") : "";
  if (!bstored) {
    EXPECT_EQ(cprot.find(PDONE), std::string::npos) << cprot;
  }
  if (bsaid) {
    EXPECT_TRUE(bunchanged);
    EXPECT_EQ(cprot, "");  // never an earlier run's protocol
  }
  for (const auto& cn : entries(d.path))
    EXPECT_TRUE(cn == "mail.txt" || cn == "tage.txt" || cn == "tabelle.csv" || cn == "prot.txt") << cn;
  return bstored;
}

// How often a clean run makes each file-system call, from strace's summary.
std::map<std::string, int> countcalls(const Scenario& s) {
  TempDir d;
  prepare(d, s);
  RunOptions opt;
  const std::string clog = d.path + ".calls";
  opt.cprefix = {MELD_STRACE, "-qq", "-c", "-U", "name,calls", "-o", clog, "-e", "trace=%file,%desc"};
  run(d.path, opt);
  std::map<std::string, int> calls;
  FILE* pf = std::fopen(clog.c_str(), "r");
  char cname[64];
  int ncalls;
  char cline[256];
  while (pf != nullptr && std::fgets(cline, sizeof cline, pf) != nullptr)
    if (std::sscanf(cline, " %63s %d", cname, &ncalls) == 2 && cname[0] != '-' && std::string(cname) != "total")
      calls[cname] = ncalls;
  if (pf != nullptr) std::fclose(pf);
  std::remove(clog.c_str());
  return calls;
}

// strace's faults need a run that ptrace does not disturb: a sanitizer
// runtime does its own mapping and leak checks, which fail under ptrace.
bool nostrace() { return std::string(MELD_STRACE).empty() || MELD_SANITIZED; }

}  // namespace

// Fails the Nth call of each kind, for every N up to a clean run, with an
// I/O error and with a full disk.
TEST(Reliability, FaultSweep) {
  if (nostrace()) GTEST_SKIP() << "no strace, or a sanitizer build: fault sweep skipped";
  std::map<std::string, int> injected;
  int nruns = 0, nstored = 0;
  for (const auto& s : SCENARIOS) {
    const auto calls = countcalls(s);
    ASSERT_GT(calls.size(), 5u) << s.cname;
    for (const auto& [csys, ncount] : calls) {
      if (csys == "execve" || csys == "mmap") continue;  // strace starting the tool, memory
      for (const char* cerr : {"EIO", "ENOSPC"}) {
        for (int n = 1; n <= ncount; ++n) {
          TempDir d;
          prepare(d, s);
          RunOptions opt;
          const std::string clog = d.path + ".trace";
          opt.cprefix = {MELD_STRACE, "-qq", "-o", clog, "-e", "trace=" + csys,
                         "-e", "inject=" + csys + ":error=" + cerr + ":when=" + std::to_string(n)};
          const RunResult res = run(d.path, opt);
          const std::string cwhat = csys + " #" + std::to_string(n) + " " + cerr;
          EXPECT_NE(readfile(clog).find("(INJECTED)"), std::string::npos) << cwhat;
          std::remove(clog.c_str());
          nstored += checkinvariant(d, s, res, cwhat);
          ++injected[csys];
          ++nruns;
        }
      }
    }
    TempDir d;  // and once more with no fault: the line is stored
    prepare(d, s);
    EXPECT_TRUE(checkinvariant(d, s, run(d.path), "no fault"));
  }
  std::string creport;
  for (const auto& [csys, n] : injected) creport += " " + csys + ":" + std::to_string(n);
  std::printf("fault sweep: %d runs with one injected fault (%d still stored the line); by call:%s\n", nruns,
              nstored, creport.c_str());
  RecordProperty("injected_faults", nruns);
}

// SIGKILL at random moments: the table only ever grows by whole lines.
TEST(Reliability, KilledRuns) {
  TempDir d;
  writefile(d / "mail.txt", CEXAMPLEMAIL);
  writefile(d / "tage.txt", CDAYS);
  writefile(d / "tabelle.csv", CHEAD);
  // Kills land anywhere within the time a run takes here: the median of a few.
  std::vector<double> ntimes;
  for (int i = 0; i < 5; ++i) ntimes.push_back(run(d.path).nseconds);
  std::sort(ntimes.begin(), ntimes.end());
  std::mt19937 rng(20261208);
  std::uniform_int_distribution<int> delay(0, static_cast<int>(ntimes[2] * 1e6));
  int nkilled = 0;
  for (int i = 0; i < 300; ++i) {
    const int pid = start(d.path);
    std::this_thread::sleep_for(std::chrono::microseconds(delay(rng)));
    nkilled += ::kill(pid, SIGKILL) == 0;
    int nst;
    ::waitpid(pid, &nst, 0);
    nkilled -= WIFEXITED(nst);  // it finished before the kill landed
    const std::string ctab = readfile(d / "tabelle.csv");
    ASSERT_EQ(ctab.compare(0, CHEAD.size(), CHEAD), 0);
    ASSERT_EQ((ctab.size() - CHEAD.size()) % CLINE.size(), 0u) << "after kill " << i;
    for (size_t n = CHEAD.size(); n < ctab.size(); n += CLINE.size())
      ASSERT_EQ(ctab.compare(n, CLINE.size(), CLINE), 0) << "after kill " << i;
    for (const auto& cn : entries(d.path))
      ASSERT_TRUE(cn == "mail.txt" || cn == "tage.txt" || cn == "tabelle.csv" || cn == "prot.txt") << cn;
  }
  std::printf("killed runs: %d of 300 killed before they ended\n", nkilled);
  EXPECT_GT(nkilled, 30);
}

// Runs released together by one barrier: every line is there and whole,
// and there is exactly one header.
TEST(Reliability, ConcurrentRuns) {
  constexpr int NRUNS = 200;
  for (const bool btable : {false, true}) {
    SCOPED_TRACE(btable ? "existing table" : "no table");
    TempDir d;
    writefile(d / "mail.txt", CEXAMPLEMAIL);
    writefile(d / "tage.txt", CDAYS);
    if (btable) writefile(d / "tabelle.csv", CHEAD);
    int nbarrier[2];
    ASSERT_EQ(::pipe(nbarrier), 0);
    RunOptions opt;
    opt.nbarrierfd = nbarrier[0];
    opt.nclosefd = nbarrier[1];
    std::vector<int> pids;
    for (int i = 0; i < NRUNS; ++i) pids.push_back(start(d.path, opt));
    ::close(nbarrier[0]);
    ::close(nbarrier[1]);  // releases them all at once
    int nok = 0;
    for (const int pid : pids) {
      int nst;
      ::waitpid(pid, &nst, 0);
      nok += WIFEXITED(nst) && WEXITSTATUS(nst) == 0;
    }
    EXPECT_EQ(nok, NRUNS);
    std::printf("concurrent runs (%s): %d of %d stored\n", btable ? "existing table" : "no table", nok, NRUNS);
    std::string cwant = CHEAD;
    for (int i = 0; i < NRUNS; ++i) cwant += CLINE;
    EXPECT_EQ(readfile(d / "tabelle.csv"), cwant);
    // The protocol is that of one run, whole.
    const std::string cprot = readfile(d / "prot.txt");
    EXPECT_EQ(cprot.substr(cprot.size() - PDONE.size() - 2), PDONE + "\r\n");
    EXPECT_EQ(entries(d.path), (std::vector<std::string>{"mail.txt", "prot.txt", "tabelle.csv", "tage.txt"}));
  }
}

// The ways a new table is linked into place where unnamed files or links are
// not supported, and their failures: whole or not at all, no temporary left.
TEST(Reliability, NewTableFallbacks) {
  if (nostrace()) GTEST_SKIP() << "no strace, or a sanitizer build: skipped";
  const Scenario& s = SCENARIOS[2];
  const std::string cnotmp = "openat:error=EOPNOTSUPP:when=4";  // the unnamed file
  struct Case {
    std::vector<std::string> cinject;
    bool bstored;
  } cases[] = {
      {{cnotmp}, true},                                       // named temporary, linked
      {{cnotmp, "link:error=EPERM"}, true},                   // renamed without replacing
      {{cnotmp, "link:error=EPERM", "renameat2:error=EIO"}, false},
      {{cnotmp, "link:error=EIO"}, false},
      {{cnotmp, "write:error=ENOSPC:when=1"}, false},
      {{cnotmp, "unlink:error=EIO:when=1"}, true},            // the temporary still goes
      {{"linkat:error=ENOENT:when=1"}, true},                 // no /proc: linked by descriptor
  };
  for (const auto& c : cases) {
    TempDir d;
    prepare(d, s);
    RunOptions opt;
    opt.cprefix = {MELD_STRACE, "-qq", "-o", "/dev/null"};
    std::string cwhat;
    for (const auto& ci : c.cinject) {
      opt.cprefix.push_back("-e");
      opt.cprefix.push_back("inject=" + ci);
      cwhat += ci + " ";
    }
    const RunResult res = run(d.path, opt);
    EXPECT_EQ(checkinvariant(d, s, res, cwhat), c.bstored) << cwhat;
  }
}
