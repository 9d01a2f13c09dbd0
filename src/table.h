// Registration table tabelle.csv: a header line and one line per mail, every
// field followed by ";", lines ended by CR LF. The table is only ever
// appended to; a new one appears whole or not at all.
#pragma once

#include <string>
#include <string_view>

#include "runstate.h"

namespace meld {

// Header line of a new table, CR LF included.
std::string TABHEADER(std::string_view ctage, long long nanztage);

// Whether a new line fits under the table that starts with cstart (its
// first LEN(chead) bytes, or all of a shorter table), chead being the header
// a new table would get now: a table that begins like a header must begin
// with exactly that one; any other table (empty, begun by hand) fits.
bool HEADERFITS(std::string_view cstart, std::string_view chead);

// What must go before a new line so that it starts a record of its own,
// given the size of the table and its last byte (-1 for none): nothing after
// LF or in an empty table, LF after a lone CR, CR LF otherwise.
std::string_view SEPARATOR(long long nsize, int nlast);

// Appends ctext to an open file of nsize bytes under its lock, behind the
// separator that its last byte nlast (-1 for none) asks for, with one write
// made durable (see FAPPENDSYNC); the file's records begin at nbegin (behind
// a mark), so one that is the mark alone counts as empty. False, with the
// file as it was, where the line is not durably there or no last byte could
// be read.
bool APPENDRECORD(int nhandle, long long nsize, int nlast, std::string_view ctext, long long nbegin = 0);

// Whether CLINE (in the mail's character set) is in tabelle.csv as a line
// of its own, or, with PIMPORTED, the file of imported mails names CKEY.
// Torn tails are cut back on the way (the files are opened under their
// locks); UNKNOWN where the table cannot be read.
LINEPLACE LINEINTABLE(RUNSTATE& r);

// Stores CLINE in tabelle.csv (a new table gets CHEAD first), sets BSTORED
// and logs the table's protocol lines; the table's handle is closed again as
// soon as the line is durable, so that other runs do not wait for this one. A table that cannot be opened
// or created, or whose header the day list does not fit, fails for all.
MResult STORETABLE(RUNSTATE& r);

}  // namespace meld
