// Folder import: every mail of a folder through the same import as
// mail.txt, one after the other in one process, with a running log.
#pragma once

#include <string_view>

namespace meld {

// Imports, in the current directory (that of tage.txt and tabelle.csv),
// every regular file directly in cfolder whose name does not start with
// ".", in the bytewise order of the names. Each mail is claimed into
// cfolder/.in-arbeit first, moved to cfolder/importiert once its line is
// stored (kept in cfolder/.in-arbeit/gespeichert where it cannot go there),
// to cfolder/keine-anmeldung when it is no registration, and put back when
// it failed; prot-all.txt gets its name and its protocol. Returns 0 when
// every mail was imported or was no registration, 1 otherwise.
int MELDFOLDER(std::string_view cfolder);

// Entry of meldimport-all: the folder as the one argument, or --help.
// Returns 2 after a usage line for a wrong call, before anything else is
// looked at; run by root, 1 for a folder that is not the table owner's alone.
int MAINALL(int argc, const char* const* argv);

}  // namespace meld
