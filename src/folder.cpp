#include "folder.h"

#include <algorithm>
#include <string>
#include <vector>

#include "file.h"
#include "mailfields.h"
#include "meld.h"
#include "text.h"

namespace meld {

namespace {

constexpr std::string_view CLOGNAME = "prot-all.txt";
constexpr std::string_view CCLAIMDIR = ".in-arbeit";
constexpr std::string_view CDONEDIR = "importiert";
constexpr std::string_view CNOREGDIR = "keine-anmeldung";
constexpr std::string_view CUSAGE = "Aufruf: meldimport-all ORDNER   (im Verzeichnis von tage.txt und tabelle.csv)\n";
constexpr int NLOCKWAIT = 10;   // seconds to wait for a run that looks for left claims
constexpr int NDONENAMES = 99;  // names tried in importiert for one mail

// The state of one folder import.
struct FOLDERRUN {
  std::string CFOLDER, CCLAIM, CDONE, CNOREG;  // the folder, its claim, done and no-registration directories
  int NLOG = -1;                       // prot-all.txt, open for appending
  int NCLAIMLOCK = -1;                 // the claim directory, locked shared while the run claims
  bool BTERMINAL = false;              // standard error is a terminal: show progress
  size_t NPROGRESS = 0;                // length of the progress line shown
  long long NMAILS = 0, NSTORED = 0, NFAILED = 0, NNOREG = 0, NOTHER = 0, NUNDONE = 0;
  std::vector<std::string> CLEFT;  // claims left by runs that died
  bool BSTOP = false;              // stop: every further mail would fail the same way, or the log does
  bool BLOGFAILED = false;
  bool BNOREGDIR = false;  // keine-anmeldung is there
};

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

// The mails of a directory: its regular files whose names do not start
// with ".", in the bytewise order of the names.
bool listmails(std::string_view cdir, std::vector<std::string>* pcnames) {
  if (!FLISTFILES(cdir, pcnames)) return false;
  std::erase_if(*pcnames, [](const std::string& c) { return c.empty() || c[0] == '.'; });
  std::sort(pcnames->begin(), pcnames->end(), [](const std::string& a, const std::string& b) { return LT(a, b); });
  return true;
}

// One entry of the running log: a line naming the mail, then ctext.
void logentry(FOLDERRUN& f, std::string_view cname, std::string_view ctext) {
  std::string centry = "Mail: " + shownname(cname) + "\r\n";
  centry += ctext;
  if (!FAPPENDLOG(f.NLOG, centry)) f.BLOGFAILED = f.BSTOP = true;
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
  if (f.NOTHER > 0) more(counted(f.NOTHER, "von einem anderen Lauf genommen"));
  if (f.BSTOP) more(counted(f.NUNDONE, "nicht bearbeitet - Abbruch"));
  if (f.BLOGFAILED) more("prot-all.txt konnte nicht ergaenzt werden");
  if (!f.CLEFT.empty()) {
    c += "; von einem abgebrochenen Lauf in ";
    c += shownname(f.CCLAIM);
    c += ":";
    for (const auto& cn : f.CLEFT) {
      c += ' ';
      c += shownname(cn);
    }
  }
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

// A stored mail goes to importiert, one that is no registration to
// keine-anmeldung (made when the first one comes), under a name of its own there.
void moveon(FOLDERRUN& f, const std::string& cname, const std::string& cclaimed, std::string_view cdirname) {
  const std::string cdir = joined(f.CFOLDER, cdirname);
  if (cdirname == CNOREGDIR && !f.BNOREGDIR) f.BNOREGDIR = FMAKEDIR(cdir);
  for (int n = 1; n <= NDONENAMES && (cdirname != CNOREGDIR || f.BNOREGDIR); ++n) {
    const std::string cdone = n == 1 ? cname : cname + "." + std::to_string(n);
    const FMove nmove = FMOVE(cclaimed, joined(cdir, cdone));
    if (nmove == FMove::Exists) continue;
    if (nmove != FMove::Okay) break;
    if (n > 1) logentry(f, cname, "nach " + std::string(cdirname) + "/" + shownname(cdone) + " verschoben\r\n");
    return;
  }
  logentry(f, cname, "bleibt in .in-arbeit: kann nicht nach " + std::string(cdirname) + " verschoben werden\r\n");
}

// Claims the mail, imports it and moves it on.
void importone(FOLDERRUN& f, const std::string& cname) {
  const std::string cmail = joined(f.CFOLDER, cname), cclaimed = joined(f.CCLAIM, cname);
  // The claim is a rename: of two runs that try, one gets the mail.
  const FMove nclaim = FMOVE(cmail, cclaimed);
  if (nclaim == FMove::Gone) {
    ++f.NOTHER;
    return;
  }
  if (nclaim != FMove::Okay) {
    ++f.NFAILED;
    logentry(f, cname, "kann nicht nach .in-arbeit verschoben werden - nicht importiert\r\n");
    return;
  }
  // The claim must be durable before the line is, or a crash could bring
  // the mail back for a second import.
  FSYNCDIR(f.CCLAIM);
  RUNSTATE r;
  const MResult nres = MELDMAIL(r, cclaimed);
  const bool bstored = nres == MResult::Stored || nres == MResult::StoredNoProtocol;
  const bool bnoreg = nres == MResult::NoRegistration;
  ++(bstored ? f.NSTORED : bnoreg ? f.NNOREG : f.NFAILED);
  if (nres == MResult::FailedForAll || nres == MResult::StoredNoProtocol) f.BSTOP = true;
  // The log before the move: a run that dies in between leaves the mail
  // claimed, and the log tells what became of it.
  logentry(f, cname, r.CPROT);
  if (bstored) {
    moveon(f, cname, cclaimed, CDONEDIR);
  } else if (bnoreg) {
    moveon(f, cname, cclaimed, CNOREGDIR);
  } else if (nres != MResult::NoMail && FMOVE(cclaimed, cmail) != FMove::Okay) {
    logentry(f, cname, "bleibt in .in-arbeit: kann nicht zurueckverschoben werden\r\n");
  }
}

int stopwith(std::string_view cwhy) {
  FSAY("meldimport-all: " + std::string(cwhy) + " - Abbruch\n");
  return 1;
}

}  // namespace

int MELDFOLDER(std::string_view cfolder) {
  while (cfolder.size() > 1 && cfolder.back() == '/') cfolder.remove_suffix(1);
  FOLDERRUN f;
  f.CFOLDER = cfolder;
  f.CCLAIM = joined(cfolder, CCLAIMDIR);
  f.CDONE = joined(cfolder, CDONEDIR);
  f.CNOREG = joined(cfolder, CNOREGDIR);
  f.BTERMINAL = FISTERMINAL(2);
  if (!FMAKEDIR(f.CCLAIM)) return stopwith(shownname(f.CCLAIM) + " kann nicht angelegt werden");
  if (!FMAKEDIR(f.CDONE)) return stopwith(shownname(f.CDONE) + " kann nicht angelegt werden");
  FREMOVESTALE(CLOGNAME);  // a log that a killed run began to make
  f.NLOG = FOPENAPPEND(CLOGNAME);
  if (f.NLOG < 0) return stopwith("prot-all.txt kann nicht geoeffnet werden");
  // Every run holds a shared lock on the claim directory while it claims.
  // A run that gets it exclusively is alone: what lies there was left by
  // runs that died, and their lines may or may not be in the table.
  f.NCLAIMLOCK = FOPENDIR(f.CCLAIM);
  if (FLOCKALONE(f.NCLAIMLOCK)) listmails(f.CCLAIM, &f.CLEFT);
  std::vector<std::string> cnames;
  int nstatus = 1;
  if (!FLOCKSHARED(f.NCLAIMLOCK, NLOCKWAIT)) {
    stopwith(shownname(f.CCLAIM) + " kann nicht gesperrt werden");
  } else if (!listmails(cfolder, &cnames)) {
    stopwith(shownname(cfolder) + " kann nicht gelesen werden");
  } else {
    for (const auto& cn : f.CLEFT)
      logentry(f, cn,
               "liegt in .in-arbeit von einem abgebrochenen Lauf - nicht importiert, "
               "Zeile vielleicht in tabelle.csv\r\n");
    f.NMAILS = static_cast<long long>(cnames.size());
    size_t ndone = 0;
    for (; ndone < cnames.size() && !f.BSTOP; ++ndone) {
      importone(f, cnames[ndone]);
      showline(f, std::to_string(ndone + 1) + "/" + counted(f.NMAILS, "Mails: ") + tally(f), false);
    }
    f.NUNDONE = static_cast<long long>(cnames.size() - ndone);
    // The moves out of the claim directory, made durable once for the run.
    FSYNCDIR(f.CDONE);
    if (f.BNOREGDIR) FSYNCDIR(f.CNOREG);
    FSYNCDIR(f.CFOLDER);
    const std::string cend = summary(f);
    if (!f.BLOGFAILED) FAPPENDLOG(f.NLOG, "Ende: " + cend + "\r\n");
    showline(f, cend, true);
    nstatus = f.NFAILED + f.NUNDONE == 0 && f.CLEFT.empty() && !f.BLOGFAILED ? 0 : 1;
  }
  FCLOSE(f.NCLAIMLOCK);
  FCLOSE(f.NLOG);
  return nstatus;
}

int MAINALL(int argc, const char* const* argv) {
  FSTARTUP();
  const std::vector<std::string> cargs = FARGS(argc, argv);
  if (cargs.size() == 1 && cargs[0] == "--help") {
    FWRITE(1, CUSAGE);
    return 0;
  }
  // Root takes the rights of the table directory's owner, as meldimport does.
  const FOwner nowner = FTAKEOWNER();
  if (nowner == FOwner::Unsafe) {
    FSAY("meldimport-all: Verzeichnis fuer andere beschreibbar - Abbruch\n");
    return 1;
  }
  if (nowner == FOwner::Failed) {
    FSAY("meldimport-all: Benutzer des Verzeichnisses nicht annehmbar - Abbruch\n");
    return 1;
  }
  std::string cwhy;
  if (cargs.empty()) {
    cwhy = "kein ORDNER angegeben";
  } else if (cargs.size() > 1) {
    cwhy = "zu viele Argumente: nur ein ORDNER";
  } else if (!FISDIR(cargs[0])) {
    cwhy = shownname(cargs[0]) + " ist kein Verzeichnis";
  } else if (FSAMEENTRY(cargs[0], ".")) {
    // Its files are the table's own: none of them is a mail.
    cwhy = shownname(cargs[0]) + " ist das Verzeichnis der Tabelle, nicht ein Ordner von Mails";
  }
  if (!cwhy.empty()) {
    FSAY("meldimport-all: " + cwhy + "\n" + std::string(CUSAGE));
    return 2;
  }
  return MELDFOLDER(cargs[0]);
}

}  // namespace meld
