// The table's invariant under faults, kills and concurrent runs: after any
// run, however it ends, tabelle.csv is exactly as before or the old bytes
// and one new complete line; the exit status and the protocol say which.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <chrono>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <thread>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include "cases.h"
#include "harness_posix.h"
#include "mailfields.h"
#include "stallfs.h"

using namespace meldtest;

namespace {


struct Scenario {
  const char* cname;
  bool btable;       // tabelle.csv exists before the run
  std::string cold;  // its bytes
  std::string cnew;  // the table after a run that stored the line
};

const Scenario SCENARIOS[] = {
    {"existing table", true, CHEAD3 + "a;b;", CHEAD3 + "a;b;\r\n" + CLINE},
    {"empty table", true, "", CLINE},
    {"no table", false, "", CMARK + CHEAD3 + CLINE},
};

void prepare(const std::string& cdir, const Scenario& s) { writeexample(cdir, s.btable ? s.cold : std::optional<std::string>()); }

// Checks the invariant after one run; returns whether the line was stored.
// With bwhole, nothing failed under the protocol: it must be there and say
// what happened.
bool checkinvariant(const std::string& cdir, const Scenario& s, const RunResult& res, const std::string& cwhat,
                    bool bwhole = false) {
  SCOPED_TRACE(std::string(s.cname) + ", " + cwhat);
  EXPECT_FALSE(res.btimedout);
  EXPECT_EQ(res.nsignal, 0);
  // Standard error carries one line only where no protocol can be written.
  const bool bsaid = !res.coutput.empty();
  EXPECT_TRUE(!bsaid || res.coutput == SNOPROT || res.coutput == "meldimport: Benutzer des Verzeichnisses nicht annehmbar - Abbruch\n")
      << res.coutput;
  const std::string ctabname = cdir + "/tabelle.csv";
  const bool bpresent = exists(ctabname);
  const std::string ctab = bpresent ? readfile(ctabname) : "";
  const bool bstored = bpresent && ctab == s.cnew;
  const bool bunchanged = s.btable ? bpresent && ctab == s.cold : !bpresent;
  EXPECT_TRUE(bstored || bunchanged) << "table holds: " << ctab;
  EXPECT_EQ(res.nstatus, bstored ? 0 : 1);
  const std::string cprot = protocolof(cdir);
  if (!bstored) {
    EXPECT_EQ(cprot.find(PDONE), std::string::npos) << cprot;
  }
  if (bwhole && !bsaid) {
    EXPECT_EQ(cprot.rfind(PMAIL, 0), 0u) << cprot;
    EXPECT_NE(cprot.find(bstored ? PDONE : PFAIL), std::string::npos) << cprot;
  }
  if (bsaid) {
    EXPECT_TRUE(bunchanged);
    EXPECT_EQ(cprot, "");  // never an earlier run's protocol
  }
  checkonlyrunfiles(cdir);
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

// SIGKILL at random moments during runs with a free text of about 49,000
// bytes, whose append a kill can cut between pages: after the next whole
// run, the table holds whole lines only.
TEST(Reliability, KilledRuns) {
  TempDir d;
  std::string cmail = CEXAMPLEMAIL;
  cmail.insert(cmail.find("Viele"), repeat(std::string(77, 'x') + "\r\n", 620));
  const std::string cline = meld::MAILLINE(cmail, CDAYS);
  ASSERT_GT(cline.size(), 48000u);
  writefile(d / "mail.txt", cmail);
  writefile(d / "tage.txt", CDAYS);
  writefile(d / "tabelle.csv", CHEAD3);
  // Kills land anywhere within the time a run takes here: the median of a few.
  std::vector<double> ntimes;
  for (int i = 0; i < 5; ++i) ntimes.push_back(run(d.path).nseconds);
  std::sort(ntimes.begin(), ntimes.end());
  std::mt19937 rng(20261208);
  std::uniform_int_distribution<int> delay(0, static_cast<int>(ntimes[2] * 1e6));
  size_t nchecked = CHEAD3.size() + 5 * cline.size();  // whole lines up to here
  int nkilled = 0, ntorn = 0;
  for (int i = 0; i < 300; ++i) {
    const int pid = start(d.path);
    std::this_thread::sleep_for(std::chrono::microseconds(delay(rng)));
    nkilled += ::kill(pid, SIGKILL) == 0;
    int nst;
    ::waitpid(pid, &nst, 0);
    nkilled -= WIFEXITED(nst);  // it finished before the kill landed
    ntorn += (filesize(d / "tabelle.csv") - CHEAD3.size()) % cline.size() != 0;
    ASSERT_EQ(run(d.path).nstatus, 0) << "after kill " << i;
    const std::string cnew = readfrom(d / "tabelle.csv", nchecked);
    ASSERT_EQ(cnew.size() % cline.size(), 0u) << "after kill " << i;
    for (size_t n = 0; n < cnew.size(); n += cline.size())
      ASSERT_EQ(cnew.compare(n, cline.size(), cline), 0) << "after kill " << i;
    nchecked += cnew.size();
    for (const auto& cn : entries(d.path))
      ASSERT_TRUE(cn == "mail.txt" || cn == "tage.txt" || cn == "tabelle.csv" || cn == "prot.txt") << cn;
  }
  std::printf("killed runs: %d of 300 killed before they ended, %d left a torn tail, every one taken back\n",
              nkilled, ntorn);
  EXPECT_GT(nkilled, 30);
}

// Runs released together by one barrier: every line is there and whole,
// and there is exactly one header.
TEST(Reliability, ConcurrentRuns) {
  constexpr int NRUNS = 200;
  for (const bool btable : {false, true}) {
    SCOPED_TRACE(btable ? "existing table" : "no table");
    TempDir d;
    writeexample(d, btable ? CHEAD3 : std::optional<std::string>());
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
    std::string cwant = btable ? CHEAD3 : CMARK + CHEAD3;
    for (int i = 0; i < NRUNS; ++i) cwant += CLINE;
    EXPECT_EQ(readfile(d / "tabelle.csv"), cwant);
    // The protocol is that of one run, whole.
    const std::string cprot = readfile(d / "prot.txt");
    EXPECT_TRUE(cprot.ends_with(PDONE)) << cprot;
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

// A full disk, on a small tmpfs and an ext4 image of its own: the protocol's
// room is taken before the table can take the last block, so a run that
// stores its line says so, and one that cannot says that; an old protocol
// never stays.
TEST(Reliability, FullDisk) {
  // A table that fills its last block exactly: the line needs a new one.
  std::string cfull = CHEAD3;
  while (cfull.size() + 100 < 8192) cfull += std::string(97, 'x') + ";\r\n";
  cfull += std::string(8192 - cfull.size() - 3, 'y') + ";\r\n";
  const Scenario scenarios[] = {
      {"full last block", true, cfull, cfull + CLINE},
      {"room in the last block", true, CHEAD3, CHEAD3 + CLINE},
      {"no table", false, "", CMARK + CHEAD3 + CLINE},
  };
  int ncases = 0, nstored = 0;
  std::string cskipped;
  for (const char* ctype : {"tmpfs", "ext4"}) {
    for (const auto& s : scenarios) {
      for (const bool boldprot : {true, false}) {
        Mounted m(ctype, 1024);
        if (!m.bok) {
          cskipped = m.cwhy;
          continue;
        }
        prepare(m.path, s);
        if (boldprot) writefile(m.path + "/prot.txt", "alt\r\n");
        fillup(m.path + "/fill");
        const RunResult res = run(m.path);
        ::unlink((m.path + "/fill").c_str());
        const std::string cwhat = std::string(ctype) + (boldprot ? ", old protocol" : ", no protocol");
        nstored += checkinvariant(m.path, s, res, cwhat, true);
        ++ncases;
      }
    }
  }
  std::printf("full disk: %d cases, %d stored the line%s%s\n", ncases, nstored, cskipped.empty() ? "" : "; skipped: ",
              cskipped.c_str());
  if (ncases == 0) GTEST_SKIP() << cskipped;
}

// An input on a file system that stops answering (a stalled share or FUSE
// daemon: not even SIGKILL ends a read there): the run gives up at its
// bound on waiting and says the input cannot be read.
TEST(Reliability, StalledReadEndsAtTheBound) {
  TempDir tmp;
  ::mkdir((tmp / "mnt").c_str(), 0755);
  StallFs fs(tmp / "mnt", {{"mail.txt", CEXAMPLEMAIL, true}, {"tage.txt", CDAYS, true}});
  if (!fs.ok()) GTEST_SKIP() << "no stalling file system here: " << fs.why();
  struct Case {
    const char* cname;   // the input that lies on the stalled file system
    std::string cwantprot;
  } cases[] = {{"mail.txt", PUNREAD}, {"tage.txt", PMAIL + PNODAYREAD}};
  std::vector<std::unique_ptr<TempDir>> dirs;
  std::vector<int> pids;
  const auto t0 = std::chrono::steady_clock::now();
  for (const auto& c : cases) {  // both at once: each waits out its bound
    dirs.push_back(std::make_unique<TempDir>());
    const TempDir& d = *dirs.back();
    writeexample(d);
    ::unlink((d / c.cname).c_str());
    ::symlink((tmp / "mnt/" + c.cname).c_str(), (d / c.cname).c_str());
    pids.push_back(start(d.path));
  }
  for (size_t i = 0; i < pids.size(); ++i) {
    SCOPED_TRACE(cases[i].cname);
    int nst = 0;
    ::waitpid(pids[i], &nst, 0);
    const double nseconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    EXPECT_TRUE(WIFEXITED(nst) && WEXITSTATUS(nst) == 1);
    EXPECT_LT(nseconds, 12);
    EXPECT_EQ(protocolof(dirs[i]->path), cases[i].cwantprot);
    EXPECT_EQ(readfile(*dirs[i] / "tabelle.csv"), CHEAD3);
  }
  EXPECT_GE(fs.stalledreads(), 2);  // the reads are still held: the runs did not wait for them
}
