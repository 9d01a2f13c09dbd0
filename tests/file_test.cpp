// The file layer's contracts that hold on every platform.
#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "file.h"
#include "harness.h"

using namespace meld;
using meldtest::readfile;
using meldtest::TempDir;
using meldtest::writefile;

TEST(File, ReadKeepsBytesAndStopsAtZero) {
  TempDir d;
  std::string cbig;
  for (int i = 0; i < 1500; ++i) cbig += static_cast<char>('A' + i % 26);
  struct Case {
    std::string cbytes;
    long long ncount;
    std::string cwant;
  } cases[] = {
      {cbig, 1000, cbig.substr(0, 1000)},
      {std::string("abc\0def", 7), 100, "abc"},
      {std::string("\xff\xfe" "A\0", 4), 100, "\xff\xfe" "A"},
      {"a\r\nb\nc\x1a" "d", 100, "a\r\nb\nc\x1a" "d"},
      {"", 100, ""},
      {"abc", 0, ""},
  };
  for (const auto& c : cases) {
    writefile(d / "f", c.cbytes);
    const int h = FOPEN(d / "f");
    EXPECT_EQ(FREADSTR(h, c.ncount), c.cwant);
    EXPECT_TRUE(FREADAT(h, 0, c.ncount));  // a read, not a failure
    EXPECT_TRUE(FCLOSE(h));
    EXPECT_FALSE(FCLOSE(h));  // a dead handle
  }
}

TEST(File, HandleMinusOneFailsQuietly) {
  EXPECT_EQ(FREADSTR(-1, 50000), "");
  EXPECT_FALSE(FREADAT(-1, 0, 50000));  // told apart from an empty file
  EXPECT_EQ(FWRITE(-1, "abc"), 0);
  EXPECT_FALSE(FCLOSE(-1));
  EXPECT_EQ(FBYTEAT(-1, 0), -1);
  EXPECT_FALSE(FAPPENDSYNC(-1, "x", 0));
  EXPECT_EQ(FREPLACE(-1, "x"), 0);
  EXPECT_EQ(FERASE("/nonexistent/meld"), -1);
  EXPECT_EQ(FOPEN("/nonexistent/meld"), -1);
}

TEST(File, CreateTruncatesAtOnceAndWritesExactly) {
  TempDir d;
  writefile(d / "f", std::string(100, 'x'));
  const int h = FCREATE(d / "f");
  ASSERT_GE(h, 0);
  EXPECT_EQ(readfile(d / "f"), "");
  EXPECT_EQ(FWRITE(h, "ab\r\n"), 4);
  EXPECT_EQ(FREPLACE(h, "xyz\r\n"), 5);  // replaces, does not add
  EXPECT_TRUE(FCLOSE(h));
  EXPECT_EQ(readfile(d / "f"), "xyz\r\n");
  EXPECT_EQ(FERASE(d / "f"), 0);
  EXPECT_FALSE(meld::FILE(d / "f"));
}

TEST(File, CreateNewNeverReplacesAndLeavesNoTemporary) {
  TempDir d;
  EXPECT_EQ(FCREATENEW(d / "t.csv", "head\r\nline\r\n"), FStatus::Okay);
  EXPECT_EQ(FCREATENEW(d / "t.csv", "other\r\n"), FStatus::Exists);
  EXPECT_EQ(readfile(d / "t.csv"), "head\r\nline\r\n");
  meldtest::makedir(d / "dir.csv");
  EXPECT_EQ(FCREATENEW(d / "dir.csv", "x"), FStatus::Exists);
  EXPECT_EQ(meldtest::entries(d.path), (std::vector<std::string>{"dir.csv", "t.csv"}));
}

TEST(File, AppendUnderLockWithLastByte) {
  TempDir d;
  writefile(d / "t.csv", "abc\r");
  FSETWAIT(1);
  const FOPENED o = FOPENLOCKED(d / "t.csv");
  const int h = o.nhandle;
  ASSERT_GE(h, 0);
  EXPECT_EQ(o.nsize, 4);
  EXPECT_EQ(FBYTEAT(h, 3), '\r');
  EXPECT_EQ(FBYTEAT(h, 4), -1);
  // A second open waits for the lock and gives up at its deadline.
  const auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(FOPENLOCKED(d / "t.csv").nstatus, FStatus::Held);
  EXPECT_GE(std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count(), 0.9);
  EXPECT_TRUE(FAPPENDSYNC(h, "\nx\r\n", o.nsize));
  FCLOSE(h);
  EXPECT_EQ(readfile(d / "t.csv"), "abc\r\nx\r\n");
}
