#include "mailtext.h"

#include <algorithm>
#include <map>

#include "html.h"
#include "text.h"

namespace meld {

namespace {

// A field of a header block: its name in lower case, its value unfolded.
struct FIELD {
  std::string CNAME, CVALUE;
};

// One entity of a message: its header fields and its body.
struct ENTITY {
  std::vector<FIELD> FIELDS;
  std::string_view CBODY;
};

// A Content-Type or Content-Disposition value: its first word(s) in lower
// case and its parameters (names in lower case).
struct FIELDVALUE {
  std::string CTYPE, CSUBTYPE;
  std::map<std::string, std::string> PARAMS;
};

// The line that starts at npos: its content (without CR LF or LF) and
// where the next one starts; a last line without its LF ends the text.
struct LINE {
  std::string_view CTEXT;
  size_t NNEXT;
  bool BENDED;  // it had its line end
};

LINE lineat(std::string_view ctext, size_t npos) {
  const size_t nlf = ctext.find('\n', npos);
  if (nlf == std::string_view::npos) return {ctext.substr(npos), ctext.size(), false};
  size_t nend = nlf;
  if (nend > npos && ctext[nend - 1] == '\r') --nend;
  return {ctext.substr(npos, nend - npos), nlf + 1, true};
}

// The length of a header field's name at the start of cline, 0 when the
// line starts no field: a name of bytes 33 to 126 other than ":", then ":".
size_t fieldname(std::string_view cline) {
  size_t n = 0;
  while (n < cline.size() && cline[n] != ':' && static_cast<unsigned char>(cline[n]) >= 33 &&
         static_cast<unsigned char>(cline[n]) <= 126)
    ++n;
  return n > 0 && n < cline.size() && cline[n] == ':' ? n : 0;
}

bool ismimefield(std::string_view cname) {
  const std::string c = LOWERED(cname);
  return c == "mime-version" || c == "content-type" || c == "content-transfer-encoding";
}

// Where the header block proper starts: behind one "From " line of an mbox.
size_t blockstart(std::string_view ctext) {
  if (ctext.substr(0, 5) != "From ") return 0;
  const LINE l = lineat(ctext, 0);
  return l.NNEXT;
}

// The header fields of an entity, up to its first empty line; a line that
// starts no field and continues none ends them too, and the body starts there.
ENTITY entityof(std::string_view ctext) {
  ENTITY e;
  size_t npos = 0;
  while (npos < ctext.size()) {
    const LINE l = lineat(ctext, npos);
    if (l.CTEXT.empty()) {
      npos = l.NNEXT;
      break;
    }
    if (ISWSP(static_cast<unsigned char>(l.CTEXT[0])) && !e.FIELDS.empty()) {
      e.FIELDS.back().CVALUE += l.CTEXT;
    } else if (const size_t nname = fieldname(l.CTEXT); nname > 0) {
      e.FIELDS.push_back({LOWERED(l.CTEXT.substr(0, nname)), std::string(l.CTEXT.substr(nname + 1))});
    } else {
      break;
    }
    npos = l.NNEXT;
  }
  e.CBODY = ctext.substr(std::min(npos, ctext.size()));
  return e;
}

const std::string* fieldof(const ENTITY& e, std::string_view cname) {
  for (const auto& f : e.FIELDS)
    if (f.CNAME == cname) return &f.CVALUE;
  return nullptr;
}

// Reads a field value as RFC 2045 words it: tokens, quoted strings,
// comments in parentheses skipped, the specials as they stand.
class VALUEREADER {
 public:
  explicit VALUEREADER(std::string_view c) : m_c(c) {}

  // Skips white space and comments; true while bytes are left.
  bool skip() {
    while (m_n < m_c.size()) {
      const unsigned char c = static_cast<unsigned char>(m_c[m_n]);
      if (c == '(') {
        int ndepth = 0;
        for (; m_n < m_c.size(); ++m_n) {
          if (m_c[m_n] == '\\') ++m_n;
          else if (m_c[m_n] == '(') ++ndepth;
          else if (m_c[m_n] == ')' && --ndepth == 0) break;
        }
        ++m_n;
      } else if (c <= ' ') {
        ++m_n;
      } else {
        return true;
      }
    }
    return false;
  }

  bool take(char c) {
    if (!skip() || m_c[m_n] != c) return false;
    ++m_n;
    return true;
  }

  // A token, or the content of a quoted string.
  std::string word(bool bquotedtoo) {
    std::string cres;
    if (!skip()) return cres;
    if (m_c[m_n] == '"' && bquotedtoo) {
      for (++m_n; m_n < m_c.size() && m_c[m_n] != '"'; ++m_n) {
        if (m_c[m_n] == '\\' && m_n + 1 < m_c.size()) ++m_n;
        cres += m_c[m_n];
      }
      ++m_n;
      return cres;
    }
    while (m_n < m_c.size()) {
      const unsigned char c = static_cast<unsigned char>(m_c[m_n]);
      if (c <= ' ' || c == 127 || std::string_view("()<>@,;:\\\"/[]?=").find(static_cast<char>(c)) != std::string_view::npos) break;
      cres += static_cast<char>(c);
      ++m_n;
    }
    return cres;
  }

  // Goes on behind the next ";", false at the end.
  bool nextparam() {
    while (skip()) {
      if (m_c[m_n] == '"') {
        word(true);
        continue;
      }
      if (m_c[m_n++] == ';') return true;
    }
    return false;
  }

 private:
  std::string_view m_c;
  size_t m_n = 0;
};

// A parameter value in RFC 2231's extended form: charset'language'%XX...
// The character set of the value itself does not matter for the names and
// labels read here: the bytes are taken.
std::string percentdecoded(std::string_view c) {
  std::string cres;
  for (size_t n = 0; n < c.size(); ++n) {
    if (c[n] == '%' && n + 2 < c.size() && HEXDIGIT(static_cast<unsigned char>(c[n + 1])) >= 0 &&
        HEXDIGIT(static_cast<unsigned char>(c[n + 2])) >= 0) {
      cres += static_cast<char>(HEXDIGIT(static_cast<unsigned char>(c[n + 1])) * 16 + HEXDIGIT(static_cast<unsigned char>(c[n + 2])));
      n += 2;
    } else {
      cres += c[n];
    }
  }
  return cres;
}

FIELDVALUE valueof(std::string_view cvalue) {
  FIELDVALUE v;
  VALUEREADER rd(cvalue);
  v.CTYPE = LOWERED(rd.word(false));
  if (rd.take('/')) v.CSUBTYPE = LOWERED(rd.word(false));
  // RFC 2231 pieces: name*N or name*N* in any order, joined by their number.
  std::map<std::string, std::map<int, std::string>> pieces;
  std::map<std::string, std::string> extended;
  while (rd.nextparam()) {
    std::string cname = LOWERED(rd.word(false));
    if (cname.empty() || !rd.take('=')) continue;
    std::string cval = rd.word(true);
    // name*= is encoded, name*N= a piece, name*N*= an encoded piece.
    const bool bencoded = cname.back() == '*';
    if (bencoded) cname.pop_back();
    const size_t nstar = cname.find('*');
    if (nstar == std::string::npos && !bencoded) {
      v.PARAMS.emplace(cname, cval);
      continue;
    }
    const std::string cnum = nstar == std::string::npos ? std::string() : cname.substr(nstar + 1);
    const std::string cbase = cname.substr(0, nstar);
    if (bencoded && (cnum.empty() || cnum == "0")) {
      // The first piece names the value's character set and language.
      const size_t nq1 = cval.find('\''), nq2 = nq1 == std::string::npos ? nq1 : cval.find('\'', nq1 + 1);
      if (nq2 != std::string::npos) cval = cval.substr(nq2 + 1);
    }
    if (bencoded) cval = percentdecoded(cval);
    if (cnum.empty()) {
      extended[cbase] = cval;
    } else if (cnum.size() <= 3 && std::all_of(cnum.begin(), cnum.end(), [](char c) { return c >= '0' && c <= '9'; })) {
      pieces[cbase].emplace(std::stoi(cnum), cval);
    }
  }
  for (const auto& [cbase, cparts] : pieces) {
    std::string cjoined;
    int nwant = 0;
    for (const auto& [nnum, cpart] : cparts) {
      if (nnum != nwant++) break;  // a gap ends the value
      cjoined += cpart;
    }
    extended.emplace(cbase, cjoined);
  }
  for (auto& [cbase, cval] : extended) v.PARAMS[cbase] = cval;
  return v;
}

std::string paramof(const FIELDVALUE& v, const std::string& cname) {
  const auto it = v.PARAMS.find(cname);
  return it == v.PARAMS.end() ? std::string() : it->second;
}

// The parts of a multipart body: what lies between its delimiter lines
// ("--" and the boundary, alone on the line but for white space), the line
// end before a delimiter belonging to it. Preamble and epilogue are dropped;
// a body without its closing delimiter ends its last part.
std::vector<std::string_view> partsof(std::string_view cbody, std::string_view cboundary) {
  std::vector<std::string_view> cparts;
  const std::string cdelim = "--" + std::string(cboundary);
  size_t nstart = std::string_view::npos;  // start of the current part
  for (size_t npos = 0; npos < cbody.size();) {
    const LINE l = lineat(cbody, npos);
    if (l.CTEXT.substr(0, cdelim.size()) == cdelim) {
      std::string_view crest = l.CTEXT.substr(cdelim.size());
      const bool bclose = crest.substr(0, 2) == "--";
      if (bclose) crest.remove_prefix(2);
      if (std::all_of(crest.begin(), crest.end(), [](char c) { return ISWSP(static_cast<unsigned char>(c)); })) {
        if (nstart != std::string_view::npos) {
          size_t nend = npos;  // the line end before the delimiter is the delimiter's
          if (nend > nstart && cbody[nend - 1] == '\n') --nend;
          if (nend > nstart && cbody[nend - 1] == '\r') --nend;
          cparts.push_back(cbody.substr(nstart, nend - nstart));
        }
        if (bclose) return cparts;
        nstart = l.NNEXT;
      }
    }
    npos = l.NNEXT;
  }
  if (nstart != std::string_view::npos) cparts.push_back(cbody.substr(std::min(nstart, cbody.size())));
  return cparts;
}

std::string transferdecoded(const ENTITY& e) {
  const std::string* pcte = fieldof(e, "content-transfer-encoding");
  const std::string cte = pcte == nullptr ? std::string() : LOWERED(VALUEREADER(*pcte).word(false));
  if (cte == "quoted-printable") return QPDECODE(e.CBODY);
  if (cte == "base64") return BASE64DECODE(e.CBODY);
  return std::string(e.CBODY);
}

bool isattachment(const ENTITY& e) {
  const std::string* pdisp = fieldof(e, "content-disposition");
  return pdisp != nullptr && valueof(*pdisp).CTYPE == "attachment";
}

// The content type of an entity; one without a type is text/plain, or
// message/rfc822 inside a digest.
FIELDVALUE contenttype(const ENTITY& e, bool bdigest) {
  const std::string* pct = fieldof(e, "content-type");
  FIELDVALUE v;
  if (pct != nullptr) v = valueof(*pct);
  // A value that is not "type/subtype" ("text", "text/", "textplain") counts
  // as no Content-Type at all, parameters included (RFC 2045, 5.2).
  if (v.CTYPE.empty() || v.CSUBTYPE.empty()) {
    v = FIELDVALUE();
    v.CTYPE = bdigest ? "message" : "text";
    v.CSUBTYPE = bdigest ? "rfc822" : "plain";
  }
  return v;
}

bool istext(const FIELDVALUE& v, std::string_view csubtype) { return v.CTYPE == "text" && v.CSUBTYPE == csubtype; }

// How a walk goes: where the parts go, and whether their decoded bytes too.
struct WALK {
  std::vector<MAILPART>* PPARTS;
  bool BDECODEDTOO;
};

void takepart(const ENTITY& e, const FIELDVALUE& v, const WALK& w) {
  MAILPART p;
  p.CTYPE = "text/" + v.CSUBTYPE;
  p.CLABEL = paramof(v, "charset");
  std::string cdecoded = transferdecoded(e);
  if (w.BDECODEDTOO) p.CDECODED = cdecoded;
  p.CUTF8 = DECODE(std::move(cdecoded), CHARSETOF(p.CLABEL));
  p.BFLOWED = v.CSUBTYPE == "plain" && LOWERED(paramof(v, "format")) == "flowed";
  p.BDELSP = p.BFLOWED && LOWERED(paramof(v, "delsp")) == "yes";
  w.PPARTS->push_back(std::move(p));
}

// Nesting deeper than this is no mail but an attack on the stack.
constexpr int NMAXDEPTH = 64;

void walk(const ENTITY& e, bool bdigest, int ndepth, const WALK& w) {
  if (ndepth > NMAXDEPTH) return;
  const FIELDVALUE v = contenttype(e, bdigest);
  if (v.CTYPE == "multipart") {
    const std::string cboundary = paramof(v, "boundary");
    if (cboundary.empty()) return;
    std::vector<ENTITY> cchildren;
    for (const auto& cpart : partsof(e.CBODY, cboundary)) cchildren.push_back(entityof(cpart));
    if (v.CSUBTYPE != "alternative") {
      for (const auto& c : cchildren) walk(c, v.CSUBTYPE == "digest", ndepth + 1, w);
      return;
    }
    // Of the alternatives the plain text, else the first that gives text:
    // an HTML part, or a multipart such as HTML with its pictures.
    for (const auto& c : cchildren) {
      const FIELDVALUE vc = contenttype(c, false);
      if (istext(vc, "plain") && !isattachment(c)) return takepart(c, vc, w);
    }
    for (const auto& c : cchildren) {
      const size_t nbefore = w.PPARTS->size();
      walk(c, false, ndepth + 1, w);
      if (w.PPARTS->size() > nbefore) return;
    }
    return;
  }
  if (v.CTYPE == "message" && v.CSUBTYPE == "rfc822") {
    const std::string cinner = transferdecoded(e);
    walk(entityof(cinner), false, ndepth + 1, w);
    return;
  }
  if ((istext(v, "plain") || istext(v, "html")) && !isattachment(e)) takepart(e, v, w);
}

// The first word of a field's value in lower case, "" where it is absent.
std::string firstword(const ENTITY& e, std::string_view cname) {
  const std::string* p = fieldof(e, cname);
  return p == nullptr ? std::string() : LOWERED(VALUEREADER(*p).word(true));
}

bool automatic(const ENTITY& e) {
  const std::string csubmitted = firstword(e, "auto-submitted");
  if (!csubmitted.empty() && csubmitted != "no" && csubmitted != "auto-generated") return true;
  for (const std::string_view cname : {"x-autoreply", "x-autorespond"}) {
    const std::string c = firstword(e, cname);
    if (!c.empty() && c != "no") return true;
  }
  if (firstword(e, "precedence") == "auto_reply") return true;
  const FIELDVALUE v = contenttype(e, false);
  return v.CTYPE == "multipart" && v.CSUBTYPE == "report";
}

// Whether the header block at the start of ctext marks the mail as automatic.
void headerinfo(std::string_view ctext, MAILTEXT& m) { m.BAUTOMATIC = automatic(entityof(ctext.substr(blockstart(ctext)))); }

std::string messagetext(std::string_view cmessage) {
  std::vector<MAILPART> cparts = MAILPARTS(cmessage);
  // The common message of one plain part is its text, not a copy of it.
  if (cparts.size() == 1 && cparts[0].CTYPE == "text/plain" && !cparts[0].BFLOWED) return std::move(cparts[0].CUTF8);
  std::string ctext;
  for (size_t n = 0; n < cparts.size(); ++n) {
    if (n > 0) ctext += "\r\n";
    ctext += PARTTEXT(cparts[n]);
  }
  return ctext;
}

}  // namespace

MAILKIND MAILKINDOF(std::string_view craw) {
  if (craw.starts_with(CMARKUTF8) || craw.starts_with(CMARKUTF16LE) || craw.starts_with(CMARKUTF16BE))
    return MAILKIND::UNICODE;
  bool bmime = false, bfield = false;
  size_t npos = blockstart(craw);
  // A registration typed as text fails at its first line that starts no
  // field ("Anzahl teilnehmende Pers.: 2"), so this looks at a few lines only.
  while (npos < craw.size()) {
    const LINE l = lineat(craw, npos);
    if (!l.BENDED) return MAILKIND::OPEN;
    if (l.CTEXT.empty()) return bmime ? MAILKIND::MESSAGE : MAILKIND::PLAIN;
    if (ISWSP(static_cast<unsigned char>(l.CTEXT[0]))) {
      if (!bfield) return MAILKIND::PLAIN;
    } else {
      const size_t nname = fieldname(l.CTEXT);
      if (nname == 0) return MAILKIND::PLAIN;
      bfield = true;
      bmime = bmime || ismimefield(l.CTEXT.substr(0, nname));
    }
    npos = l.NNEXT;
  }
  return npos == 0 ? MAILKIND::PLAIN : MAILKIND::OPEN;
}

MAILTEXT MAILTEXTOF(std::string craw) {
  MAILTEXT m;
  switch (MAILKINDOF(craw)) {
    case MAILKIND::UNICODE: {
      // From here on UTF-8, which may itself be a message.
      std::string cutf8 = DECODE(std::move(craw), CHARSET::UTF8);
      headerinfo(cutf8, m);
      m.CTEXT = MAILKINDOF(cutf8) == MAILKIND::MESSAGE ? messagetext(cutf8) : std::move(cutf8);
      m.NCHARSET = CHARSET::UTF8;
      break;
    }
    case MAILKIND::MESSAGE:
      headerinfo(craw, m);
      m.CTEXT = messagetext(craw);
      m.NCHARSET = CHARSET::UTF8;
      break;
    default:
      // A message without MIME fields has its header block as text.
      headerinfo(craw, m);
      m.CTEXT = std::move(craw);
      break;
  }
  const size_t nzero = m.CTEXT.find('\0');
  m.CTEXT.resize(std::min({m.CTEXT.size(), nzero, static_cast<size_t>(NMAILREAD)}));
  return m;
}

std::string MAILKEY(std::string_view craw) {
  std::string_view c = craw;
  if (c.starts_with(CMARKUTF8)) c.remove_prefix(CMARKUTF8.size());
  const ENTITY e = entityof(c.substr(blockstart(c)));
  if (const std::string* p = fieldof(e, "message-id"); p != nullptr) {
    // One line of the file of imported mails, whatever the field holds.
    std::string ckey(TRIMMED(*p).substr(0, 998));
    for (char& ch : ckey)
      if (static_cast<unsigned char>(ch) < 32 || ch == 127) ch = '?';
    if (!ckey.empty()) return ckey;
  }
  return "sha256:" + SHA256HEX(craw);
}

bool READSON(std::string_view craw) {
  if (craw.starts_with(CMARKUTF16LE) || craw.starts_with(CMARKUTF16BE)) return true;
  if (craw.starts_with(CMARKUTF8)) craw.remove_prefix(CMARKUTF8.size());
  const MAILKIND nkind = MAILKINDOF(craw);
  return nkind == MAILKIND::MESSAGE || nkind == MAILKIND::OPEN;
}

CHARSET PLAINCHARSET(std::string_view ctext) {
  // A UTF-8 text longer than its read may end inside a character: the
  // bytes of that character so far decide nothing.
  if (ctext.size() == static_cast<size_t>(NMAILREAD)) {
    for (size_t nback = 1; nback <= 3 && nback <= ctext.size(); ++nback) {
      const unsigned char c = static_cast<unsigned char>(ctext[ctext.size() - nback]);
      if (c < 0x80) break;
      if (c >= 0xC0) {
        const size_t nlen = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : 2;
        if (nlen > nback) ctext.remove_suffix(nback);
        break;
      }
    }
  }
  return ISUTF8(ctext) ? CHARSET::UTF8 : CHARSET::WINDOWS1252;
}

std::vector<MAILPART> MAILPARTS(std::string_view cmessage, bool bdecodedtoo) {
  std::vector<MAILPART> cparts;
  walk(entityof(cmessage.substr(blockstart(cmessage))), false, 0, {&cparts, bdecodedtoo});
  return cparts;
}

std::string PARTTEXT(const MAILPART& p) {
  if (p.CTYPE == "text/html") return HTMLTEXT(p.CUTF8);
  if (p.BFLOWED) return UNFLOW(p.CUTF8, p.BDELSP);
  return p.CUTF8;
}

std::string UNFLOW(std::string_view ctext, bool bdelsp) {
  std::string cres;
  std::string_view cpending;  // the line end of a flowed line that waits for the next one
  bool bopen = false;
  size_t nopendepth = 0;
  for (size_t npos = 0; npos < ctext.size();) {
    const LINE l = lineat(ctext, npos);
    const std::string_view cend = ctext.substr(npos + l.CTEXT.size(), l.NNEXT - npos - l.CTEXT.size());
    std::string_view c = l.CTEXT;
    size_t ndepth = 0;
    while (ndepth < c.size() && c[ndepth] == '>') ++ndepth;
    c.remove_prefix(ndepth);
    if (!c.empty() && c[0] == ' ') c.remove_prefix(1);  // space-stuffing
    const bool bsignature = c == "-- ";
    // A paragraph goes on only at the same quote depth, never into a signature line.
    const bool bgoeson = bopen && ndepth == nopendepth && !bsignature;
    if (bopen && !bgoeson) cres += cpending;
    // A quoted line is its quote marks and its text, the stuffing space gone.
    if (!bgoeson) cres.append(ndepth, '>');
    const bool bflowed = !bsignature && !c.empty() && c.back() == ' ';
    if (bflowed && bdelsp) c.remove_suffix(1);
    cres += c;
    bopen = bflowed && l.BENDED;
    nopendepth = ndepth;
    cpending = cend;
    if (!bopen) cres += cend;
    npos = l.NNEXT;
  }
  if (bopen) cres += cpending;  // a flowed last line keeps its line end
  return cres;
}

}  // namespace meld
