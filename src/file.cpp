#include "file.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

namespace meld {

namespace {

// Names are passed unchanged; the copy only adds the terminating byte 0.
std::string cpath(std::string_view cname) { return std::string(cname); }

// Opens a regular file without ever blocking: a FIFO opened for reading would
// wait for a writer, so the open is non-blocking and the flag is dropped
// (or replaced by nkeepflags) once fstat has shown a regular file.
int openregular(std::string_view cname, int nflags, int nkeepflags) {
  const std::string cn = cpath(cname);
  int nfd;
  do {
    nfd = ::open(cn.c_str(), nflags | O_NONBLOCK | O_CLOEXEC | O_NOCTTY, 0666);
  } while (nfd < 0 && errno == EINTR);
  if (nfd < 0) return -1;
  struct stat st;
  if (::fstat(nfd, &st) != 0 || !S_ISREG(st.st_mode) || ::fcntl(nfd, F_SETFL, nkeepflags) != 0) {
    ::close(nfd);
    return -1;
  }
  return nfd;
}

// One write call for the whole text (at offset noff, or at the current
// position when noff is -1), unless the system writes less: then the rest
// follows, from where it stopped.
long long writeall(int nfd, std::string_view ctext, long long noff = -1) {
  size_t ndone = 0;
  while (ndone < ctext.size()) {
    const char* pfrom = ctext.data() + ndone;
    const size_t nleft = ctext.size() - ndone;
    const ssize_t n = noff < 0 ? ::write(nfd, pfrom, nleft)
                               : ::pwrite(nfd, pfrom, nleft, static_cast<off_t>(noff + static_cast<long long>(ndone)));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    ndone += static_cast<size_t>(n);
  }
  return static_cast<long long>(ndone);
}

bool datasync(int nfd) {
  int r;
  do {
    r = ::fdatasync(nfd);
  } while (r != 0 && errno == EINTR);
  return r == 0;
}

// Writes the text and syncs it: true only when every byte is durable.
bool writesync(int nfd, std::string_view ctext) {
  return writeall(nfd, ctext) == static_cast<long long>(ctext.size()) && datasync(nfd);
}

void onalarm(int) {}

double monotonic() {
  struct timespec ts;
  ::clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

// Exclusive lock, waiting at most nwaitsec. The uncontended case is one
// call; a waiting run blocks in the kernel, woken every 100 ms by a timer so
// that it notices the deadline.
bool lockwait(int nfd, int nwaitsec) {
  if (::flock(nfd, LOCK_EX | LOCK_NB) == 0) return true;
  if (errno != EWOULDBLOCK && errno != EINTR) return false;
  struct sigaction sanew{}, saold{};
  sanew.sa_handler = onalarm;  // no SA_RESTART: the timer must interrupt flock
  sigemptyset(&sanew.sa_mask);
  if (::sigaction(SIGALRM, &sanew, &saold) != 0) return false;
  struct itimerval tick{}, tickold{};
  tick.it_value.tv_usec = 100000;
  tick.it_interval.tv_usec = 100000;
  ::setitimer(ITIMER_REAL, &tick, &tickold);
  const double ndeadline = monotonic() + nwaitsec;
  bool blocked = false;
  for (;;) {
    if (::flock(nfd, LOCK_EX) == 0) {
      blocked = true;
      break;
    }
    if (errno != EINTR || monotonic() >= ndeadline) break;
  }
  ::setitimer(ITIMER_REAL, &tickold, nullptr);
  ::sigaction(SIGALRM, &saold, nullptr);
  return blocked;
}

// Makes a new directory entry durable; a failure here changes nothing that
// a reader sees, so it is not reported.
void syncdir(const std::string& cdir) {
  const int nfd = ::open(cdir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (nfd < 0) return;
  while (::fsync(nfd) != 0 && errno == EINTR) {
  }
  ::close(nfd);
}

bool unlinkretry(const std::string& cname) {
  for (int ntry = 0; ntry < 3; ++ntry)
    if (::unlink(cname.c_str()) == 0 || errno == ENOENT) return true;
  return false;
}

// Links the synced unnamed file nfd to cname. Okay, Exists, or Failed; a
// system without /proc, where an unprivileged run cannot link an unnamed
// file, gives Failed with bfallback set.
FStatus linkunnamed(int nfd, const std::string& cname, bool* pbfallback) {
  char cproc[40];
  std::snprintf(cproc, sizeof cproc, "/proc/self/fd/%d", nfd);
  if (::linkat(AT_FDCWD, cproc, AT_FDCWD, cname.c_str(), AT_SYMLINK_FOLLOW) == 0) return FStatus::Okay;
  if (errno == EEXIST) return FStatus::Exists;
  if (errno != ENOENT) return FStatus::Failed;
  if (::linkat(nfd, "", AT_FDCWD, cname.c_str(), AT_EMPTY_PATH) == 0) return FStatus::Okay;
  if (errno == EEXIST) return FStatus::Exists;
  *pbfallback = true;
  return FStatus::Failed;
}

// The same with a named temporary file, for file systems without unnamed
// files: link where links work, else a rename that never replaces.
FStatus linknamed(const std::string& cdir, const std::string& cbase, const std::string& cname,
                  std::string_view ctext) {
  std::string ctmp;
  int nfd = -1;
  for (int nsuffix = 0; nfd < 0 && nsuffix < 100; ++nsuffix) {
    ctmp = cdir + "/." + cbase + "." + std::to_string(::getpid()) + "." + std::to_string(nsuffix) + ".tmp";
    nfd = ::open(ctmp.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY, 0666);
    if (nfd < 0 && errno != EEXIST) return FStatus::Failed;
  }
  if (nfd < 0) return FStatus::Failed;
  FStatus nres = FStatus::Failed;
  if (writesync(nfd, ctext)) {
    if (::link(ctmp.c_str(), cname.c_str()) == 0) {
      nres = FStatus::Okay;
    } else if (errno == EEXIST) {
      nres = FStatus::Exists;
    } else if (errno == EPERM || errno == EOPNOTSUPP || errno == ENOSYS || errno == EMLINK) {
      if (::renameat2(AT_FDCWD, ctmp.c_str(), AT_FDCWD, cname.c_str(), RENAME_NOREPLACE) == 0)
        nres = FStatus::Okay;
      else if (errno == EEXIST)
        nres = FStatus::Exists;
    }
  }
  ::close(nfd);
  unlinkretry(ctmp);
  return nres;
}

}  // namespace

void FSTARTUP() {
  for (int nfd = 0; nfd <= 2; ++nfd)
    if (::fcntl(nfd, F_GETFD) < 0 && errno == EBADF && ::open("/dev/null", O_RDWR) < 0) break;
  struct sigaction sa{};
  sa.sa_handler = SIG_IGN;
  sigemptyset(&sa.sa_mask);
  ::sigaction(SIGXFSZ, &sa, nullptr);
}

bool FILE(std::string_view cname, bool* pbfailed) {
  struct stat st;
  const bool bfound = ::stat(cpath(cname).c_str(), &st) == 0;
  if (pbfailed != nullptr) *pbfailed = !bfound && errno != ENOENT && errno != ENOTDIR;
  return bfound && !S_ISDIR(st.st_mode);
}

int FOPEN(std::string_view cname) { return openregular(cname, O_RDONLY, 0); }

int FCREATE(std::string_view cname) { return openregular(cname, O_RDWR | O_CREAT | O_TRUNC, 0); }

std::string FREADSTR(int nhandle, long long ncount, bool* pbfailed) {
  bool bfailed = nhandle < 0;
  std::string cres;
  if (!bfailed && ncount > 0) {
    // The bytes go straight into the result, sized by the file's length
    // (one byte more, so that the end of file shows without a second
    // buffer); a file that grows meanwhile makes it grow up to ncount.
    const size_t nwant = static_cast<size_t>(ncount);
    struct stat st;
    size_t nroom = nwant;
    if (::fstat(nhandle, &st) == 0 && S_ISREG(st.st_mode) && static_cast<unsigned long long>(st.st_size) < nwant)
      nroom = static_cast<size_t>(st.st_size) + 1;
    cres.resize(nroom);
    size_t ngot = 0;
    while (ngot < nwant) {
      if (ngot == cres.size()) cres.resize(std::min(nwant, 2 * cres.size()));
      const ssize_t n = ::read(nhandle, cres.data() + ngot, cres.size() - ngot);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) bfailed = true;
      if (n <= 0) break;
      ngot += static_cast<size_t>(n);
    }
    const void* pzero = std::memchr(cres.data(), 0, ngot);
    if (pzero != nullptr) ngot = static_cast<size_t>(static_cast<const char*>(pzero) - cres.data());
    cres.resize(bfailed ? 0 : ngot);
  }
  if (pbfailed != nullptr) *pbfailed = bfailed;
  return cres;
}

FRead FREADNAMED(std::string_view cname, long long ncount, int* pnhandle, std::string* pctext) {
  bool bfailed = false;
  if (!FILE(cname, &bfailed) && !bfailed) return FRead::Missing;
  if (bfailed) return FRead::Failed;
  *pnhandle = FOPEN(cname);
  *pctext = FREADSTR(*pnhandle, ncount, &bfailed);
  return bfailed ? FRead::Failed : FRead::Okay;
}

long long FWRITE(int nhandle, std::string_view ctext) {
  if (nhandle < 0) return 0;
  return writeall(nhandle, ctext);
}

bool FCLOSE(int nhandle) {
  if (nhandle < 0) return false;
  // Linux releases the descriptor even when close reports EINTR.
  return ::close(nhandle) == 0 || errno == EINTR;
}

int FERASE(std::string_view cname) { return ::unlink(cpath(cname).c_str()) == 0 ? 0 : -1; }

int FOPENLOCKED(std::string_view cname, int nwaitsec, long long* pnsize, bool* pbopened) {
  const std::string cn = cpath(cname);
  bool bopened = false;
  if (pbopened == nullptr) pbopened = &bopened;
  for (int ntry = 0; ntry < 10; ++ntry) {
    *pbopened = false;
    const int nfd = openregular(cname, O_RDWR | O_APPEND, O_APPEND);
    if (nfd < 0) return -1;
    *pbopened = true;
    if (!lockwait(nfd, nwaitsec)) {
      ::close(nfd);
      return -1;
    }
    struct stat stheld, stnamed;
    if (::fstat(nfd, &stheld) != 0) {
      ::close(nfd);
      return -1;
    }
    if (::stat(cn.c_str(), &stnamed) == 0 && stnamed.st_dev == stheld.st_dev && stnamed.st_ino == stheld.st_ino) {
      *pnsize = static_cast<long long>(stheld.st_size);
      return nfd;
    }
    ::close(nfd);  // replaced while we waited: take the file the name names now
  }
  return -1;
}

std::string FREADAT(int nhandle, long long noff, long long ncount, bool* pbfailed) {
  std::string cres;
  *pbfailed = nhandle < 0 || noff < 0;
  if (*pbfailed || ncount <= 0) return cres;
  cres.resize(static_cast<size_t>(ncount));
  size_t ngot = 0;
  while (ngot < cres.size()) {
    const ssize_t n = ::pread(nhandle, cres.data() + ngot, cres.size() - ngot, static_cast<off_t>(noff + static_cast<long long>(ngot)));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) *pbfailed = true;
    if (n <= 0) break;
    ngot += static_cast<size_t>(n);
  }
  cres.resize(*pbfailed ? 0 : ngot);
  return cres;
}

int FBYTEAT(int nhandle, long long noff) {
  bool bfailed = false;
  const std::string c = FREADAT(nhandle, noff, 1, &bfailed);
  return c.size() == 1 ? static_cast<unsigned char>(c[0]) : -1;
}

bool FAPPENDSYNC(int nhandle, std::string_view ctext, long long nsize) {
  if (nhandle < 0) return false;
  if (writesync(nhandle, ctext)) return true;
  // Take back whatever part of the text reached the file; a failed cut is
  // tried again, as it is all that keeps a half line out of the table.
  for (int ntry = 0; ntry < 3; ++ntry) {
    if (::ftruncate(nhandle, static_cast<off_t>(nsize)) == 0) {
      datasync(nhandle);
      break;
    }
  }
  return false;
}

FStatus FCREATENEW(std::string_view cname, std::string_view ctext) {
  const std::string cn = cpath(cname);
  const size_t nslash = cn.rfind('/');
  const std::string cdir = nslash == std::string::npos ? "." : (nslash == 0 ? "/" : cn.substr(0, nslash));
  const std::string cbase = nslash == std::string::npos ? cn : cn.substr(nslash + 1);

  bool bfallback = false;
  FStatus nres = FStatus::Failed;
  const int nfd = ::open(cdir.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0666);
  if (nfd >= 0) {
    if (writesync(nfd, ctext)) nres = linkunnamed(nfd, cn, &bfallback);
    ::close(nfd);  // an unnamed file that was not linked vanishes here
  } else {
    bfallback = errno == EOPNOTSUPP || errno == EISDIR || errno == EINVAL;
  }
  if (bfallback) nres = linknamed(cdir, cbase, cn, ctext);
  if (nres == FStatus::Okay) syncdir(cdir);
  return nres;
}

long long FREPLACE(int nhandle, std::string_view ctext) {
  if (nhandle < 0) return 0;
  // Without the lock, or without the cut, the text is still written: a
  // report is better than none.
  lockwait(nhandle, 10);
  ::ftruncate(nhandle, 0);
  return writeall(nhandle, ctext, 0);
}

}  // namespace meld

// Folder import: directories, moves that never replace, the running log,
// the terminal.
#include <dirent.h>

namespace meld {

bool FISDIR(std::string_view cname) {
  struct stat st;
  return ::stat(cpath(cname).c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool FSAMEENTRY(std::string_view cname1, std::string_view cname2) {
  struct stat st1, st2;
  return ::stat(cpath(cname1).c_str(), &st1) == 0 && ::stat(cpath(cname2).c_str(), &st2) == 0 &&
         st1.st_dev == st2.st_dev && st1.st_ino == st2.st_ino;
}

bool FMAKEDIR(std::string_view cname) {
  const std::string cn = cpath(cname);
  return ::mkdir(cn.c_str(), 0777) == 0 || (errno == EEXIST && FISDIR(cn));
}

bool FLISTFILES(std::string_view cdir, std::vector<std::string>* pcnames) {
  pcnames->clear();
  DIR* pdir = ::opendir(cpath(cdir).c_str());
  if (pdir == nullptr) return false;
  const int nfd = ::dirfd(pdir);
  bool bok = true;
  for (;;) {
    errno = 0;
    const struct dirent* pent = ::readdir(pdir);
    if (pent == nullptr) {
      bok = errno == 0;
      break;
    }
    const std::string_view cn = pent->d_name;
    if (cn == "." || cn == "..") continue;
    bool breg = pent->d_type == DT_REG;
    if (pent->d_type == DT_LNK || pent->d_type == DT_UNKNOWN) {
      struct stat st;
      breg = ::fstatat(nfd, pent->d_name, &st, 0) == 0 && S_ISREG(st.st_mode);
    }
    if (breg) pcnames->emplace_back(cn);
  }
  ::closedir(pdir);
  return bok;
}

FMove FMOVE(std::string_view cfrom, std::string_view cto) {
  const std::string cf = cpath(cfrom), ct = cpath(cto);
  if (::renameat2(AT_FDCWD, cf.c_str(), AT_FDCWD, ct.c_str(), RENAME_NOREPLACE) == 0) return FMove::Okay;
  if (errno == EEXIST) return FMove::Exists;
  if (errno == ENOENT) return FMove::Gone;
  if (errno != EINVAL && errno != ENOSYS) return FMove::Failed;
  // A file system without the flag: a link never replaces either, and the
  // old name goes once the new one stands.
  if (::link(cf.c_str(), ct.c_str()) != 0) {
    if (errno == EEXIST) return FMove::Exists;
    return errno == ENOENT ? FMove::Gone : FMove::Failed;
  }
  if (FERASE(cf) == 0) return FMove::Okay;
  FERASE(ct);
  return FMove::Failed;
}

void FSYNCDIR(std::string_view cdir) { syncdir(cpath(cdir)); }

int FOPENAPPEND(std::string_view cname) {
  // A missing file is made the way a new table is, whole and never over
  // one that another run made meanwhile; then the one that is there is opened.
  if (!FILE(cname)) FCREATENEW(cname, "");
  return openregular(cname, O_WRONLY | O_APPEND, O_APPEND);
}

bool FAPPENDLOG(int nhandle, std::string_view ctext) { return nhandle >= 0 && writesync(nhandle, ctext); }

int FOPENDIR(std::string_view cname) {
  int nfd;
  do {
    nfd = ::open(cpath(cname).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  } while (nfd < 0 && errno == EINTR);
  return nfd;
}

bool FLOCKALONE(int nhandle) { return nhandle >= 0 && ::flock(nhandle, LOCK_EX | LOCK_NB) == 0; }

bool FLOCKSHARED(int nhandle, int nwaitsec) {
  if (nhandle < 0) return false;
  // For exclusive locks that are held only for a moment: short polls cost
  // less than a timer.
  const double ndeadline = monotonic() + nwaitsec;
  for (;;) {
    if (::flock(nhandle, LOCK_SH | LOCK_NB) == 0) return true;
    if ((errno != EWOULDBLOCK && errno != EINTR) || monotonic() >= ndeadline) return false;
    const struct timespec ts{0, 1000000};
    ::nanosleep(&ts, nullptr);
  }
}

bool FISTERMINAL(int nhandle) { return nhandle >= 0 && ::isatty(nhandle) == 1; }

}  // namespace meld
