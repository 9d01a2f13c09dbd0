// File primitives: the only code that calls the operating system. None of
// them prints, throws or stops the run; a failure shows only in the result
// (a status, handle -1, no text, count 0, false), and every operation given
// handle -1 does nothing and fails quietly.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace meld {

// How a call that can end in more than two ways went. Each call names the
// values it gives; each platform's body makes them from the system's error
// in one place.
enum class FStatus {
  Okay,         // done; a look at a name: a regular file
  Missing,      // no such entry (a directory counts as no file; a move: none at the source)
  Exists,       // an entry is in the way (of a new file, of a move)
  Other,        // there, but no regular file (a device, FIFO or socket)
  Marked,       // there, but marked hidden or system: counts as absent, is never replaced
  Held,         // there, but held by another run or program beyond the run's bound
  Unsafe,       // a directory of root's that others may write
  Unsupported,  // the file system cannot do this at all
  Full,         // no room left (disk or quota)
  Failed,       // any other failure
};

// What an open gave: its status, the handle (left open; -1 where none),
// and for a read by name the bytes read, for a lock the size under it.
struct FOPENED {
  FStatus nstatus = FStatus::Failed;
  int nhandle = -1;
  long long nsize = 0;
  std::string ctext;
};

// Prepares the process for an unattended run: no file of the run can take
// the place of standard input, output or error (descriptors 0, 1 and 2 are
// kept open), a file size limit shows as a write error instead of killing
// the run halfway (SIGXFSZ is ignored), and so does a closed pipe on
// standard error (SIGPIPE is ignored), and where the system would show a
// dialog box rather than fail a call (a drive that is not ready, a crash),
// the call fails: the run opens no window. Where the C library would give
// freed memory back after each mail, it keeps it.
void FSTARTUP();

// Run by root, the process takes the identity of the current directory's
// owner (group, supplementary groups, then user), so that names in the
// directory reach only what that user could reach (root itself for a
// directory of root's). Okay: so done, or run by any other user, who keeps
// its own; Unsafe: the directory belongs to root and others may write it;
// Failed: the identity could not be taken.
FStatus FTAKEOWNER();

// For a run whose identity FTAKEOWNER took: true when cdir (links
// followed) belongs to that user and no one else may write it, a directory
// in which no other user can plant a file or link for root's run. Any
// other run: true.
bool FOWNEDALONE(std::string_view cdir);

// Starts the run's one bound on waiting: every later wait (a lock, a read
// or write on a file system that may stall) ends by nseconds from now.
void FSETWAIT(double nseconds);

// Writes ctext to standard error: only where no protocol can be written.
void FSAY(std::string_view ctext);

// What a name shows (links followed): Okay for a regular file; Missing for
// none, or a directory; Other for a device, FIFO or socket; Marked for an
// entry marked hidden or system, where the file system has such marks;
// Failed for one that could not be looked at (an I/O error, a loop of links).
FStatus FLOOK(std::string_view cname);

// True for an existing entry that is not a directory (links followed); an
// entry marked hidden or system counts as absent (see FLOOK).
bool FILE(std::string_view cname);

// Opens an existing regular file for reading; a name that is no regular file
// (a FIFO, device or socket) is never opened and gives -1.
int FOPEN(std::string_view cname);

// Creates or empties a regular file, mode 0666 less the umask, open for
// reading and writing; -1 when that is impossible or the name is no regular
// file (a device is never opened, a dangling link never followed).
int FCREATE(std::string_view cname);

// Reserves room for nbytes in an open file without changing its length, so
// that a later write of up to nbytes at offset 0 cannot fail for lack of
// space. False only where the room is not there; a file system that cannot
// reserve at all counts as true.
bool FRESERVE(int nhandle, long long nbytes);

// Reads up to ncount bytes at the current position (repeating short reads)
// and returns those before the first byte 0; a read error (or handle -1, or
// a read that outlasts the run's bound) gives no bytes, as an empty file.
std::string FREADSTR(int nhandle, long long ncount);

// An input read by its name: a look, an open and a read of up to ncount
// bytes, every byte kept (a byte 0 included: what it ends is for the
// reader to say). Okay, Missing (absent, a directory, a marked entry), or
// Failed for an entry that may be there but cannot be looked at, opened or
// read; the handle is left open.
FOPENED FREADNAMED(std::string_view cname, long long ncount);

// Writes all of ctext at the current position; returns the bytes written.
long long FWRITE(int nhandle, std::string_view ctext);

bool FCLOSE(int nhandle);

// Deletes the file: 0 when deleted, -1 otherwise.
int FERASE(std::string_view cname);

// Opens an existing regular file for appending and takes an exclusive lock
// on it within the run's bound. When the name meanwhile names another file,
// that one is taken instead. The temporary file that a run killed inside
// FCREATENEW(cname) left is removed, and a torn tail that a killed append
// left (see FAPPENDSYNC) is cut off first. Okay with the handle and the
// size under the lock; Held for a file that was opened but not locked (or,
// where the system has such holds, held open by another program); Failed
// for one that could not be opened.
FOPENED FOPENLOCKED(std::string_view cname);

// Up to ncount bytes from offset noff (0-based), fewer only at the end of
// the file, all bytes kept (no cut at byte 0); the position is not moved.
// None for a read error (or handle -1), as opposed to the end of the file.
std::optional<std::string> FREADAT(int nhandle, long long noff, long long ncount);

// The byte at offset noff (0-based), or -1 when there is none.
int FBYTEAT(int nhandle, long long noff);

// Appends ctext to a file of nsize bytes with one write and makes it
// durable. While it runs, the file carries a record of the sizes before and
// after, so that the next FOPENLOCKED can take back what a killed run left
// half written. On a failed or short write or a failed sync the file is cut
// back to nsize and false returned.
bool FAPPENDSYNC(int nhandle, std::string_view ctext, long long nsize);

// Makes cname hold exactly ctext, whole or not at all: the text is written
// and synced under a temporary name first and then linked to cname, which
// is never replaced. Okay, Exists when cname appeared meanwhile, or Failed.
FStatus FCREATENEW(std::string_view cname, std::string_view ctext);

// Replaces the whole content of an open file by ctext, under an exclusive
// lock that the handle keeps until it is closed, so that runs which end
// together leave one whole text and not a mixture; a text that cannot be
// written whole leaves the file empty. Returns the bytes written.
long long FREPLACE(int nhandle, std::string_view ctext);

// Folder import: directories, moves that never replace, the running log,
// the terminal.

// The program's arguments after its name, as the byte strings that the
// names of this layer take: argv as it stands where the command line is
// bytes, each argument converted to UTF-8 where it is UTF-16.
std::vector<std::string> FARGS(int argc, const char* const* argv);

// True for an existing directory (links followed).
bool FISDIR(std::string_view cname);

// True when both names denote one existing entry (links followed).
bool FSAMEENTRY(std::string_view cname1, std::string_view cname2);

// Makes the directory, mode 0777 less the umask (bprivate: 0700, for
// another user's eyes nothing, as mail folders are), where none is: true
// when a directory is there afterwards.
bool FMAKEDIR(std::string_view cname, bool bprivate = false);

// The names of the regular files directly in cdir (links followed), in no
// particular order; none when cdir cannot be read.
std::optional<std::vector<std::string>> FLISTFILES(std::string_view cdir);

// Gives the entry cfrom the name cto, never replacing an entry there: Okay,
// Exists (an entry at the target), Missing (none at the source: taken by
// someone else), or Failed.
FStatus FMOVE(std::string_view cfrom, std::string_view cto);

// Makes the entries of the directory durable: false where that failed
// (where the system cannot make a directory durable at all, true).
bool FSYNCDIR(std::string_view cdir);

// Where cname leads when it is a symbolic link, as a name that still leads
// there once the link is moved to another directory: its target, behind the
// link's own directory where the target is relative. cname itself for
// anything else.
std::string FLINKPATH(std::string_view cname);

// Opens a regular file for appending, created (mode 0666 less the umask)
// when missing, whole and never over one that another run made meanwhile
// (a temporary that a killed run left is removed first); never blocks.
int FOPENAPPEND(std::string_view cname);

// Opens the directory for a lock on it (where a directory cannot be locked,
// a lock file ".lock" kept inside it stands for it); -1 when it cannot be
// opened.
int FOPENDIR(std::string_view cname);

// Takes an exclusive lock without waiting: false when another handle holds a lock.
bool FLOCKALONE(int nhandle);

// Takes a shared lock (or turns the exclusive lock into one), waiting for
// an exclusive lock held elsewhere within the run's bound.
bool FLOCKSHARED(int nhandle);

// True when the handle is a terminal.
bool FISTERMINAL(int nhandle);

// True where this run may make and remove entries in the directory cdir
// (false also where that cannot be told): a run that could not would leave
// its mails half moved.
bool FWRITABLEDIR(std::string_view cdir);

// The current directory as a name that says where it lies; "." where that
// cannot be told.
std::string FCURRENTDIR();

// The local date and time, as "2026-12-08 17:45:03".
std::string FNOW();

// A zeroed block of nbytes for a large table in memory, in the system's
// large pages where it has them (a table touched at random then costs few
// page faults); nullptr where there is no room. FFREEBLOCK gives it back.
void* FBIGBLOCK(size_t nbytes);
void FFREEBLOCK(void* p, size_t nbytes);

// Puts ctext in place as cname whole: written and made durable under a
// temporary name beside it, then renamed over what was there, so that a
// reader sees the old file or the new one, never a part. Okay, Held where
// another program holds the old file so that it cannot be replaced (a
// browser on Windows), or Failed.
FStatus FPUTFILE(std::string_view cname, std::string_view ctext);

// What a regular file is: the time of its last change (in seconds of its
// own clock) and its size; none where it is no regular file.
struct FINFO {
  long long NCHANGED = 0, NSIZE = 0;
};
std::optional<FINFO> FINFOOF(std::string_view cname);

}  // namespace meld
