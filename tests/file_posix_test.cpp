// The file layer's contracts on POSIX: links, FIFOs, flock.
#include <gtest/gtest.h>

#include <string>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "file.h"
#include "harness.h"

using namespace meld;
using meldtest::TempDir;
using meldtest::writefile;

TEST(File, ExistsOnlyForNonDirectories) {
  TempDir d;
  writefile(d / "f", "x");
  ::mkdir((d / "dir").c_str(), 0755);
  ::symlink((d / "f").c_str(), (d / "link").c_str());
  ::symlink((d / "gone").c_str(), (d / "dangling").c_str());
  ::mkfifo((d / "fifo").c_str(), 0644);
  struct Case {
    const char* cname;
    bool bfile, bopens;
  } cases[] = {{"f", true, true},       {"dir", false, false},     {"link", true, true},
               {"dangling", false, false}, {"missing", false, false}, {"fifo", true, false}};
  for (const auto& c : cases) {
    EXPECT_EQ(meld::FILE(d / c.cname), c.bfile) << c.cname;
    const int h = FOPEN(d / c.cname);  // a FIFO must not block here
    EXPECT_EQ(h >= 0, c.bopens) << c.cname;
    FCLOSE(h);
  }
  EXPECT_EQ(FCREATE(d / "fifo"), -1);
  EXPECT_EQ(FCREATE(d / "dir"), -1);
}

// A FIFO is never opened for the append, so it is no table that could not be locked.
TEST(File, LockedOpenRefusesAFifo) {
  TempDir d;
  ::mkfifo((d / "fifo").c_str(), 0644);
  const FOPENED o = FOPENLOCKED(d / "fifo");
  EXPECT_TRUE(o.nhandle == -1 && o.nstatus == FStatus::Failed);
}

// The temporary file of a killed run is removed when its file is opened;
// one that a live run holds locked, or anything else in its place, stays.
TEST(File, StaleTemporaryRemovedUnlessHeld) {
  struct Case {
    const char* cname;
    bool bheld, blink, bstays;
  } cases[] = {{"killed run's leftover", false, false, false},
               {"held by a live run", true, false, true},
               {"a link in its place", false, true, true}};
  for (const auto& c : cases) {
    TempDir d;
    const std::string ctmp = d / ".t.csv.tmp";
    if (c.blink) {
      writefile(d / "other", "x");
      ::symlink("other", ctmp.c_str());
    } else {
      writefile(ctmp, "Name;");
    }
    const int nheld = c.bheld ? ::open(ctmp.c_str(), O_RDWR) : -1;
    if (c.bheld) {
      ASSERT_EQ(::flock(nheld, LOCK_EX), 0);
    }
    FOPENLOCKED(d / "t.csv");
    EXPECT_EQ(meldtest::exists(ctmp), c.bstays) << c.cname;
    if (nheld >= 0) ::close(nheld);
  }
}
