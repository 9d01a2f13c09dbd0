// The rules of the file layer that hold alike on every platform, over the
// primitives of each platform's body (file_common.h).
#include "file_common.h"

#include <algorithm>
#include <charconv>
#include <string>

#include "file.h"

namespace meld {

std::string tempname(std::string_view cdir, std::string_view cbase) {
  std::string c(cdir);
  c += "/.";
  c += cbase;
  c += ".tmp";
  return c;
}

// Both without the formatting machinery of printf and scanf, which every
// run would otherwise load.
std::string appendrecord(long long nbefore, long long nafter) {
  char crec[48];
  char* pend = std::to_chars(crec, crec + 22, nbefore).ptr;
  *pend++ = ' ';
  pend = std::to_chars(pend, crec + sizeof crec, nafter).ptr;
  return std::string(crec, pend);
}

long long tornsize(std::string_view crecord, long long nsize) {
  const char* pfrom = crecord.data();
  const char* pend = pfrom + crecord.size();
  long long nbefore = -1, nafter = -1;
  const auto r1 = std::from_chars(pfrom, pend, nbefore);
  const bool bparsed = r1.ec == std::errc() && r1.ptr < pend && *r1.ptr == ' ' &&
                       std::from_chars(r1.ptr + 1, pend, nafter).ptr == pend;
  return bparsed && nbefore >= 0 && nbefore < nsize && nsize < nafter ? nbefore : -1;
}

size_t readroom(size_t nwant, long long noff, long long nsize) {
  if (nsize < 0) return nwant;
  const long long nleft = std::max(0LL, nsize - std::max(noff, 0LL));
  return static_cast<unsigned long long>(nleft) < nwant ? static_cast<size_t>(nleft) + 1 : nwant;
}

namespace {

// The run's bound on all waiting, in monotonic seconds; 0 until set.
double g_ndeadline = 0;

// Under the lock, a record left on the file means that its run died during
// the append: its lock is gone. A torn tail is cut off (see tornsize); any
// other file stays as it is. False where a torn tail could not be taken back.
bool recoverappend(int nhandle, long long* pnsize) {
  std::string crec;
  const FStatus nrecord = readrecord(nhandle, &crec);
  if (nrecord == FStatus::Missing || nrecord == FStatus::Unsupported) return true;
  if (nrecord != FStatus::Okay) return false;
  const long long nbefore = tornsize(crec, *pnsize);
  if (nbefore >= 0) {
    if (!setsize(nhandle, nbefore) || !syncfile(nhandle)) return false;
    *pnsize = nbefore;
  }
  droprecord(nhandle);
  return true;
}

}  // namespace

double secondsleft() {
  if (g_ndeadline == 0) g_ndeadline = monotonic() + 10;
  return g_ndeadline - monotonic();
}

void FSETWAIT(double nseconds) { g_ndeadline = monotonic() + nseconds; }

bool FILE(std::string_view cname) {
  const FStatus nlook = FLOOK(cname);
  return nlook == FStatus::Okay || nlook == FStatus::Other;
}

int FOPEN(std::string_view cname) { return openinput(cname).nhandle; }

std::string FREADSTR(int nhandle, long long ncount) {
  bool bfailed = false;
  std::string cres = readbytes(nhandle, -1, std::max(0LL, ncount), &bfailed);
  cres.resize(std::min(cres.size(), cres.find('\0')));
  return cres;
}

FOPENED FREADNAMED(std::string_view cname, long long ncount) {
  FOPENED o = openinput(cname);
  if (o.nstatus != FStatus::Okay) return o;
  bool bfailed = false;
  o.ctext = readbytes(o.nhandle, -1, ncount, &bfailed);
  if (bfailed) o.nstatus = FStatus::Failed;
  return o;
}

std::optional<std::string> FREADAT(int nhandle, long long noff, long long ncount) {
  bool bfailed = noff < 0;
  std::string c = bfailed ? std::string() : readbytes(nhandle, noff, std::max(0LL, ncount), &bfailed);
  if (bfailed) return std::nullopt;
  return c;
}

int FBYTEAT(int nhandle, long long noff) {
  const auto c = FREADAT(nhandle, noff, 1);
  return c && c->size() == 1 ? static_cast<unsigned char>((*c)[0]) : -1;
}

FOPENED FOPENLOCKED(std::string_view cname) {
  removestale(cname);
  for (int ntry = 0; ntry < 100; ++ntry) {
    FOPENED o = openappending(cname, true);
    if (o.nstatus != FStatus::Okay) return opened(o.nstatus == FStatus::Held ? FStatus::Held : FStatus::Failed);
    // Opened: from here on the file is there, and a failure leaves it held.
    const FStatus nnamed = lockwait(o.nhandle) ? stillnamed(o.nhandle, cname, &o.nsize) : FStatus::Held;
    if (nnamed == FStatus::Okay && recoverappend(o.nhandle, &o.nsize)) return o;
    FCLOSE(o.nhandle);
    if (nnamed != FStatus::Other) return opened(FStatus::Held);
    // Replaced while we waited: the file the name names now is taken.
  }
  return opened(FStatus::Held);
}

// The record first (where it cannot be set, nothing is written), then the
// text written and made durable. What part of a failed write reached the
// file is taken back, tried up to three times, as it is all that keeps a
// half line out of the table. The record goes once the file is whole;
// where no cut succeeds it stays for the next run.
bool FAPPENDSYNC(int nhandle, std::string_view ctext, long long nsize) {
  if (nhandle < 0) return false;
  const FStatus nrecord = setrecord(nhandle, appendrecord(nsize, nsize + static_cast<long long>(ctext.size())));
  if (nrecord != FStatus::Okay && nrecord != FStatus::Unsupported) return false;
  const bool bstored = appendsync(nhandle, ctext);
  if (!bstored) {
    bool bcut = false;
    for (int ntry = 0; ntry < 3 && !bcut; ++ntry) bcut = setsize(nhandle, nsize);
    if (!bcut) return false;
    syncfile(nhandle);
  }
  if (nrecord == FStatus::Okay) droprecord(nhandle);
  return bstored;
}

long long FREPLACE(int nhandle, std::string_view ctext) {
  if (nhandle < 0) return 0;
  // Without the lock the text is still tried: a report is better than none
  // (where a lock is mandatory, another program's lock refuses the write).
  // It goes into the room reserved at the start, and whatever stands behind
  // it (a longer text of another run, the unused room) is cut off.
  lockwait(nhandle);
  const long long n = writeat(nhandle, ctext, 0);
  if (n != static_cast<long long>(ctext.size())) {
    setsize(nhandle, 0);  // no half report
    return 0;
  }
  setsize(nhandle, n);
  return n;
}

int FOPENAPPEND(std::string_view cname) {
  // A missing file is made the way a new table is, whole and never over
  // one that another run made meanwhile; then the one that is there is opened.
  removestale(cname);
  if (!FILE(cname)) FCREATENEW(cname, "");
  return openappending(cname, false).nhandle;
}

}  // namespace meld
