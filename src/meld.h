// Run sequence and protocol: one pass over mail, day list and table, with
// the protocol prot.txt as the only report.
#pragma once

#include <string>
#include <string_view>

namespace meld {

// The run state: one flat record that lives for one run.
struct RUNSTATE {
  int NPROT = -1;     // protocol file, created at the start of the run
  std::string CPROT;  // protocol buffer, written to NPROT once
  int NMAIL = -1;     // registration mail, open until the end of the run
  std::string CMAIL;  // mail text, at most 50,000 bytes
  int NTAGE = -1;     // day list, open until the end of the run
  std::string CTAGE;  // day list text, at most 1,000 bytes
  long long NANZTAGE = 0;  // day columns in use, 0 to 200
  int NTAB = -1;      // table file, locked while the new line is stored
  std::string CHEAD;  // header of a new table
  std::string CLINE;  // the new registration line, CR LF included
  bool BSTORED = false;  // the new line is durably in the table
  long long NSTART = 0, NLEN = 0, NENDE = 0, I = 0;  // field scans
  std::string CSTR;     // value or code of the field being built
  std::string CDAYSTR;  // current day token
};

// How an import ended, chosen where it ended. A folder import goes on with
// the next mail after Stored, NoMail and Failed and stops after the others.
enum class MResult {
  Stored,            // the line is durably in the table
  NoMail,            // there was no mail: nothing else was touched
  Failed,            // the line is not in the table, for a reason of this mail
  FailedForAll,      // not in the table, for a reason every further mail meets too
  StoredNoProtocol,  // the line is stored, but prot.txt could not be written
};

// Appends one protocol line and its CR LF.
void LOG(RUNSTATE& r, std::string_view cline);

// Imports the mail read from cmailname exactly as mail.txt would be: the
// protocol names it mail.txt, is written to prot.txt and stays in r.CPROT.
MResult MELDMAIL(RUNSTATE& r, std::string_view cmailname);

// 0 when the line is stored or there was no mail, 1 when a registration
// was there and is not in the table.
int EXITSTATUS(MResult nres);

// Imports mail.txt in the current directory; returns the exit status.
int MELD();

// Process entry: arguments and environment are ignored, nothing is printed.
int MAIN();

}  // namespace meld
