#include "table.h"

#include <algorithm>
#include <string>

#include "days.h"
#include "file.h"
#include "mailfields.h"
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

// The file of imported mails beside the table: one line per mail that the
// folder import stored, its key, a tab and its name. It is only appended
// to, under the table's lock and after the line, so that a mail it names
// always has its line in the table.
constexpr std::string_view CIDSNAME = "importierte-mails.txt";

// Opens the file of imported mails under its lock, made where missing.
FOPENED openimported() {
  FOPENED o = FOPENLOCKED(CIDSNAME);
  if (o.nhandle < 0 && FLOOK(CIDSNAME) == FStatus::Missing && FCREATENEW(CIDSNAME, "") != FStatus::Failed)
    o = FOPENLOCKED(CIDSNAME);
  return o;
}

// Reads the whole lines that are new in the open file into the run's
// memory; a file that shrank (edited by hand) is read again from its start.
bool readimported(IMPORTED& im, const FOPENED& o) {
  if (o.nsize < im.NREAD) im = IMPORTED();
  const auto c = FREADAT(o.nhandle, im.NREAD, o.nsize - im.NREAD);
  if (!c) return false;
  size_t nstart = 0;
  for (size_t nlf; (nlf = c->find('\n', nstart)) != std::string::npos; nstart = nlf + 1) {
    std::string_view cline = std::string_view(*c).substr(nstart, nlf - nstart);
    if (!cline.empty() && cline.back() == '\r') cline.remove_suffix(1);
    const size_t ntab = std::min(cline.find('\t'), cline.size());
    if (ntab > 0) im.NAMES.emplace(cline.substr(0, ntab), cline.substr(std::min(ntab + 1, cline.size())));
  }
  im.NREAD += static_cast<long long>(nstart);
  return true;
}

// Records the stored mail's key in the open file of imported mails; where
// that fails the line stays, and the protocol says what is lost.
void recordkey(RUNSTATE& r, const FOPENED& o) {
  std::string crecord = r.CKEY + "\t";
  SHOWN(crecord, r.CMAILNAME);
  crecord += "\r\n";
  r.PIMPORTED->NAMES.emplace(r.CKEY, r.CMAILNAME);
  const int nlast = o.nsize > 0 ? FBYTEAT(o.nhandle, o.nsize - 1) : -1;
  if (o.nhandle < 0 || !APPENDRECORD(o.nhandle, o.nsize, nlast, crecord))
    LOG(r, "importierte-mails.txt konnte nicht ergaenzt werden - diese Mail wird nicht als doppelt erkannt");
}

// The same, the file opened for it alone (still under the table's lock).
void recordkey(RUNSTATE& r) {
  const FOPENED oids = openimported();
  recordkey(r, oids);
  FCLOSE(oids.nhandle);
}

// A double of a mail imported into this table: true, with CFIRST and the
// protocol set. A file of imported mails that cannot be read stops nothing.
bool isdouble(RUNSTATE& r, const FOPENED& o) {
  if (o.nhandle < 0 || !readimported(*r.PIMPORTED, o)) {
    LOG(r, "importierte-mails.txt nicht lesbar - doppelte Mails werden nicht erkannt");
    return false;
  }
  const auto it = r.PIMPORTED->NAMES.find(r.CKEY);
  if (it == r.PIMPORTED->NAMES.end()) return false;
  r.CFIRST = it->second;
  std::string cline = "mail.txt ist doppelt: schon als ";
  SHOWN(cline, r.CFIRST);
  LOG(r, cline + " importiert - nicht noch einmal");
  return true;
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
  if (r.NTAB < 0) {
    r.CWHY = o.nstatus == FStatus::Held ? "tabelle.csv bleibt gesperrt" : "tabelle.csv kann nicht geoeffnet werden";
    return o.nstatus == FStatus::Held ? MResult::Locked : MResult::FailedForAll;
  }
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
    r.CWHY = "tage.txt passt nicht zu tabelle.csv";
    return MResult::FailedForAll;
  }
  // Each mail once: looked up and recorded under the table's lock.
  FOPENED oids;
  if (r.PIMPORTED != nullptr) {
    oids = openimported();
    if (isdouble(r, oids)) {
      FCLOSE(oids.nhandle);
      return MResult::Double;
    }
  }
  // The line's last use: it is converted in its own storage.
  const std::string cline = inthetable(r, std::move(r.CLINE), butf8 ? CHARSET::UTF8 : CHARSET::WINDOWS1252);
  int nlast = -1;
  if (nsize > 0) nlast = LEN(cstart) == nsize ? static_cast<unsigned char>(cstart.back()) : FBYTEAT(r.NTAB, nsize - 1);
  const bool bstored = APPENDRECORD(r.NTAB, nsize, nlast, cline, nmark);
  if (bstored && r.PIMPORTED != nullptr) recordkey(r, oids);
  FCLOSE(oids.nhandle);
  return bstored ? MResult::Stored : MResult::Failed;
}

// Whether the open table of nsize bytes holds cline as a line of its own,
// read in pieces: a table may be larger than memory.
LINEPLACE holdsline(int nhandle, long long nsize, std::string_view cline) {
  constexpr long long NPIECE = 1 << 20;
  std::string cwant(1, '\n');  // cline ends in CR LF
  cwant += cline;
  std::string ccarry(1, '\n');  // the table's start begins a line too
  for (long long noff = 0; noff < nsize; noff += NPIECE) {
    const auto cpiece = FREADAT(nhandle, noff, std::min(NPIECE, nsize - noff));
    if (!cpiece) return LINEPLACE::UNKNOWN;
    ccarry += *cpiece;
    if (ccarry.find(cwant) != std::string::npos) return LINEPLACE::IN;
    ccarry.erase(0, ccarry.size() - std::min(ccarry.size(), cwant.size()));
  }
  return LINEPLACE::OUT;
}

}  // namespace

LINEPLACE LINEINTABLE(RUNSTATE& r) {
  if (r.PIMPORTED != nullptr) {
    const FOPENED oids = openimported();
    const bool bknown = oids.nhandle >= 0 && readimported(*r.PIMPORTED, oids) && r.PIMPORTED->NAMES.count(r.CKEY) > 0;
    FCLOSE(oids.nhandle);
    if (bknown) return LINEPLACE::IN;
  }
  if (FLOOK(CTABNAME) == FStatus::Missing) return LINEPLACE::OUT;
  const FOPENED o = FOPENLOCKED(CTABNAME);
  r.NTAB = o.nhandle;
  if (r.NTAB < 0) return LINEPLACE::UNKNOWN;
  const auto cmark = FREADAT(r.NTAB, 0, LEN(CMARK));
  if (!cmark) return LINEPLACE::UNKNOWN;
  const LINEPLACE nplace = holdsline(r.NTAB, o.nsize, inthetable(r, r.CLINE, *cmark == CMARK ? CHARSET::UTF8 : CHARSET::WINDOWS1252));
  // A line there whose key is not: its run died between the two. The key
  // is recorded now, under the table's lock, so that a copy of the mail is
  // known as a double.
  if (nplace == LINEPLACE::IN && r.PIMPORTED != nullptr) recordkey(r);
  return nplace;
}

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
    // The mails imported into an earlier table are none of the new one's;
    // the table's creation makes their file's removal durable with it.
    if (r.PIMPORTED != nullptr) {
      FERASE(CIDSNAME);
      *r.PIMPORTED = IMPORTED();
    }
    // A new table is a UTF-8 one: every character of every mail fits.
    r.CHEAD = TABHEADER(r.CTAGE, r.NANZTAGE);
    const FStatus nst = FCREATENEW(CTABNAME, std::string(CMARK) + r.CHEAD + inthetable(r, r.CLINE, CHARSET::UTF8));
    if (nst == FStatus::Exists && ntry < 2 && FILE(CTABNAME)) continue;
    LOG(r, r.CHEAD);  // the header, its CR LF and an empty line
    if (nst == FStatus::Okay) {
      LOG(r, "tabelle.csv erzeugt");
      nres = MResult::Stored;
      if (r.PIMPORTED != nullptr) {
        // Under the table's lock, as every other record of a key.
        r.NTAB = FOPENLOCKED(CTABNAME).nhandle;
        recordkey(r);
        FCLOSE(r.NTAB);
        r.NTAB = -1;
      }
    } else {
      r.CWHY = "tabelle.csv kann nicht angelegt werden";
    }
    break;
  }
  r.BSTORED = nres == MResult::Stored;
  if (nres == MResult::Double) return nres;
  if (r.BSTORED && r.NREPLACED > 0) LOG(r, std::to_string(r.NREPLACED) + " Zeichen durch ? ersetzt");
  LOG(r, r.BSTORED ? "tabelle.csv um eine Zeile ergaenzt" : "tabelle.csv konnte nicht ergaenzt werden - Abbruch");
  return nres;
}

}  // namespace meld
