// What every body of the file layer shares: the rules that must not differ
// between the platforms are written once in file_common.cpp, over a few
// small primitives that each platform's body gives. Included by the bodies
// only; nothing above the file layer uses it.
#pragma once

#include <string>
#include <string_view>

#include "file.h"

namespace meld {

// ---- Rules of file_common.cpp.

// The one temporary name that FCREATENEW(cdir/cbase) writes before the file
// is moved into place: a hidden name beside it.
std::string tempname(std::string_view cdir, std::string_view cbase);

// The record that an append leaves on the table while it writes: the sizes
// before and after, as "before after".
std::string appendrecord(long long nbefore, long long nafter);

// What a record left on the table of nsize bytes means, under the lock (its
// run died during the append): the size to cut the table back to where nsize
// lies strictly between the two sizes (a torn tail), else -1 (nothing
// written, the line whole, the table changed by something else since, or a
// record that cannot be read): the table stays as it is.
long long tornsize(std::string_view crecord, long long nsize);

// The room for a read of up to nwant bytes at offset noff (-1: from the
// start) in a file of nsize bytes (-1 where unknown): what lies beyond the
// offset and one byte more, so that the end of the file shows without a
// second buffer.
size_t readroom(size_t nwant, long long noff, long long nsize);

// Seconds left of the run's one bound on waiting (see FSETWAIT); a run that
// never set it gets ten seconds from its first wait.
double secondsleft();

// What an open gave that has no text or size.
inline FOPENED opened(FStatus nstatus, int nhandle = -1) {
  FOPENED o;
  o.nstatus = nstatus;
  o.nhandle = nhandle;
  return o;
}

// ---- What each body gives the rules.

// The clock of all waiting: seconds that only ever grow.
double monotonic();

// Up to ncount bytes at offset noff (-1: at the handle's position, which
// moves on; an offset leaves it alone), repeating short reads until the end
// of the file, every byte kept. *pbfailed is set, and nothing returned, for
// a handle that is not open or a read error; a count of 0 reads nothing.
std::string readbytes(int nhandle, long long noff, long long ncount, bool* pbfailed);

// Opens an existing regular file for reading after one look at its name:
// Okay with the handle, Missing (absent, a directory, a marked entry), or
// Failed (no regular file, or not to be opened).
FOPENED openinput(std::string_view cname);

// Opens an existing regular file (marked hidden or system too) for
// appending. bforlock: for reading and writing, a file that another program
// holds open waited for within the bound (Held where it stays held), and
// ready for the records of FAPPENDSYNC. Okay with the handle, Held, Failed.
FOPENED openappending(std::string_view cname, bool bforlock);

// An exclusive lock within the run's bound.
bool lockwait(int nhandle);

// Whether cname still names the open file, now that it is locked: Okay
// with its size, Other where the name names another entry now, Failed.
FStatus stillnamed(int nhandle, std::string_view cname, long long* pnsize);

// The record of an append that the file carries: Okay with its text,
// Missing where it carries none, Unsupported where the file system keeps
// no records, Failed.
FStatus readrecord(int nhandle, std::string* pcrecord);

// Sets the record and makes it durable, before any byte of the append is
// written: Okay, Unsupported (no records here: nothing is set), Failed.
FStatus setrecord(int nhandle, std::string_view crecord);

void droprecord(int nhandle);

// Writes the text at the end of the file with one append that no other
// writer can split, and makes it durable: true only when every byte is.
bool appendsync(int nhandle, std::string_view ctext);

// Writes the whole text at offset noff; the bytes written.
long long writeat(int nhandle, std::string_view ctext, long long noff);

// Sets the length of the file (cuts it, or lets it grow by zeros).
bool setsize(int nhandle, long long nsize);

// Makes the file's content durable.
bool syncfile(int nhandle);

// Removes the temporary file that a run killed inside FCREATENEW(cname)
// left behind; one that a live run holds stays.
void removestale(std::string_view cname);

}  // namespace meld
