#include "days.h"

#include "text.h"

namespace meld {

namespace {

bool isseparator(char c) { return c == ';' || c == ',' || c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// A day token is the same bytes in every table's character set.
bool isday(std::string_view ctoken) {
  if (ctoken.size() != 4) return false;
  for (const char c : ctoken)
    if (static_cast<unsigned char>(c) < 33 || static_cast<unsigned char>(c) > 126) return false;
  return true;
}

}  // namespace

DAYS DAYSOF(std::string_view clist) {
  DAYS d;
  long long ntokens = 0;
  for (size_t npos = 0; npos < clist.size();) {
    if (isseparator(clist[npos])) {
      ++npos;
      continue;
    }
    size_t nend = npos;
    while (nend < clist.size() && !isseparator(clist[nend])) ++nend;
    const std::string_view ctoken = clist.substr(npos, nend - npos);
    if (!isday(ctoken) && d.CBAD.empty()) d.CBAD = ctoken;
    d.CUNITS += ctoken;
    d.CUNITS += ';';
    ++ntokens;
    npos = nend;
  }
  // One day alone is no list: as before, it is not used. One token that is
  // no day ("Fr12:Sa13:So14") is a list written wrong, not a one-day event.
  if (ntokens < 2) {
    DAYS none;
    none.CBAD = d.CBAD;
    return none;
  }
  if (!d.CBAD.empty()) d.CUNITS.clear();
  else d.NANZTAGE = ntokens;
  return d;
}

long long DAYCOUNT(std::string_view ctage) { return LEN(ctage) > 9 ? INT(DIV(LEN(ctage), 5)) : 0; }

std::string_view DAYTOKEN(std::string_view ctage, long long k) { return SUBSTR(ctage, k * 5 - 4, 4); }

std::string_view DAYHEADER(std::string_view ctage, long long nanztage) { return SUBSTR(ctage, 1, nanztage * 5); }

}  // namespace meld
