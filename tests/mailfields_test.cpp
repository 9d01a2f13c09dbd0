#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "days.h"
#include "file_common.h"
#include "harness.h"
#include "meld.h"
#include "mailfields.h"
#include "mailtext.h"
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
        const bool bguard = bfirst && std::string_view("=+-@\"").find(c) != std::string_view::npos && !btel;
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

// What is a registration, for mails as they really arrive: each part of the
// rule alone, then the real forms.
TEST(MailFields, WhatIsARegistration) {
  const std::string CFORM = "Name: Erika Muster\r\nE-Mail: erika@example.org\r\nAnzahl teilnehmende Pers.: 2\r\n";
  const std::string CSIG = "Hans Beispiel\r\nMusterfirma GmbH\r\nE-Mail: info@musterfirma.example\r\n";
  const std::string M = "From: Hans <hans@example.org>\r\nMIME-Version: 1.0\r\n";
  const std::string CPLAIN = "Content-Type: text/plain; charset=utf-8\r\n\r\n";
  const auto R = REGKIND::REGISTRATION, A = REGKIND::AUTOMATIC, Q = REGKIND::QUOTED, N = REGKIND::NOFORM;
  struct Case {
    const char* cname;
    std::string cmail;
    REGKIND nwant;
  } cases[] = {
      {"the form", CFORM, R},
      {"Name: alone", "Name: Erika\r\nText: x\r\n", N},
      {"E-Mail: alone", "E-Mail: e@v\r\nText: x\r\n", N},
      {"labels inside a line", "Ihr Name: Erika\r\nIhre E-Mail: e@v\r\n", N},
      {"spaces and tabs before the labels, lone CR", " \tName: Erika\rE-Mail: e@v\r", R},
      {"a quoted label beside an unquoted one", "Name: Erika\r\n > E-Mail: e@v\r\n", Q},
      {"Auto-Submitted: auto-replied", M + "Auto-Submitted: Auto-Replied (vacation)\r\n" + CPLAIN + CFORM, A},
      {"Auto-Submitted: no", M + "Auto-Submitted: no\r\n" + CPLAIN + CFORM, R},
      {"web form: Auto-Submitted: auto-generated", M + "Auto-Submitted: auto-generated\r\n" + CPLAIN + CFORM, R},
      {"X-Autoreply: yes", M + "X-Autoreply: yes\r\n" + CPLAIN + CFORM, A},
      {"X-Autoreply: no", M + "X-Autoreply: no\r\n" + CPLAIN + CFORM, R},
      {"X-Autorespond", M + "X-Autorespond: 1\r\n" + CPLAIN + CFORM, A},
      {"Precedence: auto_reply", M + "Precedence: AUTO_REPLY\r\n" + CPLAIN + CFORM, A},
      {"Precedence: bulk", M + "Precedence: bulk\r\n" + CPLAIN + CFORM, R},
      {"header without MIME fields", "From: a@b\r\nAuto-Submitted: auto-replied\r\n\r\n" + CFORM, A},
      {"Gmail vacation reply",
       M + "Auto-Submitted: auto-replied\r\nSubject: Re: Anmeldung\r\nContent-Type: multipart/alternative; boundary=\"000\"\r\n\r\n"
           "--000\r\nContent-Type: text/plain; charset=\"UTF-8\"\r\n\r\nIch bin bis Montag im Urlaub.\r\n\r\nName: Hans Beispiel\r\n" + CSIG +
           "\r\n--000\r\nContent-Type: text/html; charset=\"UTF-8\"\r\n\r\n<div>Urlaub</div>\r\n--000--\r\n",
       A},
      {"Outlook out-of-office",
       "Subject: Automatische Antwort: Anmeldung\r\nAuto-Submitted: auto-replied\r\nX-Auto-Response-Suppress: All\r\n"
       "Content-Type: text/plain; charset=\"iso-8859-1\"\r\nMIME-Version: 1.0\r\n\r\nIch bin nicht im B\xFCro.\r\n" + CSIG,
       A},
      {"Sieve vacation reply",
       M + "Auto-Submitted: auto-replied (vacation)\r\nPrecedence: bulk\r\n" + CPLAIN + "Abwesend bis 2. Januar.\r\n" + CSIG, A},
      {"bounce quoting the registration",
       M + "Content-Type: multipart/report; report-type=delivery-status; boundary=\"b\"\r\n\r\n--b\r\n" + CPLAIN +
           "Die Mail konnte nicht zugestellt werden.\r\n--b\r\nContent-Type: message/delivery-status\r\n\r\nAction: failed\r\n"
           "--b\r\nContent-Type: message/rfc822\r\n\r\n" + M + CPLAIN + CFORM + "--b--\r\n",
       A},
      {"reply quoting the form",
       M + CPLAIN + "Leider muessen wir absagen.\r\n\r\nAm 01.12.2026 schrieb Erika:\r\n> Name: Erika Muster\r\n>E-Mail: erika@example.org\r\n",
       Q},
      {"signature with E-Mail:", M + CPLAIN + "Gibt es noch Plaetze?\r\n--\r\n" + CSIG, N},
      {"forwarded behind a cover note with a signature",
       M + CPLAIN + "Hier die Anmeldung.\r\n-- \r\n" + CSIG + "\r\n---------- Forwarded message ---------\r\nVon: Web <web@x>\r\n\r\n" + CFORM, R},
      {"forwarded in Outlook's block",
       M + CPLAIN + "Zur Info\r\n\r\n________________________________\r\nVon: Anmeldung <web@x>\r\nGesendet: Montag, 7. Dezember 2026\r\n"
           "Betreff: Anmeldung\r\n\r\n" + CFORM,
       R},
      {"an enclosed auto-reply's header is not the mail's",
       M + "Content-Type: multipart/mixed; boundary=m\r\n\r\n--m\r\nContent-Type: message/rfc822\r\n\r\nAuto-Submitted: auto-replied\r\n" +
           "MIME-Version: 1.0\r\n" + CPLAIN + CFORM + "--m--\r\n",
       R},
  };
  for (const auto& c : cases) {
    const MAILTEXT m = MAILTEXTOF(c.cmail);
    EXPECT_EQ(REGISTRATIONOF(m.CTEXT, m.BAUTOMATIC), c.nwant) << c.cname;
  }
}
