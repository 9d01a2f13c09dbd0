#include "cases.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace meldtest {

namespace {

// Lays out the case's files in d and runs its set-up; a folder import gets
// a log that its set-up cannot take away.
void layout(const TempDir& d, const Case& c, bool bfolder) {
  if (c.mail) writefile(d / "mail.txt", *c.mail);
  if (c.days) writefile(d / "tage.txt", *c.days);
  if (c.table) writefile(d / "tabelle.csv", *c.table);
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
  EXPECT_EQ(protocolof(d.path), c.wantprot);
  if (!c.wantprot.empty()) {
    EXPECT_TRUE(isplainfile(d / "prot.txt"));
  }
  const auto cwant = c.wanttable ? c.wanttable : c.table;
  if (cwant) {
    EXPECT_EQ(readfile(d / "tabelle.csv"), *cwant);
  } else {
    EXPECT_FALSE(isplainfile(d / "tabelle.csv"));
  }
  checkonlyrunfiles(d.path, clog);
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
  writefile(dfolder / "m", *c.mail);
  copymode(d / "mail.txt", dfolder / "m");
  if (opt.bunprivileged) openup(dfolder.path);  // root imports only from a folder that is the table owner's alone
  setoldtimes(d / "mail.txt");
  RunOptions o = opt;
  o.bfolder = true;
  o.cargs = {dfolder.path};
  const RunResult res = run(d.path, o);
  SCOPED_TRACE("meldimport-all");
  if (!c.folderstop.empty()) {
    EXPECT_EQ(res.nstatus, c.folderstatus);
    EXPECT_EQ(res.coutput.substr(0, c.folderstop.size()), c.folderstop);
    EXPECT_EQ(entries(dfolder.path), std::vector<std::string>{"m"});
    EXPECT_EQ(logof(d.path), "");
    return;
  }
  // A mail that is no registration fails meldimport, but it is no failure
  // of a folder import: it goes to keine-anmeldung.
  const bool bnoreg = c.wantprot.find("ist keine Anmeldung (") != std::string::npos;
  const int nwantstatus = bnoreg ? 0 : c.status;
  EXPECT_EQ(res.nstatus, nwantstatus);
  // What meldimport says on standard error comes first, then the summary.
  EXPECT_EQ(res.coutput.substr(0, c.said.size()), c.said);
  const std::string cout = res.coutput.substr(std::min(c.said.size(), res.coutput.size()));
  // A table that is not meldimport's gets no overview page, and its summary says so after these.
  const std::string csummary = bnoreg                 ? "1 Mail: 0 importiert, 0 fehlgeschlagen, 1 keine Anmeldung"
                               : c.status == 0 ? "1 Mail: 1 importiert, 0 fehlgeschlagen"
                                                    : "1 Mail: 0 importiert, 1 fehlgeschlagen";
  EXPECT_EQ(cout.substr(0, csummary.size()), csummary);
  checkfiles(d, c, "prot-all.txt");
  const std::string cprot = c.said.empty() ? c.wantprot : "";  // no protocol was written
  // Each stored mail is remembered by its key, under its name.
  EXPECT_EQ(readfile(d / "importierte-mails.txt").ends_with("\tm\r\n"), c.status == 0);
  EXPECT_EQ(logof(d.path), "Mail: m\r\n" + cprot + "Ende: " + cout.substr(0, cout.size() - 1) + CR);
  EXPECT_EQ(exists(dfolder / "importiert/m"), c.status == 0);
  EXPECT_EQ(exists(dfolder / "keine-anmeldung/m"), bnoreg);
  EXPECT_EQ(exists(dfolder / "m"), nwantstatus != 0);
  EXPECT_EQ(filesize(d / "mail.txt"), c.mail->size());
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
  const std::string cok = PSTORED;
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
  const std::string cnote = PMAIL + PNOREG;
  const std::vector<Case> crows = {
      {.name = "quoted-printable, CR LF, UTF-8 table", .mail = cqp + cqpbody, .table = CMARK + CHEAD3,
       .wanttable = CMARK + CHEAD3 + regline(NAMEU), .wantprot = cok},
      {.name = "quoted-printable, LF, Windows-1252 table", .mail = lfonly(cqp + cqpbody), .table = CHEAD3,
       .wanttable = CHEAD3 + regline(NAMEW, "."), .wantprot = cok},
      {.name = "base64 in an alternative, new table", .mail = calt, .wanttable = CMARK + CHEAD3 + regline(NAMEU), .wantprot = PMADE},
      {.name = "format=flowed", .mail = cflowed, .table = CHEAD3, .wanttable = CHEAD3 + regline(NAMEW), .wantprot = cok},
      {.name = "HTML only", .mail = chtml, .table = CHEAD3, .wanttable = CHEAD3 + chtmlline, .wantprot = cok},
      {.name = "HTML only, LF", .mail = lfonly(chtml), .table = CHEAD3, .wanttable = CHEAD3 + chtmlline, .wantprot = cok},
      {.name = "photo before the text", .mail = cwithphoto, .table = CMARK + CHEAD3, .wanttable = CMARK + CHEAD3 + regline(NAMEU),
       .wantprot = cok},
      {.name = "forwarded as an attached message", .mail = cforward, .table = CHEAD3, .wanttable = CHEAD3 + regline(NAMEW), .wantprot = cok},
      {.name = "forwarded as an attached message, LF", .mail = lfonly(cforward), .table = CHEAD3, .wanttable = CHEAD3 + regline(NAMEW, "."),
       .wantprot = cok},
      {.name = "UTF-16 little-endian text", .mail = utf16(regbody(NAMEU), false), .table = CHEAD3, .wanttable = CHEAD3 + regline(NAMEW),
       .wantprot = cok},
      {.name = "UTF-16 big-endian text", .mail = utf16(regbody(NAMEU), true), .table = CMARK + CHEAD3,
       .wanttable = CMARK + CHEAD3 + regline(NAMEU), .wantprot = cok},
      {.name = "UTF-8 text with its mark", .mail = CMARK + regbody(NAMEU), .table = CHEAD3, .wanttable = CHEAD3 + regline(NAMEW),
       .wantprot = cok},
      {.name = "Windows-1252 text, UTF-8 table", .mail = regbody(NAMEW), .table = CMARK + CHEAD3,
       .wanttable = CMARK + CHEAD3 + regline(NAMEU), .wantprot = cok},
      {.name = "Windows-1252 text, Windows-1252 table", .mail = regbody(NAMEW), .table = CHEAD3, .wanttable = CHEAD3 + regline(NAMEW),
       .wantprot = cok},
      {.name = "UTF-8 text beyond Windows-1252", .mail = regbody("\xC5\x81ukasz \xE2\x82\xAC"), .table = CHEAD3,
       .wanttable = CHEAD3 + regline("?ukasz \x80"), .wantprot = PMAIL + PDAYS + PREAD + replaced(1) + PDONE},
      {.name = "table that is the mark alone", .mail = regbody(NAMEU), .table = CMARK, .wanttable = CMARK + regline(NAMEU), .wantprot = cok},
      {.name = "UTF-8 table whose header does not fit", .table = CMARK + CHEAD0, .wantprot = PMAIL + PDAYS + PREAD + PMISFIT + PFAIL,
       .status = 1},
      {.name = "auto-reply", .mail = MIMEHEAD + "Content-Type: text/plain\r\n\r\nIch bin bis Montag nicht im Haus.\r\n", .table = CHEAD3,
       .wantprot = cnote, .status = 1},
      {.name = "message without a text part", .mail = MIMEHEAD + "Content-Type: image/png\r\n\r\nName: x\r\n", .table = CHEAD3,
       .wantprot = cnote, .status = 1},
      // The day list as people write it.
      {.name = "day list with spaces", .days = "Fr12; Sa13; So14;", .table = CHEAD3, .wanttable = CHEAD3 + CLINE,
       .wantprot = PMAIL + "tage.txt gelesen: Fr12; Sa13; So14; 3 Tage - okay\r\n" + PREAD + PDONE},
      {.name = "day list one a line", .days = "Fr12\r\nSa13\r\nSo14\r\n", .table = CHEAD3, .wanttable = CHEAD3 + CLINE,
       .wantprot = PMAIL + "tage.txt gelesen: Fr12\r\nSa13\r\nSo14\r\n 3 Tage - okay\r\n" + PREAD + PDONE},
      {.name = "day list with its mark", .days = CMARK + CDAYS, .table = CHEAD3, .wanttable = CHEAD3 + CLINE, .wantprot = PSTORED},
      // Notepad's "Unicode": read as the list it shows.
      {.name = "day list in UTF-16", .days = utf16("Fr12\r\nSa13\r\nSo14\r\n", false), .table = CHEAD3, .wanttable = CHEAD3 + CLINE,
       .wantprot = PMAIL + "tage.txt gelesen: Fr12\r\nSa13\r\nSo14\r\n 3 Tage - okay\r\n" + PREAD + PDONE},
      {.name = "day list of one token that is no day", .days = "Fr12:Sa13:So14", .table = CHEAD3,
       .wantprot = PMAIL + "tage.txt fehlerhaft: Fr12:Sa13:So14 ist kein Tag aus 4 Zeichen - Abbruch\r\n", .status = 1},
      {.name = "day token of 5 bytes", .days = "Fr12,Sa13x,So14", .table = CHEAD3,
       .wantprot = PMAIL + "tage.txt fehlerhaft: Sa13x ist kein Tag aus 4 Zeichen - Abbruch\r\n", .status = 1},
      {.name = "day token with a byte above 126", .days = "Fr12;S\xE4" "13;", .table = CHEAD3,
       .wantprot = PMAIL + "tage.txt fehlerhaft: S\xE4" "13 ist kein Tag aus 4 Zeichen - Abbruch\r\n", .status = 1},
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
      cases.push_back({.name = cs.clabel, .mail = plainmessage(cs.clabel, cs.cname), .table = ctab,
          .wanttable = ctab + regline(butf8 ? cs.cutf8 : cs.cw1252), .wantprot = PMAIL + PDAYS + PREAD + (n > 0 ? replaced(n) : "") + PDONE});
    }
  }
}

}  // namespace

void writeexample(const std::string& cdir, const std::optional<std::string>& ctab) {
  writefile(cdir + "/mail.txt", CEXAMPLEMAIL);
  writefile(cdir + "/tage.txt", CDAYS);
  if (ctab) writefile(cdir + "/tabelle.csv", *ctab);
}

void checkonlyrunfiles(const std::string& cdir, const char* cextra) {
  for (const auto& cn : entries(cdir))
    EXPECT_TRUE(cn == "mail.txt" || cn == "tage.txt" || cn == "tabelle.csv" || cn == "prot.txt" ||
                (cextra != nullptr && (cn == cextra || cn == "importierte-mails.txt" || cn == "uebersicht.html"))) << cn;
}

void checkcase(const Case& c, const RunOptions& opt) {
  SCOPED_TRACE(c.name);
  {
    TempDir d;
    layout(d, c, false);
    const RunResult res = run(d.path, opt);
    EXPECT_EQ(res.nstatus, c.status);
    EXPECT_EQ(res.coutput, c.said);
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
      {.name = "worked example", .table = CHEAD3, .wanttable = CHEAD3 + CLINE, .wantprot = PSTORED},
      {.name = "no table", .wanttable = CMARK + CHEAD3 + CLINE, .wantprot = PMADE},
      // The folder import makes a table only where tage.txt is.
      {.name = "no day list", .days = {}, .wanttable = CMARK + CHEAD0 + CLINE0,
       .wantprot = PMAIL + PNODAYS + CHEAD0 + CR + "tabelle.csv erzeugt\r\n" + PDONE,
       .folderstop = "meldimport-all: weder tabelle.csv noch tage.txt in ", .folderstatus = 2},
      {.name = "day list 5", .days = "Fr12;", .table = CHEAD0, .wanttable = CHEAD0 + CLINE0,
       .wantprot = PMAIL + "tage.txt gelesen: Fr12; wird nicht verwendet\r\n" + PREAD + PDONE},
      // A token of another length than 4 bytes stops the run before the table.
      {.name = "day list 8", .days = "Fr12;Sa1", .table = CHEAD0,
       .wantprot = PMAIL + "tage.txt fehlerhaft: Sa1 ist kein Tag aus 4 Zeichen - Abbruch\r\n", .status = 1},
      {.name = "day list 10", .days = "Fr12;Sa13;",
       .wanttable = CMARK + "Name;Mail;Anzahl;Eink;Tel;Nacht;Fr12;Sa13;Text;\r\n" + CLINE.substr(0, 46) + "J;J;" + CLINE.substr(52),
       .wantprot = PMAIL + "tage.txt gelesen: Fr12;Sa13; 2 Tage - okay\r\n" +
           "Name;Mail;Anzahl;Eink;Tel;Nacht;Fr12;Sa13;Text;\r\n\r\ntabelle.csv erzeugt\r\n" + PDONE},
      {.name = "day list 17", .days = CDAYS + CR, .table = CHEAD3, .wanttable = CHEAD3 + CLINE,
       .wantprot = PMAIL + "tage.txt gelesen: Fr12;Sa13;So14;\r\n 3 Tage - okay\r\n" + PREAD + PDONE},
      {.name = "day list 1200", .days = cdays1200,
       .wanttable = CMARK + "Name;Mail;Anzahl;Eink;Tel;Nacht;" + cdays1200.substr(0, 1000) + "Text;\r\n" + CLINE0.substr(0, 46) +
           repeat("-;", 200) + CLINE0.substr(46),
       .wantprot = PMAIL + "tage.txt gelesen: " + cdays1200.substr(0, 1000) + "** Tage - okay\r\n" +
           "Name;Mail;Anzahl;Eink;Tel;Nacht;" + cdays1200.substr(0, 1000) + "Text;\r\n\r\ntabelle.csv erzeugt\r\n" + PDONE},
      {.name = "table over 50,000 bytes", .table = cbig, .wanttable = cbig + CLINE, .wantprot = PSTORED},
      {.name = "table with byte 0", .table = czero, .wanttable = czero + CLINE, .wantprot = PSTORED},
      {.name = "table without line end", .table = CHEAD3 + "a;b;", .wanttable = CHEAD3 + "a;b;" + CR + CLINE, .wantprot = PSTORED},
      {.name = "table ending in CR", .table = CHEAD3 + "a;\r", .wanttable = CHEAD3 + "a;\r\n" + CLINE, .wantprot = PSTORED},
      {.name = "table ending in LF", .table = "a;\n", .wanttable = "a;\n" + CLINE, .wantprot = PSTORED},
      {.name = "empty table", .table = "", .wanttable = CLINE, .wantprot = PSTORED},
      // Neither "Name: " nor "E-Mail: ": no registration, no row.
      {.name = "empty mail", .mail = "", .table = "", .wantprot = PMAIL + PNOREG, .status = 1},
      {.name = "bare LF mail", .mail = "Name: Eva\nE-Mail: e@v\nTelefoon: 1\nText: Hi\n" + std::string(21, '-') + " Ende des Ori\n",
       .days = {}, .table = "", .wanttable = "Eva;e@v;;?;T 1;?;Hi.;\r\n", .wantprot = PMAIL + PNODAYS + PREAD + PDONE},
      {.name = "no mail", .mail = {}, .table = CHEAD3, .wantprot = "mail.txt nicht gefunden - Abbruch\r\n"},
      {.name = "no mail, no table", .mail = {}, .days = {}, .wantprot = "mail.txt nicht gefunden - Abbruch\r\n"},
      {.name = "mail is a directory", .mail = {}, .table = CHEAD3, .wantprot = "mail.txt nicht gefunden - Abbruch\r\n",
       .setup = [](const TempDir& d) { makedir(d / "mail.txt"); }},
      // The day columns of the line must fit those of the table's header.
      {.name = "two days for a table of three", .days = "Fr12;Sa13;", .table = CHEAD3 + CLINE,
       .wantprot = PMAIL + "tage.txt gelesen: Fr12;Sa13; 2 Tage - okay\r\n" + PREAD + PMISFIT + PFAIL, .status = 1},
      {.name = "no day list for a table of three", .days = {}, .table = CHEAD3, .wantprot = PMAIL + PNODAYS + PREAD + PMISFIT + PFAIL,
       .status = 1},
      {.name = "one day for a table of three", .days = "Fr12;", .table = CHEAD3,
       .wantprot = PMAIL + "tage.txt gelesen: Fr12; wird nicht verwendet\r\n" + PREAD + PMISFIT + PFAIL, .status = 1},
      {.name = "other days for a table of three", .days = "Fr12;Sa13;So15;", .table = CHEAD3,
       .wantprot = PMAIL + "tage.txt gelesen: Fr12;Sa13;So15; 3 Tage - okay\r\n" + PREAD + PMISFIT + PFAIL, .status = 1},
      {.name = "header without its line end", .table = CHEAD3.substr(0, CHEAD3.size() - 2),
       .wantprot = PMAIL + PDAYS + PREAD + PMISFIT + PFAIL, .status = 1},
      {.name = "table begun by hand", .table = "Anmeldungen\r\n", .wanttable = "Anmeldungen\r\n" + CLINE, .wantprot = PSTORED},
      {.name = "short table begun like a header", .table = "Name;Mail;", .wanttable = "Name;Mail;\r\n" + CLINE, .wantprot = PSTORED},
      // A leading quote would make a spreadsheet swallow the lines after it.
      {.name = "quote at the start of the name", .mail = "Name: \"Hans\" Meier\r\nE-Mail: h@m\r\n", .table = CHEAD3,
       .wanttable = CHEAD3 + "'\"Hans\" Meier;h@m;;?;T ;?;-;-;-;;\r\n", .wantprot = PSTORED},
      {.name = "formula in the name",
       .mail = "Name: =HYPERLINK(\"http://x\",\"Klick\")\r\nE-Mail: -1\r\nTelefoon: +49 1\r\nText: @x\r\n" + std::string(22, '-') + "Ende des Ori",
       .table = CHEAD3, .wanttable = CHEAD3 + "'=HYPERLINK(\"http://x\",\"Klick\");'-1;;?;T +49 1;?;-;-;-;'@x..;\r\n", .wantprot = PSTORED},
      {.name = "table is a directory", .wantprot = PMAIL + PDAYS + CHEAD3 + CR + PFAIL, .status = 1,
       .setup = [](const TempDir& d) { makedir(d / "tabelle.csv"); }},
      {.name = "leftover temporary of a killed run", .table = CHEAD3, .wanttable = CHEAD3 + CLINE, .wantprot = PSTORED,
       .setup = [](const TempDir& d) { writefile(d / ".tabelle.csv.tmp", "Name;Mail;"); }},
      // No protocol, no import: the table stays as it was.
      {.name = "protocol is a directory", .table = CHEAD3, .status = 1, .setup = [](const TempDir& d) { makedir(d / "prot.txt"); },
       .said = SNOPROT},
  };
  addrealmails(cases);
  return cases;
}

}  // namespace meldtest
