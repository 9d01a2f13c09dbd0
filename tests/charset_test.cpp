#include <gtest/gtest.h>

#include <string>

#include "charset.h"

using namespace meld;

namespace {
const std::string FFFD = "\xEF\xBF\xBD";
std::string Bytes(std::string_view c) { return std::string(c); }
}  // namespace

TEST(Charset, LabelTable) {
  struct Case {
    const char* clabel;
    CHARSET nwant;
  } cases[] = {
      {"utf-8", CHARSET::UTF8}, {" \t UTF-8\r\n\f", CHARSET::UTF8}, {"x-Unicode20UTF8", CHARSET::UTF8},
      {"utf-16", CHARSET::UTF16LE}, {"UCS-2", CHARSET::UTF16LE}, {"csunicode", CHARSET::UTF16LE},
      {"utf-16be", CHARSET::UTF16BE}, {"unicodeFFFE", CHARSET::UTF16BE}, {"ISO-8859-1", CHARSET::WINDOWS1252},
      {"latin1", CHARSET::WINDOWS1252}, {"iso_8859-1:1987", CHARSET::WINDOWS1252}, {"x-cp1252", CHARSET::WINDOWS1252},
      {"l9", CHARSET::ISO885915}, {"ISO_8859-15", CHARSET::ISO885915}, {"latin2", CHARSET::ISO88592},
      {"iso-ir-101", CHARSET::ISO88592}, {"CP1250", CHARSET::WINDOWS1250}, {"x-cp1250", CHARSET::WINDOWS1250},
      // US-ASCII's names, and no name at all, leave it to the text.
      {"us-ascii", CHARSET::NONE}, {" ASCII ", CHARSET::NONE}, {"ANSI_X3.4-1968", CHARSET::NONE},
      {"", CHARSET::NONE}, {" \t\r\n", CHARSET::NONE},
      // Other character sets, names that are no label, near misses.
      {"koi8-r", CHARSET::UNKNOWN}, {"iso-8859-16", CHARSET::UNKNOWN}, {"foo", CHARSET::UNKNOWN},
      {"utf-8x", CHARSET::UNKNOWN}, {"utf 8", CHARSET::UNKNOWN}, {"\vutf-8", CHARSET::UNKNOWN},
      {"latin-1", CHARSET::UNKNOWN}, {"windows-1251", CHARSET::UNKNOWN}, {"u\xC5\xBF-ascii", CHARSET::UNKNOWN},
  };
  for (const auto& c : cases) EXPECT_EQ(CHARSETOF(c.clabel), c.nwant) << "[" << c.clabel << "]";
}

TEST(Charset, DecodeTable) {
  struct Case {
    std::string ctext;
    CHARSET ncharset;
    std::string cwant;
    bool bdecode;  // through DECODE rather than TOUTF8
  } cases[] = {
      // UTF-8: one U+FFFD for each maximal subpart of an ill-formed sequence.
      {"a\xC3\xA9z", CHARSET::UTF8, "a\xC3\xA9z", false},
      {"\xE0\x80", CHARSET::UTF8, FFFD + FFFD, false},
      {"\xC0\xAF", CHARSET::UTF8, FFFD + FFFD, false},
      {"\xED\xA0\x80", CHARSET::UTF8, FFFD + FFFD + FFFD, false},
      {"\xF0\x90\x80", CHARSET::UTF8, FFFD, false},
      {"\xF0\x90\x80z", CHARSET::UTF8, FFFD + "z", false},
      {"\xF4\x90\x80\x80", CHARSET::UTF8, FFFD + FFFD + FFFD + FFFD, false},
      {"\xE2\x82\xC3\xA9", CHARSET::UTF8, FFFD + "\xC3\xA9", false},
      {"\x80\xBF\xFE\xFF", CHARSET::UTF8, FFFD + FFFD + FFFD + FFFD, false},
      {"\xF0\x9F\x98\x80", CHARSET::UTF8, "\xF0\x9F\x98\x80", false},
      // UTF-16: pairs, unpaired surrogates, an odd byte at the end.
      {Bytes({"A\0\xE9\0", 4}), CHARSET::UTF16LE, "A\xC3\xA9", false},
      {Bytes({"\0A\x20\xAC", 4}), CHARSET::UTF16BE, "A\xE2\x82\xAC", false},
      {Bytes({"\x3D\xD8\x00\xDE", 4}), CHARSET::UTF16LE, "\xF0\x9F\x98\x80", false},
      {Bytes({"\x3D\xD8" "A\0", 4}), CHARSET::UTF16LE, FFFD + "A", false},
      {Bytes({"\x00\xDE" "A\0", 4}), CHARSET::UTF16LE, FFFD + "A", false},
      {Bytes({"A\0B", 3}), CHARSET::UTF16LE, "A" + FFFD, false},
      {Bytes({"\x3D\xD8" "A", 3}), CHARSET::UTF16LE, FFFD, false},
      // Single-byte sets, their unassigned bytes as C1 controls.
      {"\x80\x81\x9F\xE9", CHARSET::WINDOWS1252, "\xE2\x82\xAC\xC2\x81\xC5\xB8\xC3\xA9", false},
      {"\xA4\xBE\x80", CHARSET::ISO885915, "\xE2\x82\xAC\xC5\xB8\xC2\x80", false},
      {"\xA1\xB7\xFF", CHARSET::ISO88592, "\xC4\x84\xCB\x87\xCB\x99", false},
      {"\x8A\x8C\x98\xA5", CHARSET::WINDOWS1250, "\xC5\xA0\xC5\x9A\xC2\x98\xC4\x84", false},
      {"a\x80\xC3\xA9", CHARSET::UNKNOWN, "a" + FFFD + FFFD + FFFD, false},
      // NONE: UTF-8 when it is, otherwise Windows-1252.
      {"\xC3\xA9", CHARSET::NONE, "\xC3\xA9", false},
      {"\xC3\xA9\xE9", CHARSET::NONE, "\xC3\x83\xC2\xA9\xC3\xA9", false},
      // A byte-order mark names the character set and goes; TOUTF8 keeps it.
      {"\xEF\xBB\xBF\xC3\xA9", CHARSET::WINDOWS1252, "\xC3\xA9", true},
      {Bytes({"\xFF\xFE" "A\0", 4}), CHARSET::UTF8, "A", true},
      {Bytes({"\xFE\xFF\0A", 4}), CHARSET::UTF16LE, "A", true},
      {"\xFF\xFE", CHARSET::WINDOWS1252, "", true},
      {"\xE9t\xE9", CHARSET::WINDOWS1252, "\xC3\xA9t\xC3\xA9", true},
      {"\xEF\xBB\xBF" "a", CHARSET::UTF8, "\xEF\xBB\xBF" "a", false},
  };
  for (const auto& c : cases) {
    const std::string cgot = c.bdecode ? DECODE(c.ctext, c.ncharset) : TOUTF8(c.ctext, c.ncharset);
    EXPECT_EQ(cgot, c.cwant) << testing::PrintToString(c.ctext) << " as " << static_cast<int>(c.ncharset);
    EXPECT_TRUE(ISUTF8(cgot));
    if (c.ncharset == CHARSET::UTF8 && !c.bdecode) {
      EXPECT_EQ(ISUTF8(c.ctext), cgot == c.ctext);
    }
  }
  // The ASCII fast path must not hide a bad byte past a run of eight.
  EXPECT_FALSE(ISUTF8("abcdefghijklmno\xC3"));
  EXPECT_FALSE(ISUTF8(std::string_view("\xC3\xA9", 1)));
  EXPECT_TRUE(ISUTF8("abcdefghijklmno\xF4\x8F\xBF\xBF" "abcdefgh"));
}

TEST(Charset, ConvertTable) {
  const CHARSET U = CHARSET::UTF8, W = CHARSET::WINDOWS1252;
  struct Case {
    std::string ctext;
    CHARSET nfrom, nto;
    std::string cwant;
    long long nreplaced;
  } cases[] = {
      {"plain", U, W, "plain", 0},
      {"\xC3\xA9\xE2\x82\xAC\xC5\xB8", U, W, "\xE9\x80\x9F", 0},
      {"\xC2\x81\xC2\x9D\xC2\x80", U, W, "\x81\x9D?", 1},
      {"\xC4\x8D\xF0\x9F\x98\x80", U, W, "??", 2},
      {"a\xE0\x80" "b", U, W, "a??b", 2},
      {"\xE9t\xE9", U, U, "?t?", 2},
      {"x\xEF\xBF\xBD", U, U, "x?", 1},
      {"\xC3\xA9\xF0\x9F\x98\x80", U, U, "\xC3\xA9\xF0\x9F\x98\x80", 0},
      {"\x80\xE9", W, U, "\xE2\x82\xAC\xC3\xA9", 0},
      {"\x81\xFF", W, W, "\x81\xFF", 0},
  };
  for (const auto& c : cases) {
    long long n = 10;
    EXPECT_EQ(CONVERT(c.ctext, c.nfrom, c.nto, &n), c.cwant) << testing::PrintToString(c.ctext);
    EXPECT_EQ(n, 10 + c.nreplaced) << testing::PrintToString(c.ctext);
  }
}

TEST(Charset, Windows1252RoundTripsEveryByte) {
  std::string call;
  for (int i = 0; i < 256; ++i) call += static_cast<char>(i);
  long long n = 0;
  const std::string cutf8 = CONVERT(call, CHARSET::WINDOWS1252, CHARSET::UTF8, &n);
  EXPECT_TRUE(ISUTF8(cutf8));
  EXPECT_EQ(cutf8, TOUTF8(call, CHARSET::WINDOWS1252));
  EXPECT_EQ(CONVERT(cutf8, CHARSET::UTF8, CHARSET::WINDOWS1252, &n), call);
  EXPECT_EQ(CONVERT(cutf8, CHARSET::UTF8, CHARSET::UTF8, &n), cutf8);
  EXPECT_EQ(n, 0);
}
