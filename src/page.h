// The organiser's overview uebersicht.html beside the table: made from
// tabelle.csv in one pass and put in place whole.
#pragma once

#include <string>

namespace meld {

// Whether the page is missing or older than the table.
bool PAGESTALE();

// What writing the page came to: CWHY "" when it is written, else one
// German line that says why not; BNOTOURS where the table is not one of
// meldimport's (its first line is no header of its), which no run can change.
struct PAGEDONE {
  std::string CWHY;
  bool BNOTOURS = false;
};

// Writes uebersicht.html from tabelle.csv in the current directory.
PAGEDONE WRITEPAGE();

}  // namespace meld
