// meldimport-all end to end: folders of mails in fresh directories.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <map>
#include <random>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "cases.h"
#include "harness_posix.h"

using namespace meldtest;

namespace {

const std::string CUSAGE =
    "Aufruf: meldimport-all ORDNER   (im Verzeichnis von tage.txt und tabelle.csv)\n"
    "        meldimport-all --uebersicht   (schreibt nur uebersicht.html aus tabelle.csv)\n";

// The worked example with the name made the file's own, and its line.
std::string mailof(const std::string& cname) {
  std::string c = CEXAMPLEMAIL;
  return c.replace(6, 12, "Erika " + cname);
}
std::string lineof(const std::string& cname) {
  std::string c = CEXAMPLELINE;
  return c.replace(0, 12, "Erika " + cname);
}

// A table's directory with the day list and a table, and a folder "ein" in it.
// As a Maildir, the mails arrive in its new.
struct Folder {
  TempDir d;
  std::string cin = d / "ein";
  bool bmaildir;
  explicit Folder(const std::vector<std::string>& cnames, bool bmaildir_ = false) : bmaildir(bmaildir_) {
    writefile(d / "tage.txt", CDAYS);
    writefile(d / "tabelle.csv", CHEAD3);
    ::mkdir(cin.c_str(), 0777);
    if (bmaildir)
      for (const char* csub : {"/cur", "/new", "/tmp"}) ::mkdir((cin + csub).c_str(), 0777);
    for (const auto& cn : cnames) writefile(waiting(cn), mailof(cn));
  }
  // Where a mail lies before it is imported, once imported, and while claimed.
  std::string waiting(const std::string& cn) const { return cin + (bmaildir ? "/new/" : "/") + cn; }
  std::string done(const std::string& cn) const { return bmaildir ? cin + "/.importiert/cur/" + cn + ":2," : cin + "/importiert/" + cn; }
  std::string claimed(const std::string& cn) const { return bmaildir ? cin + "/.in-arbeit/cur/" + cn + ":2," : cin + "/.in-arbeit/" + cn; }
  std::string claims() const { return cin + (bmaildir ? "/.in-arbeit/cur" : "/.in-arbeit"); }
  RunResult run(RunOptions opt = {}) const {
    opt.bfolder = true;
    opt.cargs = {"ein"};
    return meldtest::run(d.path, opt);
  }
  std::string table() const { return readfile(d / "tabelle.csv"); }
  std::string log() const { return logof(d.path); }
};

// An exclusive lock on the file, held by the test as another program would.
int lockfile(const std::string& cpath) {
  const int nfd = ::open(cpath.c_str(), O_RDWR);
  ::flock(nfd, LOCK_EX);
  return nfd;
}


// Every entry of a log whole: each "Mail: " and "Ende: " begins a line, and
// the log ends with a line end.
bool wholeentries(const std::string& clog) {
  for (const char* cstart : {"Mail: ", "Ende: "})
    for (size_t n = clog.find(cstart); n != std::string::npos; n = clog.find(cstart, n + 1))
      if (n != 0 && clog.compare(n - 2, 2, "\r\n") != 0) return false;
  return clog.empty() || clog.ends_with("\r\n");
}

std::string tableof(const std::vector<std::string>& cnames) {
  std::string c = CHEAD3;
  for (const auto& cn : cnames) c += lineof(cn);
  return c;
}

}  // namespace

// Mails in mixed order: the lines in the bytewise order of the names, every
// mail moved, the log complete; a second run imports nothing again.
TEST(Folder, ImportsInNameOrderAndOnlyOnce) {
  const std::vector<std::string> csorted = {"10", "9", "Z", "a", "a\xe4", "b"};
  Folder f({"b", "a\xe4", "9", "a", "Z", "10"});
  writefile(f.cin + "/.versteckt", mailof("x"));
  ::mkdir((f.cin + "/unter").c_str(), 0777);
  ::mkfifo((f.cin + "/fifo").c_str(), 0666);
  writefile(f.d / "mail.txt", mailof("nie"));
  const RunResult res = f.run();
  EXPECT_EQ(res.nstatus, 0);
  EXPECT_EQ(res.coutput, "6 Mails: 6 importiert, 0 fehlgeschlagen\n");
  EXPECT_EQ(f.table(), tableof(csorted));
  std::string clog;
  for (const auto& cn : csorted) clog += "Mail: " + cn + "\r\n" + PSTORED;
  clog += "Ende: 6 Mails: 6 importiert, 0 fehlgeschlagen\r\n";
  EXPECT_EQ(f.log(), clog);
  // The run's first entry and its summary tell when it ran.
  EXPECT_TRUE(std::regex_match(readfile(f.d / "prot-all.txt"),
                               std::regex("\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d Mail: 10\r\n[^]*\r\nEnde: "
                                          "\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d 6 Mails[^]*")));
  EXPECT_EQ(readfile(f.d / "prot.txt"), PSTORED);
  EXPECT_EQ(entries(f.cin), (std::vector<std::string>{".in-arbeit", ".versteckt", "fifo", "importiert", "unter"}));
  EXPECT_EQ(entries(f.cin + "/.in-arbeit"), std::vector<std::string>{});
  for (const auto& cn : csorted) EXPECT_EQ(readfile(f.cin + "/importiert/" + cn), mailof(cn)) << cn;
  EXPECT_EQ(readfile(f.d / "mail.txt"), mailof("nie"));

  // Nothing to do: nothing said, nothing logged (a schedule runs it every few minutes).
  const RunResult again = f.run();
  EXPECT_EQ(again.nstatus, 0);
  EXPECT_EQ(again.coutput, "");
  EXPECT_EQ(f.table(), tableof(csorted));
  EXPECT_EQ(f.log(), clog);
}

// A mail that fails stays in the folder and the run goes on; a failure that
// every further mail would meet stops the run at once.
TEST(Folder, FailuresStayBehindOrStop) {
  std::vector<int> nlocks;  // tables held by "another program" until the test ends
  const std::string CSTOP = "3 Mails: 0 importiert, 1 fehlgeschlagen, 2 nicht bearbeitet - Abbruch";
  const auto fifo = [](const std::string& cpath) {
    ::unlink(cpath.c_str());
    ::mkfifo(cpath.c_str(), 0666);
  };
  struct Case {
    const char* cname;
    std::function<void(const Folder&)> setup;
    bool bunprivileged;
    std::vector<std::string> cstored;  // in the table and in importiert; the others stay
    std::string csummary, clog;        // the log without its last line
    bool btable = true;                // the table can be read back
    std::string csaid = "";            // what the import said on standard error
    std::vector<std::string> cprefix = {};  // run under strace with an injected fault
  } cases[] = {
      {"unreadable mail", [](const Folder& f) { ::chmod((f.cin + "/b").c_str(), 0); }, true, {"a", "c"},
       "3 Mails: 2 importiert, 1 fehlgeschlagen",
       "Mail: a\r\n" + PSTORED + "Mail: b\r\n" + PUNREAD + "Mail: c\r\n" + PSTORED},
      {"table cannot be opened", [&](const Folder& f) { fifo(f.d / "tabelle.csv"); }, false, {},
       CSTOP + ": tabelle.csv kann nicht geoeffnet werden",
       "Mail: a\r\n" + PUNOPENED, false},
      {"day list does not fit", [](const Folder& f) { writefile(f.d / "tage.txt", "Fr12;Sa13;"); }, false, {},
       CSTOP + ": tage.txt passt nicht zu tabelle.csv",
       "Mail: a\r\n" + PMAIL + "tage.txt gelesen: Fr12;Sa13; 2 Tage - okay\r\ntabelle.csv eingelesen\r\n" +
           "tage.txt passt nicht zu tabelle.csv\r\n" + PFAIL},
      {"day list unreadable", [&](const Folder& f) { fifo(f.d / "tage.txt"); }, false, {}, CSTOP + ": tage.txt nicht lesbar",
       "Mail: a\r\n" + PMAIL + PNODAYREAD},
      {"protocol cannot be written", [](const Folder& f) { ::mkdir((f.d / "prot.txt").c_str(), 0777); }, false, {},
       CSTOP + ": prot.txt kann nicht geschrieben werden", "Mail: a\r\n", true, "meldimport: prot.txt kann nicht geschrieben werden - Abbruch\n"},
      // One bound on waiting for the whole run: a table held longer stops it.
      {"table locked by another program", [&](const Folder& f) { nlocks.push_back(lockfile(f.d / "tabelle.csv")); },
       false, {}, CSTOP + ": tabelle.csv bleibt gesperrt", "Mail: a\r\n" + PMAIL + PDAYS + PREAD + PFAIL},
      // The claim's sync fails (the log and the places exist, so it is the run's first fsync).
      {"claim cannot be made durable", [](const Folder& f) {
         writefile(f.d / "prot-all.txt", "");
         for (const char* cplace : {"/.in-arbeit", "/importiert"}) ::mkdir((f.cin + cplace).c_str(), 0777);
       }, false, {},
       CSTOP + ": .in-arbeit kann nicht gesichert werden",
       "Mail: a\r\nkann nicht dauerhaft nach .in-arbeit verschoben werden - nicht importiert\r\n", true, "",
       {MELD_STRACE, "-f", "-qq", "-o", "/dev/null", "-e", "inject=fsync:error=EIO:when=1"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.cname);
    if (c.bunprivileged && !canunprivileged()) continue;
    if (!c.cprefix.empty() && nostrace()) continue;
    Folder f({"c", "a", "b"});
    RunOptions opt;
    opt.cprefix = c.cprefix;
    if (c.bunprivileged) {
      openup(f.d.path);
      openup(f.cin);
      ::chmod((f.d / "tabelle.csv").c_str(), 0666);
      opt.bunprivileged = true;
    }
    c.setup(f);
    const RunResult res = f.run(opt);
    EXPECT_EQ(res.nstatus, 1);
    EXPECT_EQ(res.coutput, c.csaid + c.csummary + "\n");
    if (c.btable) {
      EXPECT_EQ(f.table(), tableof(c.cstored));
    }
    for (const std::string cn : {"a", "b", "c"}) {
      const bool bstored = std::find(c.cstored.begin(), c.cstored.end(), cn) != c.cstored.end();
      EXPECT_EQ(exists(f.cin + "/importiert/" + cn), bstored) << cn;
      EXPECT_EQ(exists(f.cin + "/" + cn), !bstored) << cn;
    }
    EXPECT_EQ(f.log(), c.clog + "Ende: " + c.csummary + "\r\n");
  }
  for (const int n : nlocks) ::close(n);
}

// Runs started together on one folder: every mail imported exactly once.
TEST(Folder, ConcurrentRunsImportEachMailOnce) {
  constexpr int NRUNS = 4, NMAILS = 200;
  std::vector<std::string> cnames;
  for (int i = 0; i < NMAILS; ++i) cnames.push_back(std::to_string(1000 + i));
  Folder f(cnames);
  int nbarrier[2];
  ASSERT_EQ(::pipe(nbarrier), 0);
  RunOptions opt;
  opt.bfolder = true;
  opt.cargs = {"ein"};
  opt.nbarrierfd = nbarrier[0];
  opt.nclosefd = nbarrier[1];
  std::vector<int> pids;
  for (int i = 0; i < NRUNS; ++i) pids.push_back(start(f.d.path, opt));
  ::close(nbarrier[0]);
  ::close(nbarrier[1]);  // releases them all at once
  for (const int pid : pids) {
    int nst = 0;
    ::waitpid(pid, &nst, 0);
    EXPECT_TRUE(WIFEXITED(nst) && WEXITSTATUS(nst) == 0);
  }
  // The lines in any order, each once.
  std::vector<std::string> clines;
  const std::string ctab = f.table();
  for (size_t n = CHEAD3.size(), nend; n < ctab.size(); n = nend + 2) {
    nend = ctab.find("\r\n", n);
    clines.push_back(ctab.substr(n, nend + 2 - n));
  }
  std::sort(clines.begin(), clines.end());
  std::vector<std::string> cwant;
  for (const auto& cn : cnames) cwant.push_back(lineof(cn));
  EXPECT_EQ(clines, cwant);
  EXPECT_EQ(entries(f.cin + "/importiert"), cnames);
  EXPECT_EQ(entries(f.cin + "/.in-arbeit"), std::vector<std::string>{});
  // Each run's summary ends the log's part of it; together they count each mail once.
  const std::string clog = f.log();
  int nstored = 0, nends = 0;
  for (size_t n = clog.find("Ende: "); n != std::string::npos; n = clog.find("Ende: ", n + 1), ++nends) {
    int nfound = 0, nmine = 0;
    ASSERT_EQ(std::sscanf(clog.c_str() + n, "Ende: %d Mails: %d importiert, 0 fehlgeschlagen", &nfound, &nmine), 2);
    nstored += nmine;
  }
  EXPECT_EQ(nends, NRUNS);
  EXPECT_EQ(nstored, NMAILS);
  std::printf("concurrent runs (folder import): %d runs, %d mails, each imported once\n", NRUNS, NMAILS);
}

// Runs killed at random moments: every mail is in exactly one place, a mail
// in importiert has its line in the table, one still in the folder has not,
// no line is there twice; a run after the kill imports all, the dead run's
// claim too, each once.
TEST(Folder, KilledRuns) {
  std::vector<std::string> cnames;
  for (int i = 0; i < 30; ++i) cnames.push_back(std::to_string(100 + i));
  for (const bool bmaildir : {false, true}) {
    SCOPED_TRACE(bmaildir ? "Maildir" : "folder");
    // Kills land anywhere within the time a whole run takes here.
    const double nwhole = Folder(cnames, bmaildir).run().nseconds;
    std::mt19937 rng(20261208);
    std::uniform_int_distribution<int> delay(0, static_cast<int>(nwhole * 1e6));
    RunOptions opt;
    opt.bfolder = true;
    opt.cargs = {"ein"};
    int nkilled = 0;
    const int NROUNDS = bmaildir ? 50 : 100;
    for (int nround = 0; nround < NROUNDS; ++nround) {
      SCOPED_TRACE("round " + std::to_string(nround));
      Folder f(cnames, bmaildir);
      const int pid = start(f.d.path, opt);
      std::this_thread::sleep_for(std::chrono::microseconds(delay(rng)));
      nkilled += ::kill(pid, SIGKILL) == 0;
      int nst = 0;
      ::waitpid(pid, &nst, 0);
      nkilled -= WIFEXITED(nst);  // it finished before the kill landed
      for (const bool bafter : {false, true}) {
        if (bafter) f.run();
        const std::string ctab = f.table();
        ASSERT_EQ(ctab.compare(0, CHEAD3.size(), CHEAD3), 0);
        std::map<std::string, int> nlines;
        for (size_t n = CHEAD3.size(), nend; n < ctab.size(); n = nend + 2) {
          nend = ctab.find("\r\n", n);
          ASSERT_NE(nend, std::string::npos) << "a line cut short";
          ++nlines[ctab.substr(n, nend + 2 - n)];
        }
        for (const auto& cn : cnames) {
          const bool bin = exists(f.waiting(cn)), bdone = exists(f.done(cn)), bclaimed = exists(f.claimed(cn));
          ASSERT_EQ(bin + bdone + bclaimed, 1) << cn;
          ASSERT_FALSE(bafter && (bin || bclaimed)) << cn;  // the run after the kill left nothing behind
          const int n = nlines[lineof(cn)];
          ASSERT_LE(n, 1) << cn;
          ASSERT_EQ(n, bdone ? 1 : (bin ? 0 : n)) << cn;
        }
        if (exists(f.claims())) {
          ASSERT_LE(entries(f.claims()).size(), 1u);
        }
      }
    }
    std::printf("killed runs (%s import): %d of %d killed before they ended\n", bmaildir ? "Maildir" : "folder", nkilled,
                NROUNDS);
    EXPECT_GT(nkilled, NROUNDS / 10);
  }
}

// A run killed while a mail is claimed leaves it in .in-arbeit: the next run
// tells by the table whether its line is there. One that is not goes back
// into the folder and is imported; one that is (killed between the table
// and the move, the key not yet recorded) goes to importiert.
TEST(Folder, ClaimOfAKilledRun) {
  Folder f({"a", "b", "c"});
  // The table held locked keeps the run waiting with its first mail claimed.
  const int nlock = ::open((f.d / "tabelle.csv").c_str(), O_RDWR);
  ASSERT_EQ(::flock(nlock, LOCK_EX), 0);
  RunOptions opt;
  opt.bfolder = true;
  opt.cargs = {"ein"};
  const int pid = start(f.d.path, opt);
  const auto tend = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (!exists(f.cin + "/.in-arbeit") || entries(f.cin + "/.in-arbeit").empty()) {
    ASSERT_LT(std::chrono::steady_clock::now(), tend) << "the run claimed nothing";
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  ::kill(pid, SIGKILL);
  int nst = 0;
  ::waitpid(pid, &nst, 0);
  ::close(nlock);
  const std::vector<std::string> cleft = entries(f.cin + "/.in-arbeit");
  ASSERT_EQ(cleft.size(), 1u);
  const std::string cx = cleft[0];

  const RunResult res = f.run();
  EXPECT_EQ(res.nstatus, 0);
  EXPECT_EQ(res.coutput, "3 Mails: 3 importiert, 0 fehlgeschlagen\n");
  EXPECT_EQ(f.table(), tableof({"a", "b", "c"}));
  EXPECT_EQ(entries(f.cin + "/.in-arbeit"), std::vector<std::string>{});
  EXPECT_EQ(entries(f.cin + "/importiert"), (std::vector<std::string>{"a", "b", "c"}));
  std::string clog = "Mail: " + cx + "\r\nlag in .in-arbeit von einem abgebrochenen Lauf: Zeile nicht in tabelle.csv, wird importiert\r\n";
  for (const std::string cn : {"a", "b", "c"}) clog += "Mail: " + cn + "\r\n" + PSTORED;
  EXPECT_EQ(f.log(), clog + "Ende: 3 Mails: 3 importiert, 0 fehlgeschlagen\r\n");

  ::rename((f.cin + "/importiert/b").c_str(), (f.cin + "/.in-arbeit/b").c_str());
  writefile(f.d / "importierte-mails.txt", "");
  const RunResult again = f.run();
  EXPECT_EQ(again.nstatus, 0);
  EXPECT_EQ(f.table(), tableof({"a", "b", "c"}));
  EXPECT_EQ(entries(f.cin + "/importiert"), (std::vector<std::string>{"a", "b", "c"}));
  EXPECT_EQ(f.log(), clog + "Ende: 3 Mails: 3 importiert, 0 fehlgeschlagen\r\nMail: b\r\nlag in .in-arbeit von einem abgebrochenen "
                     "Lauf: Zeile in tabelle.csv, nach importiert verschoben\r\nEnde: 0 Mails: 0 importiert, 0 fehlgeschlagen\r\n");
}

// Wrong calls: status 2 and the usage line on standard error, nothing
// touched; --help writes the usage to standard output.
TEST(Folder, WrongCalls) {
  const std::string cusage = CUSAGE;
  Folder f({"a"});
  // The folder's own places, given by mistake: their mails were taken already.
  for (const char* cplace : {"/importiert", "/doppelt", "/.in-arbeit", "/.in-arbeit/gespeichert"}) ::mkdir((f.cin + cplace).c_str(), 0777);
  const std::vector<std::string> cinside = {".in-arbeit", "a", "doppelt", "importiert"};
  struct Case {
    std::vector<std::string> cargs;
    int nstatus;
    std::string csaid = "";
  } cases[] = {{{}, 2}, {{"ein", "ein"}, 2}, {{"tage.txt"}, 2}, {{"fehlt"}, 2}, {{"."}, 2}, {{f.d.path}, 2},
               {{"ein/importiert"}, 2, "ein/importiert ist ein Ordner, in den meldimport-all Mails ablegt: ORDNER ist ein\n"},
               {{"ein/doppelt/"}, 2, "ein/doppelt/ ist ein Ordner, in den meldimport-all Mails ablegt: ORDNER ist ein\n"},
               {{"ein/.in-arbeit/gespeichert"}, 2, "ist ein Ordner, in den meldimport-all Mails ablegt: ORDNER ist ein\n"},
               {{"--help"}, 0}};
  // Run by root in a directory that others may write as well: a wrong call is told first.
  for (const bool bopen : {false, true}) {
  if (bopen && !isroot()) break;
  if (bopen) ::chmod(f.d.path.c_str(), 0777);
  for (const auto& c : cases) {
    RunOptions opt;
    opt.bfolder = true;
    opt.cargs = c.cargs;
    const RunResult res = run(f.d.path, opt);
    const std::string cwhat = (c.cargs.empty() ? "no argument" : c.cargs[0]) + (bopen ? ", open directory" : "");
    EXPECT_EQ(res.nstatus, c.nstatus) << cwhat;
    if (c.nstatus == 0) {
      EXPECT_EQ(res.coutput, cusage);
      EXPECT_EQ(res.cstderr, "");
    } else {
      EXPECT_EQ(res.coutput, res.cstderr) << cwhat;  // nothing on standard output
      ASSERT_GT(res.cstderr.size(), cusage.size()) << cwhat;
      EXPECT_EQ(res.cstderr.substr(res.cstderr.size() - cusage.size()), cusage) << cwhat;
      EXPECT_NE(res.cstderr.find(c.csaid + cusage), std::string::npos) << cwhat;
    }
    EXPECT_EQ(entries(f.d.path), (std::vector<std::string>{"ein", "tabelle.csv", "tage.txt"})) << cwhat;
    EXPECT_EQ(entries(f.cin), cinside) << cwhat;
  }
  }
}

// On a terminal the progress line is written over after each mail, and the
// summary takes its place.
TEST(Folder, ProgressOnATerminal) {
  const int nmaster = ::posix_openpt(O_RDWR | O_NOCTTY);
  ASSERT_GE(nmaster, 0);
  ASSERT_EQ(::grantpt(nmaster), 0);
  ASSERT_EQ(::unlockpt(nmaster), 0);
  const int nslave = ::open(::ptsname(nmaster), O_RDWR | O_NOCTTY);
  ASSERT_GE(nslave, 0);
  Folder f({"a", "b"});
  RunOptions opt;
  opt.nstderrfd = nslave;
  const RunResult res = f.run(opt);
  EXPECT_EQ(res.nstatus, 0);
  std::string cterm;
  ::fcntl(nmaster, F_SETFL, O_NONBLOCK);
  char cbuf[4096];
  for (ssize_t n; (n = ::read(nmaster, cbuf, sizeof cbuf)) > 0;) cterm.append(cbuf, static_cast<size_t>(n));
  ::close(nslave);
  ::close(nmaster);
  // The terminal turns the final line feed into CR LF.
  EXPECT_EQ(untimed(cterm), "\r1/2 Mails: 1 importiert, 0 fehlgeschlagen\r2/2 Mails: 2 importiert, 0 fehlgeschlagen"
                            "\r2 Mails: 2 importiert, 0 fehlgeschlagen\r\n");
}

// A stored mail that cannot go to importiert is kept apart in
// .in-arbeit/gespeichert, and the run stops, saying the line is in the
// table; the next run that can moves it on and is not misled by it.
TEST(Folder, StoredMailsAreNeverMisreported) {
  if (!canunprivileged()) GTEST_SKIP() << "no unprivileged user: permission bits do not bind root";
  Folder f({"a", "b", "c"});
  openup(f.d.path);
  openup(f.cin);
  ::chmod((f.d / "tabelle.csv").c_str(), 0666);
  ::mkdir((f.cin + "/importiert").c_str(), 0555);
  RunOptions opt;
  opt.bunprivileged = true;
  const std::string csummary = "3 Mails: 1 importiert, 0 fehlgeschlagen, 2 nicht bearbeitet - Abbruch: importiert nicht "
                               "beschreibbar; Zeile in tabelle.csv, Mail in ein/.in-arbeit/gespeichert: a";
  const RunResult res = f.run(opt);
  EXPECT_EQ(res.nstatus, 1);
  EXPECT_EQ(res.coutput, csummary + "\n");
  EXPECT_EQ(f.table(), tableof({"a"}));
  EXPECT_EQ(entries(f.cin + "/.in-arbeit/gespeichert"), std::vector<std::string>{"a"});
  const std::string clog = "Mail: a\r\n" + PSTORED +
                           "Mail: a\r\nbleibt in .in-arbeit/gespeichert: Zeile in tabelle.csv, kann nicht nach importiert "
                           "verschoben werden\r\nEnde: " + csummary + "\r\n";
  EXPECT_EQ(f.log(), clog);

  ::chmod((f.cin + "/importiert").c_str(), 0777);
  const RunResult again = f.run(opt);
  EXPECT_EQ(again.nstatus, 0);
  EXPECT_EQ(again.coutput, "2 Mails: 2 importiert, 0 fehlgeschlagen\n");
  EXPECT_EQ(f.table(), tableof({"a", "b", "c"}));
  EXPECT_EQ(entries(f.cin + "/importiert"), (std::vector<std::string>{"a", "b", "c"}));
  EXPECT_EQ(f.log(), clog + "Mail: a\r\nZeile in tabelle.csv, aus .in-arbeit/gespeichert nach importiert verschoben\r\n" +
                         "Mail: b\r\n" + PSTORED + "Mail: c\r\n" + PSTORED +
                         "Ende: 2 Mails: 2 importiert, 0 fehlgeschlagen\r\n");
}

// A mail that is a relative link is read from where it leads, though the
// claim moves the link; a name of 255 bytes that is taken in importiert
// goes there shortened to make room for ".2".
TEST(Folder, LinksAndLongNames) {
  const std::string clong(255, 'n');
  Folder f({});
  writefile(f.cin + "/" + clong, mailof("lang"));
  ::mkdir((f.d / "archiv").c_str(), 0755);
  writefile(f.d / "archiv/m", mailof("m"));
  ASSERT_EQ(::symlink("../archiv/m", (f.cin + "/m").c_str()), 0);
  ::mkdir((f.cin + "/importiert").c_str(), 0755);
  writefile(f.cin + "/importiert/" + clong, "frueher");
  const RunResult res = f.run();
  EXPECT_EQ(res.nstatus, 0);
  EXPECT_EQ(res.coutput, "2 Mails: 2 importiert, 0 fehlgeschlagen\n");
  EXPECT_EQ(f.table(), tableof({"m", "lang"}));
  const std::string cshort = clong.substr(0, 253) + ".2";
  EXPECT_EQ(entries(f.cin + "/importiert"), (std::vector<std::string>{"m", cshort, clong}));
  EXPECT_EQ(readfile(f.cin + "/importiert/" + cshort), mailof("lang"));
  EXPECT_EQ(f.log(), "Mail: m\r\n" + PSTORED + "Mail: " + clong + "\r\n" + PSTORED + "Mail: " + clong +
                         "\r\nnach importiert/" + cshort + " verschoben\r\nEnde: 2 Mails: 2 importiert, 0 fehlgeschlagen\r\n");
}

// Run by root, the folder import acts with the rights of the table
// directory's owner and takes only a folder that is that user's alone.
TEST(Folder, RootTakesOnlyTheOwnersFolder) {
  if (!isroot()) GTEST_SKIP() << "not root: nothing to take";
  constexpr uid_t NOBODY = 65534;
  const std::string crefused =
      "meldimport-all: ein gehoert nicht allein dem Benutzer des Verzeichnisses der Tabelle - Abbruch\n";
  struct Case {
    const char* cname;
    std::function<void(const Folder&)> setup;
    std::string csaid;
  } cases[] = {
      {"folder of another user", [&](const Folder& f) { ::chown(f.cin.c_str(), NOBODY, NOBODY); }, crefused},
      {"drop of mode 1777", [](const Folder& f) { ::chmod(f.cin.c_str(), 01777); }, crefused},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.cname);
    Folder f({"a"});
    c.setup(f);
    const RunResult res = f.run();
    EXPECT_EQ(res.nstatus, 1);
    EXPECT_EQ(res.coutput, c.csaid);
    EXPECT_EQ(f.table(), CHEAD3);
    EXPECT_EQ(entries(f.cin), std::vector<std::string>{"a"});
  }
  // A user's table and folder: a link there to root's secret reads as
  // nothing, and what the run makes belongs to that user.
  TempDir dsecret;
  writefile(dsecret / "geheim", mailof("geheim"));
  ::chmod((dsecret / "geheim").c_str(), 0600);
  ::chmod(dsecret.path.c_str(), 0755);
  Folder f({"a"});
  for (const std::string& cp : {f.d.path, f.cin, f.d / "tabelle.csv", f.d / "tage.txt", f.cin + "/a"})
    ::chown(cp.c_str(), NOBODY, NOBODY);
  ::chmod(f.d.path.c_str(), 0755);
  ::symlink((dsecret / "geheim").c_str(), (f.cin + "/x").c_str());
  const RunResult res = f.run();
  EXPECT_EQ(res.nstatus, 1);
  EXPECT_EQ(res.coutput, "2 Mails: 1 importiert, 1 fehlgeschlagen\n");
  EXPECT_EQ(f.table(), tableof({"a"}));
  EXPECT_EQ(f.log(), "Mail: a\r\n" + PSTORED + "Mail: x\r\n" + PUNREAD +
                         "Ende: 2 Mails: 1 importiert, 1 fehlgeschlagen\r\n");
  for (const std::string& cp : {f.cin + "/importiert", f.cin + "/.in-arbeit", f.d / "prot-all.txt", f.d / "prot.txt"}) {
    struct stat st;
    EXPECT_TRUE(::stat(cp.c_str(), &st) == 0 && st.st_uid == NOBODY) << cp;
  }
}

// Standard error a closed pipe: the run ends with the import's status,
// not killed by SIGPIPE.
TEST(Folder, ClosedStandardError) {
  Folder f({"a"});
  int npipe[2];
  ASSERT_EQ(::pipe(npipe), 0);
  ::close(npipe[0]);
  RunOptions opt;
  opt.nstderrfd = npipe[1];
  const RunResult res = f.run(opt);
  ::close(npipe[1]);
  EXPECT_EQ(res.nstatus, 0);
  EXPECT_EQ(f.table(), tableof({"a"}));
}

// The disk runs full in mid-run: each entry of the log is whole or absent,
// and a run with space again goes on behind a line end; every mail once.
TEST(Folder, FullDiskLeavesWholeLogEntries) {
  Mounted m("tmpfs", 512);
  if (!m.bok) GTEST_SKIP() << m.cwhy;
  TempDir dmails;  // the folder lies elsewhere: the mails themselves take no room on the full disk
  const std::string cin = dmails / "ein";
  ::mkdir(cin.c_str(), 0755);
  writefile(m.path + "/tage.txt", CDAYS);
  writefile(m.path + "/tabelle.csv", CHEAD3);
  std::vector<std::string> cnames;
  for (int i = 0; i < 40; ++i) {
    cnames.push_back(std::to_string(100 + i));
    std::string cmail = mailof(cnames.back());
    cmail.insert(cmail.find("Viele"), repeat(std::string(78, 'x') + "\r\n", 100));  // a line of about 8 KiB
    writefile(cin + "/" + cnames.back(), cmail);
  }
  const long long nfilled = fillup(m.path + "/fill");
  ASSERT_EQ(::truncate((m.path + "/fill").c_str(), std::max(0LL, nfilled - 100 * 1024)), 0);
  RunOptions opt;
  opt.bfolder = true;
  opt.cargs = {cin};
  const RunResult full = run(m.path, opt);
  EXPECT_EQ(full.nstatus, 1);
  EXPECT_TRUE(wholeentries(logof(m.path))) << logof(m.path);
  ::unlink((m.path + "/fill").c_str());
  EXPECT_EQ(run(m.path, opt).nstatus, 0);
  const std::string clog = logof(m.path);
  EXPECT_TRUE(wholeentries(clog)) << clog;
  const std::string ctab = readfile(m.path + "/tabelle.csv");
  for (const auto& cn : cnames) {
    EXPECT_TRUE(exists(cin + "/importiert/" + cn)) << cn;
    const size_t nat = ctab.find("Erika " + cn + ";");
    EXPECT_TRUE(nat != std::string::npos && ctab.find("Erika " + cn + ";", nat + 1) == std::string::npos) << cn;
  }
  std::printf("full disk (folder import): %zu mails, the first run stopped with %s\n", cnames.size(),
              full.coutput.substr(0, full.coutput.find('\n')).c_str());
}

// A Maildir is imported as one: the mails of new and cur together in the
// order of their names, the server's own files left alone, the mails kept
// in Maildir++ folders (one already there), named as a mail program
// expects, a failed mail back where it came from, nothing made inside cur,
// new or tmp, the folders subscribed; new, cur or tmp itself is refused.
TEST(Folder, Maildir) {
  if (!canunprivileged()) GTEST_SKIP() << "no unprivileged user: permission bits do not bind root";
  Folder f({"1700000003.M3.h", "1700000005.M5.h"}, true);
  writefile(f.cin + "/new/1700000005.M5.h", "Ich bin bis Montag nicht im Haus.\r\n");  // no registration
  writefile(f.cin + "/cur/1700000001.M1.h:2,S", mailof("1700000001.M1.h"));
  writefile(f.cin + "/cur/1700000002.M2.h", mailof("1700000002.M2.h"));
  writefile(f.cin + "/cur/1700000004.M4.h:2,RS", mailof("1700000004.M4.h"));
  ::chmod((f.cin + "/cur/1700000004.M4.h:2,RS").c_str(), 0);  // cannot be read: fails
  for (const char* cserver : {"dovecot-uidlist", "dovecot.index", "dovecot.index.log"}) writefile(f.cin + "/" + cserver, "x");
  writefile(f.cin + "/subscriptions", "Archiv");
  for (const char* csub : {"", "/cur", "/new", "/tmp"}) ::mkdir((f.cin + "/.importiert" + csub).c_str(), 0777);
  writefile(f.cin + "/.importiert/cur/1700000001.M1.h:2,RS", "frueher");  // the same name with other flags
  for (const std::string& cp : {f.d.path, f.cin, f.cin + "/cur", f.cin + "/new", f.cin + "/tmp", f.cin + "/.importiert",
                                f.cin + "/.importiert/cur", f.cin + "/.importiert/new", f.cin + "/.importiert/tmp"})
    openup(cp);
  for (const std::string& cp : {f.d / "tabelle.csv", f.cin + "/subscriptions"}) openup(cp);
  RunOptions opt;
  opt.bunprivileged = true;
  const RunResult res = f.run(opt);
  EXPECT_EQ(res.nstatus, 1);
  EXPECT_EQ(res.coutput, "5 Mails: 3 importiert, 1 fehlgeschlagen, 1 keine Anmeldung\n");
  EXPECT_EQ(f.table(), tableof({"1700000001.M1.h", "1700000002.M2.h", "1700000003.M3.h"}));
  EXPECT_EQ(entries(f.cin), (std::vector<std::string>{".importiert", ".in-arbeit", ".keine-anmeldung", "cur",
                                                      "dovecot-uidlist", "dovecot.index", "dovecot.index.log", "new",
                                                      "subscriptions", "tmp"}));
  EXPECT_EQ(entries(f.cin + "/cur"), std::vector<std::string>{"1700000004.M4.h:2,RS"});
  EXPECT_EQ(entries(f.cin + "/new"), std::vector<std::string>{});
  EXPECT_EQ(entries(f.cin + "/tmp"), std::vector<std::string>{});
  EXPECT_EQ(entries(f.cin + "/.importiert/cur"), (std::vector<std::string>{"1700000001.M1.h.2:2,S", "1700000001.M1.h:2,RS",
                                                                           "1700000002.M2.h:2,", "1700000003.M3.h:2,"}));
  EXPECT_EQ(entries(f.cin + "/.keine-anmeldung/cur"), std::vector<std::string>{"1700000005.M5.h:2,"});
  for (const char* cfolder : {"/.in-arbeit", "/.keine-anmeldung"}) {
    EXPECT_EQ(entries(f.cin + cfolder), (std::vector<std::string>{"cur", "maildirfolder", "new", "tmp"})) << cfolder;
  }
  EXPECT_EQ(readfile(f.cin + "/subscriptions"), "Archiv\nin-arbeit\nkeine-anmeldung\n");
  EXPECT_EQ(f.log().substr(0, 35), "Mail: 1700000001.M1.h:2,S\r\nmail.txt");
  EXPECT_NE(f.log().find("Mail: 1700000001.M1.h:2,S\r\nnach importiert/1700000001.M1.h.2:2,S verschoben\r\n"),
            std::string::npos);

  const std::string cusage = CUSAGE;
  for (const char* cpart : {"ein/new", "ein/cur/", "ein/tmp"}) {
    RunOptions o;
    o.bfolder = true;
    o.cargs = {cpart};
    const RunResult wrong = run(f.d.path, o);
    EXPECT_EQ(wrong.nstatus, 2) << cpart;
    EXPECT_EQ(wrong.cstderr, "meldimport-all: " + std::string(cpart) + " ist ein Teil der Maildir ein: ORDNER ist ein\n" + cusage);
  }
}

// Each mail once: a mail whose Message-ID (else its bytes) was imported into
// the table goes to doppelt, the log naming the mail it doubles; the memory
// of a table that is gone, or that cannot be read, loses no registration.
TEST(Folder, EachMailOnce) {
  const std::string cdouble = "mail.txt ist doppelt: schon als a importiert - nicht noch einmal\r\n";
  const std::string cmsg = "Message-ID: <42@form.example>\r\nMIME-Version: 1.0\r\nContent-Type: text/plain\r\n\r\n" + mailof("a");
  struct Case {
    const char* cname;
    bool bmaildir;
    std::function<void(Folder&)> setup;  // after a first run that imported a
    std::vector<std::string> cnew;       // mails laid in the folder for the second run
    std::string csummary, clog;          // of the second run
    std::string ctable;
  } cases[] = {
      {"the same bytes twice in one run", false, [](Folder& f) { writefile(f.waiting("b"), mailof("a")); writefile(f.waiting("c"), mailof("a")); },
       {"b", "c"}, "2 Mails: 0 importiert, 0 fehlgeschlagen, 2 doppelt",
       "Mail: b\r\n" + PMAIL + PDAYS + PREAD + cdouble + "Mail: c\r\n" + PMAIL + PDAYS + PREAD + cdouble, tableof({"a"})},
      // A run killed between the table and the log left its claim; the
      // organiser moved it back into the folder.
      {"a claim moved back after a kill", false,
       [](Folder& f) { ::rename((f.cin + "/importiert/a").c_str(), f.waiting("a").c_str()); }, {"a"},
       "1 Mail: 0 importiert, 0 fehlgeschlagen, 1 doppelt", "Mail: a\r\n" + PMAIL + PDAYS + PREAD + cdouble, tableof({"a"})},
      {"the same Message-ID in a Maildir", true, [&](Folder& f) { writefile(f.waiting("b"), "Received: by mx2\r\n" + cmsg); },
       {"b"}, "1 Mail: 0 importiert, 0 fehlgeschlagen, 1 doppelt", "Mail: b\r\n" + PMAIL + PDAYS + PREAD + cdouble, tableof({"a"})},
      {"a new table forgets the old one's mails", false,
       [](Folder& f) {
         ::unlink((f.d / "tabelle.csv").c_str());
         writefile(f.waiting("b"), mailof("a"));
       },
       {"b"}, "1 Mail: 1 importiert, 0 fehlgeschlagen", "Mail: b\r\n" + PMADE, CMARK + tableof({"a"})},
      {"a memory that cannot be read", false,
       [](Folder& f) {
         ::unlink((f.d / "importierte-mails.txt").c_str());
         ::mkdir((f.d / "importierte-mails.txt").c_str(), 0777);
         writefile(f.waiting("b"), mailof("a"));
       },
       {"b"}, "1 Mail: 1 importiert, 0 fehlgeschlagen",
       "Mail: b\r\n" + PMAIL + PDAYS + PREAD + "importierte-mails.txt nicht lesbar - doppelte Mails werden nicht erkannt\r\n" +
           "importierte-mails.txt konnte nicht ergaenzt werden - diese Mail wird nicht als doppelt erkannt\r\n" + PDONE,
       tableof({"a", "a"})},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.cname);
    Folder f({}, c.bmaildir);
    writefile(f.waiting("a"), c.bmaildir ? cmsg : mailof("a"));
    ASSERT_EQ(f.run().nstatus, 0);
    c.setup(f);
    const std::string clog = f.log();
    const RunResult res = f.run();
    EXPECT_EQ(res.nstatus, 0);
    EXPECT_EQ(res.coutput, c.csummary + "\n");
    EXPECT_EQ(f.log(), clog + c.clog + "Ende: " + c.csummary + "\r\n");
    EXPECT_EQ(f.table(), c.ctable);
    const bool bdouble = c.csummary.ends_with("doppelt");
    for (const auto& cn : c.cnew) {
      EXPECT_FALSE(exists(f.waiting(cn))) << cn;
      EXPECT_EQ(exists(c.bmaildir ? f.cin + "/.doppelt/cur/" + cn + ":2," : f.cin + "/doppelt/" + cn), bdouble) << cn;
    }
    if (c.bmaildir) {
      EXPECT_EQ(readfile(f.cin + "/subscriptions"), "in-arbeit\nimportiert\ndoppelt\n");
    }
  }
}
