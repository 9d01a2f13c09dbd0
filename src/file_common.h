// What every body of the file layer shares: rules that must not differ
// between the platforms. Included by the bodies only; nothing above the
// file layer uses it.
#pragma once

#include <string>
#include <string_view>

namespace meld {

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

// The append that both bodies make to the table: the record first
// (setrecord gives 1 when it is set, 0 on a file system that keeps no such
// records, -1 when setting it failed: then nothing is written), then the
// text written and made durable (writesync). What part of a failed write
// reached the file is taken back (cutback, tried up to three times, as it is
// all that keeps a half line out of the table; it makes the cut durable).
// The record goes once the file is whole (droprecord); where no cut
// succeeds it stays for the next run. True when the text is durably there.
template <class FSET, class FWRITE, class FCUT, class FDROP>
bool appendrecorded(FSET setrecord, FWRITE writesync, FCUT cutback, FDROP droprecord) {
  const int nrecord = setrecord();
  if (nrecord < 0) return false;
  const bool bstored = writesync();
  if (!bstored) {
    bool bcut = false;
    for (int ntry = 0; ntry < 3 && !bcut; ++ntry) bcut = cutback();
    if (!bcut) return false;
  }
  if (nrecord > 0) droprecord();
  return bstored;
}

// A text read from a file ends before its first byte 0.
void cutatzero(std::string* pctext);

// Each body's own read, on which FREADSTR, FREADAT and FBYTEAT are built:
// up to ncount bytes at offset noff (-1: at the handle's position, which
// moves on; an offset leaves it alone), repeating short reads until the end
// of the file, every byte kept. *pbfailed is set, and nothing returned, for
// a handle that is not open or a read error; a count of 0 reads nothing.
std::string readbytes(int nhandle, long long noff, long long ncount, bool* pbfailed);

}  // namespace meld
