#include "cases.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace meldtest {

namespace {

// Lays out the case's files in d and runs its set-up; a folder import gets
// a log that its set-up cannot take away.
void layout(const TempDir& d, const Case& c, bool bfolder) {
  if (c.cmail) writefile(d / "mail.txt", *c.cmail);
  if (c.ctage) writefile(d / "tage.txt", *c.ctage);
  if (c.ctab) writefile(d / "tabelle.csv", *c.ctab);
  if (bfolder) {
    writefile(d / "prot-all.txt", "");
    openup(d / "prot-all.txt");
  }
  if (c.setup) c.setup(d);
}

// The table and the protocol as the case wants them, a protocol made with
// ordinary attributes, and nothing left behind but the four files (and
// what a case put there) and clog.
void checkfiles(const TempDir& d, const Case& c, const char* clog) {
  EXPECT_EQ(protocolof(d.path), c.cwantprot);
  if (!c.cwantprot.empty()) {
    EXPECT_TRUE(isplainfile(d / "prot.txt"));
  }
  const auto cwant = c.cwanttab ? c.cwanttab : c.ctab;
  if (cwant) {
    EXPECT_EQ(readfile(d / "tabelle.csv"), *cwant);
  } else {
    EXPECT_FALSE(isplainfile(d / "tabelle.csv"));
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
  // No file, or one that the directory search passes over: no folder mail.
  if (!isplainfile(d / "mail.txt")) return;
  writefile(dfolder / "m", *c.cmail);
  copymode(d / "mail.txt", dfolder / "m");
  openup(dfolder.path);
  setoldtimes(d / "mail.txt");
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
  EXPECT_EQ(filesize(d / "mail.txt"), c.cmail->size());
  EXPECT_TRUE(hasoldtimes(d / "mail.txt"));
}

}  // namespace

void checkcase(const Case& c, const RunOptions& opt) {
  SCOPED_TRACE(c.cname);
  {
    TempDir d;
    layout(d, c, false);
    const RunResult res = run(d.path, opt);
    EXPECT_EQ(res.nstatus, c.nwantstatus);
    EXPECT_EQ(res.coutput, c.cwantsaid);
    EXPECT_FALSE(res.btimedout);  // nothing may block, a FIFO or device in any place included
    checkfiles(d, c, nullptr);
  }
  checkfolder(c, opt);
}

std::vector<Case> portablecases() {
  const std::string cbig = CHEAD3 + repeat(std::string(98, 'x') + CR, 520);  // over 50,000 bytes
  const std::string czero = CHEAD3 + std::string("a\0b;\r\n", 6);
  const std::string cdays1200 = repeat("Mo01;", 240);
  return {
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
       [](const TempDir& d) { makedir(d / "mail.txt"); }},
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
      {"table is a directory", CEXAMPLEMAIL, CDAYS, {}, {}, PMAIL + PDAYS + CHEAD3 + CR + PFAIL, 1,
       [](const TempDir& d) { makedir(d / "tabelle.csv"); }},
      {"leftover temporary of a killed run", CEXAMPLEMAIL, CDAYS, CHEAD3, CHEAD3 + CLINE, PMAIL + PDAYS + PREAD + PDONE, 0,
       [](const TempDir& d) { writefile(d / ".tabelle.csv.tmp", "Name;Mail;"); }},
      // No protocol, no import: the table stays as it was.
      {"protocol is a directory", CEXAMPLEMAIL, CDAYS, CHEAD3, {}, "", 1,
       [](const TempDir& d) { makedir(d / "prot.txt"); }, SNOPROT},
  };
}

}  // namespace meldtest
