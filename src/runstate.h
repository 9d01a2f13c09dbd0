// The run state of one import: one flat record of named values that lives
// for the run, how the import ended, and the protocol it keeps. Every part of
// the import shares it; none of them needs the run sequence itself.
#pragma once

#include <string>
#include <string_view>
#include <unordered_map>

#include "charset.h"

namespace meld {

// The folder import's memory of the mails it imported into the table: the
// file of imported mails (importierte-mails.txt) as far as read, kept
// between the mails of a run so that each mail reads only what is new.
struct IMPORTED {
  std::unordered_map<std::string, std::string> NAMES;  // a mail's key -> the name it was imported under
  long long NREAD = 0;  // bytes of the file read into NAMES
};

// The run state: one flat record that lives for one run.
struct RUNSTATE {
  int NPROT = -1;     // protocol file, created at the start of the run
  std::string CPROT;  // protocol buffer, written to NPROT once
  int NMAIL = -1;     // registration mail, open until the end of the run
  std::string CMAIL;  // the text the fields are taken from, at most 50,000 bytes
  CHARSET NMAILCS = CHARSET::NONE;  // its character set; NONE: a plain text not yet looked at
  int NTAGE = -1;     // day list, open until the end of the run
  std::string CTAGE;  // the days as units, each token followed by ";"
  long long NANZTAGE = 0;  // day columns in use, 0 to 200
  int NTAB = -1;      // table file, locked while the new line is stored
  std::string CHEAD;  // header of a new table
  std::string CLINE;  // the new registration line, CR LF included, in the mail's character set
  long long NREPLACED = 0;  // characters of the line shown as "?" in the table
  bool BSTORED = false;  // the new line is durably in the table
  // The folder import only: each mail once. PIMPORTED is null for meldimport.
  IMPORTED* PIMPORTED = nullptr;
  std::string CMAILNAME;  // the mail's name in the folder, kept with its key
  std::string CKEY;       // its Message-ID, or "sha256:" and the digest of its bytes
  std::string CFIRST;     // a double: the name of the mail it doubles
  std::string CWHY;       // why the import stopped for every mail, in the protocol's words
  long long NSTART = 0, NLEN = 0, NENDE = 0, I = 0;  // field scans
  std::string CSTR;     // value or code of the field being built
  std::string CDAYSTR;  // current day token
};

// How an import ended, chosen where it ended. A folder import goes on with
// the next mail after Stored, NoMail, NoRegistration, Double and Failed and stops
// after the others.
enum class MResult {
  Stored,            // the line is durably in the table
  NoMail,            // there was no mail: nothing else was touched
  NoRegistration,    // the mail is no registration: nothing else was touched
  Double,            // imported into this table before: the table is as it was
  Failed,            // the line is not in the table, for a reason of this mail
  FailedForAll,      // not in the table, for a reason every further mail meets too
  Locked,            // not in the table: it stayed locked by another program for the bound
  StoredNoProtocol,  // the line is stored, but prot.txt could not be written
};

// Whether a mail's line is in the table.
enum class LINEPLACE { IN, OUT, UNKNOWN };

// Appends one protocol line and its CR LF.
inline void LOG(RUNSTATE& r, std::string_view cline) {
  r.CPROT += cline;
  r.CPROT += "\r\n";
}

}  // namespace meld
