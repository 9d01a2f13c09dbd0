// The folder import's own state and its report, shared by its two files:
// folder.cpp (the run) and folder_report.cpp (the log, the summary and the
// progress line). Included by them only.
#pragma once

#include <map>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "runstate.h"

namespace meld::folderrun {

constexpr std::string_view CLOGNAME = "prot-all.txt";
constexpr std::string_view CCLAIMDIR = ".in-arbeit";
constexpr std::string_view CDONEDIR = "importiert";
constexpr std::string_view CNOREGDIR = "keine-anmeldung";
constexpr std::string_view CDOUBLEDIR = "doppelt";
constexpr std::string_view CKEEPDIR = "gespeichert";  // in .in-arbeit: stored mails that could not go to importiert
constexpr std::string_view CNEWINFO = ":2,";  // the info of a mail in a Maildir's cur that no one has read
constexpr std::string_view CUSAGE =
    "Aufruf: meldimport-all ORDNER   (im Verzeichnis von tage.txt und tabelle.csv)\n"
    "        meldimport-all --uebersicht   (schreibt nur uebersicht.html aus tabelle.csv)\n";
constexpr int NLOCKWAIT = 10;   // seconds to wait for a run that looks for left claims
constexpr int NDONENAMES = 99;  // names tried in importiert for one mail
constexpr size_t NMAXNAME = 255;  // bytes of a name that every file system here takes
constexpr double NLOGWAIT = 10;   // seconds to wait for another run's log entry
constexpr std::string_view CLOGFAILED = "prot-all.txt konnte nicht ergaenzt werden";

// The state of one folder import.
struct FOLDERRUN {
  std::string CFOLDER;                 // the folder as given
  bool BMAILDIR = false;               // a Maildir: mails in new and cur, kept in Maildir++ folders
  std::vector<std::string> CSOURCES;   // where the mails lie: the folder, or its new and cur
  std::string CCLAIMROOT, CCLAIM;      // the claim directory (locked) and where claims lie in it
  std::string CDONE, CNOREG, CDOUBLE, CKEEP;  // where imported, unregistered, double and kept stored mails go
  std::string CKEEPNAME;               // the name the log gives CKEEP
  int NCLAIMLOCK = -1;                 // the claim directory, locked shared while the run claims
  bool BTERMINAL = false;              // standard error is a terminal: show progress
  size_t NPROGRESS = 0;                // length of the progress line shown
  long long NMAILS = 0, NSTORED = 0, NFAILED = 0, NNOREG = 0, NDOUBLE = 0, NOTHER = 0, NUNDONE = 0;
  long long NENTRIES = 0;  // entries the run wrote to the log
  IMPORTED MIMPORTED;      // the mails imported into the table, as far as read
  std::vector<std::string> CLEFT;  // claims left by runs that died
  std::vector<std::string> CKEPT;   // stored mails that lie in CKEEP, not in importiert
  std::vector<std::string> CSTUCK;  // stored mails that could not even go there: in CCLAIM
  bool BSTOP = false;              // stop: every further mail would fail the same way, or the log does
  std::string CWHY;                // why the run stopped, where the summary says it
  bool BLOGFAILED = false;
  bool BNOREGDIR = false;  // keine-anmeldung is there
  bool BDOUBLEDIR = false;  // doppelt is there
  std::string CPAGE;         // why uebersicht.html could not be written; "" where it was or had not to be
  std::map<std::string, std::set<std::string>> BASES;  // of a Maildir's target: the names before their info
};

// cdir/cname.
std::string joined(std::string_view cdir, std::string_view cname);

// A file name on one line: shown with the table's rule.
std::string shownname(std::string_view cname);

// Appends an entry to prot-all.txt whole or not at all (see APPENDRECORD).
bool appendlog(std::string_view centry);

// One entry of the running log: a line naming the mail, then ctext; the
// run's first entry begins with the date and time.
void logentry(FOLDERRUN& f, std::string_view cname, std::string_view ctext);

// "10 importiert, 2 fehlgeschlagen": the progress so far.
std::string tally(const FOLDERRUN& f);
std::string counted(long long n, std::string_view cwhat);

// The summary line, "12 Mails: 10 importiert, 2 fehlgeschlagen", and what
// else there is to say.
std::string summary(const FOLDERRUN& f);

// Standard error: the progress line written over on a terminal, the final one always.
void showline(FOLDERRUN& f, const std::string& cline, bool bfinal);

}  // namespace meld::folderrun
