// Character sets: the few that registration mails come in, named by the
// labels of the WHATWG Encoding Standard and decoded and encoded as that
// standard says. Texts inside the import are bytes; a character set is
// applied only where a mail is read and where a value goes into the table.
#pragma once

#include <string>
#include <string_view>

namespace meld {

enum class CHARSET {
  NONE,      // no label, an empty one, or one of US-ASCII's names: the text decides
  UNKNOWN,   // a label of another character set, or a name that is no label
  UTF8,
  UTF16LE,
  UTF16BE,
  WINDOWS1252,  // also what iso-8859-1, latin1 and the like name
  ISO885915,
  ISO88592,
  WINDOWS1250,
};

// The byte-order marks: UTF-8's, and UTF-16's little- and big-endian one.
inline constexpr std::string_view CMARKUTF8 = "\xEF\xBB\xBF", CMARKUTF16LE = "\xFF\xFE", CMARKUTF16BE = "\xFE\xFF";

// Appends the character ncode to cout in UTF-8.
void PUTUTF8(std::string& cout, char32_t ncode);

// The character that a byte from 0x80 to 0xFF stands for in Windows-1252;
// a byte that it leaves unassigned stands for the C1 control of its value.
char32_t WIN1252CHAR(unsigned char c);

// The character set a label names: ASCII white space around it is ignored,
// letter case too. "us-ascii", "ascii" and "ansi_x3.4-1968" give NONE.
CHARSET CHARSETOF(std::string_view clabel);

// True when no byte of ctext is above 127.
bool ISASCII(std::string_view ctext);

// True when every byte of ctext belongs to a valid UTF-8 sequence.
bool ISUTF8(std::string_view ctext);

// The same check over a text read in pieces, a sequence split between
// them included: FEED each piece in order; false from the first byte that
// no valid UTF-8 allows on. OPEN tells a sequence begun and not yet ended.
class UTF8CHECK {
 public:
  bool FEED(std::string_view ctext);
  bool OPEN() const { return m_nmore > 0; }

 private:
  bool m_bvalid = true;
  int m_nmore = 0;  // continuation bytes still to come
  unsigned char m_nlower = 0x80, m_nupper = 0xBF;  // the range of the next one
};

// ctext in ncharset as UTF-8: every maximal invalid subpart becomes one
// U+FFFD; under UNKNOWN every byte above 127 does. No byte-order mark is
// looked at (see DECODE). NONE is taken as UTF-8 when ctext is valid
// UTF-8, otherwise as Windows-1252.
std::string TOUTF8(std::string_view ctext, CHARSET ncharset);

// The standard's decode: a byte-order mark at the start (EF BB BF, FF FE,
// FE FF) names the character set instead of ncharset and is dropped. Valid
// UTF-8 comes back in its own storage.
std::string DECODE(std::string ctext, CHARSET ncharset);

// A value on its way into the table: ctext, in nfrom (UTF8 or WINDOWS1252),
// in the table's character set nto (UTF8 or WINDOWS1252). U+FFFD, and every
// character that nto lacks, becomes "?"; *pnreplaced grows by their count.
std::string CONVERT(std::string ctext, CHARSET nfrom, CHARSET nto, long long* pnreplaced);

}  // namespace meld
