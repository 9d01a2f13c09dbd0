#include "days.h"

#include "file.h"
#include "text.h"

namespace meld {

long long DAYCOUNT(std::string_view ctage) { return LEN(ctage) > 9 ? INT(DIV(LEN(ctage), 5)) : 0; }

std::string_view DAYTOKEN(std::string_view ctage, long long k) { return SUBSTR(ctage, k * 5 - 4, 4); }

std::string_view DAYHEADER(std::string_view ctage, long long nanztage) { return SUBSTR(ctage, 1, nanztage * 5); }

bool READDAYS(RUNSTATE& r) {
  r.NANZTAGE = 0;
  r.CTAGE.clear();
  const FRead nread = FREADNAMED("tage.txt", 1000, &r.NTAGE, &r.CTAGE);
  if (nread == FRead::Missing) {
    LOG(r, "tage.txt nicht vorhanden - Tage werden nicht verarbeitet");
    return true;
  }
  // A day list that is there but cannot be read would give a line without
  // its day columns under a header that has them: the run stops instead.
  if (nread == FRead::Failed) {
    LOG(r, "tage.txt nicht lesbar - Abbruch");
    return false;
  }
  r.NANZTAGE = DAYCOUNT(r.CTAGE);
  if (r.NANZTAGE > 0)
    LOG(r, "tage.txt gelesen: " + r.CTAGE + STR(r.NANZTAGE, 2, 0) + " Tage - okay");
  else
    LOG(r, "tage.txt gelesen: " + r.CTAGE + " wird nicht verwendet");
  return true;
}

}  // namespace meld
