// End-to-end tests that run alike on every platform.
#include <gtest/gtest.h>

#include <string>

#include "cases.h"
#include "harness.h"

using namespace meldtest;

// A run killed during its append leaves a record of the sizes before and
// after on the table: the next run cuts a torn tail back to where that run
// began, and leaves a table it finds whole as it is (what each record and
// size means is the store rules' unit table); no record stays.
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
      {"record unreadable", cold + ctorn, "kaputt", cold + ctorn + CR + CLINE},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.cname);
    TempDir d;
    writeexample(d, c.ctab);
    const std::string ctab = d / "tabelle.csv";
    if (!setappendrecord(ctab, c.crecord))
      GTEST_SKIP() << "no record of an append (an extended attribute, a stream) where the test directory lies: "
                      "torn tails not tested";
    const RunResult res = run(d.path);
    EXPECT_EQ(res.nstatus, 0);
    EXPECT_EQ(readfile(ctab), c.cwant);
    EXPECT_EQ(protocolof(d.path), PSTORED);
    EXPECT_FALSE(hasappendrecord(ctab));  // no record stays
  }
}
