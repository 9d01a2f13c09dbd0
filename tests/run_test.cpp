// End-to-end: the built executable in fresh directories, byte for byte.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <thread>
#include <optional>
#include <string>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "cases.h"
#include "harness_posix.h"

using namespace meldtest;

namespace {

void mkfifoat(const TempDir& d, const char* cname) { ::mkfifo((d / cname).c_str(), 0666); }

// The worked example with a table that the test itself holds locked;
// returns the locked descriptor.
int lockedexample(const TempDir& d) {
  writeexample(d);
  const int nfd = ::open((d / "tabelle.csv").c_str(), O_RDWR);
  EXPECT_EQ(::flock(nfd, LOCK_EX), 0);
  return nfd;
}

}  // namespace

// The shared rows and those that need a FIFO or a link.
TEST(Run, Cases) {
  std::vector<Case> cases = portablecases();
  const std::vector<Case> cposix = {
      {.name = "mail is a FIFO", .mail = {}, .table = CHEAD3, .wantprot = PUNREAD, .status = 1,
       .setup = [](const TempDir& d) { mkfifoat(d, "mail.txt"); }},
      {.name = "day list is a FIFO", .days = {}, .table = CHEAD0, .wantprot = PMAIL + PNODAYREAD, .status = 1,
       .setup = [](const TempDir& d) { mkfifoat(d, "tage.txt"); }},
      {.name = "table is a FIFO", .wantprot = PUNOPENED, .status = 1, .setup = [](const TempDir& d) { mkfifoat(d, "tabelle.csv"); }},
      {.name = "table links to a device", .wantprot = PUNOPENED, .status = 1,
       .setup = [](const TempDir& d) { ::symlink("/dev/null", (d / "tabelle.csv").c_str()); }},
      {.name = "protocol is a FIFO", .table = CHEAD3, .status = 1, .setup = [](const TempDir& d) { mkfifoat(d, "prot.txt"); },
       .said = SNOPROT},
      {.name = "protocol links to a device", .table = CHEAD3, .status = 1,
       .setup = [](const TempDir& d) { ::symlink("/dev/null", (d / "prot.txt").c_str()); }, .said = SNOPROT},
      {.name = "protocol is a dangling link", .table = CHEAD3, .status = 1,
       .setup = [](const TempDir& d) { ::symlink("nirgends.txt", (d / "prot.txt").c_str()); }, .said = SNOPROT},
  };
  cases.insert(cases.end(), cposix.begin(), cposix.end());
  for (const auto& c : cases) checkcase(c);
}

TEST(Run, MissingMailTouchesNothing) {
  TempDir d;
  writefile(d / "tabelle.csv", CHEAD3);
  writefile(d / "tage.txt", CDAYS);
  struct timespec told[2] = {{1000000000, 0}, {1000000000, 0}};
  ::utimensat(AT_FDCWD, (d / "tabelle.csv").c_str(), told, 0);
  ::utimensat(AT_FDCWD, (d / "tage.txt").c_str(), told, 0);
  EXPECT_EQ(run(d.path).nstatus, 0);
  for (const char* cname : {"tabelle.csv", "tage.txt"}) {
    struct stat st;
    ::stat((d / cname).c_str(), &st);
    EXPECT_EQ(st.st_mtim.tv_sec, 1000000000) << cname;
    EXPECT_EQ(st.st_atim.tv_sec, 1000000000) << cname;  // not even read
  }
  EXPECT_EQ(readfile(d / "tabelle.csv"), CHEAD3);
}

// Permission faults: root ignores permission bits, so the child runs as an
// unprivileged user when the suite runs as root.
TEST(Run, PermissionFaults) {
  const auto chmodat = [](const TempDir& d, const char* cname, mode_t nmode) {
    openup(d.path);
    ::chmod((d / cname).c_str(), nmode);
  };
  const Case cases[] = {
      {.name = "unreadable mail", .table = CHEAD3, .wantprot = PUNREAD, .status = 1,
       .setup = [&](const TempDir& d) { chmodat(d, "mail.txt", 0); }},
      {.name = "unreadable day list", .table = CHEAD3, .wantprot = PMAIL + PNODAYREAD, .status = 1, .setup = [&](const TempDir& d) {
         chmodat(d, "tage.txt", 0);
         ::chmod((d / "tabelle.csv").c_str(), 0666);
       }},
      {.name = "unreadable day list, no table", .wantprot = PMAIL + PNODAYREAD, .status = 1,
       .setup = [&](const TempDir& d) { chmodat(d, "tage.txt", 0); }},
      {.name = "write-protected table", .table = CHEAD3, .wantprot = PUNOPENED, .status = 1,
       .setup = [&](const TempDir& d) { chmodat(d, "tabelle.csv", 0444); }},
      {.name = "write-protected protocol", .table = CHEAD3, .wantprot = "alt\r\n", .status = 1, .setup = [&](const TempDir& d) {
         writefile(d / "prot.txt", "alt\r\n");
         chmodat(d, "prot.txt", 0444);
       }, .said = SNOPROT},
      {.name = "read-only directory", .table = CHEAD3, .status = 1, .setup = [&](const TempDir& d) {
         ::chmod((d / "tabelle.csv").c_str(), 0666);
         ::chmod(d.path.c_str(), 0555);
       }, .said = SNOPROT, .folderstop = "meldimport-all: keine Schreibrechte fuer /"},
      {.name = "unwritable directory", .wantprot = PMAIL + PDAYS + CHEAD3 + CR + PFAIL, .status = 1, .setup = [&](const TempDir& d) {
         writefile(d / "prot.txt", "");
         ::chmod((d / "prot.txt").c_str(), 0666);
         ::chmod(d.path.c_str(), 0555);
       }, .folderstop = "meldimport-all: keine Schreibrechte fuer /"},
  };
  if (!canunprivileged()) GTEST_SKIP() << "root cannot run a child as nobody here: permission faults not tested";
  RunOptions opt;
  opt.bunprivileged = true;
  for (const auto& c : cases) checkcase(c, opt);
}

// A size limit just above the table cuts the append short: it is taken back.
TEST(Run, FileSizeLimitRollsBack) {
  // The table is larger than the protocol, which the limit must not cut.
  const std::string cold = CHEAD3 + repeat(std::string(30, 'x') + ";\r\n", 30);
  for (const std::string& ctab : {cold, cold + "a;b;"}) {
    RunOptions opt;
    opt.nfsizelimit = static_cast<long long>(ctab.size()) + 10;
    checkcase({.name = "size limit", .table = ctab, .wantprot = PMAIL + PDAYS + PREAD + PFAIL, .status = 1}, opt);
  }
}

// A new table gets mode 0666 less the umask; closed standard descriptors
// change nothing.
TEST(Run, NewTableModeAndClosedDescriptors) {
  struct Case {
    int numask;
    bool bclosestd;
    mode_t nwant;
  } cases[] = {{022, false, 0644}, {0, false, 0666}, {077, true, 0600}};
  for (const auto& c : cases) {
    TempDir d;
    writeexample(d, std::nullopt);
    RunOptions opt;
    opt.numask = c.numask;
    opt.bclosestd = c.bclosestd;
    EXPECT_EQ(run(d.path, opt).nstatus, 0);
    EXPECT_EQ(readfile(d / "tabelle.csv"), CMARK + CHEAD3 + CLINE);
    EXPECT_EQ(readfile(d / "prot.txt"), PMADE);
    struct stat st;
    ::stat((d / "tabelle.csv").c_str(), &st);
    EXPECT_EQ(st.st_mode & 07777, c.nwant) << c.numask;
  }
}

// A run waiting for the lock while the table is replaced appends to the
// file the name names when it gets the lock, not to the old one.
TEST(Run, TableReplacedWhileWaiting) {
  TempDir d;
  const int nold = lockedexample(d);
  const int pid = start(d.path);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  writefile(d / "new.csv", CHEAD3 + "neu;\r\n");
  ASSERT_EQ(::rename((d / "new.csv").c_str(), (d / "tabelle.csv").c_str()), 0);
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  ::flock(nold, LOCK_UN);
  int nst = 0;
  ::waitpid(pid, &nst, 0);
  EXPECT_TRUE(WIFEXITED(nst) && WEXITSTATUS(nst) == 0);
  EXPECT_EQ(readfile(d / "tabelle.csv"), CHEAD3 + "neu;\r\n" + CLINE);
  char cbuf[200];
  EXPECT_EQ(::pread(nold, cbuf, sizeof cbuf, 0), static_cast<ssize_t>(CHEAD3.size()));  // the old file is untouched
  ::close(nold);
}

// A table and a protocol that another program keeps locked, the table
// replaced three times during the wait: all waiting together ends after
// about ten seconds, the run says so and leaves the table as it was.
TEST(Run, WaitingHasOneBound) {
  TempDir d;
  int nheld = lockedexample(d);
  const int nprot = ::open((d / "prot.txt").c_str(), O_RDWR | O_CREAT, 0644);
  ASSERT_EQ(::flock(nprot, LOCK_EX), 0);
  const auto t0 = std::chrono::steady_clock::now();
  const int pid = start(d.path);
  for (int i = 0; i < 3; ++i) {
    std::this_thread::sleep_for(std::chrono::seconds(1));
    writefile(d / "new.csv", CHEAD3);
    const int nnew = ::open((d / "new.csv").c_str(), O_RDWR);
    ASSERT_EQ(::flock(nnew, LOCK_EX), 0);
    ASSERT_EQ(::rename((d / "new.csv").c_str(), (d / "tabelle.csv").c_str()), 0);
    ::close(nheld);  // the run now finds another table behind the name
    nheld = nnew;
  }
  int nst = 0;
  ::waitpid(pid, &nst, 0);
  const double nseconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  ::close(nheld);
  ::close(nprot);
  EXPECT_TRUE(WIFEXITED(nst) && WEXITSTATUS(nst) == 1);
  EXPECT_GT(nseconds, 9);
  EXPECT_LT(nseconds, 12);
  EXPECT_EQ(readfile(d / "prot.txt"), PMAIL + PDAYS + PREAD + PFAIL);
  EXPECT_EQ(readfile(d / "tabelle.csv"), CHEAD3);
}

// A run that waits for the protocol's lock no longer holds the table: two
// runs started together both store their line.
TEST(Run, TableFreedBeforeProtocolWait) {
  TempDir d;
  writeexample(d);
  const int nprot = ::open((d / "prot.txt").c_str(), O_RDWR | O_CREAT, 0644);
  ASSERT_EQ(::flock(nprot, LOCK_EX), 0);
  const int pids[2] = {start(d.path), start(d.path)};
  for (const int pid : pids) {
    int nst = 0;
    ::waitpid(pid, &nst, 0);
    EXPECT_TRUE(WIFEXITED(nst) && WEXITSTATUS(nst) == 0);
  }
  ::close(nprot);
  EXPECT_EQ(readfile(d / "tabelle.csv"), CHEAD3 + CLINE + CLINE);
  EXPECT_EQ(readfile(d / "prot.txt"), PSTORED);
}

// Root in a directory that another user owns acts with that user's rights:
// links planted there reach nothing that user could not reach, and nothing
// secret is copied. A directory of root's that others may write is refused.
TEST(Run, RootTakesTheDirectoryOwnersRights) {
  if (!isroot() || !canunprivileged()) GTEST_SKIP() << "needs root and the user nobody: identity change not tested";
  constexpr uid_t NOBODY = 65534;
  const std::string SDIR = "meldimport: Verzeichnis fuer andere beschreibbar - Abbruch\n";
  struct Case {
    const char* cname;
    uid_t nowner;
    mode_t nmode;
    std::function<void(const std::string&)> plant;
    std::string cwantprot, cwantsaid;
    int nwantstatus;
  } cases[] = {
      {"table linked to root's key file", NOBODY, 0755,
       [](const std::string& c) { ::symlink("../keys", (c + "/tabelle.csv").c_str()); },
       PUNOPENED, "", 1},
      {"protocol linked to a root file", NOBODY, 0755,
       [](const std::string& c) { ::symlink("../rootprot", (c + "/prot.txt").c_str()); }, "", SNOPROT, 1},
      {"dangling protocol link into root's directory", NOBODY, 0755,
       [](const std::string& c) { ::symlink("../rootonly/neu", (c + "/prot.txt").c_str()); }, "", SNOPROT, 1},
      {"day list linked to a secret", NOBODY, 0755,
       [](const std::string& c) {
         ::unlink((c + "/tage.txt").c_str());
         ::symlink("../secret", (c + "/tage.txt").c_str());
       }, PMAIL + PNODAYREAD, "", 1},
      {"nothing planted", NOBODY, 0755, [](const std::string&) {},
       PMADE, "", 0},
      {"root's directory writable by others", 0, 0777, [](const std::string&) {}, "", SDIR, 1},
      {"root's directory writable by its group", 0, 0775, [](const std::string&) {}, "", SDIR, 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.cname);
    TempDir d;
    ::chmod(d.path.c_str(), 0755);
    writefile(d / "keys", "ssh-ed25519 AAAA root\n");
    writefile(d / "secret", "GEHEIM;GEHEIM;GEHEIM;");
    writefile(d / "rootprot", "alt\r\n");
    ::chmod((d / "secret").c_str(), 0600);
    ::mkdir((d / "rootonly").c_str(), 0700);
    const std::string cdrop = d / "drop";
    ::mkdir(cdrop.c_str(), 0755);
    writefile(cdrop + "/mail.txt", CEXAMPLEMAIL);
    writefile(cdrop + "/tage.txt", CDAYS);
    c.plant(cdrop);
    for (const char* cn : {"", "/mail.txt", "/tage.txt", "/prot.txt", "/tabelle.csv"})
      ::lchown((cdrop + cn).c_str(), c.nowner, c.nowner);
    ::chmod(cdrop.c_str(), c.nmode);
    const RunResult res = run(cdrop);
    EXPECT_EQ(res.nstatus, c.nwantstatus);
    EXPECT_EQ(res.coutput, c.cwantsaid);
    EXPECT_EQ(protocolof(cdrop), c.cwantprot);
    // Nothing outside the directory changed, nothing secret reached it.
    EXPECT_EQ(readfile(d / "keys"), "ssh-ed25519 AAAA root\n");
    EXPECT_EQ(readfile(d / "rootprot"), "alt\r\n");
    EXPECT_EQ(entries(d / "rootonly"), std::vector<std::string>{});
    for (const char* cn : {"/prot.txt", "/tabelle.csv"}) {
      struct stat st;
      if (::lstat((cdrop + cn).c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
      EXPECT_EQ(readfile(cdrop + cn).find("GEHEIM"), std::string::npos) << cn;
      EXPECT_EQ(st.st_uid, c.nowner) << cn;  // made as the owner would have made it
    }
  }
}
