#include "file.h"
#include "file_common.h"

#include <algorithm>
#include <charconv>
#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <linux/magic.h>
#include <malloc.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/sysmacros.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

namespace meld {

namespace {

// Names are passed unchanged; the copy only adds the terminating byte 0.
std::string cpath(std::string_view cname) { return std::string(cname); }

double monotonic() {
  struct timespec ts;
  ::clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

// The run's bound on all waiting, in monotonic seconds; set by FSETWAIT,
// else ten seconds from the first wait.
double g_ndeadline = 0;

double secondsleft() {
  if (g_ndeadline == 0) g_ndeadline = monotonic() + 10;
  return g_ndeadline - monotonic();
}

bool retryable(ssize_t n) { return n < 0 && errno == EINTR && secondsleft() > 0; }

// Descriptors of files on a file system that may keep a call waiting without
// end: one served by another process or over a network (FUSE, NFS, SMB), or
// a kernel pseudo file. Their reads and writes are made by a helper process
// that the run stops waiting for at its bound (see inchild).
constexpr int NTRACKED = 256;
bool g_bmayhang[NTRACKED] = {};
// One more than the length of a regular file on a file system that
// answers, as it was when it was opened; 0 where unknown. For speed: a read
// knows its room and its end from the open's look, without a second fstat.
long long g_nopensize[NTRACKED] = {};

bool mayhang(int nfd) { return nfd >= 0 && nfd < NTRACKED && g_bmayhang[nfd]; }

// The length of the file at its open, or -1 where unknown.
long long opensize(int nfd) { return nfd >= 0 && nfd < NTRACKED ? g_nopensize[nfd] - 1 : -1; }

void untrack(int nfd) {
  if (nfd < 0 || nfd >= NTRACKED) return;
  g_bmayhang[nfd] = false;
  g_nopensize[nfd] = 0;
}

// Local disk and memory file systems answer every call; the answer for one
// device is kept, as all files of a run usually share it.
void track(int nfd, const struct stat& st) {
  static dev_t ndev = 0;
  static bool bdevhangs = false;
  if (nfd < 0 || nfd >= NTRACKED) return;
  bool bhangs = false;
  if (::major(st.st_dev) == 0) {  // no block device behind it
    if (st.st_dev != ndev) {
      struct statfs sf;
      const bool bknown = ::fstatfs(nfd, &sf) == 0;
      const auto ntype = bknown ? static_cast<unsigned long>(sf.f_type) : 0UL;
      bdevhangs = !(ntype == TMPFS_MAGIC || ntype == RAMFS_MAGIC || ntype == BTRFS_SUPER_MAGIC ||
                    ntype == OVERLAYFS_SUPER_MAGIC || ntype == EXT4_SUPER_MAGIC || ntype == XFS_SUPER_MAGIC ||
                    ntype == F2FS_SUPER_MAGIC);
      ndev = st.st_dev;
    }
    bhangs = bdevhangs;
  }
  g_bmayhang[nfd] = bhangs;
  g_nopensize[nfd] = !bhangs && S_ISREG(st.st_mode) ? static_cast<long long>(st.st_size) + 1 : 0;
}

// What a call made in a helper process gave.
struct CALLRES {
  long long nres = -1;  // its result, -1 for a failure
  int nerr = 0;         // errno of a failure
  std::string cdata;    // bytes read
};

void writeplain(int nfd, const char* p, size_t n) {
  while (n > 0) {
    const ssize_t k = ::write(nfd, p, n);
    if (k < 0 && errno == EINTR) continue;
    if (k <= 0) return;
    p += k;
    n -= static_cast<size_t>(k);
  }
}

// Makes the call fn in a child process and takes its result through a pipe,
// waiting no longer than the run's bound. A read stalled in a file system
// that ignores signals cannot be broken off, not even by SIGKILL; the child
// can wait it out while the run reports the failure and ends. The child
// shares the open files, so positions and locks are the run's own.
template <class F>
CALLRES inchild(F fn) {
  CALLRES res;
  res.nerr = ETIMEDOUT;
  int np[2];
  if (::pipe2(np, O_CLOEXEC) != 0) return res;
  const pid_t pid = ::fork();
  if (pid < 0) {
    ::close(np[0]);
    ::close(np[1]);
    return res;
  }
  if (pid == 0) {
    ::close(np[0]);
    const CALLRES r = fn();
    const long long nhead[2] = {r.nres, r.nerr};
    writeplain(np[1], reinterpret_cast<const char*>(nhead), sizeof nhead);
    writeplain(np[1], r.cdata.data(), r.cdata.size());
    ::_exit(0);
  }
  ::close(np[1]);
  std::string cgot;
  bool bended = false;
  for (;;) {
    const double nleft = secondsleft();
    if (nleft <= 0) break;
    struct pollfd pf{np[0], POLLIN, 0};
    const int npoll = ::poll(&pf, 1, static_cast<int>(std::ceil(nleft * 1000)));
    if (npoll < 0 && errno == EINTR) continue;
    if (npoll <= 0) continue;  // the bound is checked above
    char cbuf[65536];
    const ssize_t n = ::read(np[0], cbuf, sizeof cbuf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      bended = n == 0;
      break;
    }
    cgot.append(cbuf, static_cast<size_t>(n));
  }
  ::close(np[0]);
  if (!bended) {
    ::kill(pid, SIGKILL);  // it ends when the file system lets it; not waited for
    return res;
  }
  while (::waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
  }
  long long nhead[2];
  if (cgot.size() < sizeof nhead) {
    res.nerr = EIO;
    return res;
  }
  std::memcpy(nhead, cgot.data(), sizeof nhead);
  res.nres = nhead[0];
  res.nerr = static_cast<int>(nhead[1]);
  res.cdata = cgot.substr(sizeof nhead);
  return res;
}

// Looks at a name (links followed) without opening it: Okay for a regular
// file, Exists for anything else, Failed when absent or not to be looked at.
FStatus lookat(const std::string& cn, struct stat* pst) {
  if (::stat(cn.c_str(), pst) != 0) return FStatus::Failed;
  return S_ISREG(pst->st_mode) ? FStatus::Okay : FStatus::Exists;
}

bool samefile(const struct stat& a, const struct stat& b) { return a.st_dev == b.st_dev && a.st_ino == b.st_ino; }

// Opens the regular file that stnamed shows behind the name (as lookat
// gave it): the open is non-blocking (the flag is dropped, or replaced by
// nkeepflags, afterwards) and must reach the file that was looked at.
int openlooked(const std::string& cn, const struct stat& stnamed, int nflags, int nkeepflags) {
  int nfd;
  do {
    nfd = ::open(cn.c_str(), nflags | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  } while (nfd < 0 && errno == EINTR);
  if (nfd < 0) return -1;
  struct stat stheld;
  if (::fstat(nfd, &stheld) != 0 || !S_ISREG(stheld.st_mode) || !samefile(stnamed, stheld)) {
    ::close(nfd);
    return -1;
  }
  track(nfd, stheld);
  // A local file system ignores the flag on regular files; elsewhere it
  // might be passed on, so it goes.
  if (mayhang(nfd) && ::fcntl(nfd, F_SETFL, nkeepflags) != 0) {
    FCLOSE(nfd);
    return -1;
  }
  return nfd;
}

// Opens an existing regular file. The name is looked at first, so that a
// device, FIFO or socket is never opened at all.
int openregular(std::string_view cname, int nflags, int nkeepflags) {
  const std::string cn = cpath(cname);
  struct stat st;
  if (lookat(cn, &st) != FStatus::Okay) return -1;
  return openlooked(cn, st, nflags, nkeepflags);
}

// Reads up to ncount bytes (at offset noff, or at the current position when
// noff is -1), repeating short reads until the end of the file. A read from
// the start is sized by the file's length (one byte more, so that the end
// of the file shows without a second buffer). On a file system that
// answers, a short read of a regular file is its end: no call is made to
// be told so once more.
std::string readdirect(int nfd, long long noff, long long ncount, bool* pbfailed) {
  std::string cres;
  const size_t nwant = static_cast<size_t>(ncount);
  const long long nknown = opensize(nfd);
  size_t nroom = nwant;
  struct stat st;
  if (noff < 0 && nknown >= 0) {
    nroom = std::min(nwant, static_cast<size_t>(nknown) + 1);
  } else if (nwant > 4096 && ::fstat(nfd, &st) == 0 && S_ISREG(st.st_mode)) {
    // Room for what lies beyond the offset, not for the whole file: a
    // mail read on from its 50,000th byte needs only its rest.
    const long long nleft = std::max(0LL, static_cast<long long>(st.st_size) - std::max(noff, 0LL));
    if (static_cast<unsigned long long>(nleft) < nwant) nroom = static_cast<size_t>(nleft) + 1;
  }
  cres.resize(nroom);
  size_t ngot = 0;
  while (ngot < nwant) {
    if (ngot == cres.size()) cres.resize(std::min(nwant, 2 * cres.size()));
    char* pto = cres.data() + ngot;
    const size_t nleft = cres.size() - ngot;
    const ssize_t n = noff < 0 ? ::read(nfd, pto, nleft)
                               : ::pread(nfd, pto, nleft, static_cast<off_t>(noff + static_cast<long long>(ngot)));
    if (retryable(n)) continue;
    if (n < 0) *pbfailed = true;
    if (n <= 0) break;
    ngot += static_cast<size_t>(n);
    if (nknown >= 0 && static_cast<size_t>(n) < nleft) break;
  }
  cres.resize(*pbfailed ? 0 : ngot);
  return cres;
}

// The same, made by a helper process where the file system may stall.
std::string readbounded(int nfd, long long noff, long long ncount, bool* pbfailed) {
  if (!mayhang(nfd)) return readdirect(nfd, noff, ncount, pbfailed);
  CALLRES r = inchild([&] {
    CALLRES c;
    bool bfailed = false;
    c.cdata = readdirect(nfd, noff, ncount, &bfailed);
    c.nres = bfailed ? -1 : 0;
    return c;
  });
  if (r.nres < 0) *pbfailed = true;
  return *pbfailed ? std::string() : std::move(r.cdata);
}

// One write call for the whole text (at offset noff, or at the current
// position when noff is -1), unless the system writes less: then the rest
// follows, from where it stopped.
long long writedirect(int nfd, std::string_view ctext, long long noff) {
  size_t ndone = 0;
  while (ndone < ctext.size()) {
    const char* pfrom = ctext.data() + ndone;
    const size_t nleft = ctext.size() - ndone;
    const ssize_t n = noff < 0 ? ::write(nfd, pfrom, nleft)
                               : ::pwrite(nfd, pfrom, nleft, static_cast<off_t>(noff + static_cast<long long>(ndone)));
    if (retryable(n)) continue;
    if (n <= 0) break;
    ndone += static_cast<size_t>(n);
  }
  return static_cast<long long>(ndone);
}

bool syncdirect(int nfd) {
  int r;
  do {
    r = ::fdatasync(nfd);
  } while (retryable(r));
  return r == 0;
}

// Writes the text, and with bsync makes it durable; the count of bytes
// written, or -1 where the sync failed. Made by a helper process where the
// file system may stall.
long long writebounded(int nfd, std::string_view ctext, long long noff, bool bsync) {
  const auto fwrite = [&] {
    CALLRES c;
    c.nres = writedirect(nfd, ctext, noff);
    if (bsync && c.nres == static_cast<long long>(ctext.size()) && !syncdirect(nfd)) c.nres = -1;
    return c;
  };
  return mayhang(nfd) ? inchild(fwrite).nres : fwrite().nres;
}

// Writes the text and syncs it: true only when every byte is durable.
bool writesync(int nfd, std::string_view ctext) {
  return writebounded(nfd, ctext, -1, true) == static_cast<long long>(ctext.size());
}

void onalarm(int) {}

// Exclusive lock within the run's bound. The uncontended case is one call;
// a waiting run blocks in the kernel, woken every 100 ms by a timer so that
// it notices the bound.
bool lockwait(int nfd) {
  if (::flock(nfd, LOCK_EX | LOCK_NB) == 0) return true;
  if (errno != EWOULDBLOCK && errno != EINTR) return false;
  if (secondsleft() <= 0) return false;
  struct sigaction sanew{}, saold{};
  sanew.sa_handler = onalarm;  // no SA_RESTART: the timer must interrupt flock
  sigemptyset(&sanew.sa_mask);
  if (::sigaction(SIGALRM, &sanew, &saold) != 0) return false;
  struct itimerval tick{}, tickold{};
  tick.it_value.tv_usec = 100000;
  tick.it_interval.tv_usec = 100000;
  ::setitimer(ITIMER_REAL, &tick, &tickold);
  bool blocked = false;
  for (;;) {
    if (::flock(nfd, LOCK_EX) == 0) {
      blocked = true;
      break;
    }
    if (errno != EINTR || secondsleft() <= 0) break;
  }
  ::setitimer(ITIMER_REAL, &tickold, nullptr);
  ::sigaction(SIGALRM, &saold, nullptr);
  return blocked;
}

// Makes a new directory entry durable; false where that failed. A file
// system that cannot sync a directory (EINVAL) has nothing more to make durable.
bool syncdir(const std::string& cdir) {
  int nfd;
  do {
    nfd = ::open(cdir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  } while (nfd < 0 && errno == EINTR);
  if (nfd < 0) return false;
  int r;
  do {
    r = ::fsync(nfd);
  } while (retryable(r));
  const bool bsynced = r == 0 || errno == EINVAL;
  ::close(nfd);
  return bsynced;
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

// Opens and locks the temporary file, made when missing. It is only ever
// emptied, linked or removed by the run that holds its lock and has seen
// that the name still names it; a killed run's lock ends with the run, so
// its leftover can be taken over or removed.
int opentemp(const std::string& ctmp, bool bcreate) {
  for (int ntry = 0; ntry < 10; ++ntry) {
    const int nfd = ::open(ctmp.c_str(), O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY | (bcreate ? O_CREAT : 0),
                           0666);
    if (nfd < 0) return -1;
    struct stat stheld, stnamed;
    const bool bregular = ::fstat(nfd, &stheld) == 0 && S_ISREG(stheld.st_mode);
    const bool blocked = bregular && (bcreate ? lockwait(nfd) : ::flock(nfd, LOCK_EX | LOCK_NB) == 0);
    if (blocked && ::lstat(ctmp.c_str(), &stnamed) == 0 && samefile(stheld, stnamed)) {
      track(nfd, stheld);
      return nfd;
    }
    ::close(nfd);
    if (!blocked || !bcreate) return -1;  // held by a live run, or no regular file
  }
  return -1;
}

// The same with a named temporary file, for file systems without unnamed
// files: link where links work, else a rename that never replaces.
FStatus linknamed(const std::string& cdir, const std::string& cbase, const std::string& cname,
                  std::string_view ctext) {
  const std::string ctmp = tempname(cdir, cbase);
  const int nfd = opentemp(ctmp, true);
  if (nfd < 0) return FStatus::Failed;
  FStatus nres = FStatus::Failed;
  if (::ftruncate(nfd, 0) == 0 && writesync(nfd, ctext)) {
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
  for (int ntry = 0; ntry < 3; ++ntry)  // still under the lock
    if (::unlink(ctmp.c_str()) == 0 || errno == ENOENT) break;
  ::close(nfd);
  return nres;
}

// The record of an append in progress, kept with the table itself: the
// sizes before and after, as "before after".
constexpr const char* CAPPENDREC = "user.meldimport.append";

bool noxattrs(int nerr) { return nerr == ENOTSUP || nerr == EOPNOTSUPP || nerr == ENOSYS; }

// Under the lock, a record left on the table means that its run died during
// the append: its lock is gone. A torn tail is cut off (see tornsize); any
// other table stays as it is. False where a torn tail could not be taken
// back.
bool recoverappend(int nfd, long long* pnsize) {
  char crec[64];
  const ssize_t n = ::fgetxattr(nfd, CAPPENDREC, crec, sizeof crec - 1);
  if (n < 0) return errno == ENODATA || noxattrs(errno);
  const long long nbefore = tornsize(std::string_view(crec, static_cast<size_t>(n)), *pnsize);
  if (nbefore >= 0) {
    if (::ftruncate(nfd, static_cast<off_t>(nbefore)) != 0 || !syncdirect(nfd)) return false;
    *pnsize = nbefore;
  }
  ::fremovexattr(nfd, CAPPENDREC);
  return true;
}

}  // namespace

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

namespace {

// The colon-separated fields of one line of /etc/passwd or /etc/group.
std::vector<std::string> splitcolons(std::string_view cline) {
  std::vector<std::string> cfields;
  size_t nfrom = 0;
  for (;;) {
    const size_t ncolon = cline.find(':', nfrom);
    cfields.emplace_back(cline.substr(nfrom, ncolon == std::string_view::npos ? std::string_view::npos : ncolon - nfrom));
    if (ncolon == std::string_view::npos) return cfields;
    nfrom = ncolon + 1;
  }
}

std::string readsystemfile(const char* cname) {
  const int nfd = ::open(cname, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (nfd < 0) return {};
  bool bfailed = false;
  std::string c = readdirect(nfd, -1, 1 << 24, &bfailed);
  ::close(nfd);
  return c;
}

unsigned long number(std::string_view c) {
  unsigned long n = 0;
  std::from_chars(c.data(), c.data() + c.size(), n);
  return n;
}

template <class F>
void eachline(const std::string& ctext, F fn) {
  size_t nfrom = 0;
  while (nfrom < ctext.size()) {
    size_t nend = ctext.find('\n', nfrom);
    if (nend == std::string::npos) nend = ctext.size();
    fn(splitcolons(std::string_view(ctext).substr(nfrom, nend - nfrom)));
    nfrom = nend + 1;
  }
}

}  // namespace

FOwner FTAKEOWNER() {
  if (::geteuid() != 0) return FOwner::Okay;
  struct stat st;
  if (::stat(".", &st) != 0) return FOwner::Failed;
  if (st.st_uid == 0) return (st.st_mode & (S_IWGRP | S_IWOTH)) != 0 ? FOwner::Unsafe : FOwner::Root;
  // The owner's name, primary group and supplementary groups from the
  // system's own files (the name service is not linked into a static
  // program); an owner not listed gets the directory's group alone.
  const std::string cuid = std::to_string(st.st_uid);
  std::string cuser;
  gid_t ngid = st.st_gid;
  eachline(readsystemfile("/etc/passwd"), [&](const std::vector<std::string>& f) {
    if (cuser.empty() && f.size() >= 4 && f[2] == cuid) {
      cuser = f[0];
      ngid = static_cast<gid_t>(number(f[3]));
    }
  });
  std::vector<gid_t> ngroups{ngid};
  if (!cuser.empty()) {
    eachline(readsystemfile("/etc/group"), [&](const std::vector<std::string>& f) {
      if (f.size() < 4) return;
      const std::string cmembers = "," + f[3] + ",";
      if (cmembers.find("," + cuser + ",") != std::string::npos)
        ngroups.push_back(static_cast<gid_t>(number(f[2])));
    });
  }
  if (::setgroups(ngroups.size(), ngroups.data()) != 0 || ::setresgid(ngid, ngid, ngid) != 0 ||
      ::setresuid(st.st_uid, st.st_uid, st.st_uid) != 0)
    return FOwner::Failed;
  return ::geteuid() == st.st_uid && ::getuid() == st.st_uid ? FOwner::Root : FOwner::Failed;
}

bool FOWNEDALONE(std::string_view cdir) {
  struct stat st;
  return ::stat(cpath(cdir).c_str(), &st) == 0 && st.st_uid == ::geteuid() && (st.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

void FSETWAIT(double nseconds) { g_ndeadline = monotonic() + nseconds; }

void FSAY(std::string_view ctext) { writeplain(2, ctext.data(), ctext.size()); }

bool FILE(std::string_view cname, bool* pbfailed, bool* pbmarked) {
  struct stat st;
  const bool bfound = ::stat(cpath(cname).c_str(), &st) == 0;
  if (pbfailed != nullptr) *pbfailed = !bfound && errno != ENOENT && errno != ENOTDIR;
  if (pbmarked != nullptr) *pbmarked = false;  // no hidden or system marks here
  return bfound && !S_ISDIR(st.st_mode);
}

int FOPEN(std::string_view cname) { return openregular(cname, O_RDONLY, 0); }

int FCREATE(std::string_view cname) {
  const std::string cn = cpath(cname);
  for (int ntry = 0; ntry < 3; ++ntry) {
    struct stat st;
    const FStatus nlook = lookat(cn, &st);
    if (nlook == FStatus::Exists) return -1;
    if (nlook == FStatus::Failed) {
      if (errno != ENOENT) return -1;
      // A new file; a dangling link fails here and is never followed.
      int nfd;
      do {
        nfd = ::open(cn.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY, 0666);
      } while (nfd < 0 && errno == EINTR);
      if (nfd >= 0) {
        if (::fstat(nfd, &st) == 0) {
          track(nfd, st);
          return nfd;
        }
        ::close(nfd);
        return -1;
      }
      if (errno != EEXIST) return -1;
      continue;  // made meanwhile: look again
    }
    // Emptied by the open itself: the name was just seen to be a regular
    // file, and a FIFO or device swapped in meanwhile is not cut by it.
    return openlooked(cn, st, O_RDWR | O_TRUNC, 0);
  }
  return -1;
}

bool FRESERVE(int nhandle, long long nbytes) {
  if (nhandle < 0) return false;
  int r;
  do {
    r = ::fallocate(nhandle, FALLOC_FL_KEEP_SIZE, 0, static_cast<off_t>(nbytes));
  } while (r != 0 && errno == EINTR);
  return r == 0 || (errno != ENOSPC && errno != EDQUOT);
}

std::string readbytes(int nhandle, long long noff, long long ncount, bool* pbfailed) {
  if (nhandle < 0) *pbfailed = true;
  if (nhandle < 0 || ncount <= 0) return {};
  return readbounded(nhandle, noff, ncount, pbfailed);
}

FRead FREADNAMED(std::string_view cname, long long ncount, int* pnhandle, std::string* pctext) {
  // One look at the name tells absent (or a directory, which counts as
  // absent) from there; what is there must be a regular file that opens.
  const std::string cn = cpath(cname);
  struct stat st;
  const FStatus nlook = lookat(cn, &st);
  if (nlook == FStatus::Failed) return errno == ENOENT || errno == ENOTDIR ? FRead::Missing : FRead::Failed;
  if (nlook == FStatus::Exists) return S_ISDIR(st.st_mode) ? FRead::Missing : FRead::Failed;
  *pnhandle = openlooked(cn, st, O_RDONLY, 0);
  bool bfailed = false;
  *pctext = readbytes(*pnhandle, -1, ncount, &bfailed);
  return bfailed ? FRead::Failed : FRead::Okay;
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

int FOPENLOCKED(std::string_view cname, long long* pnsize, bool* pbopened) {
  const std::string cn = cpath(cname);
  bool bopened = false;
  if (pbopened == nullptr) pbopened = &bopened;
  for (int ntry = 0; ntry < 100; ++ntry) {
    *pbopened = false;
    const int nfd = openregular(cname, O_RDWR | O_APPEND, O_APPEND);
    if (nfd < 0) return -1;
    *pbopened = true;
    if (!lockwait(nfd)) {
      FCLOSE(nfd);
      return -1;
    }
    struct stat stheld, stnamed;
    if (::fstat(nfd, &stheld) != 0) {
      FCLOSE(nfd);
      return -1;
    }
    if (::stat(cn.c_str(), &stnamed) == 0 && samefile(stnamed, stheld)) {
      *pnsize = static_cast<long long>(stheld.st_size);
      if (recoverappend(nfd, pnsize)) return nfd;
      FCLOSE(nfd);
      return -1;
    }
    FCLOSE(nfd);  // replaced while we waited: take the file the name names now
  }
  return -1;
}

bool FAPPENDSYNC(int nhandle, std::string_view ctext, long long nsize) {
  if (nhandle < 0) return false;
  return appendrecorded(
      [&] {
        const std::string crec = appendrecord(nsize, nsize + static_cast<long long>(ctext.size()));
        if (::fsetxattr(nhandle, CAPPENDREC, crec.data(), crec.size(), 0) == 0) return 1;
        return noxattrs(errno) ? 0 : -1;
      },
      [&] { return writesync(nhandle, ctext); },
      [&] { return ::ftruncate(nhandle, static_cast<off_t>(nsize)) == 0 && (syncdirect(nhandle), true); },
      [&] { ::fremovexattr(nhandle, CAPPENDREC); });
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
    struct stat st;
    if (::fstat(nfd, &st) == 0) track(nfd, st);
    if (writesync(nfd, ctext)) nres = linkunnamed(nfd, cn, &bfallback);
    FCLOSE(nfd);  // an unnamed file that was not linked vanishes here
  } else {
    bfallback = errno == EOPNOTSUPP || errno == EISDIR || errno == EINVAL;
  }
  if (bfallback) nres = linknamed(cdir, cbase, cn, ctext);
  if (nres == FStatus::Okay) syncdir(cdir);
  return nres;
}

void FREMOVESTALE(std::string_view cname) {
  const std::string cn = cpath(cname);
  const size_t nslash = cn.rfind('/');
  const std::string ctmp = nslash == std::string::npos ? tempname(".", cn)
                                                       : tempname(cn.substr(0, nslash), cn.substr(nslash + 1));
  struct stat st;
  if (::lstat(ctmp.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return;
  const int nfd = opentemp(ctmp, false);
  if (nfd < 0) return;
  ::unlink(ctmp.c_str());
  FCLOSE(nfd);
}

long long FREPLACE(int nhandle, std::string_view ctext) {
  if (nhandle < 0) return 0;
  // Without the lock the text is still written: a report is better than
  // none. It goes into the room reserved at the start, and whatever stands
  // behind it (a longer text of another run, the unused room) is cut off.
  lockwait(nhandle);
  const long long n = writebounded(nhandle, ctext, 0, false);
  if (n != static_cast<long long>(ctext.size())) {
    ::ftruncate(nhandle, 0);  // no half report
    return 0;
  }
  ::ftruncate(nhandle, static_cast<off_t>(n));
  return n;
}

}  // namespace meld

// Folder import: directories, moves that never replace, the running log,
// the terminal.

namespace meld {

std::vector<std::string> FARGS(int argc, const char* const* argv) {
  return argc > 1 ? std::vector<std::string>(argv + 1, argv + argc) : std::vector<std::string>();
}

bool FISDIR(std::string_view cname) {
  struct stat st;
  return ::stat(cpath(cname).c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool FSAMEENTRY(std::string_view cname1, std::string_view cname2) {
  struct stat st1, st2;
  return ::stat(cpath(cname1).c_str(), &st1) == 0 && ::stat(cpath(cname2).c_str(), &st2) == 0 &&
         st1.st_dev == st2.st_dev && st1.st_ino == st2.st_ino;
}

bool FMAKEDIR(std::string_view cname, bool bprivate) {
  const std::string cn = cpath(cname);
  return ::mkdir(cn.c_str(), bprivate ? 0700 : 0777) == 0 || (errno == EEXIST && FISDIR(cn));
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

int FOPENAPPEND(std::string_view cname) {
  // A missing file is made the way a new table is, whole and never over
  // one that another run made meanwhile; then the one that is there is opened.
  if (!FILE(cname)) FCREATENEW(cname, "");
  return openregular(cname, O_WRONLY | O_APPEND, O_APPEND);
}

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
