#include "charset.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "text.h"

namespace meld {

namespace {

// The code points of bytes 0x80 to 0xFF in each single-byte character set,
// as the standard's indexes give them. A byte that the character set leaves
// unassigned stands for the C1 control of the same value, so that every
// byte has a character.
const char16_t WIN1252[128] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160, 0x2039, 0x0152,
    0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014, 0x02DC, 0x2122,
    0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178, 0x00A0, 0x00A1, 0x00A2, 0x00A3, 0x00A4, 0x00A5, 0x00A6,
    0x00A7, 0x00A8, 0x00A9, 0x00AA, 0x00AB, 0x00AC, 0x00AD, 0x00AE, 0x00AF, 0x00B0, 0x00B1, 0x00B2, 0x00B3,
    0x00B4, 0x00B5, 0x00B6, 0x00B7, 0x00B8, 0x00B9, 0x00BA, 0x00BB, 0x00BC, 0x00BD, 0x00BE, 0x00BF, 0x00C0,
    0x00C1, 0x00C2, 0x00C3, 0x00C4, 0x00C5, 0x00C6, 0x00C7, 0x00C8, 0x00C9, 0x00CA, 0x00CB, 0x00CC, 0x00CD,
    0x00CE, 0x00CF, 0x00D0, 0x00D1, 0x00D2, 0x00D3, 0x00D4, 0x00D5, 0x00D6, 0x00D7, 0x00D8, 0x00D9, 0x00DA,
    0x00DB, 0x00DC, 0x00DD, 0x00DE, 0x00DF, 0x00E0, 0x00E1, 0x00E2, 0x00E3, 0x00E4, 0x00E5, 0x00E6, 0x00E7,
    0x00E8, 0x00E9, 0x00EA, 0x00EB, 0x00EC, 0x00ED, 0x00EE, 0x00EF, 0x00F0, 0x00F1, 0x00F2, 0x00F3, 0x00F4,
    0x00F5, 0x00F6, 0x00F7, 0x00F8, 0x00F9, 0x00FA, 0x00FB, 0x00FC, 0x00FD, 0x00FE, 0x00FF,
};

const char16_t ISO885915[128] = {
    0x0080, 0x0081, 0x0082, 0x0083, 0x0084, 0x0085, 0x0086, 0x0087, 0x0088, 0x0089, 0x008A, 0x008B, 0x008C,
    0x008D, 0x008E, 0x008F, 0x0090, 0x0091, 0x0092, 0x0093, 0x0094, 0x0095, 0x0096, 0x0097, 0x0098, 0x0099,
    0x009A, 0x009B, 0x009C, 0x009D, 0x009E, 0x009F, 0x00A0, 0x00A1, 0x00A2, 0x00A3, 0x20AC, 0x00A5, 0x0160,
    0x00A7, 0x0161, 0x00A9, 0x00AA, 0x00AB, 0x00AC, 0x00AD, 0x00AE, 0x00AF, 0x00B0, 0x00B1, 0x00B2, 0x00B3,
    0x017D, 0x00B5, 0x00B6, 0x00B7, 0x017E, 0x00B9, 0x00BA, 0x00BB, 0x0152, 0x0153, 0x0178, 0x00BF, 0x00C0,
    0x00C1, 0x00C2, 0x00C3, 0x00C4, 0x00C5, 0x00C6, 0x00C7, 0x00C8, 0x00C9, 0x00CA, 0x00CB, 0x00CC, 0x00CD,
    0x00CE, 0x00CF, 0x00D0, 0x00D1, 0x00D2, 0x00D3, 0x00D4, 0x00D5, 0x00D6, 0x00D7, 0x00D8, 0x00D9, 0x00DA,
    0x00DB, 0x00DC, 0x00DD, 0x00DE, 0x00DF, 0x00E0, 0x00E1, 0x00E2, 0x00E3, 0x00E4, 0x00E5, 0x00E6, 0x00E7,
    0x00E8, 0x00E9, 0x00EA, 0x00EB, 0x00EC, 0x00ED, 0x00EE, 0x00EF, 0x00F0, 0x00F1, 0x00F2, 0x00F3, 0x00F4,
    0x00F5, 0x00F6, 0x00F7, 0x00F8, 0x00F9, 0x00FA, 0x00FB, 0x00FC, 0x00FD, 0x00FE, 0x00FF,
};

const char16_t ISO88592[128] = {
    0x0080, 0x0081, 0x0082, 0x0083, 0x0084, 0x0085, 0x0086, 0x0087, 0x0088, 0x0089, 0x008A, 0x008B, 0x008C,
    0x008D, 0x008E, 0x008F, 0x0090, 0x0091, 0x0092, 0x0093, 0x0094, 0x0095, 0x0096, 0x0097, 0x0098, 0x0099,
    0x009A, 0x009B, 0x009C, 0x009D, 0x009E, 0x009F, 0x00A0, 0x0104, 0x02D8, 0x0141, 0x00A4, 0x013D, 0x015A,
    0x00A7, 0x00A8, 0x0160, 0x015E, 0x0164, 0x0179, 0x00AD, 0x017D, 0x017B, 0x00B0, 0x0105, 0x02DB, 0x0142,
    0x00B4, 0x013E, 0x015B, 0x02C7, 0x00B8, 0x0161, 0x015F, 0x0165, 0x017A, 0x02DD, 0x017E, 0x017C, 0x0154,
    0x00C1, 0x00C2, 0x0102, 0x00C4, 0x0139, 0x0106, 0x00C7, 0x010C, 0x00C9, 0x0118, 0x00CB, 0x011A, 0x00CD,
    0x00CE, 0x010E, 0x0110, 0x0143, 0x0147, 0x00D3, 0x00D4, 0x0150, 0x00D6, 0x00D7, 0x0158, 0x016E, 0x00DA,
    0x0170, 0x00DC, 0x00DD, 0x0162, 0x00DF, 0x0155, 0x00E1, 0x00E2, 0x0103, 0x00E4, 0x013A, 0x0107, 0x00E7,
    0x010D, 0x00E9, 0x0119, 0x00EB, 0x011B, 0x00ED, 0x00EE, 0x010F, 0x0111, 0x0144, 0x0148, 0x00F3, 0x00F4,
    0x0151, 0x00F6, 0x00F7, 0x0159, 0x016F, 0x00FA, 0x0171, 0x00FC, 0x00FD, 0x0163, 0x02D9,
};

const char16_t WIN1250[128] = {
    0x20AC, 0x0081, 0x201A, 0x0083, 0x201E, 0x2026, 0x2020, 0x2021, 0x0088, 0x2030, 0x0160, 0x2039, 0x015A,
    0x0164, 0x017D, 0x0179, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014, 0x0098, 0x2122,
    0x0161, 0x203A, 0x015B, 0x0165, 0x017E, 0x017A, 0x00A0, 0x02C7, 0x02D8, 0x0141, 0x00A4, 0x0104, 0x00A6,
    0x00A7, 0x00A8, 0x00A9, 0x015E, 0x00AB, 0x00AC, 0x00AD, 0x00AE, 0x017B, 0x00B0, 0x00B1, 0x02DB, 0x0142,
    0x00B4, 0x00B5, 0x00B6, 0x00B7, 0x00B8, 0x0105, 0x015F, 0x00BB, 0x013D, 0x02DD, 0x013E, 0x017C, 0x0154,
    0x00C1, 0x00C2, 0x0102, 0x00C4, 0x0139, 0x0106, 0x00C7, 0x010C, 0x00C9, 0x0118, 0x00CB, 0x011A, 0x00CD,
    0x00CE, 0x010E, 0x0110, 0x0143, 0x0147, 0x00D3, 0x00D4, 0x0150, 0x00D6, 0x00D7, 0x0158, 0x016E, 0x00DA,
    0x0170, 0x00DC, 0x00DD, 0x0162, 0x00DF, 0x0155, 0x00E1, 0x00E2, 0x0103, 0x00E4, 0x013A, 0x0107, 0x00E7,
    0x010D, 0x00E9, 0x0119, 0x00EB, 0x011B, 0x00ED, 0x00EE, 0x010F, 0x0111, 0x0144, 0x0148, 0x00F3, 0x00F4,
    0x0151, 0x00F6, 0x00F7, 0x0159, 0x016F, 0x00FA, 0x0171, 0x00FC, 0x00FD, 0x0163, 0x02D9,
};

const char REPLACEMENT[] = "\xEF\xBF\xBD";  // U+FFFD in UTF-8

struct LABEL {
  const char* clabel;
  CHARSET ncharset;
};

// Every label of the character sets the import reads. The names of
// US-ASCII come first: they label Windows-1252 too, but say less than a
// mail's bytes do, so they leave the choice to the text.
const LABEL LABELS[] = {
    {"us-ascii", CHARSET::NONE}, {"ascii", CHARSET::NONE}, {"ansi_x3.4-1968", CHARSET::NONE},
    {"utf-8", CHARSET::UTF8}, {"utf8", CHARSET::UTF8}, {"unicode-1-1-utf-8", CHARSET::UTF8},
    {"unicode11utf8", CHARSET::UTF8}, {"unicode20utf8", CHARSET::UTF8}, {"x-unicode20utf8", CHARSET::UTF8},
    {"utf-16", CHARSET::UTF16LE}, {"utf-16le", CHARSET::UTF16LE}, {"ucs-2", CHARSET::UTF16LE},
    {"unicode", CHARSET::UTF16LE}, {"unicodefeff", CHARSET::UTF16LE}, {"iso-10646-ucs-2", CHARSET::UTF16LE},
    {"csunicode", CHARSET::UTF16LE}, {"utf-16be", CHARSET::UTF16BE}, {"unicodefffe", CHARSET::UTF16BE},
    {"cp1252", CHARSET::WINDOWS1252}, {"cp819", CHARSET::WINDOWS1252}, {"csisolatin1", CHARSET::WINDOWS1252},
    {"ibm819", CHARSET::WINDOWS1252}, {"iso-8859-1", CHARSET::WINDOWS1252}, {"iso-ir-100", CHARSET::WINDOWS1252},
    {"iso8859-1", CHARSET::WINDOWS1252}, {"iso88591", CHARSET::WINDOWS1252}, {"iso_8859-1", CHARSET::WINDOWS1252},
    {"iso_8859-1:1987", CHARSET::WINDOWS1252}, {"l1", CHARSET::WINDOWS1252}, {"latin1", CHARSET::WINDOWS1252},
    {"windows-1252", CHARSET::WINDOWS1252}, {"x-cp1252", CHARSET::WINDOWS1252},
    {"csisolatin9", CHARSET::ISO885915}, {"iso-8859-15", CHARSET::ISO885915}, {"iso8859-15", CHARSET::ISO885915},
    {"iso885915", CHARSET::ISO885915}, {"iso_8859-15", CHARSET::ISO885915}, {"l9", CHARSET::ISO885915},
    {"csisolatin2", CHARSET::ISO88592}, {"iso-8859-2", CHARSET::ISO88592}, {"iso-ir-101", CHARSET::ISO88592},
    {"iso8859-2", CHARSET::ISO88592}, {"iso88592", CHARSET::ISO88592}, {"iso_8859-2", CHARSET::ISO88592},
    {"iso_8859-2:1987", CHARSET::ISO88592}, {"l2", CHARSET::ISO88592}, {"latin2", CHARSET::ISO88592},
    {"cp1250", CHARSET::WINDOWS1250}, {"windows-1250", CHARSET::WINDOWS1250}, {"x-cp1250", CHARSET::WINDOWS1250},
};

// Length of the run of ASCII bytes at the start of ctext, eight at a time
// while no byte of the eight has its high bit set.
size_t ASCIIPREFIX(std::string_view ctext) {
  size_t i = 0;
  // For speed: 32 bytes a step while all are ASCII, as the text of a
  // 50,000-byte mail is looked at more than once.
  for (; i + 32 <= ctext.size(); i += 32) {
    std::uint64_t nwords[4];
    std::memcpy(nwords, ctext.data() + i, 32);
    if ((nwords[0] | nwords[1] | nwords[2] | nwords[3]) & 0x8080808080808080ULL) break;
  }
  for (; i + 8 <= ctext.size(); i += 8) {
    std::uint64_t nword;
    std::memcpy(&nword, ctext.data() + i, 8);
    if (nword & 0x8080808080808080ULL) break;
  }
  while (i < ctext.size() && static_cast<unsigned char>(ctext[i]) < 0x80) ++i;
  return i;
}

// What a UTF-8 lead byte asks for: the count of continuation bytes (0 for
// ASCII, -1 for a byte that begins no sequence) and the range the first of
// them must lie in (narrower after E0, ED, F0 and F4, which rules out
// overlongs, surrogates and code points past U+10FFFF); later ones lie in
// 80 to BF.
struct LEAD {
  int NMORE;
  unsigned char NLOWER = 0x80, NUPPER = 0xBF;
};

LEAD leadof(unsigned char c) {
  if (c < 0x80) return {0};
  if (c >= 0xC2 && c <= 0xDF) return {1};
  if (c >= 0xE0 && c <= 0xEF) return {2, static_cast<unsigned char>(c == 0xE0 ? 0xA0 : 0x80), static_cast<unsigned char>(c == 0xED ? 0x9F : 0xBF)};
  if (c >= 0xF0 && c <= 0xF4) return {3, static_cast<unsigned char>(c == 0xF0 ? 0x90 : 0x80), static_cast<unsigned char>(c == 0xF4 ? 0x8F : 0xBF)};
  return {-1};
}

// Bytes of ctext read as UTF-8, with one U+FFFD for each maximal subpart of
// an ill-formed sequence: a byte outside the range its lead byte sets ends
// the sequence as one U+FFFD and is then read afresh.
std::string UTF8DECODE(std::string_view ctext) {
  std::string cout;
  cout.reserve(ctext.size() + 8);
  size_t nstart = 0;
  int nneeded = 0, nseen = 0;
  unsigned char nlower = 0x80, nupper = 0xBF;
  for (size_t i = 0; i < ctext.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(ctext[i]);
    if (nneeded == 0) {
      nstart = i;
      const LEAD lead = leadof(c);
      if (lead.NMORE == 0) cout += static_cast<char>(c);
      if (lead.NMORE < 0) cout += REPLACEMENT;
      nneeded = std::max(lead.NMORE, 0);
      nlower = lead.NLOWER, nupper = lead.NUPPER;
      continue;
    }
    if (c < nlower || c > nupper) {
      nneeded = nseen = 0;
      cout += REPLACEMENT;
      --i;
      continue;
    }
    nlower = 0x80, nupper = 0xBF;
    if (++nseen < nneeded) continue;
    cout.append(ctext.substr(nstart, i + 1 - nstart));
    nneeded = nseen = 0;
  }
  if (nneeded != 0) cout += REPLACEMENT;
  return cout;
}

// Pairs of bytes as UTF-16 code units: a high surrogate followed by a low
// one is one code point; any other surrogate is U+FFFD and the unit after
// an unpaired high surrogate is read afresh. A text that ends inside a
// pair or a unit gives one U+FFFD.
std::string UTF16DECODE(std::string_view ctext, bool bbig) {
  std::string cout;
  cout.reserve(ctext.size() * 3 / 2 + 4);
  char32_t nlead = 0;
  const size_t nunits = ctext.size() / 2;
  for (size_t i = 0; i < nunits; ++i) {
    const unsigned char a = static_cast<unsigned char>(ctext[2 * i]), b = static_cast<unsigned char>(ctext[2 * i + 1]);
    const char32_t nunit = bbig ? (a << 8 | b) : (b << 8 | a);
    if (nlead != 0) {
      const char32_t nhigh = nlead;
      nlead = 0;
      if (nunit >= 0xDC00 && nunit <= 0xDFFF) {
        PUTUTF8(cout, 0x10000 + ((nhigh - 0xD800) << 10) + (nunit - 0xDC00));
        continue;
      }
      cout += REPLACEMENT;
    }
    if (nunit >= 0xD800 && nunit <= 0xDBFF) {
      nlead = nunit;
    } else if (nunit >= 0xDC00 && nunit <= 0xDFFF) {
      cout += REPLACEMENT;
    } else {
      PUTUTF8(cout, nunit);
    }
  }
  if (nlead != 0 || ctext.size() % 2 != 0) cout += REPLACEMENT;
  return cout;
}

std::string SINGLEBYTEDECODE(std::string_view ctext, const char16_t* ptable) {
  std::string cout;
  cout.reserve(ctext.size() + ctext.size() / 4);
  for (const char ch : ctext) {
    const unsigned char c = static_cast<unsigned char>(ch);
    if (c < 0x80) {
      cout += ch;
    } else if (ptable == nullptr) {
      cout += REPLACEMENT;
    } else {
      PUTUTF8(cout, ptable[c - 0x80]);
    }
  }
  return cout;
}

// The Windows-1252 byte of a code point above U+007F, or 0 where
// Windows-1252 has no such character.
unsigned char WIN1252BYTE(char32_t ncode) {
  if (ncode >= 0xA0 && ncode <= 0xFF) return static_cast<unsigned char>(ncode);
  for (int i = 0; i < 0x20; ++i)
    if (WIN1252[i] == ncode) return static_cast<unsigned char>(0x80 + i);
  return 0;
}

}  // namespace

void PUTUTF8(std::string& cout, char32_t ncode) {
  if (ncode < 0x80) {
    cout += static_cast<char>(ncode);
  } else if (ncode < 0x800) {
    cout += static_cast<char>(0xC0 | (ncode >> 6));
    cout += static_cast<char>(0x80 | (ncode & 0x3F));
  } else if (ncode < 0x10000) {
    cout += static_cast<char>(0xE0 | (ncode >> 12));
    cout += static_cast<char>(0x80 | ((ncode >> 6) & 0x3F));
    cout += static_cast<char>(0x80 | (ncode & 0x3F));
  } else {
    cout += static_cast<char>(0xF0 | (ncode >> 18));
    cout += static_cast<char>(0x80 | ((ncode >> 12) & 0x3F));
    cout += static_cast<char>(0x80 | ((ncode >> 6) & 0x3F));
    cout += static_cast<char>(0x80 | (ncode & 0x3F));
  }
}

char32_t WIN1252CHAR(unsigned char c) { return c >= 0x80 ? WIN1252[c - 0x80] : c; }

CHARSET CHARSETOF(std::string_view clabel) {
  while (!clabel.empty() && ISASCIISPACE(static_cast<unsigned char>(clabel.front()))) clabel.remove_prefix(1);
  while (!clabel.empty() && ISASCIISPACE(static_cast<unsigned char>(clabel.back()))) clabel.remove_suffix(1);
  if (clabel.empty()) return CHARSET::NONE;
  const std::string clower = LOWERED(clabel);
  for (const LABEL& label : LABELS)
    if (clower == label.clabel) return label.ncharset;
  return CHARSET::UNKNOWN;
}

bool ISASCII(std::string_view ctext) { return ASCIIPREFIX(ctext) == ctext.size(); }

bool UTF8CHECK::FEED(std::string_view ctext) {
  for (size_t i = 0, n = ctext.size(); m_bvalid && i < n;) {
    const unsigned char c = static_cast<unsigned char>(ctext[i]);
    if (m_nmore > 0) {
      m_bvalid = c >= m_nlower && c <= m_nupper;
      m_nlower = 0x80, m_nupper = 0xBF;
      --m_nmore, ++i;
      continue;
    }
    i += ASCIIPREFIX(ctext.substr(i));
    if (i >= n) break;
    const LEAD lead = leadof(static_cast<unsigned char>(ctext[i++]));
    m_bvalid = lead.NMORE >= 0;
    m_nmore = lead.NMORE, m_nlower = lead.NLOWER, m_nupper = lead.NUPPER;
  }
  return m_bvalid;
}

bool ISUTF8(std::string_view ctext) {
  UTF8CHECK check;
  return check.FEED(ctext) && !check.OPEN();
}

std::string TOUTF8(std::string_view ctext, CHARSET ncharset) {
  switch (ncharset) {
    case CHARSET::UTF8:
      if (ISUTF8(ctext)) return std::string(ctext);
      return UTF8DECODE(ctext);
    case CHARSET::NONE:
      if (ISUTF8(ctext)) return std::string(ctext);
      return SINGLEBYTEDECODE(ctext, WIN1252);
    case CHARSET::UTF16LE: return UTF16DECODE(ctext, false);
    case CHARSET::UTF16BE: return UTF16DECODE(ctext, true);
    case CHARSET::WINDOWS1252: return SINGLEBYTEDECODE(ctext, WIN1252);
    case CHARSET::ISO885915: return SINGLEBYTEDECODE(ctext, ISO885915);
    case CHARSET::ISO88592: return SINGLEBYTEDECODE(ctext, ISO88592);
    case CHARSET::WINDOWS1250: return SINGLEBYTEDECODE(ctext, WIN1250);
    case CHARSET::UNKNOWN: break;
  }
  return SINGLEBYTEDECODE(ctext, nullptr);
}

std::string DECODE(std::string ctext, CHARSET ncharset) {
  const std::string_view c = ctext;
  if (c.starts_with(CMARKUTF8)) return TOUTF8(c.substr(CMARKUTF8.size()), CHARSET::UTF8);
  if (c.starts_with(CMARKUTF16LE)) return TOUTF8(c.substr(CMARKUTF16LE.size()), CHARSET::UTF16LE);
  if (c.starts_with(CMARKUTF16BE)) return TOUTF8(c.substr(CMARKUTF16BE.size()), CHARSET::UTF16BE);
  // What needs no decoding is given back, not copied: a message's text may be 8 MiB.
  const bool butf8 = ncharset == CHARSET::UTF8 || ncharset == CHARSET::NONE;
  const bool bbytewise = ncharset != CHARSET::UTF16LE && ncharset != CHARSET::UTF16BE;
  if ((butf8 && ISUTF8(c)) || (bbytewise && ISASCII(c))) return ctext;
  return TOUTF8(c, ncharset);
}

// Any nfrom is decoded as TOUTF8 does; any nto other than WINDOWS1252 is
// taken as UTF-8.
std::string CONVERT(std::string ctext, CHARSET nfrom, CHARSET nto, long long* pnreplaced) {
  // A line of 50,000 bytes is the common case: where nothing changes, the
  // text itself is given back, never a copy.
  if (nfrom == CHARSET::WINDOWS1252 && nto == CHARSET::WINDOWS1252) return ctext;
  const bool bascii = nfrom != CHARSET::UTF16LE && nfrom != CHARSET::UTF16BE;
  if (bascii && ASCIIPREFIX(ctext) == ctext.size()) return ctext;
  const bool bto1252 = nto == CHARSET::WINDOWS1252;
  // Valid UTF-8 into UTF-8 stays as it is unless a U+FFFD is in it.
  if (nfrom == CHARSET::UTF8 && !bto1252 && ISUTF8(ctext) && ctext.find(REPLACEMENT) == std::string::npos)
    return ctext;
  // The text as valid UTF-8 first, then code point by code point.
  const std::string cutf8 = TOUTF8(ctext, nfrom);
  std::string cout;
  cout.reserve(cutf8.size());
  long long nreplaced = 0;
  for (size_t i = 0; i < cutf8.size();) {
    const unsigned char c = static_cast<unsigned char>(cutf8[i]);
    if (c < 0x80) {
      cout += static_cast<char>(c);
      ++i;
      continue;
    }
    const size_t nlen = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : 2;
    char32_t ncode = c & (0x7F >> nlen);
    for (size_t k = 1; k < nlen; ++k) ncode = ncode << 6 | (static_cast<unsigned char>(cutf8[i + k]) & 0x3F);
    const unsigned char nbyte = bto1252 ? WIN1252BYTE(ncode) : 1;
    if (ncode == 0xFFFD || nbyte == 0) {
      cout += '?';
      ++nreplaced;
    } else if (bto1252) {
      cout += static_cast<char>(nbyte);
    } else {
      cout.append(cutf8, i, nlen);
    }
    i += nlen;
  }
  if (pnreplaced != nullptr) *pnreplaced += nreplaced;
  return cout;
}

}  // namespace meld
