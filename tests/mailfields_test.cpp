#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "days.h"
#include "file_common.h"
#include "harness.h"
#include "meld.h"
#include "mailfields.h"
#include "table.h"

using namespace meld;
using meldtest::CDAYS;

namespace {

// The columns before the days, for mails built from a few lines.
std::string head6(const std::string& cmail) {
  const std::string cline = MAILLINE(cmail, "");
  size_t npos = 0;
  for (int n = 0; n < 6; ++n) npos = cline.find(';', npos) + 1;
  return cline.substr(0, npos);
}

}  // namespace

TEST(MailFields, WorkedExample) {
  EXPECT_EQ(MAILLINE(meldtest::CEXAMPLEMAIL, CDAYS), meldtest::CEXAMPLELINE);
}

TEST(MailFields, Values) {
  const std::string c100(100, 'n'), c101(101, 'n');
  struct Case {
    std::string cmail, cwant;
  } cases[] = {
      {"Name: Eva Beispiel\r\n", "Eva Beispiel;;;?;T ;?;"},
      {"Name: " + c100 + "\r\n", c100 + ";;;?;T ;?;"},
      {"Name: " + c101 + "\r\n", ";;;?;T ;?;"},
      {"e Pers.: 12\r\n", ";;12;?;T ;?;"},
      {"e Pers.: 123\r\n", ";;123;?;T ;?;"},
      {"e Pers.: 1234\r\n", ";;;?;T ;?;"},
      {"E-Mail: a@b\r\nAnzahl Pers.: zwei\r\n", ";a@b;;?;T ;?;"},
      // An empty value stays empty instead of taking the next line.
      {"Name: \r\nE-Mail: x@y\r\n", ";x@y;;?;T ;?;"},
      // Bare LF ends a value like CR does.
      {"Name: Eva\nE-Mail: e@v\n", "Eva;e@v;;?;T ;?;"},
      // Control bytes and ";" cannot shift or break columns.
      {"Name: a;b\tc\r\n", "a:b.c;;;?;T ;?;"},
      {"Name: \xe4\xf6\xfc\r\n", "\xe4\xf6\xfc;;;?;T ;?;"},
      // The end of the mail ends a value, within the window only.
      {"Name: Eva", "Eva;;;?;T ;?;"},
      {"Name: ", ";;;?;T ;?;"},
      {"Name: " + c100, c100 + ";;;?;T ;?;"},
      {"Name: " + c101, ";;;?;T ;?;"},
      {"E-Mail: e@v", ";e@v;;?;T ;?;"},
      {"e Pers.: 123", ";;123;?;T ;?;"},
      {"e Pers.: 1234", ";;;?;T ;?;"},
      {"Telefoon: 0123", ";;;?;T 0123;?;"},
      {"Telefoon: " + c100, ";;;?;T " + c100 + ";?;"},
      {"Telefoon: " + c101, ";;;?;T ;?;"},
      // No value runs as a formula; the telephone column starts with "T ".
      {"Name: =HYPERLINK(\"http://x\",\"Klick\")\r\n", "'=HYPERLINK(\"http://x\",\"Klick\");;;?;T ;?;"},
      {"E-Mail: @a\r\ne Pers.: -1\r\nTelefoon: +49 1\r\n", ";'@a;'-1;?;T +49 1;?;"},
      {"e Pers.: +12\r\n", ";;'+12;?;T ;?;"},  // the quote does not count against the window
      {"Name: \t=1\r\n", ".=1;;;?;T ;?;"},
      // Labels are case-sensitive.
      {"name: Eva\r\n", ";;;?;T ;?;"},
      // Telephone.
      {"Telefoon: 0123\r\n", ";;;?;T 0123;?;"},
      {"Telefoon: \r\n", ";;;?;T ;?;"},
      {"Telefoon: 0123 456789\r\nx", ";;;?;T 0123 456789;?;"},
      {"abc\r\nTel", ";;;?;T ;?;"},
      {"xoon: ", ";;;?;T ;?;"},   // fills the last five bytes: not found
      {"xoon: \r", ";;;?;T ;?;"},  // found, empty value
      {"", ";;;?;T ;?;"},
  };
  for (const auto& c : cases) EXPECT_EQ(head6(c.cmail), c.cwant) << c.cmail;
}

TEST(MailFields, Answers) {
  struct Case {
    std::string cmail;
    const char *ceink, *cnacht;
  } cases[] = {
      {"Restaurant: ja\r\n", "J;", "?;"},
      {"Restaurant: ja\r\nRestaurant: nein\r\n", "-;", "?;"},
      {"Restaurant: nein", "-;", "?;"},  // the mail ends there
      {"Restaurant: jawohl\r\n", "?;", "?;"},
      {"Restaurant: ja.\r\n", "J;", "?;"},
      {"Restaurant: ja\xe4\r\n", "?;", "?;"},
      {"Restaurant: jawohl Restaurant: ja\r\n", "J;", "?;"},
      {"Name: janne Test\r\n", "?;", "?;"},
      {"Herberge: ja\r\n", "?;", "J;"},
      {"Herberge: ja\r\nHerberge: nein\r\n", "?;", "-;"},
      {"Unterkunft: neinsager\r\nHerberge: ja\r\n", "?;", "J;"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ANSWERCODE("Restaurant: nein", "Restaurant: ja", c.cmail), c.ceink) << c.cmail;
    EXPECT_EQ(ANSWERCODE("e: nein", "e: ja", c.cmail), c.cnacht) << c.cmail;
  }
}

TEST(MailFields, DaysAndFreeText) {
  const std::string ctrail = std::string(21, '-') + " Ende des Ori";
  struct Case {
    std::string cmail, cdays, cwant;  // cwant: everything after the six columns
  } cases[] = {
      {"", "Fr12;", ";\r\n"},  // one unit: no day columns
      {"", CDAYS, "-;-;-;;\r\n"},
      {"Text: Sa13 kommt\r\n" + ctrail, CDAYS, "-;J;-;Sa13 kommt..;\r\n"},  // a token in the free text counts
      {"Text: Hallo; bis bald\r\nZeile\r\n" + ctrail, "", "Hallo: bis bald..Zeile..;\r\n"},
      {"Text: x\r\nkein Ende", "", ";\r\n"},
      {"Hallo\r\n" + ctrail, "", ";\r\n"},  // no "Text: "
      {ctrail + "\r\nText: spaet", "", ";\r\n"},  // marker before the text
      {"Text: " + std::string(22, '-') + "Ende des Ori", "", ";\r\n"},
      {"Text: A" + std::string(22, '-') + "Ende des Ori", "", "A;\r\n"},
      {"Text: =1+1\r\n" + ctrail, "", "'=1+1..;\r\n"},
      {"Text: \r\n=1\r\n" + ctrail, "", "..=1..;\r\n"},
  };
  for (const auto& c : cases) {
    const std::string cline = MAILLINE(c.cmail, c.cdays);
    EXPECT_EQ(cline.substr(head6(c.cmail).size()), c.cwant) << c.cmail;
  }
}

TEST(Days, CountTokensHeader) {
  struct Case {
    size_t nlen;
    long long ndays;
  } cases[] = {{0, 0}, {5, 0}, {8, 0}, {9, 0}, {10, 2}, {14, 2}, {15, 3}, {17, 3}, {1000, 200}};
  for (const auto& c : cases) EXPECT_EQ(DAYCOUNT(std::string(c.nlen, 'x')), c.ndays) << c.nlen;
  EXPECT_EQ(DAYTOKEN(CDAYS, 2), "Sa13");
  EXPECT_EQ(TABHEADER(CDAYS + "\r\n", 3), "Name;Mail;Anzahl;Eink;Tel;Nacht;Fr12;Sa13;So14;Text;\r\n");
  EXPECT_EQ(TABHEADER("", 0), "Name;Mail;Anzahl;Eink;Tel;Nacht;Text;\r\n");
}

// The rules of the table's store, each walked through its cases: the header
// check, the separator before a line, what an append record left by a
// killed run means, and the exit status of each result.
TEST(Table, StoreRules) {
  const std::string chead = TABHEADER(CDAYS, 3), cnodays = TABHEADER("", 0);
  for (const auto& [cstart, bfits] : std::vector<std::pair<std::string, bool>>{
           {"", true}, {"Eva;eva@x;1;J;;N;\r\n", true}, {chead, true}, {cnodays.substr(0, 20), true},
           {cnodays + "Eva;", false}, {"Name;Mail;Anzahl;Eink;Tel;Nacht;Fr12;Sa13;So15;Text;\r\n", false}})
    EXPECT_EQ(HEADERFITS(cstart, chead), bfits) << cstart;
  for (const auto& [nsize, nlast, csep] : std::vector<std::tuple<long long, int, std::string>>{
           {0, -1, ""}, {5, '\n', ""}, {5, '\r', "\n"}, {5, ';', "\r\n"}, {5, 0, "\r\n"}, {-3, 'x', ""}})
    EXPECT_EQ(SEPARATOR(nsize, nlast), csep) << nsize << " " << nlast;
  for (const auto& [crecord, nsize, ncut] : std::vector<std::tuple<std::string, long long, long long>>{
           {"10 20", 15, 10}, {"10 20", 11, 10}, {"0 9", 3, 0}, {"10 20", 10, -1}, {"10 20", 20, -1}, {"10 20", 25, -1},
           {"kaputt", 15, -1}, {"10 20x", 15, -1}, {"10", 15, -1}, {"10  20", 15, -1}, {"-1 20", 15, -1}, {"", 15, -1}})
    EXPECT_EQ(tornsize(crecord, nsize), ncut) << crecord << " at " << nsize;
  EXPECT_EQ(tornsize(appendrecord(1LL << 40, (1LL << 40) + 7), (1LL << 40) + 3), 1LL << 40);  // beyond 4 GiB
  for (const auto& [nres, nstatus] : std::vector<std::pair<MResult, int>>{
           {MResult::Stored, 0}, {MResult::StoredNoProtocol, 0}, {MResult::NoMail, 0}, {MResult::NoRegistration, 1},
           {MResult::Failed, 1}, {MResult::FailedForAll, 1}, {MResult::Locked, 1}})
    EXPECT_EQ(EXITSTATUS(nres), nstatus) << static_cast<int>(nres);
}

// Every byte value in every field: one record, one ";" per column, and the
// byte shown by the table's rule.
TEST(MailFields, EveryByteInEveryField) {
  const char* const clabels[] = {"Name: ", "E-Mail: ", "e Pers.: ", "Telefoon: ", "Text: "};
  for (const char* clabel : clabels) {
    const bool btel = std::string(clabel) == "Telefoon: ", btext = std::string(clabel) == "Text: ";
    for (int b = 0; b < 256; ++b) {
      const char c = static_cast<char>(b);
      const char cshown = b < 32 ? '.' : (c == ';' ? ':' : c);
      const bool bended = b == '\r' || b == '\n';  // a line end ends the value there
      // The byte behind a first byte, then as the first byte itself.
      for (const bool bfirst : {false, true}) {
        const std::string cvalue = bfirst ? std::string(1, c) + "a" : std::string("a") + c;
        const std::string cmail = std::string(clabel) + cvalue + "\r\nX\r\n" + std::string(21, '-') + " Ende des Ori";
        const std::string cline = MAILLINE(cmail, CDAYS);
        SCOPED_TRACE(std::string(clabel) + std::to_string(b) + (bfirst ? " first" : " second"));
        ASSERT_EQ(cline.find_first_of("\r\n"), cline.size() - 2);
        ASSERT_EQ(std::count(cline.begin(), cline.end(), ';'), 10);
        if (bended && !btext) continue;  // an empty value, or "a" alone
        const bool bguard = bfirst && ISFORMULA(static_cast<unsigned char>(c)) && !btel;
        std::string cwant = std::string(btel ? "T " : "") + (bguard ? "'" : "");
        cwant += bfirst ? std::string(1, cshown) + "a" : std::string("a") + cshown;
        ASSERT_NE(cline.find(cwant), std::string::npos) << cline;
        ASSERT_EQ(std::count(cline.begin(), cline.end(), '\''), bguard + (b == '\'')) << cline;
      }
    }
  }
}

// Over-long inputs: the mail's first 50,000 bytes and the day list's first
// 1,000 are all that count, and the line stays one record.
TEST(MailFields, LongInputs) {
  const std::string cfill(60000, 'x');
  EXPECT_EQ(head6("Name: " + cfill + "\r\n"), ";;;?;T ;?;");
  std::string cdays;
  for (int i = 0; i < 300; ++i) cdays += "Ab" + std::to_string(10 + i % 90) + ";";
  const std::string cline = MAILLINE("Ab12 Ab13", cdays.substr(0, 1000));
  EXPECT_EQ(std::count(cline.begin(), cline.end(), ';'), 207);
  EXPECT_EQ(cline.substr(10, 10), "-;-;J;J;-;");
}
