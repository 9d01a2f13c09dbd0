#include "mailfields.h"

#include <cstring>

#include "days.h"
#include "mailtext.h"
#include "text.h"

namespace meld {

namespace {

// Byte by byte, the same as comparing each one-byte text with " " and ";".
// pdst may be ctext's own storage.
void showinto(char* pdst, std::string_view ctext) {
  for (size_t i = 0; i < ctext.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(ctext[i]);
    pdst[i] = static_cast<char>(c < 32 ? '.' : (c == ';' ? ':' : c));
  }
}

bool islineend(std::string_view c) { return EQ(c, "\r") || EQ(c, "\n"); }

bool isletter(unsigned char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c >= 128; }

// Value behind the first occurrence of clabel, or empty when it is absent.
std::string labelvalue(RUNSTATE& r, std::string_view clabel, long long nwindow) {
  const long long nat = AT(clabel, r.CMAIL);
  if (nat == 0) return {};
  return FIELDSCAN(r, nat + LEN(clabel), nwindow);
}

// A value from a stranger must never run as a formula in the organiser's
// spreadsheet: one that starts like one gets a "'" in front.
void guardformula(RUNSTATE& r, std::string_view cvalue) {
  if (!cvalue.empty() && ISGUARDED(static_cast<unsigned char>(cvalue[0]))) r.CLINE += '\'';
}

void appendfield(RUNSTATE& r, std::string_view cvalue) {
  r.CLINE += cvalue;
  r.CLINE += ';';
}

void appendguarded(RUNSTATE& r, std::string_view cvalue) {
  guardformula(r, cvalue);
  appendfield(r, cvalue);
}

}  // namespace

std::string FIELDSCAN(RUNSTATE& r, long long nstart, long long nwindow) {
  r.NSTART = nstart;
  r.NLEN = 0;
  // The end of the mail ends a value too, like CR and LF.
  for (r.I = 0; r.I <= nwindow; ++r.I) {
    if (r.NSTART + r.I == LEN(r.CMAIL) + 1 || islineend(SUBSTR(r.CMAIL, r.NSTART + r.I, 1))) {
      r.NLEN = r.I;
      break;
    }
  }
  std::string cvalue;
  if (r.NLEN > 0) SHOWN(cvalue, SUBSTR(r.CMAIL, r.NSTART, r.NLEN));
  return cvalue;
}

void SHOWN(std::string& cdst, std::string_view ctext) {
  const size_t nold = cdst.size();
  cdst.resize(nold + ctext.size());
  showinto(cdst.data() + nold, ctext);
}

bool ISGUARDED(unsigned char c) { return c == '=' || c == '+' || c == '-' || c == '@' || c == '"'; }

REGKIND REGISTRATIONOF(std::string_view ctext, bool bautomatic) {
  if (bautomatic) return REGKIND::AUTOMATIC;
  // Per label: seen in a line of the mail's own, seen at all.
  bool bname = false, bmail = false, bnameany = false, bmailany = false;
  for (size_t npos = 0; npos < ctext.size() && !(bname && bmail);) {
    while (npos < ctext.size() && ISWSP(static_cast<unsigned char>(ctext[npos]))) ++npos;
    const bool bquoted = npos < ctext.size() && ctext[npos] == '>';
    while (npos < ctext.size() && (ctext[npos] == '>' || ISWSP(static_cast<unsigned char>(ctext[npos])))) ++npos;
    const std::string_view cline = ctext.substr(npos);
    if (cline.starts_with("Name: ")) (bquoted ? bnameany : bname) = true;
    if (cline.starts_with("E-Mail: ")) (bquoted ? bmailany : bmail) = true;
    npos = ctext.find_first_of("\r\n", npos);
    if (npos == std::string_view::npos) break;
    ++npos;
  }
  if (bname && bmail) return REGKIND::REGISTRATION;
  return (bname || bnameany) && (bmail || bmailany) ? REGKIND::QUOTED : REGKIND::NOFORM;
}

bool ANSWERED(std::string_view canswer, std::string_view cmail) {
  if (canswer.empty()) return false;
  for (size_t npos = cmail.find(canswer); npos != std::string_view::npos; npos = cmail.find(canswer, npos + 1)) {
    const size_t nafter = npos + canswer.size();
    if (nafter == cmail.size() || !isletter(static_cast<unsigned char>(cmail[nafter]))) return true;
  }
  return false;
}

std::string_view ANSWERCODE(std::string_view cno, std::string_view cyes, std::string_view cmail) {
  if (ANSWERED(cno, cmail)) return "-;";
  if (ANSWERED(cyes, cmail)) return "J;";
  return "?;";
}

void APPENDLINE(RUNSTATE& r) {
  appendguarded(r, labelvalue(r, "Name: ", 100));
  appendguarded(r, labelvalue(r, "E-Mail: ", 100));
  appendguarded(r, labelvalue(r, "e Pers.: ", 3));
  r.CLINE += ANSWERCODE("Restaurant: nein", "Restaurant: ja", r.CMAIL);

  // Telephone: the first "oon: " that starts at or before LEN - 5, so one
  // that fills the last five bytes of the mail does not count.
  r.CSTR = "T ";
  const long long ntel = AT("oon: ", SUBSTR(r.CMAIL, 1, LEN(r.CMAIL) - 1));
  if (ntel != 0) r.CSTR += FIELDSCAN(r, ntel + 5, 100);
  appendfield(r, r.CSTR);

  r.CLINE += ANSWERCODE("e: nein", "e: ja", r.CMAIL);

  for (long long k = 1; k <= r.NANZTAGE; ++k) {
    r.CDAYSTR = DAYTOKEN(r.CTAGE, k);
    r.CLINE += CONTAINS(r.CDAYSTR, r.CMAIL) ? "J;" : "-;";
  }

  // Free text: from behind "Text: " to the byte 23 positions before the
  // trailer marker, on one line. The telephone column starts with "T ", and
  // codes are never formulas: only the four values taken as written are guarded.
  size_t noff = 0, ntextlen = 0;
  const long long ntext = AT("Text: ", r.CMAIL);
  if (ntext != 0) {
    r.NSTART = ntext + 6;
    r.NENDE = AT("Ende des Ori", r.CMAIL) - 23;
    if (r.NENDE >= r.NSTART) {
      noff = static_cast<size_t>(r.NSTART - 1);
      ntextlen = static_cast<size_t>(r.NENDE - r.NSTART + 1);
    }
  }
  guardformula(r, std::string_view(r.CMAIL).substr(noff, ntextlen));
  // A plain text's character set matters only for a line that has bytes
  // above 127, and only while the mail is still whole can it be found.
  if (r.NMAILCS == CHARSET::NONE && (!ISASCII(r.CLINE) || !ISASCII(std::string_view(r.CMAIL).substr(noff, ntextlen))))
    r.NMAILCS = PLAINCHARSET(r.CMAIL);
  // For speed: the free text is the mail's last use, and it can be 50,000 bytes long:
  // the line is finished in the mail's own storage instead of a second
  // buffer. The columns so far go in front of the text, shown where it
  // moves to, and the closing bytes after it.
  const size_t nhead = r.CLINE.size(), nline = nhead + ntextlen + 3;
  std::string cline = std::move(r.CMAIL);
  r.CMAIL.clear();
  if (cline.size() < nline) cline.resize(nline);
  std::memmove(cline.data() + nhead, cline.data() + noff, ntextlen);
  showinto(cline.data() + nhead, std::string_view(cline.data() + nhead, ntextlen));
  std::memcpy(cline.data(), r.CLINE.data(), nhead);
  std::memcpy(cline.data() + nhead + ntextlen, ";\r\n", 3);
  cline.resize(nline);
  r.CLINE = std::move(cline);
}

std::string MAILLINE(std::string_view cmail, std::string_view ctage) {
  RUNSTATE r;
  r.CMAIL = cmail;
  r.CTAGE = ctage;
  r.NANZTAGE = DAYCOUNT(ctage);
  APPENDLINE(r);
  return r.CLINE;
}

}  // namespace meld
