// Run sequence and protocol: one pass over mail, day list and table, with
// the protocol prot.txt as the only report.
#pragma once

#include <string_view>

#include "runstate.h"

namespace meld {

// Imports the mail read from cmailname exactly as mail.txt would be: the
// protocol names it mail.txt, is written to prot.txt and stays in r.CPROT.
// A mail that was seen there (blisted) and is gone is one that cannot be
// read, never one that is missing.
MResult MELDMAIL(RUNSTATE& r, std::string_view cmailname, bool blisted = false);

// Where the line of a mail that a dead run claimed is: in the table, not in
// it, or not to be told (the mail, the day list or the table unreadable).
// r carries PIMPORTED; nothing is written but a torn tail cut back.
LINEPLACE CLAIMLINE(RUNSTATE& r, std::string_view cmailname);

// 0 when the line is stored or there was no mail, 1 when a registration
// was there and is not in the table, or the mail was none.
int EXITSTATUS(MResult nres);

// Imports mail.txt in the current directory; returns the exit status.
int MELD();

// Process entry: arguments and environment are ignored, nothing is printed.
int MAIN();

}  // namespace meld
