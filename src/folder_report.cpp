// The folder import's report: the entries of the running log prot-all.txt,
// the summary line and the progress line on standard error.
#include "file.h"
#include "folder_run.h"
#include "mailfields.h"
#include "table.h"

namespace meld::folderrun {

std::string joined(std::string_view cdir, std::string_view cname) {
  std::string c(cdir);
  c += '/';
  c += cname;
  return c;
}

// A file name on one line: shown with the table's rule.
std::string shownname(std::string_view cname) {
  std::string c;
  SHOWN(c, cname);
  return c;
}

// Appends an entry to prot-all.txt the way a line goes into the table:
// under the log's lock, behind a line end, made durable, and cut back where
// it cannot be written whole, so that every entry is whole or absent.
bool appendlog(std::string_view centry) {
  FSETWAIT(NLOGWAIT);
  const FOPENED o = FOPENLOCKED(CLOGNAME);
  if (o.nhandle < 0) return false;
  const bool bdone = APPENDRECORD(o.nhandle, o.nsize, o.nsize > 0 ? FBYTEAT(o.nhandle, o.nsize - 1) : -1, centry);
  FCLOSE(o.nhandle);
  return bdone;
}

// One entry of the running log: a line naming the mail, then ctext.
void logentry(FOLDERRUN& f, std::string_view cname, std::string_view ctext) {
  // The run's first entry tells when it ran.
  std::string centry = f.NENTRIES++ == 0 ? FNOW() + " " : std::string();
  centry += "Mail: " + shownname(cname) + "\r\n";
  centry += ctext;
  if (!appendlog(centry)) {
    f.BLOGFAILED = f.BSTOP = true;
    if (f.CWHY.empty()) f.CWHY = CLOGFAILED;
  }
}

std::string counted(long long n, std::string_view cwhat) {
  std::string c = std::to_string(n);
  c += ' ';
  c += cwhat;
  return c;
}

// "10 importiert, 2 fehlgeschlagen": the progress so far.
std::string tally(const FOLDERRUN& f) { return counted(f.NSTORED, "importiert, ") + counted(f.NFAILED, "fehlgeschlagen"); }

// The summary line, "12 Mails: 10 importiert, 2 fehlgeschlagen", and what
// else there is to say.
std::string summary(const FOLDERRUN& f) {
  std::string c = counted(f.NMAILS, f.NMAILS == 1 ? "Mail: " : "Mails: ");
  c += tally(f);
  const auto more = [&c](const std::string& cpart) {
    c += ", ";
    c += cpart;
  };
  if (f.NNOREG > 0) more(counted(f.NNOREG, "keine Anmeldung"));
  if (f.NDOUBLE > 0) more(counted(f.NDOUBLE, "doppelt"));
  if (f.NOTHER > 0) more(counted(f.NOTHER, "von einem anderen Lauf genommen"));
  if (f.BSTOP) more(counted(f.NUNDONE, "nicht bearbeitet - Abbruch") + (f.CWHY.empty() ? "" : ": " + f.CWHY));
  if (f.BLOGFAILED && f.CWHY != CLOGFAILED) more(std::string(CLOGFAILED));
  // Mails that lie where no run takes them, named with where they lie:
  // stored ones that are not in importiert, then claims of dead runs.
  const auto names = [&c](std::string_view cwhat, const std::string& cdir, const std::vector<std::string>& cnames) {
    if (cnames.empty()) return;
    c += "; ";
    c += cwhat;
    c += shownname(cdir);
    c += ":";
    for (const auto& cn : cnames) {
      c += ' ';
      c += shownname(cn);
    }
  };
  if (!f.CPAGE.empty()) {
    c += "; ";
    c += f.CPAGE;
  }
  names("Zeile in tabelle.csv, Mail in ", f.CKEEP, f.CKEPT);
  names("Zeile in tabelle.csv, Mail in ", f.CCLAIM, f.CSTUCK);
  names("von einem abgebrochenen Lauf in ", f.CCLAIM, f.CLEFT);
  return c;
}

// Standard error: on a terminal the progress line is written over, so the
// summary replaces it; elsewhere the summary is all that is written.
void showline(FOLDERRUN& f, const std::string& cline, bool bfinal) {
  if (!f.BTERMINAL) {
    if (bfinal) FWRITE(2, cline + "\n");
    return;
  }
  std::string cout = "\r" + cline;
  if (cline.size() < f.NPROGRESS) cout.append(f.NPROGRESS - cline.size(), ' ');
  f.NPROGRESS = cline.size();
  FWRITE(2, bfinal ? cout + "\n" : cout);
}

}  // namespace meld::folderrun
