// Mail field extraction: turns the mail text into one registration line.
#pragma once

#include <string>
#include <string_view>

#include "runstate.h"

namespace meld {

// The value that starts at position nstart and ends before the first CR or
// LF, or the end of the mail, among positions nstart .. nstart + nwindow;
// empty when there is none.
// Shown with the table's rule (see SHOWN).
std::string FIELDSCAN(RUNSTATE& r, long long nstart, long long nwindow);

// Appends ctext to cdst so that it cannot break the table: bytes below 32
// become "." and ";" becomes ":".
void SHOWN(std::string& cdst, std::string_view ctext);

// True for the first bytes that a value in the table is guarded against
// with a "'" before it: those that make a spreadsheet take a cell as a
// formula, and '"', which would make it read the field as quoted and
// swallow the lines after it.
bool ISGUARDED(unsigned char c);

// True where canswer occurs in cmail as a whole word: the byte after it is
// no letter (A-Z, a-z, 128-255) or the mail ends there.
bool ANSWERED(std::string_view canswer, std::string_view cmail);

// "-;" for the no answer, else "J;" for the yes answer, else "?;".
std::string_view ANSWERCODE(std::string_view cno, std::string_view cyes, std::string_view cmail);

// Whether a mail's text is a registration: a line that begins with
// "Name: " and one that begins with "E-Mail: " (spaces or tabs before the
// label allowed; lines begin after each LF or CR), neither quoted (">"
// after any spaces or tabs). A message marked as automatic never is.
enum class REGKIND {
  REGISTRATION,
  AUTOMATIC,  // the message's own header marks it as an automatic reply or report
  QUOTED,     // both labels are there, but not both in lines of its own
  NOFORM,     // anything else
};
REGKIND REGISTRATIONOF(std::string_view ctext, bool bautomatic);

// Appends the registration line of CMAIL (with the days of CTAGE and
// NANZTAGE) and its CR LF to CLINE. The line takes over the mail's
// storage: CMAIL is empty afterwards.
void APPENDLINE(RUNSTATE& r);

// The registration line for a mail and a day list text, for callers
// without a run.
std::string MAILLINE(std::string_view cmail, std::string_view ctage);

}  // namespace meld
