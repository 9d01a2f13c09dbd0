// Reading the table for the overview page: one pass over its bytes, fields
// split as spreadsheets write them, every data line tallied as it ends.
#include "overview.h"

#include <algorithm>
#include <cstring>

#include "charset.h"
#include "mailfields.h"
#include "overview_state.h"
#include "text.h"

namespace meld {

using namespace overview;

namespace {

constexpr size_t NVALUEMAX = 1000;  // bytes kept of a value the page shows
constexpr size_t NCODEMAX = 16;     // bytes kept of an answer (J, -, ?)
constexpr size_t NHEADMAX = 4096;   // bytes kept of a header field, and the most fields a header may have
constexpr size_t NFIRSTDAY = 6;     // position of the first day column
constexpr size_t NBATCH = 32;       // lines whose addresses are looked up together
const std::string_view CFIXED[NFIRSTDAY] = {"Name", "Mail", "Anzahl", "Eink", "Tel", "Nacht"};
constexpr std::uint64_t NONES = 0x0101010101010101ULL, NHIGHS = 0x8080808080808080ULL;

// The first ";" or LF from p on, or e: eight bytes a step while none of
// them is either.
const char* findsep(const char* p, const char* e) {
  for (; e - p >= 8; p += 8) {
    std::uint64_t nword;
    std::memcpy(&nword, p, 8);
    const std::uint64_t a = nword ^ (NONES * ';'), b = nword ^ (NONES * '\n');
    if ((((a - NONES) & ~a) | ((b - NONES) & ~b)) & NHIGHS) break;
  }
  while (p < e && *p != ';' && *p != '\n') ++p;
  return p;
}

// A to Z in lower case, as LOWER, inline for the bytes of every address.
char lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + ('a' - 'A')) : c; }

// The first ";" from p on, or e: eight bytes a step while none is one.
const char* findsemi(const char* p, const char* e) {
  for (; e - p >= 8; p += 8) {
    std::uint64_t nword;
    std::memcpy(&nword, p, 8);
    const std::uint64_t a = nword ^ (NONES * ';');
    if (((a - NONES) & ~a) & NHIGHS) break;
  }
  while (p < e && *p != ';') ++p;
  return p;
}

// The part of an address that decides whether two lines share it (before
// lowering).
std::string_view addresspart(std::string_view cmail) { return TRIMMED(unguarded(cmail)); }

// An answer; a value cut short is no answer of one byte.
ANSWER answerof(std::string_view c, size_t nlen) {
  if (nlen > c.size()) return AOTHER;
  if (c.size() != 1) c = TRIMMED(unguarded(c));
  if (c.empty()) return AEMPTY;
  if (c.size() > 1) return AOTHER;
  return c[0] == 'J' || c[0] == 'j' ? AYES : c[0] == '-' ? ANO : c[0] == '?' ? AUNKNOWN : AOTHER;
}

// Persons: a whole number from 1 to 999 (spaces around it allowed), else 0.
long long personsof(std::string_view c) {
  c = TRIMMED(unguarded(c));
  long long n = 0;
  for (const char x : c) {
    if (x < '0' || x > '9') return 0;
    n = n * 10 + (x - '0');
    if (n > 999) return 0;
  }
  return n;
}

ENTRY entryof(long long nline, std::string_view cname, std::string_view cmail) {
  ENTRY e;
  e.nline = nline;
  e.cname = cname;
  e.cmail = cmail;
  return e;
}

}  // namespace

namespace overview {

std::string_view unguarded(std::string_view c) {
  if (c.size() >= 2 && c[0] == '\'' && ISGUARDED(static_cast<unsigned char>(c[1]))) c.remove_prefix(1);
  return c;
}

}  // namespace overview

void OVERVIEW::STATE::read(std::string_view c) {
  if (c.empty()) return;
  bread = true;
  if (!bmark && butf8) butf8 = utf8.FEED(c);
  parse(c.data(), c.data() + c.size());
  sentagain();  // before the piece's bytes are gone
}

// Fields end at ";" and lines at LF, outside quotes; a CR before LF
// belongs to the line end. A field that begins with a quote runs to the
// next lone quote, "" standing for one quote; bytes after its closing
// quote are taken as they are, as spreadsheets do. A quote inside an
// unquoted field is an ordinary byte. For speed, a data line that lies
// whole in the piece and has no quote is read in place (fastline), the
// same as here.
void OVERVIEW::STATE::parse(const char* p, const char* e) {
  while (p < e && !bfailed) {
    if (nmode == MODE::FIELDSTART && nfield == 0 && !bheader) {
      const char* nl = static_cast<const char*>(std::memchr(p, '\n', static_cast<size_t>(e - p)));
      if (nl && !std::memchr(p, '"', static_cast<size_t>(nl - p))) {
        fastline(p, nl);
        p = nl + 1;
        continue;
      }
    }
    if (nmode == MODE::QUOTED) {
      const char* q = static_cast<const char*>(std::memchr(p, '"', static_cast<size_t>(e - p)));
      if (!q) q = e;
      nline += std::count(p, q, '\n');  // a line break inside the field is a line of the file
      take(p, q);
      bcr = false;
      if (q == e) return;
      p = q + 1;
      nmode = MODE::QUOTEEND;
      continue;
    }
    const MODE nwas = nmode;
    nmode = MODE::PLAIN;
    if (*p == '"' && nwas != MODE::PLAIN) {
      if (nwas == MODE::QUOTEEND) take(p, p + 1);
      bcr = false;
      nmode = MODE::QUOTED;
      ++p;
      continue;
    }
    const char* q = findsep(p, e);
    if (q > p) {
      take(p, q);
      bcr = q[-1] == '\r';
    }
    if (q == e) return;
    p = q + 1;
    if (*q == ';') {
      endfield();
      startfield();
    } else {
      endline();
    }
  }
}

void OVERVIEW::STATE::take(const char* p, const char* q) {
  const size_t n = static_cast<size_t>(q - p);
  nfieldlen += n;
  if (pkeep && pkeep->size() < nkeepmax) pkeep->append(p, std::min(n, nkeepmax - pkeep->size()));
}

void OVERVIEW::STATE::startfield() {
  nfieldlen = 0;
  bcr = false;
  nmode = MODE::FIELDSTART;
  pkeep = nullptr;
  if (bheader) {
    if (chead.size() >= NHEADMAX) bfailed = true;  // thousands of fields: no header
    chead.emplace_back();
    pkeep = &chead.back();
    nkeepmax = NHEADMAX;
    return;
  }
  switch (nfield < roles.size() ? roles[nfield] : ROLE::SKIP) {
    case ROLE::SKIP: break;
    case ROLE::NAME: pkeep = &cname, nkeepmax = NVALUEMAX; break;
    case ROLE::MAIL: pkeep = &cmail, nkeepmax = NVALUEMAX; break;
    case ROLE::PERSONS: pkeep = &cpersons, nkeepmax = NVALUEMAX; break;
    default: ccode.clear(), pkeep = &ccode, nkeepmax = NCODEMAX;
  }
}

void OVERVIEW::STATE::endfield() {
  if (nfieldlen > 0) bdata = true;
  if (!bheader && nfield < roles.size()) {
    const ROLE nrole = roles[nfield];
    if (nrole == ROLE::EINK) neink = answerof(ccode, nfieldlen);
    else if (nrole == ROLE::NACHT) nnacht = answerof(ccode, nfieldlen);
    else if (nrole == ROLE::DAY) nanswers[nfield - NFIRSTDAY] = answerof(ccode, nfieldlen);
  }
  ++nfield;
}

// A line ending in ";" has an empty last field that is no field of its
// own. A line of empty fields only (a spreadsheet row emptied by hand) is
// skipped like an empty line.
void OVERVIEW::STATE::endline() {
  if (bcr) {
    --nfieldlen;
    if (pkeep && pkeep->size() > nfieldlen) pkeep->pop_back();
  }
  const bool btrailing = nfieldlen == 0 && nfield > 0;
  if (btrailing && bheader) chead.pop_back();
  if (!btrailing) endfield();
  if (bheader) endheader();
  else if (bdata) tally(cname, cmail, cpersons, btrailing, false);
  ++nline;
  nrowline = nline;
  nfield = 0;
  bdata = bkey = false;
  cname.clear(), cmail.clear(), cpersons.clear();
  startfield();
}

// The same for a whole line without quotes, read where it is: the common
// line, without a copy of its fields.
void OVERVIEW::STATE::fastline(const char* p, const char* nl) {
  const char* e = nl > p && nl[-1] == '\r' ? nl - 1 : nl;
  std::string_view cvalues[3];
  bool bany = false, btrailing = false;
  for (;; p++) {
    const char* q = findsemi(p, e);
    const std::string_view c(p, static_cast<size_t>(q - p));
    if (q == e && c.empty() && nfield > 0) {
      btrailing = true;
      break;
    }
    bany = bany || !c.empty();
    switch (nfield < roles.size() ? roles[nfield] : ROLE::SKIP) {
      case ROLE::SKIP: break;
      case ROLE::NAME: cvalues[0] = c.substr(0, NVALUEMAX); break;
      case ROLE::MAIL: cvalues[1] = c.substr(0, NVALUEMAX), keyof(cvalues[1]); break;
      case ROLE::PERSONS: cvalues[2] = c.substr(0, NVALUEMAX); break;
      case ROLE::EINK: neink = answerof(c.substr(0, NCODEMAX), c.size()); break;
      case ROLE::NACHT: nnacht = answerof(c.substr(0, NCODEMAX), c.size()); break;
      case ROLE::DAY: nanswers[nfield - NFIRSTDAY] = answerof(c.substr(0, NCODEMAX), c.size()); break;
    }
    ++nfield;
    if (q == e) break;
    p = q;
  }
  if (bany) tally(cvalues[0], cvalues[1], cvalues[2], btrailing, true);
  bkey = false;
  nfield = 0;
  nrowline = ++nline;
}

// The address part of cmail lowered, the key of the line's address, and
// its hash.
void OVERVIEW::STATE::keyof(std::string_view cmail) {
  const std::string_view cpart = addresspart(cmail);
  ckey.assign(cpart.data(), cpart.size());
  for (char& x : ckey) x = lower(x);
  nhash = ADDRESSES::hash(ckey);
  bkey = true;
}

// The first line: Name, Mail, Anzahl, Eink, Tel, Nacht, the day tokens
// (4 bytes of 33 to 126 each), Text.
void OVERVIEW::STATE::endheader() {
  bheader = false;
  const size_t n = chead.size();
  bool bok = !bfailed && n >= NFIRSTDAY + 1 && chead[n - 1] == "Text";
  for (size_t i = 0; bok && i < NFIRSTDAY; ++i) bok = chead[i] == CFIXED[i];
  for (size_t i = NFIRSTDAY; bok && i + 1 < n; ++i) {
    bok = chead[i].size() == 4;
    for (const char c : chead[i]) bok = bok && static_cast<unsigned char>(c) >= 33 && static_cast<unsigned char>(c) <= 126;
  }
  if (!bok) {
    bfailed = true;
    return;
  }
  nexpected = n;
  ndays = n - NFIRSTDAY - 1;
  roles = {ROLE::NAME, ROLE::MAIL, ROLE::PERSONS, ROLE::EINK, ROLE::SKIP, ROLE::NACHT};
  roles.resize(NFIRSTDAY + ndays, ROLE::DAY);
  f.CTAGE.assign(chead.begin() + NFIRSTDAY, chead.end() - 1);
  f.NTAGPERSONEN.assign(ndays, 0);
  f.NTAGANMELDUNGEN.assign(ndays, 0);
  nanswers.assign(ndays, AEMPTY);
  daylists.resize(ndays);
  chead = {};
}

// A data line, counted as far as its fields go.
void OVERVIEW::STATE::tally(std::string_view cname, std::string_view cmail, std::string_view cpersons, bool btrailing,
                            bool binplace) {
  ++f.NANMELDUNGEN;
  unsigned nwhy = 0;
  // A spreadsheet writes a line whose text is empty with a ";" at its end:
  // one field short, the trailing one empty.
  if (nfield != nexpected && !(btrailing && nfield + 1 == nexpected)) nwhy |= RFIELDS;
  if (TRIMMED(unguarded(cname)).empty()) nwhy |= RNAME;
  if (!bkey) keyof(cmail);
  if (ckey.empty()) nwhy |= RMAIL;
  long long npersons = personsof(cpersons);
  if (npersons == 0) nwhy |= RPERSONS, npersons = 1;
  f.NPERSONEN += npersons;
  const bool beink = nfield > 3, bnacht = nfield > 5;
  if (beink && neink == AYES) f.NRESTAURANT += npersons;
  if (bnacht && nnacht == AYES) f.NUEBERNACHTUNG += npersons;
  if (beink && neink != AYES && neink != ANO) nwhy |= REINK;
  if (bnacht && nnacht != AYES && nnacht != ANO) nwhy |= RNACHT;
  const size_t npresent = nfield > NFIRSTDAY ? std::min(ndays, nfield - NFIRSTDAY) : 0;
  bool bday = false;
  for (size_t k = 0; k < npresent; ++k) {
    if (nanswers[k] != AYES) continue;
    bday = true;
    f.NTAGPERSONEN[k] += npersons;
    ++f.NTAGANMELDUNGEN[k];
    DAYLIST& d = daylists[k];
    if (d.entries.size() >= NLISTMAX) {
      ++d.nmore;
      continue;
    }
    d.entries.push_back(entryof(nrowline, cname, {}));
    d.entries.back().npersons = npersons;
  }
  if (ndays > 0 && npresent == ndays && !bday) nwhy |= RNODAY;
  if (nwhy != 0) {
    ++f.NZUPRUEFEN;
    if (checks.size() < NLISTMAX) {
      ENTRY& e = checks.emplace_back(entryof(nrowline, cname, cmail));
      e.cpersons = cpersons, e.nwhy = nwhy, e.nfields = static_cast<long long>(nfield);
      e.neink = beink ? neink : AEMPTY, e.nnacht = bnacht ? nnacht : AEMPTY;
    }
  }
  if (ckey.empty()) return;
  NAMESLOT& r = names[static_cast<size_t>(nrowline) % NAMES];
  r.nline = nrowline;
  r.nlen = static_cast<unsigned char>(std::min<size_t>(cname.size(), 255));
  // A call, not the inline copy of a variable length, which is slower.
  std::copy_n(cname.data(), std::min(cname.size(), sizeof r.cname), r.cname);
  // For speed: addresses are looked up in batches, one lookup after the
  // other, so that the processor fetches their slots from memory together
  // (twice as fast as one lookup per line on a table of a million lines).
  pending.push_back({nhash, nrowline, cname, cmail});
  if (!binplace || pending.size() == NBATCH) sentagain();
}

// The line's address against those before it: the second line with an
// address makes a group of both lines, later ones join it.
void OVERVIEW::STATE::sentagain() {
  for (const PENDING& x : pending) sentagain(x.nhash, x.nline, x.cname, x.cmail);
  pending.clear();
}

void OVERVIEW::STATE::sentagain(std::uint64_t nhash, long long nrowline, std::string_view cname, std::string_view cmail) {
  bool bnew = false;
  std::uint32_t* pvalue = addresses.find(nhash, nrowline, &bnew);
  if (bnew || !pvalue) return;
  const long long nmax = static_cast<long long>(NLISTMAX);
  if (!(*pvalue & ADDRESSES::GROUPED)) {
    const long long nfirst = *pvalue;
    f.NDOPPELT += 2;
    ++ngroups;
    *pvalue = ADDRESSES::UNLISTED;
    if (nlisted + 2 > nmax) return;  // a group is listed with two lines at least
    *pvalue = ADDRESSES::GROUPED | static_cast<std::uint32_t>(groups.size());
    // The first line's name where the ring still holds it, however the
    // lines fell into batches.
    const NAMESLOT& r = names[static_cast<size_t>(nfirst) % NAMES];
    ENTRY& e = groups.emplace_back().emplace_back(entryof(nfirst, {}, {}));
    e.bnamed = nrowline - nfirst <= static_cast<long long>(NAMES - NBATCH) && r.nline == nfirst;
    if (e.bnamed) e.cname.assign(r.cname, std::min<size_t>(r.nlen, sizeof r.cname));
    if (e.bnamed && r.nlen > sizeof r.cname) e.cname += "...";
    ++nlisted;
  } else {
    ++f.NDOPPELT;
    if (*pvalue == ADDRESSES::UNLISTED || nlisted >= nmax) return;
  }
  groups[*pvalue & ~ADDRESSES::GROUPED].push_back(entryof(nrowline, cname, cmail));
  ++nlisted;
}

// The end of the table: undecided mark bytes are text, a last line without
// its line end is a line.
void OVERVIEW::STATE::end() {
  if (bended) return;
  if (!bstarted) {
    bstarted = true;
    read(cmark);
  }
  bended = true;
  if (utf8.OPEN()) butf8 = false;
  if (!bfailed && (nfield > 0 || nfieldlen > 0 || nmode != MODE::FIELDSTART)) endline();
  sentagain();
}

OVERVIEW::OVERVIEW() : p(std::make_unique<STATE>()) { p->startfield(); }

OVERVIEW::~OVERVIEW() = default;

// Speed: a line of the import's table has some 100 bytes; growing the
// address table step by step would write every slot again at each step.
void OVERVIEW::EXPECT(long long nbytes) { p->addresses.reserve(nbytes / 128); }

void OVERVIEW::FEED(std::string_view cbytes) {
  STATE& s = *p;
  if (s.bfailed || s.bended) return;
  if (!s.bstarted) {
    // The mark may come in pieces; bytes that turn out not to be it are text.
    while (!cbytes.empty() && s.cmark.size() < CMARKUTF8.size() && cbytes[0] == CMARKUTF8[s.cmark.size()]) {
      s.cmark += cbytes[0];
      cbytes.remove_prefix(1);
    }
    if (s.cmark.size() < CMARKUTF8.size() && cbytes.empty()) return;
    s.bstarted = true;
    s.bmark = s.cmark.size() == CMARKUTF8.size();
    if (!s.bmark) s.read(s.cmark);
  }
  s.read(cbytes);
}

const FIGURES& OVERVIEW::FIGURESOF() const { return p->f; }

std::string OVERVIEW::PAGE(std::string_view ctablename, std::string_view cwhen, std::string* pcwhy) {
  STATE& s = *p;
  s.end();
  std::string cwhy;
  if (!s.bread) cwhy = std::string(ctablename) + " ist leer";
  else if (s.bfailed || s.bheader) cwhy = std::string(ctablename) + ": erste Zeile ist nicht die Kopfzeile von meldimport";
  if (pcwhy) *pcwhy = cwhy;
  return cwhy.empty() ? s.page(ctablename, cwhen) : std::string();
}

}  // namespace meld
