#include "mailfields.h"

#include "days.h"
#include "text.h"

namespace meld {

namespace {

bool islineend(std::string_view c) { return EQ(c, "\r") || EQ(c, "\n"); }

bool isletter(unsigned char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c >= 128; }

// Value behind the first occurrence of clabel, or empty when it is absent.
std::string labelvalue(RUNSTATE& r, std::string_view clabel, long long nwindow) {
  const long long nat = AT(clabel, r.CMAIL);
  if (nat == 0) return {};
  return FIELDSCAN(r, nat + LEN(clabel), nwindow);
}

void appendfield(RUNSTATE& r, std::string_view cvalue) {
  r.CLINE += cvalue;
  r.CLINE += ';';
}

}  // namespace

std::string FIELDSCAN(RUNSTATE& r, long long nstart, long long nwindow) {
  r.NSTART = nstart;
  r.NLEN = 0;
  for (r.I = 0; r.I <= nwindow; ++r.I) {
    if (islineend(SUBSTR(r.CMAIL, r.NSTART + r.I, 1))) {
      r.NLEN = r.I;
      break;
    }
  }
  std::string cvalue;
  if (r.NLEN > 0) SHOWN(cvalue, SUBSTR(r.CMAIL, r.NSTART, r.NLEN));
  return cvalue;
}

void SHOWN(std::string& cdst, std::string_view ctext) {
  // Byte by byte, the same as comparing each one-byte text with " " and
  // ";", written in place: a free text can be 50,000 bytes long.
  const size_t nold = cdst.size();
  cdst.resize(nold + ctext.size());
  char* pdst = cdst.data() + nold;
  for (size_t i = 0; i < ctext.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(ctext[i]);
    pdst[i] = static_cast<char>(c < 32 ? '.' : (c == ';' ? ':' : c));
  }
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
  appendfield(r, labelvalue(r, "Name: ", 100));
  appendfield(r, labelvalue(r, "E-Mail: ", 100));
  appendfield(r, labelvalue(r, "e Pers.: ", 3));
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
  // trailer marker, on one line; shown straight into the line.
  const long long ntext = AT("Text: ", r.CMAIL);
  if (ntext != 0) {
    r.NSTART = ntext + 6;
    r.NENDE = AT("Ende des Ori", r.CMAIL) - 23;
    const std::string_view ctext = SUBSTR(r.CMAIL, r.NSTART, r.NENDE - r.NSTART + 1);
    r.CLINE.reserve(r.CLINE.size() + ctext.size() + 3);  // no second copy for the closing bytes
    SHOWN(r.CLINE, ctext);
  }
  r.CLINE += ";\r\n";
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
