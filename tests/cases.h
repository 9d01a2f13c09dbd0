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
inline const std::string PNOREG = "mail.txt ist keine Anmeldung (kein Anmeldeformular) - Abbruch\r\n";
inline const std::string PUNREAD = "mail.txt nicht lesbar - Abbruch\r\n";
// The worked example's whole protocol: into a table, into a new one, and a table that cannot be opened.
inline const std::string PSTORED = PMAIL + PDAYS + PREAD + PDONE, PMADE = PMAIL + PDAYS + CHEAD3 + CR + "tabelle.csv erzeugt\r\n" + PDONE;
inline const std::string PUNOPENED = PMAIL + PDAYS + PNOOPEN + PFAIL;
inline const std::string SNOPROT = "meldimport: prot.txt kann nicht geschrieben werden - Abbruch\n";

// One row. What a row leaves out is the worked example's mail and day
// list, no table, and a run that ends with status 0 and says nothing.
struct Case {
  const char* name;
  std::optional<std::string> mail = CEXAMPLEMAIL, days = CDAYS, table;
  std::optional<std::string> wanttable;  // unset: as before, or no regular file
  std::string wantprot = "";
  int status = 0;
  std::function<void(const TempDir&)> setup = nullptr;
  std::string said = "";  // on standard error
  // Where the folder import stops before it touches a mail: how its line
  // begins, and its status.
  std::string folderstop = "";
  int folderstatus = 1;
};

// The rows that run alike on every platform.
std::vector<Case> portablecases();

// Lays out the worked example in cdir: its mail and day list, and the table where given.
void writeexample(const std::string& cdir, const std::optional<std::string>& ctab = CHEAD3);

// Checks that cdir holds nothing but the run's own files (the four of an
// import, and where cextra is given, it and the file of imported mails and
// the overview page of a folder import): no temporary or other leftover.
void checkonlyrunfiles(const std::string& cdir, const char* cextra = nullptr);

// Runs the case through meldimport and through meldimport-all and checks both.
void checkcase(const Case& c, const RunOptions& opt = {});

}  // namespace meldtest
