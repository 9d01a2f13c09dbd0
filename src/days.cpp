#include "days.h"

#include "file.h"
#include "text.h"

namespace meld {

long long DAYCOUNT(std::string_view ctage) { return LEN(ctage) > 9 ? INT(DIV(LEN(ctage), 5)) : 0; }

std::string_view DAYTOKEN(std::string_view ctage, long long k) { return SUBSTR(ctage, k * 5 - 4, 4); }

std::string_view DAYHEADER(std::string_view ctage, long long nanztage) { return SUBSTR(ctage, 1, nanztage * 5); }

void READDAYS(RUNSTATE& r) {
  r.NANZTAGE = 0;
  r.CTAGE.clear();
  const FRead nread = FREADNAMED("tage.txt", 1000, &r.NTAGE, &r.CTAGE);
  if (nread == FRead::Missing) {
    LOG(r, "tage.txt nicht vorhanden - Tage werden nicht verarbeitet");
    return;
  }
  if (nread == FRead::Failed) {
    LOG(r, "tage.txt nicht lesbar - Tage werden nicht verarbeitet");
    return;
  }
  r.NANZTAGE = DAYCOUNT(r.CTAGE);
  if (r.NANZTAGE > 0)
    LOG(r, "tage.txt gelesen: " + r.CTAGE + STR(r.NANZTAGE, 2, 0) + " Tage - okay");
  else
    LOG(r, "tage.txt gelesen: " + r.CTAGE + " wird nicht verwendet");
}

}  // namespace meld
