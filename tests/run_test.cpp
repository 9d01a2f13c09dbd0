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
#include <sys/xattr.h>
#include <unistd.h>

#include "harness.h"

using namespace meldtest;

namespace {

const std::string CR = "\r\n";
const std::string CDAYS = "Fr12;Sa13;So14;";
const std::string CHEAD3 = "Name;Mail;Anzahl;Eink;Tel;Nacht;Fr12;Sa13;So14;Text;\r\n";
const std::string CHEAD0 = "Name;Mail;Anzahl;Eink;Tel;Nacht;Text;\r\n";
const std::string CLINE = CEXAMPLELINE;
const std::string CLINE0 = "Erika Muster;erika.muster;2;J;T 0123 456789;-;Wir kommen gern: bis bald..Viele Gruesse....;\r\n";
const std::string PMAIL = "mail.txt gelesen\r\n";
const std::string PDAYS = "tage.txt gelesen: Fr12;Sa13;So14; 3 Tage - okay\r\n";
const std::string PNODAYS = "tage.txt nicht vorhanden - Tage werden nicht verarbeitet\r\n";
const std::string PREAD = "tabelle.csv eingelesen\r\n";
const std::string PDONE = "tabelle.csv um eine Zeile ergaenzt\r\n";
const std::string PFAIL = "tabelle.csv konnte nicht ergaenzt werden - Abbruch\r\n";
const std::string PNOOPEN = "tabelle.csv kann nicht geoeffnet werden\r\n";
const std::string PNODAYREAD = "tage.txt nicht lesbar - Abbruch\r\n";
const std::string PMISFIT = "tage.txt passt nicht zu tabelle.csv\r\n";

struct Case {
  const char* cname;
  std::optional<std::string> cmail, ctage, ctab;
  std::optional<std::string> cwanttab;  // unset: as before, or no regular file
  std::string cwantprot;
  int nwantstatus;
  std::function<void(const TempDir&)> setup = nullptr;
  std::string cwantsaid = "";  // on standard error
};

const std::string SNOPROT = "meldimport: prot.txt kann nicht geschrieben werden - Abbruch\n";

// Lays out the case's files in d and runs its set-up; a folder import gets
// a log that its set-up cannot take away.
void layout(const TempDir& d, const Case& c, bool bfolder) {
  if (c.cmail) writefile(d / "mail.txt", *c.cmail);
  if (c.ctage) writefile(d / "tage.txt", *c.ctage);
  if (c.ctab) writefile(d / "tabelle.csv", *c.ctab);
  if (bfolder) {
    writefile(d / "prot-all.txt", "");
    ::chmod((d / "prot-all.txt").c_str(), 0666);
  }
  if (c.setup) c.setup(d);
}

// The table and the protocol as the case wants them, and nothing left
// behind but the four files (and what a case put there) and clog.
void checkfiles(const TempDir& d, const Case& c, const char* clog) {
  EXPECT_EQ(protocolof(d.path), c.cwantprot);
  const auto cwant = c.cwanttab ? c.cwanttab : c.ctab;
  if (cwant) {
    EXPECT_EQ(readfile(d / "tabelle.csv"), *cwant);
  } else {
    struct stat st;
    EXPECT_TRUE(::lstat((d / "tabelle.csv").c_str(), &st) != 0 || !S_ISREG(st.st_mode));
  }
  for (const auto& cn : entries(d.path))
    EXPECT_TRUE(cn == "mail.txt" || cn == "tage.txt" || cn == "tabelle.csv" || cn == "prot.txt" || (clog != nullptr && cn == clog)) << cn;
}

// The same case through meldimport-all, its mail the one file of a folder:
// the same table and protocol bytes and the same outcome; the mail moved
// only when stored; the log holding its name and protocol; the mail.txt
// beside the table neither read nor touched.
void checkfolder(const Case& c, const RunOptions& opt) {
  TempDir d, dfolder;
  layout(d, c, true);
  struct stat stmail;
  if (::lstat((d / "mail.txt").c_str(), &stmail) != 0 || !S_ISREG(stmail.st_mode)) return;  // no file, no folder mail
  writefile(dfolder / "m", *c.cmail);
  ::chmod((dfolder / "m").c_str(), stmail.st_mode & 07777);
  openup(dfolder.path);
  const struct timespec told[2] = {{1000000000, 0}, {1000000000, 0}};
  ::utimensat(AT_FDCWD, (d / "mail.txt").c_str(), told, 0);
  RunOptions o = opt;
  o.bfolder = true;
  o.cargs = {dfolder.path};
  const RunResult res = run(d.path, o);
  SCOPED_TRACE("meldimport-all");
  EXPECT_EQ(res.nstatus, c.nwantstatus);
  // What meldimport says on standard error comes first, then the summary.
  EXPECT_EQ(res.coutput.substr(0, c.cwantsaid.size()), c.cwantsaid);
  const std::string cout = res.coutput.substr(std::min(c.cwantsaid.size(), res.coutput.size()));
  const std::string csummary = c.nwantstatus == 0 ? "1 Mail: 1 importiert, 0 fehlgeschlagen\n" : "1 Mail: 0 importiert, 1 fehlgeschlagen";
  EXPECT_EQ(cout.substr(0, csummary.size()), csummary);
  checkfiles(d, c, "prot-all.txt");
  const std::string cprot = c.cwantsaid.empty() ? c.cwantprot : "";  // no protocol was written
  EXPECT_EQ(readfile(d / "prot-all.txt"), "Mail: m\r\n" + cprot + "Ende: " + cout.substr(0, cout.size() - 1) + CR);
  EXPECT_EQ(exists(dfolder / "importiert/m"), c.nwantstatus == 0);
  EXPECT_EQ(exists(dfolder / "m"), c.nwantstatus != 0);
  struct stat st;
  ASSERT_EQ(::stat((d / "mail.txt").c_str(), &st), 0);
  EXPECT_EQ(st.st_size, stmail.st_size);
  EXPECT_EQ(st.st_atim.tv_sec, 1000000000);
  EXPECT_EQ(st.st_mtim.tv_sec, 1000000000);
}

void checkcase(const Case& c, const RunOptions& opt = {}) {
  SCOPED_TRACE(c.cname);
  {
    TempDir d;
    layout(d, c, false);
    const RunResult res = run(d.path, opt);
    EXPECT_EQ(res.nstatus, c.nwantstatus);
    EXPECT_EQ(res.coutput, c.cwantsaid);
    EXPECT_FALSE(res.btimedout);  // nothing may block, a FIFO in any place included
    checkfiles(d, c, nullptr);
  }
  checkfolder(c, opt);
}

void mkfifoat(const TempDir& d, const char* cname) { ::mkfifo((d / cname).c_str(), 0666); }

// The worked example with a table that the test itself holds locked;
// returns the locked descriptor.
int lockedexample(const TempDir& d) {
  writefile(d / "mail.txt", CEXAMPLEMAIL);
  writefile(d / "tage.txt", CDAYS);
  writefile(d / "tabelle.csv", CHEAD3);
  const int nfd = ::open((d / "tabelle.csv").c_str(), O_RDWR);
  EXPECT_EQ(::flock(nfd, LOCK_EX), 0);
  return nfd;
}

}  // namespace

TEST(Run, Cases) {
  const std::string cbig = CHEAD3 + repeat(std::string(98, 'x') + CR, 520);  // over 50,000 bytes
  const std::string czero = CHEAD3 + std::string("a\0b;\r\n", 6);
  const std::string cdays1200 = repeat("Mo01;", 240);
  const Case cases[] = {
      {"worked example", CEXAMPLEMAIL, CDAYS, CHEAD3, CHEAD3 + CLINE, PMAIL + PDAYS + PREAD + PDONE, 0},
      {"no table", CEXAMPLEMAIL, CDAYS, {}, CHEAD3 + CLINE,
       PMAIL + PDAYS + CHEAD3 + CR + "tabelle.csv erzeugt\r\n" + PDONE, 0},
      {"no day list", CEXAMPLEMAIL, {}, {}, CHEAD0 + CLINE0,
       PMAIL + PNODAYS + CHEAD0 + CR + "tabelle.csv erzeugt\r\n" + PDONE, 0},
      {"day list 5", CEXAMPLEMAIL, "Fr12;", CHEAD0, CHEAD0 + CLINE0,
       PMAIL + "tage.txt gelesen: Fr12; wird nicht verwendet\r\n" + PREAD + PDONE, 0},
      {"day list 8", CEXAMPLEMAIL, "Fr12;Sa1", CHEAD0, CHEAD0 + CLINE0,
       PMAIL + "tage.txt gelesen: Fr12;Sa1 wird nicht verwendet\r\n" + PREAD + PDONE, 0},
      {"day list 10", CEXAMPLEMAIL, "Fr12;Sa13;", {}, "Name;Mail;Anzahl;Eink;Tel;Nacht;Fr12;Sa13;Text;\r\n" +
       CLINE.substr(0, 46) + "J;J;" + CLINE.substr(52),
       PMAIL + "tage.txt gelesen: Fr12;Sa13; 2 Tage - okay\r\n" +
       "Name;Mail;Anzahl;Eink;Tel;Nacht;Fr12;Sa13;Text;\r\n\r\ntabelle.csv erzeugt\r\n" + PDONE, 0},
      {"day list 17", CEXAMPLEMAIL, CDAYS + CR, CHEAD3, CHEAD3 + CLINE,
       PMAIL + "tage.txt gelesen: Fr12;Sa13;So14;\r\n 3 Tage - okay\r\n" + PREAD + PDONE, 0},
      {"day list 1200", CEXAMPLEMAIL, cdays1200, {}, "Name;Mail;Anzahl;Eink;Tel;Nacht;" + cdays1200.substr(0, 1000) +
       "Text;\r\n" + CLINE0.substr(0, 46) + repeat("-;", 200) + CLINE0.substr(46),
       PMAIL + "tage.txt gelesen: " + cdays1200.substr(0, 1000) + "** Tage - okay\r\n" + "Name;Mail;Anzahl;Eink;Tel;Nacht;" +
       cdays1200.substr(0, 1000) + "Text;\r\n\r\ntabelle.csv erzeugt\r\n" + PDONE, 0},
      {"table over 50,000 bytes", CEXAMPLEMAIL, CDAYS, cbig, cbig + CLINE, PMAIL + PDAYS + PREAD + PDONE, 0},
      {"table with byte 0", CEXAMPLEMAIL, CDAYS, czero, czero + CLINE, PMAIL + PDAYS + PREAD + PDONE, 0},
      {"table without line end", CEXAMPLEMAIL, CDAYS, CHEAD3 + "a;b;", CHEAD3 + "a;b;" + CR + CLINE,
       PMAIL + PDAYS + PREAD + PDONE, 0},
      {"table ending in CR", CEXAMPLEMAIL, CDAYS, CHEAD3 + "a;\r", CHEAD3 + "a;\r\n" + CLINE,
       PMAIL + PDAYS + PREAD + PDONE, 0},
      {"table ending in LF", CEXAMPLEMAIL, CDAYS, "a;\n", "a;\n" + CLINE, PMAIL + PDAYS + PREAD + PDONE, 0},
      {"empty table", CEXAMPLEMAIL, CDAYS, "", CLINE, PMAIL + PDAYS + PREAD + PDONE, 0},
      {"empty mail", "", CDAYS, "", ";;;?;T ;?;-;-;-;;\r\n", PMAIL + PDAYS + PREAD + PDONE, 0},
      {"bare LF mail", "Name: Eva\nE-Mail: e@v\nTelefoon: 1\nText: Hi\n" + std::string(21, '-') + " Ende des Ori\n", {},
       "", "Eva;e@v;;?;T 1;?;Hi.;\r\n", PMAIL + PNODAYS + PREAD + PDONE, 0},
      {"no mail", {}, CDAYS, CHEAD3, {}, "mail.txt nicht gefunden - Abbruch\r\n", 0},
      {"no mail, no table", {}, {}, {}, {}, "mail.txt nicht gefunden - Abbruch\r\n", 0},
      {"mail is a directory", {}, CDAYS, CHEAD3, {}, "mail.txt nicht gefunden - Abbruch\r\n", 0,
       [](const TempDir& d) { ::mkdir((d / "mail.txt").c_str(), 0755); }},
      {"mail is a FIFO", {}, CDAYS, CHEAD3, {}, "mail.txt nicht lesbar - Abbruch\r\n", 1,
       [](const TempDir& d) { mkfifoat(d, "mail.txt"); }},
      {"day list is a FIFO", CEXAMPLEMAIL, {}, CHEAD0, {}, PMAIL + PNODAYREAD, 1,
       [](const TempDir& d) { mkfifoat(d, "tage.txt"); }},
      // The day columns of the line must fit those of the table's header.
      {"two days for a table of three", CEXAMPLEMAIL, "Fr12;Sa13;", CHEAD3 + CLINE, {},
       PMAIL + "tage.txt gelesen: Fr12;Sa13; 2 Tage - okay\r\n" + PREAD + PMISFIT + PFAIL, 1},
      {"no day list for a table of three", CEXAMPLEMAIL, {}, CHEAD3, {}, PMAIL + PNODAYS + PREAD + PMISFIT + PFAIL, 1},
      {"day list 8 for a table of three", CEXAMPLEMAIL, "Fr12;Sa1", CHEAD3, {},
       PMAIL + "tage.txt gelesen: Fr12;Sa1 wird nicht verwendet\r\n" + PREAD + PMISFIT + PFAIL, 1},
      {"other days for a table of three", CEXAMPLEMAIL, "Fr12;Sa13;So15;", CHEAD3, {},
       PMAIL + "tage.txt gelesen: Fr12;Sa13;So15; 3 Tage - okay\r\n" + PREAD + PMISFIT + PFAIL, 1},
      {"header without its line end", CEXAMPLEMAIL, CDAYS, CHEAD3.substr(0, CHEAD3.size() - 2), {},
       PMAIL + PDAYS + PREAD + PMISFIT + PFAIL, 1},
      {"table begun by hand", CEXAMPLEMAIL, CDAYS, "Anmeldungen\r\n", "Anmeldungen\r\n" + CLINE,
       PMAIL + PDAYS + PREAD + PDONE, 0},
      {"short table begun like a header", CEXAMPLEMAIL, CDAYS, "Name;Mail;", "Name;Mail;\r\n" + CLINE,
       PMAIL + PDAYS + PREAD + PDONE, 0},
      {"formula in the name", "Name: =HYPERLINK(\"http://x\",\"Klick\")\r\nTelefoon: +49 1\r\nText: @x\r\n" +
       std::string(22, '-') + "Ende des Ori", CDAYS, CHEAD3,
       CHEAD3 + "'=HYPERLINK(\"http://x\",\"Klick\");;;?;T +49 1;?;-;-;-;'@x..;\r\n", PMAIL + PDAYS + PREAD + PDONE, 0},
      {"table is a FIFO", CEXAMPLEMAIL, CDAYS, {}, {}, PMAIL + PDAYS + PNOOPEN + PFAIL, 1,
       [](const TempDir& d) { mkfifoat(d, "tabelle.csv"); }},
      {"table is a directory", CEXAMPLEMAIL, CDAYS, {}, {}, PMAIL + PDAYS + CHEAD3 + CR + PFAIL, 1,
       [](const TempDir& d) { ::mkdir((d / "tabelle.csv").c_str(), 0755); }},
      {"table links to a device", CEXAMPLEMAIL, CDAYS, {}, {}, PMAIL + PDAYS + PNOOPEN + PFAIL, 1,
       [](const TempDir& d) { ::symlink("/dev/null", (d / "tabelle.csv").c_str()); }},
      {"leftover temporary of a killed run", CEXAMPLEMAIL, CDAYS, CHEAD3, CHEAD3 + CLINE, PMAIL + PDAYS + PREAD + PDONE, 0,
       [](const TempDir& d) { writefile(d / ".tabelle.csv.tmp", "Name;Mail;"); }},
      // No protocol, no import: the table stays as it was.
      {"protocol is a directory", CEXAMPLEMAIL, CDAYS, CHEAD3, {}, "", 1,
       [](const TempDir& d) { ::mkdir((d / "prot.txt").c_str(), 0755); }, SNOPROT},
      {"protocol is a FIFO", CEXAMPLEMAIL, CDAYS, CHEAD3, {}, "", 1, [](const TempDir& d) { mkfifoat(d, "prot.txt"); },
       SNOPROT},
      {"protocol links to a device", CEXAMPLEMAIL, CDAYS, CHEAD3, {}, "", 1,
       [](const TempDir& d) { ::symlink("/dev/null", (d / "prot.txt").c_str()); }, SNOPROT},
      {"protocol is a dangling link", CEXAMPLEMAIL, CDAYS, CHEAD3, {}, "", 1,
       [](const TempDir& d) { ::symlink("nirgends.txt", (d / "prot.txt").c_str()); }, SNOPROT},
  };
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
      {"unreadable mail", CEXAMPLEMAIL, CDAYS, CHEAD3, {}, "mail.txt nicht lesbar - Abbruch\r\n", 1,
       [&](const TempDir& d) { chmodat(d, "mail.txt", 0); }},
      {"unreadable day list", CEXAMPLEMAIL, CDAYS, CHEAD3, {}, PMAIL + PNODAYREAD, 1,
       [&](const TempDir& d) {
         chmodat(d, "tage.txt", 0);
         ::chmod((d / "tabelle.csv").c_str(), 0666);
       }},
      {"unreadable day list, no table", CEXAMPLEMAIL, CDAYS, {}, {}, PMAIL + PNODAYREAD, 1,
       [&](const TempDir& d) { chmodat(d, "tage.txt", 0); }},
      {"write-protected table", CEXAMPLEMAIL, CDAYS, CHEAD3, {}, PMAIL + PDAYS + PNOOPEN + PFAIL, 1,
       [&](const TempDir& d) { chmodat(d, "tabelle.csv", 0444); }},
      {"write-protected protocol", CEXAMPLEMAIL, CDAYS, CHEAD3, {}, "alt\r\n", 1,
       [&](const TempDir& d) {
         writefile(d / "prot.txt", "alt\r\n");
         chmodat(d, "prot.txt", 0444);
       }, SNOPROT},
      {"read-only directory", CEXAMPLEMAIL, CDAYS, CHEAD3, {}, "", 1,
       [&](const TempDir& d) {
         ::chmod((d / "tabelle.csv").c_str(), 0666);
         ::chmod(d.path.c_str(), 0555);
       }, SNOPROT},
      {"unwritable directory", CEXAMPLEMAIL, CDAYS, {}, {}, PMAIL + PDAYS + CHEAD3 + CR + PFAIL, 1,
       [&](const TempDir& d) {
         writefile(d / "prot.txt", "");
         ::chmod((d / "prot.txt").c_str(), 0666);
         ::chmod(d.path.c_str(), 0555);
       }},
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
    Case c{"size limit", CEXAMPLEMAIL, CDAYS, ctab, {}, PMAIL + PDAYS + PREAD + PFAIL, 1};
    RunOptions opt;
    opt.nfsizelimit = static_cast<long long>(ctab.size()) + 10;
    checkcase(c, opt);
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
    writefile(d / "mail.txt", CEXAMPLEMAIL);
    writefile(d / "tage.txt", CDAYS);
    RunOptions opt;
    opt.numask = c.numask;
    opt.bclosestd = c.bclosestd;
    EXPECT_EQ(run(d.path, opt).nstatus, 0);
    EXPECT_EQ(readfile(d / "tabelle.csv"), CHEAD3 + CLINE);
    EXPECT_EQ(readfile(d / "prot.txt"), PMAIL + PDAYS + CHEAD3 + CR + "tabelle.csv erzeugt\r\n" + PDONE);
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
  writefile(d / "mail.txt", CEXAMPLEMAIL);
  writefile(d / "tage.txt", CDAYS);
  writefile(d / "tabelle.csv", CHEAD3);
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
  EXPECT_EQ(readfile(d / "prot.txt"), PMAIL + PDAYS + PREAD + PDONE);
}

// A run killed during its append leaves a record of the sizes before and
// after on the table: the next run cuts a torn tail back to where that run
// began, and leaves every other size as it is.
TEST(Run, TornTailTakenBack) {
  const std::string cold = CHEAD3 + "x;\r\n";
  const std::string ctorn = "Eva;eva@example.org;1;J;T 0";
  const auto nold = static_cast<long long>(cold.size());
  const auto nline = static_cast<long long>(CLINE.size());
  struct Case {
    const char* cname;
    std::string ctab, crecord, cwant;
  } cases[] = {
      {"torn tail", cold + ctorn, std::to_string(nold) + " " + std::to_string(nold + nline), cold + CLINE},
      {"line whole", cold + CLINE, std::to_string(nold) + " " + std::to_string(nold + nline), cold + CLINE + CLINE},
      {"nothing written", cold, std::to_string(nold) + " " + std::to_string(nold + nline), cold + CLINE},
      {"changed since", cold + ctorn + "\r\n" + CLINE, std::to_string(nold) + " " + std::to_string(nold + nline),
       cold + ctorn + "\r\n" + CLINE + CLINE},
      {"record unreadable", cold + ctorn, "kaputt", cold + ctorn + CR + CLINE},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.cname);
    TempDir d;
    writefile(d / "mail.txt", CEXAMPLEMAIL);
    writefile(d / "tage.txt", CDAYS);
    writefile(d / "tabelle.csv", c.ctab);
    const std::string ctab = d / "tabelle.csv";
    if (::setxattr(ctab.c_str(), "user.meldimport.append", c.crecord.data(), c.crecord.size(), 0) != 0)
      GTEST_SKIP() << "no extended attributes where the test directory lies: torn tails not tested";
    const RunResult res = run(d.path);
    EXPECT_EQ(res.nstatus, 0);
    EXPECT_EQ(readfile(ctab), c.cwant);
    EXPECT_EQ(protocolof(d.path), PMAIL + PDAYS + PREAD + PDONE);
    char cbuf[64];
    EXPECT_LT(::getxattr(ctab.c_str(), "user.meldimport.append", cbuf, sizeof cbuf), 0);  // no record stays
  }
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
       PMAIL + PDAYS + PNOOPEN + PFAIL, "", 1},
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
       PMAIL + PDAYS + CHEAD3 + CR + "tabelle.csv erzeugt\r\n" + PDONE, "", 0},
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
