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
  if (opt.bunprivileged) openup(dfolder.path);  // root imports only from a folder that is the table owner's alone
  setoldtimes(d / "mail.txt");
  RunOptions o = opt;
  o.bfolder = true;
  o.cargs = {dfolder.path};
  const RunResult res = run(d.path, o);
  SCOPED_TRACE("meldimport-all");
  // A mail that is no registration fails meldimport, but it is no failure
  // of a folder import: it goes to keine-anmeldung.
  const bool bnoreg = c.cwantprot.ends_with(PNOREG);
  const int nwantstatus = bnoreg ? 0 : c.nwantstatus;
  EXPECT_EQ(res.nstatus, nwantstatus);
  // What meldimport says on standard error comes first, then the summary.
  EXPECT_EQ(res.coutput.substr(0, c.cwantsaid.size()), c.cwantsaid);
  const std::string cout = res.coutput.substr(std::min(c.cwantsaid.size(), res.coutput.size()));
  const std::string csummary = bnoreg                 ? "1 Mail: 0 importiert, 0 fehlgeschlagen, 1 keine Anmeldung\n"
                               : c.nwantstatus == 0 ? "1 Mail: 1 importiert, 0 fehlgeschlagen\n"
                                                    : "1 Mail: 0 importiert, 1 fehlgeschlagen";
  EXPECT_EQ(cout.substr(0, csummary.size()), csummary);
  checkfiles(d, c, "prot-all.txt");
  const std::string cprot = c.cwantsaid.empty() ? c.cwantprot : "";  // no protocol was written
  EXPECT_EQ(readfile(d / "prot-all.txt"), "Mail: m\r\n" + cprot + "Ende: " + cout.substr(0, cout.size() - 1) + CR);
  EXPECT_EQ(exists(dfolder / "importiert/m"), c.nwantstatus == 0);
  EXPECT_EQ(exists(dfolder / "keine-anmeldung/m"), bnoreg);
  EXPECT_EQ(exists(dfolder / "m"), nwantstatus != 0);
  EXPECT_EQ(filesize(d / "mail.txt"), c.cmail->size());
  EXPECT_TRUE(hasoldtimes(d / "mail.txt"));
}

// A registration as the web form sends it, with the name given and every
// line ended by cend.
std::string regbody(const std::string& cname, const std::string& cend = CR) {
  std::string c;
  for (const char* cl : {"E-Mail: j@m.de", "Anzahl teilnehmende Pers.: 2", "Restaurant: ja", "Telefoon: 0123 456789",
                         "Uebernachtung Jugendherberge: nein", "Tage: Fr12 Sa13", "Text: Wir kommen gern; bis bald",
                         "Viele Gruesse", "", "--------------------- Ende des Originaltextes ---"})
    c += cl + cend;
  return "Name: " + cname + cend + c;
}

// Its line with the days Fr12;Sa13;So14; (cdot: what one line end shows as).
std::string regline(const std::string& cname, const std::string& cdot = "..") {
  return cname + ";j@m.de;2;J;T 0123 456789;-;J;J;-;Wir kommen gern: bis bald" + cdot + "Viele Gruesse" + cdot + cdot + ";\r\n";
}

std::string lfonly(std::string c) {
  std::erase(c, '\r');
  return c;
}

std::string base64(const std::string& c) {
  static const char* const CALPHA = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string cres;
  for (size_t n = 0; n < c.size(); n += 3) {
    unsigned int nv = static_cast<unsigned char>(c[n]) << 16;
    if (n + 1 < c.size()) nv |= static_cast<unsigned char>(c[n + 1]) << 8;
    if (n + 2 < c.size()) nv |= static_cast<unsigned char>(c[n + 2]);
    for (size_t k = 0; k < 4; ++k) cres += n + k <= c.size() ? CALPHA[(nv >> (18 - 6 * k)) & 63] : '=';
    if (n % 57 == 54) cres += CR;
  }
  return cres + CR;
}

// UTF-8 text of characters below U+10000 in UTF-16 with its byte-order mark.
std::string utf16(const std::string& c, bool bbig) {
  std::string cres = bbig ? "\xFE\xFF" : "\xFF\xFE";
  for (size_t n = 0; n < c.size(); ++n) {
    unsigned int ncp = static_cast<unsigned char>(c[n]);
    if (ncp >= 0xE0) ncp = ((ncp & 15) << 12) | ((c[n + 1] & 63) << 6) | (c[n + 2] & 63), n += 2;
    else if (ncp >= 0xC0) ncp = ((ncp & 31) << 6) | (c[n + 1] & 63), n += 1;
    const char chi = static_cast<char>(ncp >> 8), clo = static_cast<char>(ncp & 255);
    cres += bbig ? chi : clo;
    cres += bbig ? clo : chi;
  }
  return cres;
}

const std::string NAMEU = "J\xC3\xBCrgen M\xC3\xBCller", NAMEW = "J\xFCrgen M\xFCller";  // in UTF-8, in Windows-1252
const std::string MIMEHEAD = "From: Anmeldung <web@example.org>\r\nSubject: Anmeldung\r\nMIME-Version: 1.0\r\n";

// A message of one text/plain part in the character set clabel, 8bit.
std::string plainmessage(const std::string& clabel, const std::string& cname) {
  return MIMEHEAD + "Content-Type: text/plain; charset=" + clabel + "\r\nContent-Transfer-Encoding: 8bit\r\n\r\n" +
         regbody(cname);
}

std::string replaced(int n) { return std::to_string(n) + " Zeichen durch ? ersetzt\r\n"; }

// The rows of mails as they really arrive: each kind of message, each
// known character set into each kind of table.
void addrealmails(std::vector<Case>& cases) {
  const std::string cok = PMAIL + PDAYS + PREAD + PDONE;
  const std::string cqp = MIMEHEAD + "Content-Type: text/plain;\r\n charset=\"UTF-8\"\r\nContent-Transfer-Encoding: Quoted-Printable\r\n\r\n";
  std::string cqpbody = regbody("J=C3=BCrgen M=c3=bcller  ");
  cqpbody.replace(cqpbody.find("gern;"), 5, "ge=\r\nrn;");
  const std::string cflowed = MIMEHEAD + "Content-Type: text/plain; charset=utf-8; format=flowed\r\n\r\n" +
                              regbody(NAMEU).replace(regbody(NAMEU).find("gern; "), 6, "gern; \r\n");
  const std::string chtml =
      MIMEHEAD + "Content-Type: text/html; charset=iso-8859-15\r\n\r\n<html><head><title>Anmeldung</title></head><body>\r\n"
      "<table><tr><td>Name:</td><td>J&uuml;rgen M\xFCller</td></tr>\r\n<tr><td>E-Mail:</td><td>j@m.de</td></tr>"
      "<tr><th>Anzahl teilnehmende Pers.:</th><td>2</td></tr><tr><td>Restaurant: ja</td></tr></table>\r\n"
      "<div>Telefoon: 0123&nbsp;456789</div><div>Uebernachtung Jugendherberge: nein</div><p>Tage: Fr12 Sa13</p>"
      "<p>Text: Wir kommen gern; bis bald<br>\r\nViele Gruesse</p><p>--------------------- Ende des Originaltextes ---</p>"
      "</body></html>\r\n";
  // Its paragraphs have no empty line between them.
  const std::string chtmlline = regline(NAMEW).replace(regline(NAMEW).find("...."), 4, "..");
  const std::string calt = MIMEHEAD + "Content-Type: multipart/alternative; boundary=\"=_b1\"\r\n\r\nPreamble\r\n--=_b1\r\n"
      "Content-Type: text/plain; charset=utf-8\r\nContent-Transfer-Encoding: base64\r\n\r\n" + base64(regbody(NAMEU)) +
      "--=_b1\r\nContent-Type: text/html\r\n\r\n<p>Name: Falsch</p>\r\n--=_b1--\r\n";
  const std::string cforward = MIMEHEAD + "Content-Type: multipart/mixed; boundary=m2\r\n\r\n--m2\r\n"
      "Content-Type: text/plain; charset=us-ascii\r\n\r\nHier die Anmeldung von gestern.\r\n--m2\r\n"
      "Content-Type: image/png; name=logo.png\r\nContent-Transfer-Encoding: base64\r\n\r\n" + base64("Name: Bild") +
      "--m2\r\nContent-Type: message/rfc822\r\nContent-Disposition: attachment\r\n\r\n" + cqp + cqpbody + "--m2--\r\n";
  // A photo in front of the registration: the text lies beyond the first read.
  std::string cphoto(120000, '\0');
  for (size_t n = 0; n < cphoto.size(); ++n) cphoto[n] = static_cast<char>(n * 7919 % 251);
  const std::string cwithphoto = MIMEHEAD + "Content-Type: multipart/mixed; boundary=p\r\n\r\n--p\r\nContent-Type: image/jpeg\r\n"
      "Content-Transfer-Encoding: base64\r\n\r\n" + base64(cphoto) + "--p\r\nContent-Type: text/plain; charset=utf-8\r\n\r\n" +
      regbody(NAMEU) + "--p--\r\n";
  const std::string cnote = PMAIL + "mail.txt ist keine Anmeldung - Abbruch\r\n";
  const std::vector<Case> crows = {
      {"quoted-printable, CR LF, UTF-8 table", cqp + cqpbody, CDAYS, CMARK + CHEAD3, CMARK + CHEAD3 + regline(NAMEU), cok, 0},
      {"quoted-printable, LF, Windows-1252 table", lfonly(cqp + cqpbody), CDAYS, CHEAD3, CHEAD3 + regline(NAMEW, "."), cok, 0},
      {"base64 in an alternative, new table", calt, CDAYS, {}, CMARK + CHEAD3 + regline(NAMEU),
       PMAIL + PDAYS + CHEAD3 + CR + "tabelle.csv erzeugt\r\n" + PDONE, 0},
      {"format=flowed", cflowed, CDAYS, CHEAD3, CHEAD3 + regline(NAMEW), cok, 0},
      {"HTML only", chtml, CDAYS, CHEAD3, CHEAD3 + chtmlline, cok, 0},
      {"HTML only, LF", lfonly(chtml), CDAYS, CHEAD3, CHEAD3 + chtmlline, cok, 0},
      {"photo before the text", cwithphoto, CDAYS, CMARK + CHEAD3, CMARK + CHEAD3 + regline(NAMEU), cok, 0},
      {"forwarded as an attached message", cforward, CDAYS, CHEAD3, CHEAD3 + regline(NAMEW), cok, 0},
      {"forwarded as an attached message, LF", lfonly(cforward), CDAYS, CHEAD3, CHEAD3 + regline(NAMEW, "."), cok, 0},
      {"UTF-16 little-endian text", utf16(regbody(NAMEU), false), CDAYS, CHEAD3, CHEAD3 + regline(NAMEW), cok, 0},
      {"UTF-16 big-endian text", utf16(regbody(NAMEU), true), CDAYS, CMARK + CHEAD3, CMARK + CHEAD3 + regline(NAMEU), cok, 0},
      {"UTF-8 text with its mark", CMARK + regbody(NAMEU), CDAYS, CHEAD3, CHEAD3 + regline(NAMEW), cok, 0},
      {"Windows-1252 text, UTF-8 table", regbody(NAMEW), CDAYS, CMARK + CHEAD3, CMARK + CHEAD3 + regline(NAMEU), cok, 0},
      {"Windows-1252 text, Windows-1252 table", regbody(NAMEW), CDAYS, CHEAD3, CHEAD3 + regline(NAMEW), cok, 0},
      {"UTF-8 text beyond Windows-1252", regbody("\xC5\x81ukasz \xE2\x82\xAC"), CDAYS, CHEAD3,
       CHEAD3 + regline("?ukasz \x80"), PMAIL + PDAYS + PREAD + replaced(1) + PDONE, 0},
      {"table that is the mark alone", regbody(NAMEU), CDAYS, CMARK, CMARK + regline(NAMEU), cok, 0},
      {"UTF-8 table whose header does not fit", CEXAMPLEMAIL, CDAYS, CMARK + CHEAD0, {}, PMAIL + PDAYS + PREAD + PMISFIT + PFAIL, 1},
      {"auto-reply", MIMEHEAD + "Content-Type: text/plain\r\n\r\nIch bin bis Montag nicht im Haus.\r\n", CDAYS, CHEAD3, {},
       cnote, 1},
      {"message without a text part", MIMEHEAD + "Content-Type: image/png\r\n\r\nName: x\r\n", CDAYS, CHEAD3, {}, cnote, 1},
      // The day list as people write it.
      {"day list with spaces", CEXAMPLEMAIL, "Fr12; Sa13; So14;", CHEAD3, CHEAD3 + CLINE,
       PMAIL + "tage.txt gelesen: Fr12; Sa13; So14; 3 Tage - okay\r\n" + PREAD + PDONE, 0},
      {"day list one a line", CEXAMPLEMAIL, "Fr12\r\nSa13\r\nSo14\r\n", CHEAD3, CHEAD3 + CLINE,
       PMAIL + "tage.txt gelesen: Fr12\r\nSa13\r\nSo14\r\n 3 Tage - okay\r\n" + PREAD + PDONE, 0},
      {"day list with its mark", CEXAMPLEMAIL, CMARK + CDAYS, CHEAD3, CHEAD3 + CLINE, PMAIL + PDAYS + PREAD + PDONE, 0},
      {"day token of 5 bytes", CEXAMPLEMAIL, "Fr12,Sa13x,So14", CHEAD3, {},
       PMAIL + "tage.txt fehlerhaft: Sa13x ist kein Tag aus 4 Zeichen - Abbruch\r\n", 1},
      {"day token with a byte above 126", CEXAMPLEMAIL, "Fr12;S\xE4" "13;", CHEAD3, {},
       PMAIL + "tage.txt fehlerhaft: S\xE4" "13 ist kein Tag aus 4 Zeichen - Abbruch\r\n", 1},
  };
  cases.insert(cases.end(), crows.begin(), crows.end());
  // Each character set a part may name, into each kind of table.
  const struct {
    const char* clabel;
    std::string cname, cutf8, cw1252;
    int nutf8, nw1252;  // characters shown as "?"
  } csets[] = {
      {"utf-8", NAMEU, NAMEU, NAMEW, 0, 0},
      {"\"latin1\"", NAMEW, NAMEU, NAMEW, 0, 0},
      {"ISO-8859-15", "M\xFCller \xA4", "M\xC3\xBCller \xE2\x82\xAC", "M\xFCller \x80", 0, 0},
      {"iso-8859-2", "\xA3ukasz W\xB1s", "\xC5\x81ukasz W\xC4\x85s", "?ukasz W?s", 0, 2},
      {"windows-1250", "\x8Atefan \x9D" "astn\xFD", "\xC5\xA0tefan \xC5\xA5" "astn\xC3\xBD", "\x8Atefan ?astn\xFD", 0, 1},
      {"koi8-r", "\xE9\xF7\xE1\xEE", "????", "????", 4, 4},
  };
  for (const auto& cs : csets) {
    for (const bool butf8 : {true, false}) {
      const std::string ctab = butf8 ? CMARK + CHEAD3 : CHEAD3;
      const int n = butf8 ? cs.nutf8 : cs.nw1252;
      cases.push_back({cs.clabel, plainmessage(cs.clabel, cs.cname), CDAYS, ctab,
                       ctab + regline(butf8 ? cs.cutf8 : cs.cw1252), PMAIL + PDAYS + PREAD + (n > 0 ? replaced(n) : "") + PDONE, 0});
    }
  }
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
  std::vector<Case> cases = {
      {"worked example", CEXAMPLEMAIL, CDAYS, CHEAD3, CHEAD3 + CLINE, PMAIL + PDAYS + PREAD + PDONE, 0},
      {"no table", CEXAMPLEMAIL, CDAYS, {}, CMARK + CHEAD3 + CLINE,
       PMAIL + PDAYS + CHEAD3 + CR + "tabelle.csv erzeugt\r\n" + PDONE, 0},
      {"no day list", CEXAMPLEMAIL, {}, {}, CMARK + CHEAD0 + CLINE0,
       PMAIL + PNODAYS + CHEAD0 + CR + "tabelle.csv erzeugt\r\n" + PDONE, 0},
      {"day list 5", CEXAMPLEMAIL, "Fr12;", CHEAD0, CHEAD0 + CLINE0,
       PMAIL + "tage.txt gelesen: Fr12; wird nicht verwendet\r\n" + PREAD + PDONE, 0},
      // A token of another length than 4 bytes stops the run before the table.
      {"day list 8", CEXAMPLEMAIL, "Fr12;Sa1", CHEAD0, {}, PMAIL + "tage.txt fehlerhaft: Sa1 ist kein Tag aus 4 Zeichen - Abbruch\r\n", 1},
      {"day list 10", CEXAMPLEMAIL, "Fr12;Sa13;", {}, CMARK + "Name;Mail;Anzahl;Eink;Tel;Nacht;Fr12;Sa13;Text;\r\n" +
       CLINE.substr(0, 46) + "J;J;" + CLINE.substr(52),
       PMAIL + "tage.txt gelesen: Fr12;Sa13; 2 Tage - okay\r\n" +
       "Name;Mail;Anzahl;Eink;Tel;Nacht;Fr12;Sa13;Text;\r\n\r\ntabelle.csv erzeugt\r\n" + PDONE, 0},
      {"day list 17", CEXAMPLEMAIL, CDAYS + CR, CHEAD3, CHEAD3 + CLINE,
       PMAIL + "tage.txt gelesen: Fr12;Sa13;So14;\r\n 3 Tage - okay\r\n" + PREAD + PDONE, 0},
      {"day list 1200", CEXAMPLEMAIL, cdays1200, {}, CMARK + "Name;Mail;Anzahl;Eink;Tel;Nacht;" + cdays1200.substr(0, 1000) +
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
      // Neither "Name: " nor "E-Mail: ": no registration, no row.
      {"empty mail", "", CDAYS, "", {}, PMAIL + PNOREG, 1},
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
      {"one day for a table of three", CEXAMPLEMAIL, "Fr12;", CHEAD3, {},
       PMAIL + "tage.txt gelesen: Fr12; wird nicht verwendet\r\n" + PREAD + PMISFIT + PFAIL, 1},
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
  addrealmails(cases);
  return cases;
}

}  // namespace meldtest
