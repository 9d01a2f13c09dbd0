#include <gtest/gtest.h>

#include <string>

#include "mailtext.h"

using namespace meld;

namespace {

const std::string H = "MIME-Version: 1.0\r\n";

}  // namespace

// What the fields are taken from, for texts as they really arrive.
TEST(MailText, TextOfAMail) {
  struct Case {
    const char* cname;
    std::string craw, cwant;
    CHARSET nwant = CHARSET::UTF8;
  } cases[] = {
      // Plain texts stay as they are, even where they start like a header.
      {"plain registration", "Name: Eva\r\nE-Mail: e@v\r\nAnzahl Pers.: 2\r\n\r\nx", "Name: Eva\r\nE-Mail: e@v\r\nAnzahl Pers.: 2\r\n\r\nx", CHARSET::NONE},
      {"header block without MIME fields", "From: a\r\nName: Eva\r\n\r\nText", "From: a\r\nName: Eva\r\n\r\nText", CHARSET::NONE},
      {"MIME field but no empty line", H + "Name: Eva\r\n", H + "Name: Eva\r\n", CHARSET::NONE},
      {"continuation without a field", " x\r\n" + H + "\r\nb", " x\r\n" + H + "\r\nb", CHARSET::NONE},
      {"byte 0 ends a plain text", std::string("Name: a\0b", 9), "Name: a", CHARSET::NONE},
      // Messages: the body, decoded.
      {"mbox From line, folded field", "From a@b Mon Dec  7 10:00:00 2026\r\nContent-Type:\r\n\ttext/plain\r\n\r\nName: Eva", "Name: Eva"},
      {"field names in any case", "content-TRANSFER-encoding: QUOTED-printable\r\n\r\nA=3Db=3dc= \r\nd=zz=4", "A=b=cd=zz=4"},
      {"qp trailing white space", H + "Content-Transfer-Encoding: quoted-printable\r\n\r\na \t\r\nb=20\r\n", "a\r\nb \r\n"},
      {"base64 with junk", H + "Content-Transfer-Encoding: base64\r\n\r\nTmFt!ZTog\r\n RXZh\r\n", "Name: Eva"},
      {"base64 blocks joined", H + "Content-Transfer-Encoding: base64\r\n\r\nTmE=bWU=", "Name"},
      {"RFC 2231 charset", H + "Content-Type: text/plain; charset*=us-ascii'de'iso-8859-2\r\n\r\n\xA3", "\xC5\x81"},
      {"charset continued", H + "Content-Type: text/plain; charset*0=\"iso-8859\"; charset*1=-2\r\n\r\n\xA3", "\xC5\x81"},
      {"mark wins over the label", H + "Content-Type: text/plain; charset=latin1\r\n\r\n\xEF\xBB\xBF\xC3\xBC", "\xC3\xBC"},
      {"no label: Windows-1252 unless UTF-8", H + "\r\n\xFC\x80", "\xC3\xBC\xE2\x82\xAC"},
      {"empty label, quoted", H + "Content-Type: text/plain; charset=\"\"\r\n\r\n\xC3\xBC", "\xC3\xBC"},
      {"unknown label", H + "Content-Type: text/plain; charset=x-mac-foo\r\n\r\na\xFC", "a\xEF\xBF\xBD"},
      // The parts that are taken.
      {"alternative: plain attachment passed over",
       H + "Content-Type: multipart/alternative; boundary=b\r\n\r\n--b\r\nContent-Type: text/plain\r\n"
           "Content-Disposition: attachment; filename=a.txt\r\n\r\nA\r\n--b\r\nContent-Type: text/html\r\n\r\n<p>B</p>\r\n--b\r\n"
           "Content-Type: text/plain\r\n\r\nC\r\n--b--\r\n",
       "C"},
      {"alternative of HTML only", H + "Content-Type: multipart/alternative; boundary=b\r\n\r\n--b\r\nContent-Type: text/html\r\n\r\nA<br>B\r\n--b--",
       "A\r\nB"},
      {"mixed: parts joined, attachments left out",
       H + "Content-Type: multipart/mixed; boundary=\"b c\"\r\n\r\n--b c\r\n\r\nA\r\n--b c \r\nContent-Type: text/html\r\n\r\n<b>B</b>\r\n"
           "--b c\r\nContent-Type: text/plain\r\nContent-Disposition: ATTACHMENT\r\n\r\nX\r\n--b c\r\nContent-Type: application/pdf\r\n\r\nY\r\n--b c--\r\nZ",
       "A\r\nB"},
      {"boundary that starts another one", H + "Content-Type: multipart/mixed; boundary=b\r\n\r\n--b\r\n\r\nA\r\n--bb\r\nB\r\n--b--\r\n",
       "A\r\n--bb\r\nB"},
      {"digest parts are messages",
       H + "Content-Type: multipart/digest; boundary=d\r\n\r\n--d\r\n\r\nContent-Type: text/plain\r\n\r\nA\r\n--d\r\n\r\nSubject: x\r\n\r\nB\r\n--d--",
       "A\r\nB"},
      // A Content-Type that is not "type/subtype" counts as none: text/plain.
      {"Content-Type without a subtype", H + "Content-Type: text; charset=koi8-r\r\n\r\nName: \xFC", "Name: \xC3\xBC"},
      {"Content-Type without a slash", H + "Content-Type: textplain\r\n\r\nName: Eva", "Name: Eva"},
      // Apple Mail and Outlook: HTML with pictures as an alternative of its own.
      {"alternative that is a multipart",
       H + "Content-Type: multipart/alternative; boundary=a\r\n\r\n--a\r\nContent-Type: multipart/related; boundary=r\r\n\r\n"
           "--r\r\nContent-Type: text/html\r\n\r\n<p>A</p>\r\n--r\r\nContent-Type: image/png\r\n\r\nX\r\n--r--\r\n--a\r\n"
           "Content-Type: text/html\r\n\r\n<p>B</p>\r\n--a--\r\n",
       "A\r\n"},
      {"no closing delimiter", H + "Content-Type: multipart/mixed; boundary=b\r\n\r\n--b\r\n\r\nA\r\n", "A\r\n"},
      {"LF only", "MIME-Version: 1.0\nContent-Type: multipart/mixed; boundary=b\n\n--b\n\nA\nB\n--b--\n", "A\nB"},
      // Unicode texts.
      {"UTF-16LE", std::string("\xFF\xFEN\0a\0\xFC\0\x3D\xD8\x00\xDE", 12), "Na\xC3\xBC\xF0\x9F\x98\x80"},
      {"UTF-16BE, lone surrogate, odd byte", std::string("\xFE\xFF\0a\xD8\0\0b\0", 9), "a\xEF\xBF\xBD" "b\xEF\xBF\xBD"},
      {"UTF-16, a byte 0 cuts after decoding", std::string("\xFF\xFE" "a\0\0\0b\0", 8), "a"},
      {"UTF-8 mark, then a message", "\xEF\xBB\xBF" + H + "Content-Transfer-Encoding: base64\r\n\r\nTmFtZQ==", "Name"},
      {"UTF-8 mark, invalid byte", "\xEF\xBB\xBFNa\xFFme", "Na\xEF\xBF\xBDme"},
  };
  for (const auto& c : cases) {
    const MAILTEXT m = MAILTEXTOF(c.craw);
    EXPECT_EQ(m.CTEXT, c.cwant) << c.cname;
    EXPECT_EQ(m.NCHARSET, c.nwant) << c.cname;
  }
  // A plain text's character set is found when asked.
  EXPECT_EQ(PLAINCHARSET(MAILTEXTOF("Name: J\xC3\xBCrgen").CTEXT), CHARSET::UTF8);
  EXPECT_EQ(PLAINCHARSET(MAILTEXTOF("Name: J\xFCrgen").CTEXT), CHARSET::WINDOWS1252);
  // A UTF-8 text cut inside a character by the read is still UTF-8.
  const std::string ccut = std::string(NMAILREAD - 1, 'x') + "\xC3";
  EXPECT_EQ(PLAINCHARSET(ccut), CHARSET::UTF8);
  EXPECT_EQ(PLAINCHARSET(ccut.substr(1)), CHARSET::WINDOWS1252);
  // Only a message or a UTF-16 text is read on.
  for (const auto& [craw, bwant] : std::vector<std::pair<std::string, bool>>{
           {"Name: x\r\nE-Mail: y\r\n\r\n", false}, {"\xFF\xFEx", true}, {"\xEF\xBB\xBFName: x\r\n\r\n", false}, {"\xEF\xBB\xBF" + H + "\r\n", true},
           {H + "Subject: open", true}})
    EXPECT_EQ(READSON(craw), bwant) << craw;
  // A long message is cut after decoding, at the first read's length.
  EXPECT_EQ(MAILTEXTOF(H + "\r\n" + std::string(NMAILREAD + 10, 'x')).CTEXT.size(), static_cast<size_t>(NMAILREAD));
  // Nesting without end does not exhaust the stack.
  std::string cdeep;
  for (int n = 0; n < 100000; ++n) cdeep += "Content-Type: message/rfc822\r\n\r\n";
  EXPECT_EQ(MAILTEXTOF(H + cdeep + "x").CTEXT, "");
}

TEST(MailText, FormatFlowed) {
  struct Case {
    std::string ctext;
    bool bdelsp;
    std::string cwant;
  } cases[] = {
      {"Wir kommen \r\ngern.\r\nNeu\r\n", false, "Wir kommen gern.\r\nNeu\r\n"},
      {"Wir kommen \r\ngern.\r\n", true, "Wir kommengern.\r\n"},
      {" From here \r\n on\r\n", false, "From here on\r\n"},
      {"Gruss \r\n-- \r\nEva\r\n", false, "Gruss \r\n-- \r\nEva\r\n"},
      {"> a \r\n> b\r\nc \r\n", false, ">a b\r\nc \r\n"},
      {"> a \r\nb\r\n", false, ">a \r\nb\r\n"},
      {">q\r\n> > q\r\n", false, ">q\r\n>> q\r\n"},
      {"a \nb\n", false, "a b\n"},
  };
  for (const auto& c : cases) EXPECT_EQ(UNFLOW(c.ctext, c.bdelsp), c.cwant) << c.ctext;
}
