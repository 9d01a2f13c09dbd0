#include "folder.h"

#include <algorithm>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "file.h"
#include "folder_run.h"
#include "mailfields.h"
#include "meld.h"
#include "page.h"
#include "table.h"
#include "text.h"

namespace meld {

using namespace folderrun;

namespace {

// The mails of a directory: its regular files whose names do not start
// with ".", in the bytewise order of the names.
bool listmails(std::string_view cdir, std::vector<std::string>* pcnames) {
  auto cfiles = FLISTFILES(cdir);
  if (!cfiles) return false;
  *pcnames = std::move(*cfiles);
  std::erase_if(*pcnames, [](const std::string& c) { return c.empty() || c[0] == '.'; });
  std::sort(pcnames->begin(), pcnames->end(), [](const std::string& a, const std::string& b) { return LT(a, b); });
  return true;
}

// A mail found by the run: its name and the directory it lies in.
struct MAIL {
  std::string CNAME, CDIR;
};

// The mails of all the run's sources, in the bytewise order of their names.
bool listsources(const FOLDERRUN& f, std::vector<MAIL>* pmails) {
  for (const auto& cdir : f.CSOURCES) {
    std::vector<std::string> cnames;
    if (!listmails(cdir, &cnames)) return false;
    for (auto& cn : cnames) pmails->push_back({std::move(cn), cdir});
  }
  // One source is in order already; the mails of a Maildir's new and cur go together.
  if (f.CSOURCES.size() > 1)
    std::stable_sort(pmails->begin(), pmails->end(), [](const MAIL& a, const MAIL& b) { return LT(a.CNAME, b.CNAME); });
  return true;
}

// A Maildir: a directory that holds cur, new and tmp.
bool ismaildir(std::string_view cdir) {
  return FISDIR(joined(cdir, "cur")) && FISDIR(joined(cdir, "new")) && FISDIR(joined(cdir, "tmp"));
}

// Makes the Maildir++ folder .NAME of a Maildir where none is (cur, new,
// tmp and the file maildirfolder), and adds NAME to the Maildir's
// subscriptions, so that mail programs that show only subscribed folders
// list it. True when its cur is there.
bool makemaildirfolder(std::string_view cmaildir, std::string_view cname) {
  const std::string cdir = joined(cmaildir, "." + std::string(cname));
  if (FISDIR(joined(cdir, "cur"))) return true;
  // Private, as the mail server makes a mailbox's folders.
  if (!FMAKEDIR(cdir, true)) return false;
  for (const char* csub : {"tmp", "new", "cur"})
    if (!FMAKEDIR(joined(cdir, csub), true)) return false;
  // Durable before a mail is moved into it: else a power loss could keep
  // the mail's move and lose the folder it went to.
  if (!FSYNCDIR(cdir) || !FSYNCDIR(cmaildir)) return false;
  FCREATENEW(joined(cdir, "maildirfolder"), "");
  // One name a line, as the mail server keeps it; a name already there is not added again.
  const std::string csubs = joined(cmaildir, "subscriptions");
  const FOPENED o = FREADNAMED(csubs, 1 << 20);
  FCLOSE(o.nhandle);
  const std::string& clist = o.ctext;
  if (("\n" + clist).find("\n" + std::string(cname) + "\n") == std::string::npos) {
    const int nsubs = FOPENAPPEND(csubs);
    FWRITE(nsubs, (clist.empty() || clist.back() == '\n' ? "" : "\n") + std::string(cname) + "\n");
    FCLOSE(nsubs);
  }
  return true;
}

// Makes a place the run keeps mails in, where none is: in a Maildir the
// Maildir++ folder cname (its leading "." aside), else the directory cdir.
// True when it is there.
bool makeplace(const FOLDERRUN& f, const std::string& cdir, std::string_view cname) {
  if (f.BMAILDIR) return makemaildirfolder(f.CFOLDER, cname.substr(cname[0] == '.' ? 1 : 0));
  if (FISDIR(cdir)) return true;
  // A new directory is durable in its parent before a mail is moved into it.
  return FMAKEDIR(cdir) && FSYNCDIR(cdir.substr(0, cdir.rfind('/')));
}

// The name of the n-th try in a directory: the mail's own, else NAME.n,
// the name shortened (never inside a UTF-8 character) so that it fits. In
// a Maildir the unique part goes before the info (NAME.2:2,S), never after.
std::string nameoftry(const FOLDERRUN& f, const std::string& cname, int n) {
  const size_t ninfo = f.BMAILDIR ? std::min(cname.find(':'), cname.size()) : cname.size();
  const std::string_view cbase = std::string_view(cname).substr(0, ninfo), cinfo = std::string_view(cname).substr(ninfo);
  std::string csuffix = n == 1 ? std::string() : "." + std::to_string(n);
  csuffix += cinfo;
  size_t nkeep = std::min(cbase.size(), NMAXNAME - std::min(NMAXNAME, csuffix.size()));
  while (nkeep > 0 && nkeep < cbase.size() && (static_cast<unsigned char>(cbase[nkeep]) & 0xC0) == 0x80) --nkeep;
  std::string cres(cbase.substr(0, nkeep));
  cres += csuffix;
  return cres;
}

// Moves cfrom into cdir under a name of its own there: Okay, Exists where
// every name tried is taken, or Failed, a failure that every mail would meet
// (a directory that cannot be written, on another file system).
FStatus moveinto(FOLDERRUN& f, const std::string& cname, const std::string& cfrom, const std::string& cdir,
               std::string_view cdirname) {
  // A Maildir keeps the part of a name before its info unique: a mail whose
  // part is taken there by another with other flags gets a name of its own.
  std::set<std::string>* pbases = nullptr;
  if (f.BMAILDIR) {
    const auto [it, bnew] = f.BASES.try_emplace(cdir);
    pbases = &it->second;
    if (const auto cnames = bnew ? FLISTFILES(cdir) : std::nullopt; cnames)
      for (const auto& cn : *cnames) pbases->insert(cn.substr(0, cn.find(':')));
  }
  for (int n = 1; n <= NDONENAMES; ++n) {
    const std::string cto = nameoftry(f, cname, n);
    const std::string cbase = cto.substr(0, cto.find(':'));
    if (pbases != nullptr && pbases->count(cbase) > 0) continue;
    const FStatus nmove = FMOVE(cfrom, joined(cdir, cto));
    if (nmove == FStatus::Exists) continue;
    if (nmove == FStatus::Okay && pbases != nullptr) pbases->insert(cbase);
    if (nmove == FStatus::Okay && n > 1)
      logentry(f, cname, "nach " + std::string(cdirname) + "/" + shownname(cto) + " verschoben\r\n");
    return nmove;
  }
  return FStatus::Exists;
}

// A stored mail that cannot go to importiert stays in .in-arbeit/gespeichert,
// where no run takes it for a claim whose line may be missing; the next run
// that can moves it on.
void keepstored(FOLDERRUN& f, const std::string& cname, const std::string& cclaimed) {
  const bool bkept = makeplace(f, f.CKEEP, f.CKEEPNAME) && FMOVE(cclaimed, joined(f.CKEEP, cname)) == FStatus::Okay;
  (bkept ? f.CKEPT : f.CSTUCK).push_back(cname);
  logentry(f, cname,
           "bleibt in " + (bkept ? f.CKEEPNAME : std::string(CCLAIMDIR)) +
               ": Zeile in tabelle.csv, kann nicht nach importiert verschoben werden\r\n");
}

// Puts a claimed mail back into the folder, for the next run.
void putback(FOLDERRUN& f, const MAIL& m, const std::string& cclaimed) {
  if (FMOVE(cclaimed, joined(m.CDIR, m.CNAME)) != FStatus::Okay)
    logentry(f, m.CNAME, "bleibt in .in-arbeit: kann nicht zurueckverschoben werden\r\n");
}

// Stored mails that an earlier run had to keep in .in-arbeit/gespeichert
// go to importiert now where they can.
void movekept(FOLDERRUN& f) {
  std::vector<std::string> cnames;
  if (!FISDIR(f.CKEEP) || !listmails(f.CKEEP, &cnames)) return;
  for (const auto& cn : cnames) {
    const FStatus nmove = moveinto(f, cn, joined(f.CKEEP, cn), f.CDONE, CDONEDIR);
    if (nmove == FStatus::Okay) {
      logentry(f, cn, "Zeile in tabelle.csv, aus " + f.CKEEPNAME + " nach importiert verschoben\r\n");
    } else if (nmove != FStatus::Missing) {
      f.CKEPT.push_back(cn);
    }
  }
}

// The claims that dead runs left: where the table shows whether a claim's
// line is in it, the claim goes to importiert (its line is there) or back
// into the folder, where this run imports it (it is not); the others stay
// in CLEFT, named in the summary.
void settleclaims(FOLDERRUN& f) {
  std::vector<std::string> cleft;
  for (const auto& cn : f.CLEFT) {
    const std::string cclaimed = joined(f.CCLAIM, cn);
    RUNSTATE r;
    r.PIMPORTED = &f.MIMPORTED;
    r.CMAILNAME = cn;
    const LINEPLACE nplace = CLAIMLINE(r, FLINKPATH(cclaimed));
    // In a Maildir the claim carries its info: it goes back into cur.
    if (nplace == LINEPLACE::IN && moveinto(f, cn, cclaimed, f.CDONE, CDONEDIR) == FStatus::Okay) {
      logentry(f, cn, "lag in .in-arbeit von einem abgebrochenen Lauf: Zeile in tabelle.csv, nach importiert verschoben\r\n");
    } else if (nplace == LINEPLACE::OUT && FMOVE(cclaimed, joined(f.CSOURCES.back(), cn)) == FStatus::Okay) {
      logentry(f, cn, "lag in .in-arbeit von einem abgebrochenen Lauf: Zeile nicht in tabelle.csv, wird importiert\r\n");
    } else {
      cleft.push_back(cn);
    }
  }
  f.CLEFT = std::move(cleft);
}

// Claims the mail, imports it and moves it on.
void importone(FOLDERRUN& f, const MAIL& m) {
  const std::string& cname = m.CNAME;
  // In a Maildir a claim lies in cur, and a mail from new gets the info
  // there that marks it unread.
  const bool bnoinfo = f.BMAILDIR && cname.find(':') == std::string::npos;
  const std::string cmail = joined(m.CDIR, cname), cclaimed = joined(f.CCLAIM, bnoinfo ? cname + std::string(CNEWINFO) : cname);
  const std::string cclaimname = cclaimed.substr(f.CCLAIM.size() + 1);
  // A mail that is a link is read from where it leads, wherever the link is moved.
  const std::string clink = FLINKPATH(cmail);
  // The claim is a rename: of two runs that try, one gets the mail.
  const FStatus nclaim = FMOVE(cmail, cclaimed);
  if (nclaim == FStatus::Missing) {
    ++f.NOTHER;
    return;
  }
  if (nclaim != FStatus::Okay) {
    ++f.NFAILED;
    logentry(f, cname, "kann nicht nach .in-arbeit verschoben werden - nicht importiert\r\n");
    return;
  }
  // The claim must be durable before the line is, or a crash could bring
  // the mail back for a second import; where it is not, no claim will be.
  if (!FSYNCDIR(f.CCLAIM)) {
    ++f.NFAILED;
    f.BSTOP = true;
    f.CWHY = ".in-arbeit kann nicht gesichert werden";
    logentry(f, cname, "kann nicht dauerhaft nach .in-arbeit verschoben werden - nicht importiert\r\n");
    putback(f, m, cclaimed);
    return;
  }
  RUNSTATE r;
  r.PIMPORTED = &f.MIMPORTED;
  r.CMAILNAME = cname;
  const MResult nres = MELDMAIL(r, clink == cmail ? cclaimed : clink, true);
  const bool bstored = nres == MResult::Stored || nres == MResult::StoredNoProtocol;
  const bool bnoreg = nres == MResult::NoRegistration, bdouble = nres == MResult::Double;
  ++(bstored ? f.NSTORED : bnoreg ? f.NNOREG : bdouble ? f.NDOUBLE : f.NFAILED);
  if (nres == MResult::FailedForAll || nres == MResult::StoredNoProtocol || nres == MResult::Locked) {
    f.BSTOP = true;
    f.CWHY = r.CWHY.empty() ? "tabelle.csv konnte nicht ergaenzt werden" : r.CWHY;
  }
  // The log before the move: a run that dies in between leaves the mail
  // claimed, and the log tells what became of it.
  logentry(f, cname, r.CPROT);
  if (bstored) {
    const FStatus nmove = moveinto(f, cclaimname, cclaimed, f.CDONE, CDONEDIR);
    if (nmove == FStatus::Okay) return;
    if (nmove == FStatus::Failed) {
      f.BSTOP = true;
      f.CWHY = "importiert nicht beschreibbar";
    }
    keepstored(f, cclaimname, cclaimed);
  } else if (bnoreg || bdouble) {
    // No line to keep apart: where the place fails, the mail waits in the folder.
    bool& bplace = bnoreg ? f.BNOREGDIR : f.BDOUBLEDIR;
    const std::string& cdir = bnoreg ? f.CNOREG : f.CDOUBLE;
    const std::string_view cdirname = bnoreg ? CNOREGDIR : CDOUBLEDIR;
    if (!bplace) bplace = makeplace(f, cdir, cdirname);
    if (!bplace || moveinto(f, cclaimname, cclaimed, cdir, cdirname) != FStatus::Okay) {
      logentry(f, cname, "kann nicht nach " + std::string(cdirname) + " verschoben werden\r\n");
      putback(f, m, cclaimed);
    }
  } else {
    putback(f, m, cclaimed);
  }
}

int stopwith(std::string_view cwhy) {
  FSAY("meldimport-all: " + std::string(cwhy) + " - Abbruch\n");
  return 1;
}

// The places the folder import keeps mails in, as plain directories and
// as Maildir++ folders: never a folder of new mails.
bool isownplace(std::string_view cname) {
  const std::string_view cbare = cname.substr(cname.starts_with('.') ? 1 : 0);
  for (const std::string_view c : {CDONEDIR, CNOREGDIR, CDOUBLEDIR})
    if (cbare == c) return true;
  return cname == CCLAIMDIR || cname == std::string(CCLAIMDIR) + "." + std::string(CKEEPDIR);
}

// Splits a folder's name into its directory ("." for none) and its last name.
std::pair<std::string, std::string> splitfolder(std::string_view cdir) {
  while (cdir.size() > 1 && cdir.back() == '/') cdir.remove_suffix(1);
  const size_t nslash = cdir.rfind('/');
  if (nslash == std::string_view::npos) return {".", std::string(cdir)};
  return {std::string(cdir.substr(0, nslash == 0 ? 1 : nslash)), std::string(cdir.substr(nslash + 1))};
}

// The Maildir of which cdir is the new, cur or tmp directory; empty where it is none.
std::string maildirof(std::string_view cdir) {
  const auto [cparent, cbase] = splitfolder(cdir);
  if (cbase != "new" && cbase != "cur" && cbase != "tmp") return {};
  return ismaildir(cparent) ? cparent : std::string();
}

// Where cdir is one of the places a folder import keeps mails in, the
// folder to give instead; else empty.
std::string folderofplace(std::string_view cdir) {
  const auto [cparent, cbase] = splitfolder(cdir);
  if (cbase == CKEEPDIR && splitfolder(cparent).second == CCLAIMDIR) return splitfolder(cparent).first;
  return isownplace(cbase) ? cparent : std::string();
}

}  // namespace

int MELDFOLDER(std::string_view cfolder) {
  while (cfolder.size() > 1 && cfolder.back() == '/') cfolder.remove_suffix(1);
  FOLDERRUN f;
  f.CFOLDER = cfolder;
  f.BMAILDIR = ismaildir(cfolder);
  f.CCLAIMROOT = joined(cfolder, CCLAIMDIR);
  if (f.BMAILDIR) {
    // A Maildir stays a Maildir: nothing is made inside cur, new or tmp,
    // and the mails are kept in Maildir++ folders beside them.
    f.CSOURCES = {joined(cfolder, "new"), joined(cfolder, "cur")};
    f.CCLAIM = joined(f.CCLAIMROOT, "cur");
    f.CDONE = joined(joined(cfolder, "." + std::string(CDONEDIR)), "cur");
    f.CNOREG = joined(joined(cfolder, "." + std::string(CNOREGDIR)), "cur");
    f.CDOUBLE = joined(joined(cfolder, "." + std::string(CDOUBLEDIR)), "cur");
    f.CKEEP = joined(std::string(f.CCLAIMROOT) + "." + std::string(CKEEPDIR), "cur");
    f.CKEEPNAME = std::string(CCLAIMDIR) + "." + std::string(CKEEPDIR);
  } else {
    f.CSOURCES = {std::string(cfolder)};
    f.CCLAIM = f.CCLAIMROOT;
    f.CDONE = joined(cfolder, CDONEDIR);
    f.CNOREG = joined(cfolder, CNOREGDIR);
    f.CDOUBLE = joined(cfolder, CDOUBLEDIR);
    f.CKEEP = joined(f.CCLAIM, CKEEPDIR);
    f.CKEEPNAME = std::string(CCLAIMDIR) + "/" + std::string(CKEEPDIR);
  }
  f.BTERMINAL = FISTERMINAL(2);
  // Nothing is made before the run knows it may write where it must: the
  // event's directory, the folder, and a Maildir's new and cur.
  if (!FWRITABLEDIR(".")) return stopwith("keine Schreibrechte fuer " + shownname(FCURRENTDIR()));
  std::vector<std::string> cwritten = {f.CFOLDER};
  if (f.BMAILDIR) cwritten.insert(cwritten.end(), f.CSOURCES.begin(), f.CSOURCES.end());
  for (const auto& cdir : cwritten)
    if (!FWRITABLEDIR(cdir)) return stopwith("keine Schreibrechte fuer " + shownname(cdir));
  const int nlog = FOPENAPPEND(CLOGNAME);  // made where missing; each entry opens it again
  if (nlog < 0) return stopwith("prot-all.txt kann nicht geoeffnet werden");
  FCLOSE(nlog);
  if (!makeplace(f, f.CCLAIM, CCLAIMDIR)) return stopwith(shownname(f.CCLAIM) + " kann nicht angelegt werden");
  if (!makeplace(f, f.CDONE, CDONEDIR)) return stopwith(shownname(f.CDONE) + " kann nicht angelegt werden");
  // Every run holds a shared lock on the claim directory while it claims.
  // A run that gets it exclusively is alone: what lies there was left by
  // runs that died, and their lines may or may not be in the table.
  f.NCLAIMLOCK = FOPENDIR(f.CCLAIMROOT);
  const bool balone = FLOCKALONE(f.NCLAIMLOCK);
  if (balone) listmails(f.CCLAIM, &f.CLEFT);
  std::vector<MAIL> cnames;
  int nstatus = 1;
  FSETWAIT(NLOCKWAIT);
  const bool bshared = FLOCKSHARED(f.NCLAIMLOCK);
  if (bshared && balone) settleclaims(f);  // before the listing: a claim put back is imported now
  if (!bshared) {
    stopwith(shownname(f.CCLAIMROOT) + " kann nicht gesperrt werden");
  } else if (!listsources(f, &cnames)) {
    stopwith(shownname(cfolder) + " kann nicht gelesen werden");
  } else {
    for (const auto& cn : f.CLEFT)
      logentry(f, cn,
               "liegt in .in-arbeit von einem abgebrochenen Lauf - nicht importiert, "
               "Zeile vielleicht in tabelle.csv\r\n");
    if (balone) movekept(f);
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
    if (f.BDOUBLEDIR) FSYNCDIR(f.CDOUBLE);
    if (!f.CKEPT.empty()) FSYNCDIR(f.CKEEP);
    for (const auto& cdir : f.CSOURCES) FSYNCDIR(cdir);
    nstatus = f.NFAILED + f.NUNDONE == 0 && f.CLEFT.empty() && f.CKEPT.empty() && f.CSTUCK.empty() && !f.BLOGFAILED ? 0 : 1;
    // The overview follows the table; it never changes what was imported
    // nor the run's status.
    // A table that is not meldimport's is told of when a line went into
    // it, not by every scheduled run that finds no mail.
    if (f.NSTORED > 0 || PAGESTALE()) {
      const PAGEDONE p = WRITEPAGE();
      if (f.NSTORED > 0 || !p.BNOTOURS) f.CPAGE = p.CWHY;
    }
    // A run that found nothing to do says nothing, so that a schedule every
    // few minutes fills neither the log nor the mailbox of cron.
    const bool bquiet = f.NMAILS == 0 && f.NENTRIES == 0 && nstatus == 0 && f.CPAGE.empty();
    const std::string cend = FNOW() + " " + summary(f);
    if (!f.BLOGFAILED && !bquiet) appendlog("Ende: " + cend + "\r\n");
    if (!bquiet || f.BTERMINAL) showline(f, cend, true);
  }
  FCLOSE(f.NCLAIMLOCK);
  return nstatus;
}

int MAINALL(int argc, const char* const* argv) {
  FSTARTUP();
  const std::vector<std::string> cargs = FARGS(argc, argv);
  if (cargs.size() == 1 && cargs[0] == "--help") {
    FWRITE(1, CUSAGE);
    return 0;
  }
  const bool bpage = cargs.size() == 1 && cargs[0] == "--uebersicht";
  // A wrong call is told as such before anything is looked at but the folder.
  std::string cwhy;
  if (cargs.empty()) {
    cwhy = "kein ORDNER angegeben";
  } else if (cargs.size() > 1) {
    cwhy = "zu viele Argumente: nur ein ORDNER";
  } else if (bpage) {
    if (FLOOK("tabelle.csv") == FStatus::Missing) cwhy = "keine tabelle.csv in " + shownname(FCURRENTDIR());
  } else if (!FISDIR(cargs[0])) {
    cwhy = shownname(cargs[0]) + " ist kein Verzeichnis";
  } else if (FSAMEENTRY(cargs[0], ".")) {
    // Its files are the table's own: none of them is a mail.
    cwhy = shownname(cargs[0]) + " ist das Verzeichnis der Tabelle, nicht ein Ordner von Mails";
  } else if (const std::string cmaildir = maildirof(cargs[0]); !cmaildir.empty()) {
    // A directory made inside it would break the Maildir: the whole one is imported.
    cwhy = shownname(cargs[0]) + " ist ein Teil der Maildir " + shownname(cmaildir) + ": ORDNER ist " + shownname(cmaildir);
  } else if (const std::string cinstead = folderofplace(cargs[0]); !cinstead.empty()) {
    // Its mails were imported or put aside already: imported again, every one would be a double.
    cwhy = shownname(cargs[0]) + " ist ein Ordner, in den meldimport-all Mails ablegt: ORDNER ist " + shownname(cinstead);
  } else if (FLOOK("tabelle.csv") == FStatus::Missing && FLOOK("tage.txt") == FStatus::Missing) {
    // Without them this is no event's directory: a table made here would have no day columns.
    cwhy = "weder tabelle.csv noch tage.txt in " + shownname(FCURRENTDIR()) + " - ist das das Verzeichnis der Veranstaltung?";
  }
  if (!cwhy.empty()) {
    FSAY("meldimport-all: " + cwhy + "\n" + std::string(CUSAGE));
    return 2;
  }
  // Root takes the rights of the table directory's owner, as meldimport
  // does; the folder must be that user's alone, or another user could plant
  // links and names for root's run in it.
  const FStatus nowner = FTAKEOWNER();
  if (nowner == FStatus::Unsafe) {
    FSAY("meldimport-all: Verzeichnis fuer andere beschreibbar - Abbruch\n");
    return 1;
  }
  if (nowner != FStatus::Okay) {
    FSAY("meldimport-all: Benutzer des Verzeichnisses nicht annehmbar - Abbruch\n");
    return 1;
  }
  if (bpage) {
    const std::string cwhy = WRITEPAGE().CWHY;
    FSAY("meldimport-all: " + (cwhy.empty() ? std::string("uebersicht.html geschrieben") : cwhy + " - Abbruch") + "\n");
    return cwhy.empty() ? 0 : 1;
  }
  if (!FOWNEDALONE(cargs[0])) {
    FSAY("meldimport-all: " + shownname(cargs[0]) +
         " gehoert nicht allein dem Benutzer des Verzeichnisses der Tabelle - Abbruch\n");
    return 1;
  }
  return MELDFOLDER(cargs[0]);
}

}  // namespace meld
