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

// A text read from a file ends before its first byte 0.
void cutatzero(std::string* pctext);

// Each body's own read, on which FREADSTR, FREADAT and FBYTEAT are built:
// up to ncount bytes at offset noff (-1: at the handle's position, which
// moves on; an offset leaves it alone), repeating short reads until the end
// of the file, every byte kept. *pbfailed is set, and nothing returned, for
// a handle that is not open or a read error; a count of 0 reads nothing.
std::string readbytes(int nhandle, long long noff, long long ncount, bool* pbfailed);

}  // namespace meld
