// The end-to-end table of cases: each case lays out the four files, runs
// meldimport in a fresh directory and then the same mail through
// meldimport-all, and compares what both wrote, byte for byte. The rows
// that need nothing of one platform are shared; each platform adds its own.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "harness.h"

namespace meldtest {

inline const std::string CR = "\r\n";
inline const std::string CHEAD0 = "Name;Mail;Anzahl;Eink;Tel;Nacht;Text;\r\n";
inline const std::string CLINE = CEXAMPLELINE;
inline const std::string CLINE0 =
    "Erika Muster;erika.muster;2;J;T 0123 456789;-;Wir kommen gern: bis bald..Viele Gruesse....;\r\n";
inline const std::string PMAIL = "mail.txt gelesen\r\n";
inline const std::string PDAYS = "tage.txt gelesen: Fr12;Sa13;So14; 3 Tage - okay\r\n";
inline const std::string PNODAYS = "tage.txt nicht vorhanden - Tage werden nicht verarbeitet\r\n";
inline const std::string PREAD = "tabelle.csv eingelesen\r\n";
inline const std::string PDONE = "tabelle.csv um eine Zeile ergaenzt\r\n";
inline const std::string PFAIL = "tabelle.csv konnte nicht ergaenzt werden - Abbruch\r\n";
inline const std::string PNOOPEN = "tabelle.csv kann nicht geoeffnet werden\r\n";
inline const std::string PNODAYREAD = "tage.txt nicht lesbar - Abbruch\r\n";
inline const std::string PMISFIT = "tage.txt passt nicht zu tabelle.csv\r\n";
inline const std::string PNOREG = "mail.txt ist keine Anmeldung - Abbruch\r\n";
inline const std::string SNOPROT = "meldimport: prot.txt kann nicht geschrieben werden - Abbruch\n";

struct Case {
  const char* cname;
  std::optional<std::string> cmail, ctage, ctab;
  std::optional<std::string> cwanttab;  // unset: as before, or no regular file
  std::string cwantprot;
  int nwantstatus;
  std::function<void(const TempDir&)> setup = nullptr;
  std::string cwantsaid = "";  // on standard error
};

// The rows that run alike on every platform.
std::vector<Case> portablecases();

// Runs the case through meldimport and through meldimport-all and checks both.
void checkcase(const Case& c, const RunOptions& opt = {});

}  // namespace meldtest
