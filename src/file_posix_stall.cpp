// Reads and writes on file systems that may keep a call waiting without
// end: one served by another process or over a network (FUSE, NFS, SMB), or
// a kernel pseudo file. They are made by a helper process that the run
// stops waiting for at its bound.
#include <algorithm>
#include <cmath>
#include <csignal>
#include <cstring>

#include <fcntl.h>
#include <linux/magic.h>
#include <poll.h>
#include <sys/statfs.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include "file_posix.h"

namespace meld {

namespace {

constexpr int NTRACKED = 256;
bool g_bmayhang[NTRACKED] = {};
// One more than the length of a regular file on a file system that
// answers, as it was when it was opened; 0 where unknown. For speed: a read
// knows its room and its end from the open's look, without a second fstat.
long long g_nopensize[NTRACKED] = {};

// What a call made in a helper process gave.
struct CALLRES {
  long long nres = -1;  // its result, -1 for a failure
  std::string cdata;    // bytes read
};

// Makes the call fn in a child process and takes its result through a pipe,
// waiting no longer than the run's bound. A read stalled in a file system
// that ignores signals cannot be broken off, not even by SIGKILL; the child
// can wait it out while the run reports the failure and ends. The child
// shares the open files, so positions and locks are the run's own.
template <class F>
CALLRES inchild(F fn) {
  CALLRES res;
  int np[2];
  if (::pipe2(np, O_CLOEXEC) != 0) return res;
  FD fdread(np[0]), fdwrite(np[1]);
  const pid_t pid = ::fork();
  if (pid < 0) return res;
  if (pid == 0) {
    const CALLRES r = fn();
    writedirect(np[1], std::string_view(reinterpret_cast<const char*>(&r.nres), sizeof r.nres), -1);
    writedirect(np[1], r.cdata, -1);
    ::_exit(0);
  }
  FCLOSE(fdwrite.release());
  std::string cgot;
  bool bended = false;
  for (;;) {
    const double nleft = secondsleft();
    if (nleft <= 0) break;
    struct pollfd pf{np[0], POLLIN, 0};
    const int npoll = ::poll(&pf, 1, static_cast<int>(std::ceil(nleft * 1000)));
    if (npoll <= 0) continue;  // interrupted or timed out: the bound is checked above
    char cbuf[65536];
    const ssize_t n = again([&] { return ::read(np[0], cbuf, sizeof cbuf); });
    if (n <= 0) {
      bended = n == 0;
      break;
    }
    cgot.append(cbuf, static_cast<size_t>(n));
  }
  if (!bended) {
    ::kill(pid, SIGKILL);  // it ends when the file system lets it; not waited for
    return res;
  }
  again([&] { return ::waitpid(pid, nullptr, 0); });
  if (cgot.size() < sizeof res.nres) return res;  // the child died before it could answer
  std::memcpy(&res.nres, cgot.data(), sizeof res.nres);
  res.cdata = cgot.substr(sizeof res.nres);
  return res;
}

}  // namespace

bool mayhang(int nfd) { return nfd >= 0 && nfd < NTRACKED && g_bmayhang[nfd]; }

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

long long writebounded(int nfd, std::string_view ctext, long long noff, bool bsync) {
  const auto fwrite = [&] {
    CALLRES c;
    c.nres = writedirect(nfd, ctext, noff);
    if (bsync && c.nres == static_cast<long long>(ctext.size()) && !syncdirect(nfd)) c.nres = -1;
    return c;
  };
  return mayhang(nfd) ? inchild(fwrite).nres : fwrite().nres;
}

}  // namespace meld
