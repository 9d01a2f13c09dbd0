#include "meld.h"

#include <algorithm>

#include "days.h"
#include "file.h"
#include "mailfields.h"
#include "mailtext.h"
#include "table.h"
#include "text.h"

namespace meld {

namespace {

// Reads tage.txt into NTAGE, CTAGE (in units) and NANZTAGE and logs one
// line; false when the day list is there but cannot be read or holds a
// token that is no day (the run must stop).
bool readdays(RUNSTATE& r) {
  r.NANZTAGE = 0;
  r.CTAGE.clear();
  FOPENED o = FREADNAMED("tage.txt", 1000);
  r.NTAGE = o.nhandle;
  std::string& clist = o.ctext;
  if (o.nstatus == FStatus::Missing) {
    LOG(r, "tage.txt nicht vorhanden - Tage werden nicht verarbeitet");
    return true;
  }
  // A day list that is there but cannot be read would give a line without
  // its day columns under a header that has them: the run stops instead.
  if (o.nstatus != FStatus::Okay) {
    r.CWHY = "tage.txt nicht lesbar";
    LOG(r, r.CWHY + " - Abbruch");
    return false;
  }
  // A list saved as "Unicode" (UTF-16, by its mark) is read as its UTF-8;
  // the mark of a UTF-8 editor is no part of it either. The list ends
  // before its first byte 0.
  if (clist.starts_with(CMARKUTF16LE) || clist.starts_with(CMARKUTF16BE) || clist.starts_with(CMARKUTF8))
    clist = DECODE(std::move(clist), CHARSET::UTF8);
  clist.resize(std::min(clist.size(), clist.find('\0')));
  const DAYS d = DAYSOF(clist);
  if (!d.CBAD.empty()) {
    r.CWHY = "tage.txt fehlerhaft: ";
    SHOWN(r.CWHY, d.CBAD);
    r.CWHY += " ist kein Tag aus 4 Zeichen";
    LOG(r, r.CWHY + " - Abbruch");
    return false;
  }
  r.CTAGE = d.CUNITS;
  r.NANZTAGE = d.NANZTAGE;
  if (r.NANZTAGE > 0)
    LOG(r, "tage.txt gelesen: " + clist + STR(r.NANZTAGE, 2, 0) + " Tage - okay");
  else
    LOG(r, "tage.txt gelesen: " + clist + " wird nicht verwendet");
  return true;
}

// Room for what the protocol may still get once mail and day list are read:
// the header of a new table (its day units apart), the table's lines and
// those of the file of imported mails, which name a mail.
constexpr long long NPROTREST = 1024;
// Why an import whose protocol cannot be written stops.
constexpr std::string_view CNOPROT = "prot.txt kann nicht geschrieben werden";
// Seconds that all waiting of one import may take together.
constexpr double NWAIT = 10;

// Closes every handle of the import in the fixed order.
void closeall(RUNSTATE& r) {
  FCLOSE(r.NMAIL);
  FCLOSE(r.NTAB);
  FCLOSE(r.NPROT);
  FCLOSE(r.NTAGE);
}

// Writes the protocol once and closes every handle. A protocol that cannot
// be written would fail for every further mail too.
MResult finish(RUNSTATE& r, MResult nres) {
  const bool bprot = FREPLACE(r.NPROT, r.CPROT) == LEN(r.CPROT);
  closeall(r);
  if (bprot) return nres;
  if (nres == MResult::Stored) {
    nres = MResult::StoredNoProtocol;
  } else if (nres == MResult::Failed || nres == MResult::NoRegistration || nres == MResult::Double) {
    nres = MResult::FailedForAll;
  } else {
    return nres;
  }
  r.CWHY = CNOPROT;
  return nres;
}

// A protocol that cannot be written stops the import before the table is
// touched; standard error is the one channel left.
MResult noprotocol(RUNSTATE& r) {
  r.CPROT.clear();  // the protocol is what prot.txt holds: nothing
  r.CWHY = CNOPROT;
  closeall(r);
  FSAY("meldimport: " + std::string(CNOPROT) + " - Abbruch\n");
  return MResult::FailedForAll;
}

// Reads the mail into *pcraw and sets NMAIL: its first read, a message or
// a UTF-16 text read on (a registration may carry a photo; a plain text is
// never longer than its first read). A mail that was seen listed
// (blisted) and is gone is one that cannot be read, never one that is missing.
FStatus readmail(RUNSTATE& r, std::string_view cmailname, bool blisted, std::string* pcraw) {
  FOPENED o = FREADNAMED(cmailname, NMAILREAD);
  r.NMAIL = o.nhandle;
  std::string& craw = o.ctext;
  if (o.nstatus == FStatus::Okay && LEN(craw) == NMAILREAD && READSON(craw)) {
    const auto crest = FREADAT(r.NMAIL, NMAILREAD, NMAILWHOLE - NMAILREAD);
    if (!crest) {
      o.nstatus = FStatus::Failed;
    } else {
      craw.reserve(craw.size() + crest->size());  // grown once, to its size
      craw += *crest;
    }
  }
  if (o.nstatus == FStatus::Missing && blisted) o.nstatus = FStatus::Failed;
  *pcraw = std::move(craw);
  return o.nstatus;
}

// Takes the text of the mail read: CMAIL, its character set, and what kind
// of mail it is.
REGKIND taketext(RUNSTATE& r, std::string craw) {
  if (r.PIMPORTED != nullptr) r.CKEY = MAILKEY(craw);
  MAILTEXT m = MAILTEXTOF(std::move(craw));
  r.CMAIL = std::move(m.CTEXT);
  r.NMAILCS = m.NCHARSET;
  return REGISTRATIONOF(r.CMAIL, m.BAUTOMATIC);
}

}  // namespace

LINEPLACE CLAIMLINE(RUNSTATE& r, std::string_view cmailname) {
  std::string craw;
  const FStatus nread = readmail(r, cmailname, true, &craw);
  LINEPLACE nplace = LINEPLACE::UNKNOWN;
  if (nread == FStatus::Okay) {
    // What is no registration never became a line.
    if (taketext(r, std::move(craw)) != REGKIND::REGISTRATION) {
      nplace = LINEPLACE::OUT;
    } else if (readdays(r)) {
      APPENDLINE(r);
      nplace = LINEINTABLE(r);
    }
  }
  closeall(r);
  return nplace;
}

MResult MELDMAIL(RUNSTATE& r, std::string_view cmailname, bool blisted) {
  FSETWAIT(NWAIT);
  // Without a protocol nothing else is touched: an import whose report
  // cannot be written must not change the table.
  r.NPROT = FCREATE("prot.txt");
  if (r.NPROT < 0) return noprotocol(r);

  // A mail that may be there but cannot be read must be neither imported as
  // an empty registration nor passed over as missing: the run stops and says so.
  std::string craw;
  const FStatus nread = readmail(r, cmailname, blisted, &craw);
  if (nread == FStatus::Missing) {
    LOG(r, "mail.txt nicht gefunden - Abbruch");
    return finish(r, MResult::NoMail);
  }
  if (nread != FStatus::Okay) {
    LOG(r, "mail.txt nicht lesbar - Abbruch");
    return finish(r, MResult::Failed);
  }
  const REGKIND nkind = taketext(r, std::move(craw));
  LOG(r, "mail.txt gelesen");
  // An out-of-office reply, a bounce, a reply that quotes the form, a
  // question: none of them may become a row.
  if (nkind != REGKIND::REGISTRATION) {
    const char* cwhy = nkind == REGKIND::AUTOMATIC ? "automatische Nachricht"
                       : nkind == REGKIND::QUOTED  ? "Anmeldung nur zitiert"
                                                   : "kein Anmeldeformular";
    LOG(r, std::string("mail.txt ist keine Anmeldung (") + cwhy + ") - Abbruch");
    return finish(r, MResult::NoRegistration);
  }

  if (!readdays(r)) return finish(r, MResult::FailedForAll);
  // The protocol's room is taken before the table can take the last free
  // space; its longest form is known once the day list is.
  if (!FRESERVE(r.NPROT, LEN(r.CPROT) + LEN(DAYHEADER(r.CTAGE, r.NANZTAGE)) + NPROTREST)) return noprotocol(r);
  // The line depends on mail and day list only; building it before the
  // table is opened keeps the time under the table lock short.
  APPENDLINE(r);
  return finish(r, STORETABLE(r));
}

int EXITSTATUS(MResult nres) {
  return nres == MResult::Stored || nres == MResult::StoredNoProtocol || nres == MResult::NoMail ? 0 : 1;
}

int MELD() {
  RUNSTATE r;
  return EXITSTATUS(MELDMAIL(r, "mail.txt"));
}

int MAIN() {
  FSTARTUP();
  const FStatus nowner = FTAKEOWNER();
  if (nowner == FStatus::Okay) return MELD();
  if (nowner == FStatus::Unsafe) {
    FSAY("meldimport: Verzeichnis fuer andere beschreibbar - Abbruch\n");
    return 1;
  }
  FSAY("meldimport: Benutzer des Verzeichnisses nicht annehmbar - Abbruch\n");
  return 1;
}

}  // namespace meld
