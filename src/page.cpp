#include "page.h"

#include <algorithm>

#include "file.h"
#include "overview.h"

namespace meld {

namespace {

constexpr std::string_view CPAGENAME = "uebersicht.html";
constexpr std::string_view CTABLENAME = "tabelle.csv";
// The table is read in pieces of this size: its lines are counted as they
// pass, so memory does not grow with the table; a piece this small comes
// from the C library's heap and is reused, where one of a mebibyte would be
// mapped and unmapped again for each piece.
constexpr long long NPIECE = 64 * 1024;

}  // namespace

bool PAGESTALE() {
  const auto ntable = FINFOOF(CTABLENAME);
  const auto npage = FINFOOF(CPAGENAME);
  // Older, not as old: a page made in the second of the table's last line
  // is that line's (a run that stores after it writes its own page).
  return ntable && (!npage || npage->NCHANGED < ntable->NCHANGED);
}

PAGEDONE WRITEPAGE() {
  const int ntab = FOPEN(CTABLENAME);
  if (ntab < 0) return {"uebersicht.html nicht geschrieben: tabelle.csv nicht lesbar"};
  OVERVIEW ov;
  if (const auto ninfo = FINFOOF(CTABLENAME)) ov.EXPECT(ninfo->NSIZE);
  bool bread = true;
  for (long long noff = 0;; noff += NPIECE) {
    const auto cpiece = FREADAT(ntab, noff, NPIECE);
    if (!cpiece) bread = false;
    if (!cpiece || cpiece->empty()) break;
    ov.FEED(*cpiece);
    if (static_cast<long long>(cpiece->size()) < NPIECE) break;
  }
  FCLOSE(ntab);
  if (!bread) return {"uebersicht.html nicht geschrieben: tabelle.csv nicht lesbar"};
  std::string cwhy;
  const std::string cpage = ov.PAGE(CTABLENAME, FNOW(), &cwhy);
  if (cpage.empty()) return {"uebersicht.html nicht geschrieben: " + cwhy, true};
  const FStatus nput = FPUTFILE(CPAGENAME, cpage);
  if (nput == FStatus::Held) return {"uebersicht.html ist in einem anderen Programm geoeffnet - der naechste Lauf schreibt sie"};
  if (nput != FStatus::Okay) return {"uebersicht.html kann nicht geschrieben werden"};
  return {};
}

}  // namespace meld
