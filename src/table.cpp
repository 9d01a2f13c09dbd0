#include "table.h"

#include <algorithm>
#include <string>

#include "days.h"
#include "file.h"
#include "text.h"

namespace meld {

namespace {

constexpr std::string_view CTABNAME = "tabelle.csv";
constexpr std::string_view CFIXEDHEAD = "Name;Mail;Anzahl;Eink;Tel;Nacht;";
// The mark that begins a UTF-8 table; a table without it is Windows-1252,
// as a spreadsheet on a German Windows system reads a CSV file without one.
constexpr std::string_view CMARK = CMARKUTF8;

// The line in the table's character set: the mail's own bytes where the
// two agree, "?" for what the table cannot hold (counted in NREPLACED).
std::string inthetable(RUNSTATE& r, std::string cline, CHARSET ntable) {
  const CHARSET nfrom = r.NMAILCS == CHARSET::NONE ? ntable : r.NMAILCS;  // NONE: the line is ASCII
  r.NREPLACED = 0;
  return CONVERT(std::move(cline), nfrom, ntable, &r.NREPLACED);
}

// Appends CLINE to the existing table under its lock; the table is as it
// was unless the line is durably there.
MResult appendexisting(RUNSTATE& r) {
  const FOPENED o = FOPENLOCKED(CTABNAME);
  r.NTAB = o.nhandle;
  const long long nsize = o.nsize;
  // A table that opens but stays locked by another program is there and
  // whole; only the line could not be added.
  LOG(r, o.nstatus != FStatus::Failed ? "tabelle.csv eingelesen" : "tabelle.csv kann nicht geoeffnet werden");
  // A table held for the whole bound would hold every further mail as long.
  if (r.NTAB < 0) return o.nstatus == FStatus::Held ? MResult::Locked : MResult::FailedForAll;
  // The start of the table, read under the lock with one call, shows its
  // character set and whether the line's day columns fit its header; a
  // table no longer than a header gives its last byte with the same read.
  const std::string chead = TABHEADER(r.CTAGE, r.NANZTAGE);
  const auto cread = FREADAT(r.NTAB, 0, std::min(nsize, LEN(CMARK) + LEN(chead)));
  if (!cread) return MResult::Failed;
  const std::string& cstart = *cread;
  const bool butf8 = EQ(cstart, CMARK);
  const long long nmark = butf8 ? LEN(CMARK) : 0;
  if (!HEADERFITS(SUBSTR(cstart, nmark + 1, LEN(chead)), chead)) {
    LOG(r, "tage.txt passt nicht zu tabelle.csv");
    return MResult::FailedForAll;
  }
  // The line's last use: it is converted in its own storage.
  const std::string cline = inthetable(r, std::move(r.CLINE), butf8 ? CHARSET::UTF8 : CHARSET::WINDOWS1252);
  int nlast = -1;
  if (nsize > 0) nlast = LEN(cstart) == nsize ? static_cast<unsigned char>(cstart.back()) : FBYTEAT(r.NTAB, nsize - 1);
  return APPENDRECORD(r.NTAB, nsize, nlast, cline, nmark) ? MResult::Stored : MResult::Failed;
}

}  // namespace

std::string TABHEADER(std::string_view ctage, long long nanztage) {
  std::string chead(CFIXEDHEAD);
  chead += DAYHEADER(ctage, nanztage);
  chead += "Text;\r\n";
  return chead;
}

bool HEADERFITS(std::string_view cstart, std::string_view chead) {
  if (!EQ(cstart, CFIXEDHEAD)) return true;
  return cstart == chead;
}

bool APPENDRECORD(int nhandle, long long nsize, int nlast, std::string_view ctext, long long nbegin) {
  if (nsize > 0 && nlast < 0) return false;  // no last byte, no safe separator
  // Separator and text go out with one write; the common file, ending in a
  // line end, needs no copy of the text for that.
  const std::string_view csep = SEPARATOR(nsize - nbegin, nlast);
  if (csep.empty()) return FAPPENDSYNC(nhandle, ctext, nsize);
  std::string crecord(csep);
  crecord += ctext;
  return FAPPENDSYNC(nhandle, crecord, nsize);
}

std::string_view SEPARATOR(long long nsize, int nlast) {
  if (nsize <= 0 || nlast == '\n') return "";
  return nlast == '\r' ? "\n" : "\r\n";
}

MResult STORETABLE(RUNSTATE& r) {
  r.BSTORED = false;
  MResult nres = MResult::FailedForAll;  // unless a table is found or made
  // A table that another run creates meanwhile is appended to; the bound
  // only guards against a name that keeps appearing and vanishing.
  for (int ntry = 0; ntry < 3; ++ntry) {
    // A table that cannot even be looked at is treated as one that cannot
    // be opened: a new one must not be made beside it. One marked hidden or
    // system counts as absent, yet it is there, and a new table never
    // replaces it: the line goes into it.
    if (FLOOK(CTABNAME) != FStatus::Missing) {
      nres = appendexisting(r);
      // Other runs wait for the table, not for this run's protocol.
      FCLOSE(r.NTAB);
      r.NTAB = -1;
      break;
    }
    // A new table is a UTF-8 one: every character of every mail fits.
    r.CHEAD = TABHEADER(r.CTAGE, r.NANZTAGE);
    const FStatus nst = FCREATENEW(CTABNAME, std::string(CMARK) + r.CHEAD + inthetable(r, r.CLINE, CHARSET::UTF8));
    if (nst == FStatus::Exists && ntry < 2 && FILE(CTABNAME)) continue;
    LOG(r, r.CHEAD);  // the header, its CR LF and an empty line
    if (nst == FStatus::Okay) {
      LOG(r, "tabelle.csv erzeugt");
      nres = MResult::Stored;
    }
    break;
  }
  r.BSTORED = nres == MResult::Stored;
  if (r.BSTORED && r.NREPLACED > 0) LOG(r, std::to_string(r.NREPLACED) + " Zeichen durch ? ersetzt");
  LOG(r, r.BSTORED ? "tabelle.csv um eine Zeile ergaenzt" : "tabelle.csv konnte nicht ergaenzt werden - Abbruch");
  return nres;
}

}  // namespace meld
