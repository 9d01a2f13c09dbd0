#include "html.h"

#include <algorithm>
#include <cstddef>
#include <initializer_list>
#include <iterator>
#include <utility>

#include "charset.h"
#include "text.h"

namespace meld {

namespace {

// A named character reference (without its "&" and ";") and the character
// it stands for. These are the HTML names whose character is one of
// windows-1252's repertoire, aliases included, sorted by name so that a
// binary search finds them. The no-break space is listed as a plain space,
// so that it takes part in the collapsing of spaces like any other.
struct Entity {
  std::string_view cname;
  char32_t ncode;
};

constexpr Entity aentities[] = {
    {"AElig", 0xC6}, {"AMP", 0x26}, {"Aacute", 0xC1}, {"Acirc", 0xC2}, {"Agrave", 0xC0}, {"Aring", 0xC5},
    {"Atilde", 0xC3}, {"Auml", 0xC4}, {"COPY", 0xA9}, {"Ccedil", 0xC7}, {"Cedilla", 0xB8}, {"CenterDot", 0xB7},
    {"CloseCurlyDoubleQuote", 0x201D}, {"CloseCurlyQuote", 0x2019}, {"Dagger", 0x2021}, {"DiacriticalAcute", 0xB4},
    {"DiacriticalGrave", 0x60}, {"DiacriticalTilde", 0x2DC}, {"Dot", 0xA8}, {"DoubleDot", 0xA8}, {"ETH", 0xD0},
    {"Eacute", 0xC9}, {"Ecirc", 0xCA}, {"Egrave", 0xC8}, {"Euml", 0xCB}, {"GT", 0x3E}, {"Hat", 0x5E},
    {"Iacute", 0xCD}, {"Icirc", 0xCE}, {"Igrave", 0xCC}, {"Iuml", 0xCF}, {"LT", 0x3C}, {"NewLine", 0x0A},
    {"NonBreakingSpace", 0x20}, {"Ntilde", 0xD1}, {"OElig", 0x152}, {"Oacute", 0xD3}, {"Ocirc", 0xD4},
    {"Ograve", 0xD2}, {"OpenCurlyDoubleQuote", 0x201C}, {"OpenCurlyQuote", 0x2018}, {"Oslash", 0xD8},
    {"Otilde", 0xD5}, {"Ouml", 0xD6}, {"PlusMinus", 0xB1}, {"QUOT", 0x22}, {"REG", 0xAE}, {"Scaron", 0x160},
    {"THORN", 0xDE}, {"TRADE", 0x2122}, {"Tab", 0x09}, {"Uacute", 0xDA}, {"Ucirc", 0xDB}, {"Ugrave", 0xD9},
    {"UnderBar", 0x5F}, {"Uuml", 0xDC}, {"VerticalLine", 0x7C}, {"Yacute", 0xDD}, {"Yuml", 0x178}, {"Zcaron", 0x17D},
    {"aacute", 0xE1}, {"acirc", 0xE2}, {"acute", 0xB4}, {"aelig", 0xE6}, {"agrave", 0xE0}, {"amp", 0x26},
    {"angst", 0xC5}, {"apos", 0x27}, {"aring", 0xE5}, {"ast", 0x2A}, {"atilde", 0xE3}, {"auml", 0xE4},
    {"bdquo", 0x201E}, {"brvbar", 0xA6}, {"bsol", 0x5C}, {"bull", 0x2022}, {"bullet", 0x2022}, {"ccedil", 0xE7},
    {"cedil", 0xB8}, {"cent", 0xA2}, {"centerdot", 0xB7}, {"circ", 0x2C6}, {"circledR", 0xAE}, {"colon", 0x3A},
    {"comma", 0x2C}, {"commat", 0x40}, {"copy", 0xA9}, {"curren", 0xA4}, {"dagger", 0x2020}, {"ddagger", 0x2021},
    {"deg", 0xB0}, {"die", 0xA8}, {"div", 0xF7}, {"divide", 0xF7}, {"dollar", 0x24}, {"eacute", 0xE9},
    {"ecirc", 0xEA}, {"egrave", 0xE8}, {"equals", 0x3D}, {"eth", 0xF0}, {"euml", 0xEB}, {"euro", 0x20AC},
    {"excl", 0x21}, {"fnof", 0x192}, {"frac12", 0xBD}, {"frac14", 0xBC}, {"frac34", 0xBE}, {"grave", 0x60},
    {"gt", 0x3E}, {"half", 0xBD}, {"hellip", 0x2026}, {"iacute", 0xED}, {"icirc", 0xEE}, {"iexcl", 0xA1},
    {"igrave", 0xEC}, {"iquest", 0xBF}, {"iuml", 0xEF}, {"laquo", 0xAB}, {"lbrace", 0x7B}, {"lbrack", 0x5B},
    {"lcub", 0x7B}, {"ldquo", 0x201C}, {"ldquor", 0x201E}, {"lowbar", 0x5F}, {"lpar", 0x28}, {"lsaquo", 0x2039},
    {"lsqb", 0x5B}, {"lsquo", 0x2018}, {"lsquor", 0x201A}, {"lt", 0x3C}, {"macr", 0xAF}, {"mdash", 0x2014},
    {"micro", 0xB5}, {"midast", 0x2A}, {"middot", 0xB7}, {"mldr", 0x2026}, {"nbsp", 0x20}, {"ndash", 0x2013},
    {"not", 0xAC}, {"ntilde", 0xF1}, {"num", 0x23}, {"oacute", 0xF3}, {"ocirc", 0xF4}, {"oelig", 0x153},
    {"ograve", 0xF2}, {"ordf", 0xAA}, {"ordm", 0xBA}, {"oslash", 0xF8}, {"otilde", 0xF5}, {"ouml", 0xF6},
    {"para", 0xB6}, {"percnt", 0x25}, {"period", 0x2E}, {"permil", 0x2030}, {"plus", 0x2B}, {"plusmn", 0xB1},
    {"pm", 0xB1}, {"pound", 0xA3}, {"quest", 0x3F}, {"quot", 0x22}, {"raquo", 0xBB}, {"rbrace", 0x7D},
    {"rbrack", 0x5D}, {"rcub", 0x7D}, {"rdquo", 0x201D}, {"rdquor", 0x201D}, {"reg", 0xAE}, {"rpar", 0x29},
    {"rsaquo", 0x203A}, {"rsqb", 0x5D}, {"rsquo", 0x2019}, {"rsquor", 0x2019}, {"sbquo", 0x201A}, {"scaron", 0x161},
    {"sect", 0xA7}, {"semi", 0x3B}, {"shy", 0xAD}, {"sol", 0x2F}, {"strns", 0xAF}, {"sup1", 0xB9}, {"sup2", 0xB2},
    {"sup3", 0xB3}, {"szlig", 0xDF}, {"thorn", 0xFE}, {"tilde", 0x2DC}, {"times", 0xD7}, {"trade", 0x2122},
    {"uacute", 0xFA}, {"ucirc", 0xFB}, {"ugrave", 0xF9}, {"uml", 0xA8}, {"uuml", 0xFC}, {"verbar", 0x7C},
    {"vert", 0x7C}, {"yacute", 0xFD}, {"yen", 0xA5}, {"yuml", 0xFF}, {"zcaron", 0x17E},
};

// Longer names are not looked up: none is known, and the bound keeps a long
// run of letters after "&" from being read twice.
constexpr size_t nmaxname = 32;

bool ISLETTER(unsigned char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool ISDIGIT(unsigned char c) { return c >= '0' && c <= '9'; }
// The ASCII white space that the text collapses: all but the form feed,
// which ends a tag name only.
bool ISBLANK(unsigned char c) { return c != '\f' && ISASCIISPACE(c); }

// Whether a tag name from the source is cname (lower case), in any case.
bool NAMEIS(std::string_view ctag, std::string_view cname) {
  if (ctag.size() != cname.size()) return false;
  for (size_t i = 0; i < ctag.size(); ++i)
    if (LOWER(static_cast<unsigned char>(ctag[i])) != static_cast<unsigned char>(cname[i])) return false;
  return true;
}

bool NAMEISANY(std::string_view ctag, std::initializer_list<std::string_view> anames) {
  return std::any_of(anames.begin(), anames.end(), [ctag](std::string_view c) { return NAMEIS(ctag, c); });
}

// The text being built, line by line. A space (or tab, or line break of the
// source) is held back until the next visible character of the same line,
// so that a run of them gives one space, and none is written at the start or
// the end of a line.
class Lines {
 public:
  explicit Lines(size_t nsize) { ctext.reserve(nsize); }

  void Byte(unsigned char c) {
    if (ISBLANK(c)) {
      bspace = bcontent;
      return;
    }
    if (bspace) ctext += ' ';
    ctext += static_cast<char>(c);
    bspace = false;
    bcontent = true;
  }

  // A character in UTF-8.
  void Code(char32_t n) {
    std::string cutf8;
    PUTUTF8(cutf8, n);
    for (const char c : cutf8) Byte(static_cast<unsigned char>(c));
  }

  void EndLine() {
    ctext += "\r\n";
    bspace = bcontent = false;
  }

  std::string Take() { return std::move(ctext); }

 private:
  std::string ctext;
  bool bcontent = false;  // the line has a visible character
  bool bspace = false;    // a space is due before the next one
};

// The length of the character reference at npos (at its "&") and in ncode
// its character; 0 if there is none there that is known and ends in ";".
size_t REFERENCE(std::string_view chtml, size_t npos, char32_t& ncode) {
  const size_t nlen = chtml.size();
  size_t i = npos + 1;
  if (i < nlen && chtml[i] == '#') {
    ++i;
    const bool bhex = i < nlen && LOWER(static_cast<unsigned char>(chtml[i])) == 'x';
    if (bhex) ++i;
    const size_t nfirst = i;
    // The value stops growing past the last character: any larger one is
    // as much out of range.
    char32_t n = 0;
    for (; i < nlen; ++i) {
      const unsigned char c = static_cast<unsigned char>(chtml[i]);
      const int ndigit = bhex ? HEXDIGIT(c) : (ISDIGIT(c) ? c - '0' : -1);
      if (ndigit < 0) break;
      n = std::min<char32_t>(n * (bhex ? 16 : 10) + static_cast<char32_t>(ndigit), 0x110000);
    }
    if (i == nfirst || i >= nlen || chtml[i] != ';') return 0;
    if (n == 0 || n > 0x10FFFF || (n >= 0xD800 && n <= 0xDFFF)) {
      ncode = 0xFFFD;
    } else if (n >= 0x80 && n <= 0x9F) {
      ncode = WIN1252CHAR(static_cast<unsigned char>(n));  // as HTML reads these references
    } else {
      ncode = n;
    }
    return i + 1 - npos;
  }
  const size_t nfirst = i;
  while (i < nlen && i - nfirst <= nmaxname &&
         (ISLETTER(static_cast<unsigned char>(chtml[i])) || ISDIGIT(static_cast<unsigned char>(chtml[i]))))
    ++i;
  if (i == nfirst || i - nfirst > nmaxname || i >= nlen || chtml[i] != ';') return 0;
  const std::string_view cname = chtml.substr(nfirst, i - nfirst);
  const auto pentity = std::lower_bound(std::begin(aentities), std::end(aentities), cname,
                                        [](const Entity& e, std::string_view c) { return e.cname < c; });
  if (pentity == std::end(aentities) || pentity->cname != cname) return 0;
  ncode = pentity->ncode;
  return i + 1 - npos;
}

// The end of the tag whose "<" is at npos: just past its ">", or the end of
// the text if it has none. A quoted attribute value (a quote after "=") is
// passed over whole, so that a ">" in it does not end the tag.
size_t TAGEND(std::string_view chtml, size_t npos) {
  unsigned char clast = 0;
  for (size_t i = npos + 1; i < chtml.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(chtml[i]);
    if (c == '>') return i + 1;
    if ((c == '"' || c == '\'') && clast == '=') {
      i = chtml.find(static_cast<char>(c), i + 1);
      if (i == std::string_view::npos) return chtml.size();
    }
    if (!ISASCIISPACE(c)) clast = c;
  }
  return chtml.size();
}

// The end of the element whose content is dropped (script, style, head):
// just past its end tag, found from npos on, or the end of the text.
size_t DROPPEDEND(std::string_view chtml, size_t npos, std::string_view cname) {
  const size_t nlen = chtml.size();
  for (size_t i = chtml.find('<', npos); i != std::string_view::npos; i = chtml.find('<', i + 1)) {
    const size_t nafter = i + 2 + cname.size();
    if (nafter > nlen || chtml[i + 1] != '/' || !NAMEIS(chtml.substr(i + 2, cname.size()), cname)) continue;
    const unsigned char c = nafter < nlen ? static_cast<unsigned char>(chtml[nafter]) : '>';
    if (ISASCIISPACE(c) || c == '/' || c == '>') return TAGEND(chtml, i);
  }
  return nlen;
}

}  // namespace

std::string HTMLTEXT(std::string_view chtml) {
  const size_t nlen = chtml.size();
  Lines lines(nlen);
  for (size_t i = 0; i < nlen;) {
    const unsigned char c = static_cast<unsigned char>(chtml[i]);
    const unsigned char cnext = i + 1 < nlen ? static_cast<unsigned char>(chtml[i + 1]) : 0;
    if (c == '&') {
      char32_t ncode = 0;
      if (const size_t nref = REFERENCE(chtml, i, ncode); nref != 0) {
        lines.Code(ncode);
        i += nref;
        continue;
      }
    } else if (c == '<' && (cnext == '!' || cnext == '?')) {
      // A comment runs to "-->"; its dashes after "<!" may be those of
      // "-->", so that "<!-->" is a whole (empty) comment.
      if (chtml.substr(i + 1, 3) == "!--") {
        const size_t nclose = chtml.find("-->", i + 2);
        i = nclose == std::string_view::npos ? nlen : nclose + 3;
      } else {
        i = TAGEND(chtml, i);
      }
      continue;
    } else if (c == '<' && (ISLETTER(cnext) || (cnext == '/' && i + 2 < nlen &&
                                                 ISLETTER(static_cast<unsigned char>(chtml[i + 2]))))) {
      const bool bend = cnext == '/';
      const size_t nname = i + (bend ? 2 : 1);
      size_t nnameend = nname;
      while (nnameend < nlen && !ISASCIISPACE(static_cast<unsigned char>(chtml[nnameend])) && chtml[nnameend] != '/' &&
             chtml[nnameend] != '>')
        ++nnameend;
      const std::string_view cname = chtml.substr(nname, nnameend - nname);
      i = TAGEND(chtml, i);
      if (NAMEISANY(cname, {"br", "hr"})) {
        // Also as "</br>", as a browser shows it.
        lines.EndLine();
      } else if (!bend) {
        for (std::string_view cdropped : {"script", "style", "head"})
          if (NAMEIS(cname, cdropped)) i = DROPPEDEND(chtml, i, cdropped);
      } else if (NAMEISANY(cname, {"p", "div", "tr", "li", "table", "h1", "h2", "h3", "h4", "h5", "h6"})) {
        lines.EndLine();
      } else if (NAMEISANY(cname, {"td", "th"})) {
        lines.Byte(' ');
      }
      continue;
    }
    lines.Byte(c);
    ++i;
  }
  return lines.Take();
}

}  // namespace meld
