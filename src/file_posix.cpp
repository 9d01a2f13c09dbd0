// The POSIX body of the file layer (Linux): file.h and the primitives of
// file_common.h on the system calls. Reads and writes on file systems that
// may stall are in file_posix_stall.cpp, the run's identity in
// file_posix_owner.cpp.
#include <algorithm>
#include <csignal>
#include <cstdio>
#include <memory>

#include <dirent.h>
#include <fcntl.h>
#include <malloc.h>
#include <sys/file.h>
#include <sys/time.h>
#include <sys/xattr.h>
#include <unistd.h>

#include "file_posix.h"

namespace meld {

FStatus statusof(int nerr) {
  switch (nerr) {
    case ENOENT:
    case ENOTDIR:
    case ENODATA:  // no such record
      return FStatus::Missing;
    case EEXIST:
      return FStatus::Exists;
    case EISDIR:
      return FStatus::Other;
    case EWOULDBLOCK:
      return FStatus::Held;
    case ENOTSUP:
    case ENOSYS:
    case EINVAL:  // the call or its flag means nothing to this file system
      return FStatus::Unsupported;
    case ENOSPC:
    case EDQUOT:
      return FStatus::Full;
    default:
      return FStatus::Failed;
  }
}

namespace {

// Names are passed unchanged; the copy only adds the terminating byte 0.
std::string cpath(std::string_view cname) { return std::string(cname); }

// A failed call's status, from the errno it left.
FStatus failed() { return statusof(errno); }

// Looks at a name (links followed) without opening it: Okay for a regular
// file, Other for anything else that is there, Missing, or Failed.
FStatus lookat(const std::string& cn, struct stat* pst) {
  if (::stat(cn.c_str(), pst) != 0) return failed() == FStatus::Missing ? FStatus::Missing : FStatus::Failed;
  return S_ISREG(pst->st_mode) ? FStatus::Okay : FStatus::Other;
}

// The same for a reader of files, to whom a directory is no file at all.
FStatus lookforfile(const std::string& cn, struct stat* pst) {
  const FStatus nlook = lookat(cn, pst);
  return nlook == FStatus::Other && S_ISDIR(pst->st_mode) ? FStatus::Missing : nlook;
}

bool samefile(const struct stat& a, const struct stat& b) { return a.st_dev == b.st_dev && a.st_ino == b.st_ino; }

// Opens the regular file that stnamed shows behind the name (as lookat
// gave it): the open is non-blocking (the flag is dropped, or replaced by
// nkeepflags, afterwards) and must reach the file that was looked at.
int openlooked(const std::string& cn, const struct stat& stnamed, int nflags, int nkeepflags) {
  FD fd(again([&] { return ::open(cn.c_str(), nflags | O_NONBLOCK | O_CLOEXEC | O_NOCTTY); }));
  struct stat stheld;
  if (fd.get() < 0 || ::fstat(fd.get(), &stheld) != 0 || !S_ISREG(stheld.st_mode) || !samefile(stnamed, stheld))
    return -1;
  track(fd.get(), stheld);
  // A local file system ignores the flag on regular files; elsewhere it
  // might be passed on, so it goes.
  if (mayhang(fd.get()) && ::fcntl(fd.get(), F_SETFL, nkeepflags) != 0) return -1;
  return fd.release();
}

// Opens an existing regular file. The name is looked at first, so that a
// device, FIFO or socket is never opened at all.
int openregular(std::string_view cname, int nflags, int nkeepflags) {
  const std::string cn = cpath(cname);
  struct stat st;
  if (lookat(cn, &st) != FStatus::Okay) return -1;
  return openlooked(cn, st, nflags, nkeepflags);
}

void onalarm(int) {}

// Makes a new directory entry durable; false where that failed. A file
// system that cannot sync a directory (EINVAL) has nothing more to make durable.
bool syncdir(const std::string& cdir) {
  const FD fd(again([&] { return ::open(cdir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); }));
  if (fd.get() < 0) return false;
  return again([&] { return ::fsync(fd.get()); }) == 0 || failed() == FStatus::Unsupported;
}

// Links the synced unnamed file nfd to cname: Okay, Exists, Failed, or
// Unsupported on a system without /proc, where an unprivileged run cannot
// link an unnamed file.
FStatus linkunnamed(int nfd, const std::string& cname) {
  char cproc[40];
  std::snprintf(cproc, sizeof cproc, "/proc/self/fd/%d", nfd);
  if (::linkat(AT_FDCWD, cproc, AT_FDCWD, cname.c_str(), AT_SYMLINK_FOLLOW) == 0) return FStatus::Okay;
  if (failed() != FStatus::Missing) return failed() == FStatus::Exists ? FStatus::Exists : FStatus::Failed;
  if (::linkat(nfd, "", AT_FDCWD, cname.c_str(), AT_EMPTY_PATH) == 0) return FStatus::Okay;
  return failed() == FStatus::Exists ? FStatus::Exists : FStatus::Unsupported;
}

// Opens and locks the temporary file, made when missing. It is only ever
// emptied, linked or removed by the run that holds its lock and has seen
// that the name still names it; a killed run's lock ends with the run, so
// its leftover can be taken over or removed.
int opentemp(const std::string& ctmp, bool bcreate) {
  for (int ntry = 0; ntry < 10; ++ntry) {
    FD fd(again([&] {
      return ::open(ctmp.c_str(), O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY | (bcreate ? O_CREAT : 0),
                    0666);
    }));
    if (fd.get() < 0) return -1;
    struct stat stheld, stnamed;
    const bool bregular = ::fstat(fd.get(), &stheld) == 0 && S_ISREG(stheld.st_mode);
    const bool blocked = bregular && (bcreate ? lockwait(fd.get()) : ::flock(fd.get(), LOCK_EX | LOCK_NB) == 0);
    if (blocked && ::lstat(ctmp.c_str(), &stnamed) == 0 && samefile(stheld, stnamed)) {
      track(fd.get(), stheld);
      return fd.release();
    }
    if (!blocked || !bcreate) return -1;  // held by a live run, or no regular file
  }
  return -1;
}

// The same with a named temporary file, for file systems without unnamed
// files: link where links work, else a rename that never replaces.
FStatus linknamed(const std::string& cdir, const std::string& cbase, const std::string& cname,
                  std::string_view ctext) {
  const std::string ctmp = tempname(cdir, cbase);
  const FD fd(opentemp(ctmp, true));
  if (fd.get() < 0) return FStatus::Failed;
  FStatus nres = FStatus::Failed;
  if (::ftruncate(fd.get(), 0) == 0 && writebounded(fd.get(), ctext, -1, true) == static_cast<long long>(ctext.size())) {
    nres = ::link(ctmp.c_str(), cname.c_str()) == 0 ? FStatus::Okay : failed();
    // A file system without hard links (EPERM, EMLINK too) takes a rename.
    if (nres != FStatus::Okay && (nres == FStatus::Unsupported || errno == EPERM || errno == EMLINK))
      nres = ::renameat2(AT_FDCWD, ctmp.c_str(), AT_FDCWD, cname.c_str(), RENAME_NOREPLACE) == 0 ? FStatus::Okay
                                                                                                  : failed();
    if (nres != FStatus::Okay && nres != FStatus::Exists) nres = FStatus::Failed;
  }
  for (int ntry = 0; ntry < 3; ++ntry)  // still under the lock
    if (::unlink(ctmp.c_str()) == 0 || failed() == FStatus::Missing) break;
  return nres;
}

// The record of an append in progress, kept with the table itself: the
// sizes before and after, as "before after".
constexpr const char* CAPPENDREC = "user.meldimport.append";

}  // namespace

void splitname(const std::string& cn, std::string* pcdir, std::string* pcbase) {
  const size_t nslash = cn.rfind('/');
  *pcdir = nslash == std::string::npos ? "." : (nslash == 0 ? "/" : cn.substr(0, nslash));
  *pcbase = nslash == std::string::npos ? cn : cn.substr(nslash + 1);
}

// ---- Reads and writes that answer.

std::string readdirect(int nfd, long long noff, long long ncount, bool* pbfailed) {
  const size_t nwant = static_cast<size_t>(ncount);
  const long long nknown = opensize(nfd);
  // A read from the start is sized by the length the open saw; a large one
  // at an offset by what lies beyond it: a mail read on from its 50,000th
  // byte needs room only for its rest.
  long long nsize = noff < 0 ? nknown : -1;
  struct stat st;
  if (nsize < 0 && nwant > 4096 && ::fstat(nfd, &st) == 0 && S_ISREG(st.st_mode)) nsize = st.st_size;
  std::string cres(readroom(nwant, noff, nsize), '\0');
  size_t ngot = 0;
  while (ngot < nwant) {
    if (ngot == cres.size()) cres.resize(std::min(nwant, 2 * cres.size()));
    char* pto = cres.data() + ngot;
    const size_t nleft = cres.size() - ngot;
    const ssize_t n = again([&] {
      return noff < 0 ? ::read(nfd, pto, nleft)
                      : ::pread(nfd, pto, nleft, static_cast<off_t>(noff + static_cast<long long>(ngot)));
    });
    if (n < 0) *pbfailed = true;
    if (n <= 0) break;
    ngot += static_cast<size_t>(n);
    // On a file system that answers, a short read of a regular file is its
    // end: no call is made to be told so once more.
    if (nknown >= 0 && static_cast<size_t>(n) < nleft) break;
  }
  cres.resize(*pbfailed ? 0 : ngot);
  return cres;
}

long long writedirect(int nfd, std::string_view ctext, long long noff) {
  size_t ndone = 0;
  while (ndone < ctext.size()) {
    const char* pfrom = ctext.data() + ndone;
    const size_t nleft = ctext.size() - ndone;
    const ssize_t n = again([&] {
      return noff < 0 ? ::write(nfd, pfrom, nleft)
                      : ::pwrite(nfd, pfrom, nleft, static_cast<off_t>(noff + static_cast<long long>(ndone)));
    });
    if (n <= 0) break;
    ndone += static_cast<size_t>(n);
  }
  return static_cast<long long>(ndone);
}

bool syncdirect(int nfd) { return again([&] { return ::fdatasync(nfd); }) == 0; }

// ---- The primitives of the shared rules.

double monotonic() {
  struct timespec ts;
  ::clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

std::string readbytes(int nhandle, long long noff, long long ncount, bool* pbfailed) {
  if (nhandle < 0) *pbfailed = true;
  if (nhandle < 0 || ncount <= 0) return {};
  return readbounded(nhandle, noff, ncount, pbfailed);
}

FOPENED openinput(std::string_view cname) {
  const std::string cn = cpath(cname);
  struct stat st;
  const FStatus nlook = lookforfile(cn, &st);
  if (nlook != FStatus::Okay) return opened(nlook == FStatus::Missing ? FStatus::Missing : FStatus::Failed);
  const int nfd = openlooked(cn, st, O_RDONLY, 0);
  return opened(nfd < 0 ? FStatus::Failed : FStatus::Okay, nfd);
}

FOPENED openappending(std::string_view cname, bool bforlock) {
  const int nfd = openregular(cname, (bforlock ? O_RDWR : O_WRONLY) | O_APPEND, O_APPEND);
  return opened(nfd < 0 ? FStatus::Failed : FStatus::Okay, nfd);
}

// The uncontended case is one call; a waiting run blocks in the kernel,
// woken every 100 ms by a timer so that it notices the bound.
bool lockwait(int nfd) {
  if (::flock(nfd, LOCK_EX | LOCK_NB) == 0) return true;
  if ((failed() != FStatus::Held && errno != EINTR) || secondsleft() <= 0) return false;
  struct sigaction sanew{}, saold{};
  sanew.sa_handler = onalarm;  // no SA_RESTART: the timer must interrupt flock
  sigemptyset(&sanew.sa_mask);
  if (::sigaction(SIGALRM, &sanew, &saold) != 0) return false;
  struct itimerval tick{}, tickold{};
  tick.it_value.tv_usec = 100000;
  tick.it_interval.tv_usec = 100000;
  ::setitimer(ITIMER_REAL, &tick, &tickold);
  const bool blocked = again([&] { return ::flock(nfd, LOCK_EX); }) == 0;
  ::setitimer(ITIMER_REAL, &tickold, nullptr);
  ::sigaction(SIGALRM, &saold, nullptr);
  return blocked;
}

FStatus stillnamed(int nfd, std::string_view cname, long long* pnsize) {
  struct stat stheld, stnamed;
  if (::fstat(nfd, &stheld) != 0) return FStatus::Failed;
  if (::stat(cpath(cname).c_str(), &stnamed) != 0 || !samefile(stnamed, stheld)) return FStatus::Other;
  *pnsize = static_cast<long long>(stheld.st_size);
  return FStatus::Okay;
}

FStatus readrecord(int nfd, std::string* pcrecord) {
  char crec[64];
  const ssize_t n = ::fgetxattr(nfd, CAPPENDREC, crec, sizeof crec - 1);
  if (n < 0) return failed() == FStatus::Missing || failed() == FStatus::Unsupported ? failed() : FStatus::Failed;
  pcrecord->assign(crec, static_cast<size_t>(n));
  return FStatus::Okay;
}

// The record is made durable before the append's bytes can be: a power loss
// that keeps a part of them keeps the record that takes it back. fsync, not
// fdatasync: an attribute is no part of the data.
FStatus setrecord(int nfd, std::string_view crecord) {
  if (::fsetxattr(nfd, CAPPENDREC, crecord.data(), crecord.size(), 0) == 0)
    return again([&] { return ::fsync(nfd); }) == 0 ? FStatus::Okay : FStatus::Failed;
  return failed() == FStatus::Unsupported ? FStatus::Unsupported : FStatus::Failed;
}

void droprecord(int nfd) { ::fremovexattr(nfd, CAPPENDREC); }

bool appendsync(int nfd, std::string_view ctext) {
  return writebounded(nfd, ctext, -1, true) == static_cast<long long>(ctext.size());
}

long long writeat(int nfd, std::string_view ctext, long long noff) {
  return nfd < 0 ? 0 : std::max(0LL, writebounded(nfd, ctext, noff, false));
}

bool setsize(int nfd, long long nsize) { return ::ftruncate(nfd, static_cast<off_t>(nsize)) == 0; }

bool syncfile(int nfd) { return syncdirect(nfd); }

void removestale(std::string_view cname) {
  std::string cdir, cbase;
  splitname(cpath(cname), &cdir, &cbase);
  const std::string ctmp = tempname(cdir, cbase);
  struct stat st;
  if (::lstat(ctmp.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return;
  const FD fd(opentemp(ctmp, false));
  if (fd.get() >= 0) ::unlink(ctmp.c_str());
}

// ---- file.h

void FSTARTUP() {
  for (int nfd = 0; nfd <= 2; ++nfd)
    if (::fcntl(nfd, F_GETFD) < 0 && errno == EBADF && ::open("/dev/null", O_RDWR) < 0) break;
  struct sigaction sa{};
  sa.sa_handler = SIG_IGN;
  sigemptyset(&sa.sa_mask);
  ::sigaction(SIGXFSZ, &sa, nullptr);
  ::sigaction(SIGPIPE, &sa, nullptr);
  // For speed: the heap is not given back between the mails of a folder, or
  // each message's buffers would fault their pages in again (glibc).
  ::mallopt(M_TRIM_THRESHOLD, 64 * 1024 * 1024);
}

void FSAY(std::string_view ctext) { writedirect(2, ctext, -1); }

FStatus FLOOK(std::string_view cname) {
  struct stat st;
  return lookforfile(cpath(cname), &st);  // no hidden or system marks here
}

int FCREATE(std::string_view cname) {
  const std::string cn = cpath(cname);
  for (int ntry = 0; ntry < 3; ++ntry) {
    struct stat st;
    const FStatus nlook = lookat(cn, &st);
    if (nlook == FStatus::Okay) {
      // Emptied by the open itself: the name was just seen to be a regular
      // file, and a FIFO or device swapped in meanwhile is not cut by it.
      return openlooked(cn, st, O_RDWR | O_TRUNC, 0);
    }
    if (nlook != FStatus::Missing) return -1;
    // A new file; a dangling link fails here and is never followed.
    FD fd(again([&] { return ::open(cn.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY, 0666); }));
    if (fd.get() < 0 && failed() == FStatus::Exists) continue;  // made meanwhile: look again
    if (fd.get() < 0 || ::fstat(fd.get(), &st) != 0) return -1;
    track(fd.get(), st);
    return fd.release();
  }
  return -1;
}

bool FRESERVE(int nhandle, long long nbytes) {
  if (nhandle < 0) return false;
  return again([&] { return ::fallocate(nhandle, FALLOC_FL_KEEP_SIZE, 0, static_cast<off_t>(nbytes)); }) == 0 ||
         failed() != FStatus::Full;
}

long long FWRITE(int nhandle, std::string_view ctext) {
  if (nhandle < 0) return 0;
  return std::max(0LL, writebounded(nhandle, ctext, -1, false));
}

bool FCLOSE(int nhandle) {
  if (nhandle < 0) return false;
  untrack(nhandle);
  // Linux releases the descriptor even when close reports EINTR.
  return ::close(nhandle) == 0 || errno == EINTR;
}

int FERASE(std::string_view cname) { return ::unlink(cpath(cname).c_str()) == 0 ? 0 : -1; }

FStatus FCREATENEW(std::string_view cname, std::string_view ctext) {
  const std::string cn = cpath(cname);
  std::string cdir, cbase;
  splitname(cn, &cdir, &cbase);
  removestale(cn);
  FStatus nres;
  {
    const FD fd(::open(cdir.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0666));
    struct stat st;
    if (fd.get() >= 0 && ::fstat(fd.get(), &st) == 0) track(fd.get(), st);
    if (fd.get() < 0)
      nres = failed() == FStatus::Unsupported || failed() == FStatus::Other ? FStatus::Unsupported : FStatus::Failed;
    else if (writebounded(fd.get(), ctext, -1, true) == static_cast<long long>(ctext.size()))
      nres = linkunnamed(fd.get(), cn);
    else
      nres = FStatus::Failed;
  }  // an unnamed file that was not linked vanishes here
  if (nres == FStatus::Unsupported) nres = linknamed(cdir, cbase, cn, ctext);
  if (nres == FStatus::Okay) syncdir(cdir);
  return nres;
}

// ---- Folder import.

std::vector<std::string> FARGS(int argc, const char* const* argv) {
  return argc > 1 ? std::vector<std::string>(argv + 1, argv + argc) : std::vector<std::string>();
}

bool FISDIR(std::string_view cname) {
  struct stat st;
  return ::stat(cpath(cname).c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool FSAMEENTRY(std::string_view cname1, std::string_view cname2) {
  struct stat st1, st2;
  return ::stat(cpath(cname1).c_str(), &st1) == 0 && ::stat(cpath(cname2).c_str(), &st2) == 0 && samefile(st1, st2);
}

bool FMAKEDIR(std::string_view cname, bool bprivate) {
  const std::string cn = cpath(cname);
  return ::mkdir(cn.c_str(), bprivate ? 0700 : 0777) == 0 || (failed() == FStatus::Exists && FISDIR(cn));
}

std::optional<std::vector<std::string>> FLISTFILES(std::string_view cdir) {
  const std::unique_ptr<DIR, int (*)(DIR*)> pdir(::opendir(cpath(cdir).c_str()), ::closedir);
  if (pdir == nullptr) return std::nullopt;
  std::vector<std::string> cnames;
  for (;;) {
    errno = 0;
    const struct dirent* pent = ::readdir(pdir.get());
    if (pent == nullptr) break;
    const std::string_view cn = pent->d_name;
    if (cn == "." || cn == "..") continue;
    bool breg = pent->d_type == DT_REG;
    if (pent->d_type == DT_LNK || pent->d_type == DT_UNKNOWN) {
      struct stat st;
      breg = ::fstatat(::dirfd(pdir.get()), pent->d_name, &st, 0) == 0 && S_ISREG(st.st_mode);
    }
    if (breg) cnames.emplace_back(cn);
  }
  if (errno != 0) return std::nullopt;
  return cnames;
}

FStatus FMOVE(std::string_view cfrom, std::string_view cto) {
  const std::string cf = cpath(cfrom), ct = cpath(cto);
  if (::renameat2(AT_FDCWD, cf.c_str(), AT_FDCWD, ct.c_str(), RENAME_NOREPLACE) == 0) return FStatus::Okay;
  const FStatus nrename = failed();
  if (nrename != FStatus::Unsupported) return nrename == FStatus::Exists || errno == ENOENT ? nrename : FStatus::Failed;
  // A file system without the flag: a link never replaces either, and the
  // old name goes once the new one stands.
  if (::link(cf.c_str(), ct.c_str()) != 0)
    return failed() == FStatus::Exists || errno == ENOENT ? failed() : FStatus::Failed;
  if (FERASE(cf) == 0) return FStatus::Okay;
  FERASE(ct);
  return FStatus::Failed;
}

bool FSYNCDIR(std::string_view cdir) { return syncdir(cpath(cdir)); }

std::string FLINKPATH(std::string_view cname) {
  const std::string cn = cpath(cname);
  struct stat st;
  if (::lstat(cn.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return std::string(cname);
  std::string ctarget(4096, '\0');
  const ssize_t n = ::readlink(cn.c_str(), ctarget.data(), ctarget.size());
  if (n <= 0 || static_cast<size_t>(n) >= ctarget.size()) return std::string(cname);
  ctarget.resize(static_cast<size_t>(n));
  if (ctarget[0] == '/') return ctarget;
  const size_t nslash = cname.rfind('/');
  return nslash == std::string_view::npos ? ctarget : std::string(cname.substr(0, nslash + 1)) + ctarget;
}

int FOPENDIR(std::string_view cname) {
  return again([&] { return ::open(cpath(cname).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); });
}

bool FLOCKALONE(int nhandle) { return nhandle >= 0 && ::flock(nhandle, LOCK_EX | LOCK_NB) == 0; }

bool FLOCKSHARED(int nhandle) {
  if (nhandle < 0) return false;
  // For exclusive locks that are held only for a moment: short polls cost
  // less than a timer.
  for (;;) {
    if (::flock(nhandle, LOCK_SH | LOCK_NB) == 0) return true;
    if ((failed() != FStatus::Held && errno != EINTR) || secondsleft() <= 0) return false;
    const struct timespec ts{0, 1000000};
    ::nanosleep(&ts, nullptr);
  }
}

bool FISTERMINAL(int nhandle) { return nhandle >= 0 && ::isatty(nhandle) == 1; }

}  // namespace meld
