#include "stallfs.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <exception>
#include <mutex>
#include <string_view>
#include <thread>
#include <utility>

#include <fcntl.h>
#include <linux/fuse.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

namespace meldtest {

namespace {

// An owned file descriptor, closed at the end of its scope.
class Fd {
 public:
  Fd() = default;
  explicit Fd(int nfd) : nfd_(nfd) {}
  ~Fd() { reset(); }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return nfd_; }
  bool valid() const { return nfd_ >= 0; }
  void reset(int nfd = -1) {
    if (nfd_ >= 0) ::close(nfd_);
    nfd_ = nfd;
  }

 private:
  int nfd_ = -1;
};

std::string errtext(int nerr) { return std::strerror(nerr); }

// Writes "1" to an abort file of the FUSE control file system.
bool writeabort(const std::string& cpath) {
  Fd fd(::open(cpath.c_str(), O_WRONLY | O_CLOEXEC));
  return fd.valid() && ::write(fd.get(), "1", 1) == 1;
}

constexpr uint64_t NVALIDSECONDS = 3600;  // the content never changes
constexpr uint64_t NFIRSTFILEINO = 2;     // the root is FUSE_ROOT_ID (1)
constexpr size_t NBUFFER = (1u << 20) + 4096;  // well above any request the kernel sends here

}  // namespace

struct StallFs::Impl {
  std::string cdir;
  std::vector<StallFile> files;  // file i has node id NFIRSTFILEINO + i
  uint64_t ntime = 0;            // every time stamp: the mount's
  Fd fuse;                       // /dev/fuse, the connection
  Fd stop;                       // an eventfd that ends the serving loop
  std::thread server;
  bool bmounted = false;
  std::string cwhy;
  unsigned nconn = 0;  // the connection's number in the control file system
  bool bconn = false;
  std::atomic<int> nstalled{0};
  std::atomic<bool> bserving{false};
  // The kernel ended the connection (an unmount from outside, say): its
  // number may then belong to another mount already, so it is not aborted.
  std::atomic<bool> bconnended{false};
  uint32_t nminor = 0;  // the protocol minor in use; only the serving thread uses it

  std::mutex m;
  std::condition_variable cv;
  bool binitdone = false;  // INIT was answered (binitok: with success)
  bool binitok = false;

  void serve() noexcept;
  void handle(const char* pbuf, size_t nlen);
  void reply(uint64_t nunique, int nerror, const void* pdata = nullptr, size_t nlen = 0);
  void replyinit(const fuse_in_header& h, const char* parg, size_t nlen);
  void replyreaddir(const fuse_in_header& h, const fuse_read_in& in);
  const StallFile* file(uint64_t nnode) const;
  fuse_attr attr(uint64_t nnode) const;
  void abortconn();
  void teardown() noexcept;
};

const StallFile* StallFs::Impl::file(uint64_t nnode) const {
  if (nnode < NFIRSTFILEINO || nnode - NFIRSTFILEINO >= files.size()) return nullptr;
  return &files[nnode - NFIRSTFILEINO];
}

fuse_attr StallFs::Impl::attr(uint64_t nnode) const {
  fuse_attr a{};
  a.ino = nnode;
  a.atime = a.mtime = a.ctime = ntime;
  a.uid = 0;
  a.gid = 0;
  a.blksize = 4096;
  if (const StallFile* pf = file(nnode)) {
    a.mode = S_IFREG | 0444;
    a.nlink = 1;
    a.size = pf->bytes.size();
    a.blocks = (a.size + 511) / 512;
  } else {
    a.mode = S_IFDIR | 0555;
    a.nlink = 2;
  }
  return a;
}

void StallFs::Impl::reply(uint64_t nunique, int nerror, const void* pdata, size_t nlen) {
  fuse_out_header o{};
  o.len = static_cast<uint32_t>(sizeof o + nlen);
  o.error = -nerror;
  o.unique = nunique;
  iovec v[2] = {{&o, sizeof o}, {const_cast<void*>(pdata), nlen}};
  // ENOENT: the request was interrupted and is gone; nothing to do then.
  while (::writev(fuse.get(), v, nlen ? 2 : 1) < 0 && errno == EINTR) {
  }
}

void StallFs::Impl::replyinit(const fuse_in_header& h, const char* parg, size_t nlen) {
  fuse_init_in in{};
  std::memcpy(&in, parg, std::min(nlen, sizeof in));
  fuse_init_out o{};
  const bool bok = in.major == FUSE_KERNEL_VERSION && in.minor >= 12;
  if (bok) {
    o.major = FUSE_KERNEL_VERSION;
    // The older of the two protocol versions; our replies fit both.
    o.minor = std::min<uint32_t>(in.minor, FUSE_KERNEL_MINOR_VERSION);
    nminor = o.minor;
    o.max_readahead = in.max_readahead;
    o.flags = 0;  // synchronous reads, no extras
    o.max_write = 4096;
    o.time_gran = 1;
    reply(h.unique, 0, &o, o.minor < 23 ? FUSE_COMPAT_22_INIT_OUT_SIZE : sizeof o);
  } else {
    reply(h.unique, EPROTO);
  }
  std::lock_guard<std::mutex> lock(m);
  binitdone = true;
  binitok = bok;
  cv.notify_all();
}

void StallFs::Impl::replyreaddir(const fuse_in_header& h, const fuse_read_in& in) {
  // Entry k of ".", "..", then the files; a dirent's off is where the next
  // READDIR goes on.
  std::string cout;
  for (uint64_t k = in.offset; k < files.size() + 2; ++k) {
    std::string_view cname = k == 0 ? "." : k == 1 ? ".." : std::string_view(files[k - 2].name);
    const size_t nrec = FUSE_DIRENT_ALIGN(FUSE_NAME_OFFSET + cname.size());
    if (cout.size() + nrec > in.size) break;
    fuse_dirent d{};
    d.ino = k < 2 ? FUSE_ROOT_ID : NFIRSTFILEINO + (k - 2);
    d.off = k + 1;
    d.namelen = static_cast<uint32_t>(cname.size());
    d.type = (k < 2 ? S_IFDIR : S_IFREG) >> 12;  // the d_type of getdents
    const size_t nat = cout.size();
    cout.resize(nat + nrec, '\0');
    std::memcpy(cout.data() + nat, &d, FUSE_NAME_OFFSET);
    std::memcpy(cout.data() + nat + FUSE_NAME_OFFSET, cname.data(), cname.size());
  }
  reply(h.unique, 0, cout.data(), cout.size());
}

void StallFs::Impl::handle(const char* pbuf, size_t nlen) {
  fuse_in_header h;
  if (nlen < sizeof h) return;
  std::memcpy(&h, pbuf, sizeof h);
  const char* parg = pbuf + sizeof h;
  const size_t narg = nlen - sizeof h;
  auto in = [&](auto& s) {
    std::memset(&s, 0, sizeof s);
    std::memcpy(&s, parg, std::min(narg, sizeof s));
  };
  const bool bnode = h.nodeid == FUSE_ROOT_ID || file(h.nodeid) != nullptr;

  switch (h.opcode) {
    case FUSE_INIT:
      replyinit(h, parg, narg);
      return;
    case FUSE_DESTROY:
      bconnended = true;
      reply(h.unique, 0);
      return;
    case FUSE_FORGET:
    case FUSE_BATCH_FORGET:
    case FUSE_INTERRUPT:
      // No reply: FORGET takes none, and an INTERRUPT changes nothing here:
      // answered requests are done, held ones stay held.
      return;
    case FUSE_LOOKUP: {
      const std::string_view cname(parg, ::strnlen(parg, narg));
      if (h.nodeid != FUSE_ROOT_ID) return reply(h.unique, ENOTDIR);
      for (size_t i = 0; i < files.size(); ++i) {
        if (files[i].name != cname) continue;
        fuse_entry_out o{};
        o.nodeid = NFIRSTFILEINO + i;
        o.generation = 1;
        o.entry_valid = o.attr_valid = NVALIDSECONDS;
        o.attr = attr(o.nodeid);
        return reply(h.unique, 0, &o, sizeof o);
      }
      return reply(h.unique, ENOENT);
    }
    case FUSE_GETATTR: {
      if (!bnode) return reply(h.unique, ENOENT);
      fuse_attr_out o{};
      o.attr_valid = NVALIDSECONDS;
      o.attr = attr(h.nodeid);
      return reply(h.unique, 0, &o, sizeof o);
    }
    case FUSE_OPEN: {
      fuse_open_in a;
      in(a);
      const StallFile* pf = file(h.nodeid);
      if (!pf) return reply(h.unique, bnode ? EISDIR : ENOENT);
      if ((a.flags & O_ACCMODE) != O_RDONLY || (a.flags & O_TRUNC)) return reply(h.unique, EROFS);
      fuse_open_out o{};
      // Direct I/O for a stalled file: each read(2) becomes one READ of its
      // own, held here, and no page of it is ever locked in the page cache.
      o.open_flags = pf->stall ? FOPEN_DIRECT_IO : FOPEN_KEEP_CACHE;
      // Nothing to flush in a read-only file: close(2) then sends no FLUSH
      // and so never waits for this thread (since protocol 7.35).
      if (nminor >= 35) o.open_flags |= FOPEN_NOFLUSH;
      return reply(h.unique, 0, &o, sizeof o);
    }
    case FUSE_READ: {
      fuse_read_in a;
      in(a);
      const StallFile* pf = file(h.nodeid);
      if (!pf) return reply(h.unique, bnode ? EISDIR : ENOENT);
      if (pf->stall) {
        // Held: never answered, until the connection is aborted.
        nstalled.fetch_add(1);
        return;
      }
      const size_t nat = std::min<uint64_t>(a.offset, pf->bytes.size());
      const size_t ncount = std::min<size_t>(a.size, pf->bytes.size() - nat);
      return reply(h.unique, 0, pf->bytes.data() + nat, ncount);
    }
    case FUSE_OPENDIR: {
      if (h.nodeid != FUSE_ROOT_ID) return reply(h.unique, bnode ? ENOTDIR : ENOENT);
      fuse_open_out o{};
      return reply(h.unique, 0, &o, sizeof o);
    }
    case FUSE_READDIR: {
      if (h.nodeid != FUSE_ROOT_ID) return reply(h.unique, ENOTDIR);
      fuse_read_in a;
      in(a);
      return replyreaddir(h, a);
    }
    case FUSE_RELEASE:
    case FUSE_RELEASEDIR:
    case FUSE_FLUSH:
    case FUSE_FSYNC:
    case FUSE_FSYNCDIR:
      return reply(h.unique, 0);
    case FUSE_STATFS: {
      fuse_statfs_out o{};
      o.st.bsize = o.st.frsize = 4096;
      o.st.namelen = 255;
      for (const StallFile& f : files) o.st.blocks += (f.bytes.size() + 4095) / 4096;
      o.st.files = files.size() + 1;
      return reply(h.unique, 0, &o, sizeof o);
    }
    case FUSE_ACCESS: {
      fuse_access_in a;
      in(a);
      if (!bnode) return reply(h.unique, ENOENT);
      return reply(h.unique, (a.mask & W_OK) ? EROFS : 0);
    }
    case FUSE_GETXATTR:
      return reply(h.unique, ENODATA);
    case FUSE_LISTXATTR: {
      fuse_getxattr_in a;
      in(a);
      if (a.size != 0) return reply(h.unique, 0);  // an empty list
      fuse_getxattr_out o{};
      return reply(h.unique, 0, &o, sizeof o);
    }
    case FUSE_SETATTR:
    case FUSE_SYMLINK:
    case FUSE_MKNOD:
    case FUSE_MKDIR:
    case FUSE_UNLINK:
    case FUSE_RMDIR:
    case FUSE_RENAME:
    case FUSE_RENAME2:
    case FUSE_LINK:
    case FUSE_WRITE:
    case FUSE_CREATE:
    case FUSE_SETXATTR:
    case FUSE_REMOVEXATTR:
    case FUSE_FALLOCATE:
    case FUSE_COPY_FILE_RANGE:
    case FUSE_TMPFILE:
      return reply(h.unique, EROFS);
    default:
      return reply(h.unique, ENOSYS);
  }
}

void StallFs::Impl::serve() noexcept {
  std::vector<char> buf;
  try {
    buf.resize(NBUFFER);
  } catch (...) {
    bserving = false;
    return;
  }
  for (;;) {
    pollfd pfd[2] = {{fuse.get(), POLLIN, 0}, {stop.get(), POLLIN, 0}};
    if (::poll(pfd, 2, -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (pfd[1].revents) break;
    const ssize_t n = ::read(fuse.get(), buf.data(), buf.size());
    if (n < 0) {
      // EAGAIN: nothing is queued after all; ENOENT: the request went away
      // while being read; ENODEV: the connection has ended (unmounted or
      // aborted).
      if (errno == EINTR || errno == EAGAIN || errno == ENOENT) continue;
      if (errno == ENODEV || errno == ECONNABORTED) bconnended = true;
      break;
    }
    try {
      handle(buf.data(), static_cast<size_t>(n));
    } catch (...) {
      // An allocation failed while answering; the request stays unanswered
      // and is released with the rest at the end.
    }
  }
  bserving = false;
}

void StallFs::Impl::abortconn() {
  if (!bconn || bconnended) return;
  const std::string cnum = std::to_string(nconn);
  if (writeabort("/sys/fs/fuse/connections/" + cnum + "/abort")) return;
  // The control file system is not mounted there: mount it privately for
  // the one write and remove that mount again at once.
  char ctemplate[] = "/tmp/stallfs-ctl.XXXXXX";
  if (!::mkdtemp(ctemplate)) return;
  if (::mount("fusectl", ctemplate, "fusectl", MS_NOSUID | MS_NODEV | MS_NOEXEC, nullptr) == 0) {
    writeabort(std::string(ctemplate) + "/" + cnum + "/abort");
    ::umount2(ctemplate, MNT_DETACH);
  }
  ::rmdir(ctemplate);
}

void StallFs::Impl::teardown() noexcept {
  if (bmounted) {
    // Abort first: every held READ fails at once, and the end of the
    // mount then sends the kernel's DESTROY to nobody.
    try {
      abortconn();
    } catch (...) {
    }
    // Where the abort was refused, the last close of /dev/fuse aborts; a
    // dead serving loop would answer no DESTROY, so close before the
    // unmount then. Otherwise the loop answers DESTROY if the unmount
    // ends the file system at once.
    if (!bserving) fuse.reset();
    ::umount2(cdir.c_str(), MNT_DETACH);
    bmounted = false;
  }
  if (server.joinable()) {
    const uint64_t none = 1;
    if (stop.valid() && ::write(stop.get(), &none, sizeof none) < 0) {
      // The loop still ends: it stops on its own once the connection is gone.
    }
    server.join();
  }
  fuse.reset();
  stop.reset();
  nstalled = 0;
}

StallFs::StallFs(const std::string& cmountdir, std::vector<StallFile> files) {
  try {
    p = std::make_unique<Impl>();
  } catch (...) {
    return;
  }
  Impl& s = *p;
  try {
    s.cdir = cmountdir;
    s.files = std::move(files);
    s.ntime = static_cast<uint64_t>(std::time(nullptr));
    for (size_t i = 0; i < s.files.size(); ++i) {
      const std::string& c = s.files[i].name;
      if (c.empty() || c == "." || c == ".." || c.find('/') != std::string::npos ||
          c.find('\0') != std::string::npos || c.size() > 255) {
        s.cwhy = "not a plain file name: \"" + c + "\"";
        return;
      }
      for (size_t j = 0; j < i; ++j)
        if (s.files[j].name == c) {
          s.cwhy = "file name given twice: " + c;
          return;
        }
    }

    s.fuse.reset(::open("/dev/fuse", O_RDWR | O_CLOEXEC | O_NONBLOCK));
    if (!s.fuse.valid()) {
      const int nerr = errno;
      s.cwhy = "cannot open /dev/fuse: " + errtext(nerr);
      return;
    }
    s.stop.reset(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (!s.stop.valid()) {
      const int nerr = errno;
      s.cwhy = "eventfd: " + errtext(nerr);
      return;
    }
    const std::string copts = "fd=" + std::to_string(s.fuse.get()) +
                              ",rootmode=40000,user_id=" + std::to_string(::geteuid()) +
                              ",group_id=" + std::to_string(::getegid()) +
                              ",allow_other,default_permissions";
    const unsigned long nflags = MS_NOSUID | MS_NODEV | MS_NOEXEC | MS_RDONLY;
    int nrc = ::mount("stallfs", s.cdir.c_str(), "fuse.stallfs", nflags, copts.c_str());
    if (nrc != 0 && errno == ENODEV)  // a kernel without subtypes
      nrc = ::mount("stallfs", s.cdir.c_str(), "fuse", nflags, copts.c_str());
    if (nrc != 0) {
      const int nerr = errno;
      s.cwhy = "cannot mount FUSE on " + s.cdir + ": " + errtext(nerr);
      return;
    }
    s.bmounted = true;

    // The control file system names the connection by the device number;
    // statx without sync asks the file system nothing.
    struct statx stx {};
    if (::statx(AT_FDCWD, s.cdir.c_str(), AT_STATX_DONT_SYNC, STATX_TYPE, &stx) == 0) {
      s.nconn = (stx.stx_dev_major << 20) | stx.stx_dev_minor;
      s.bconn = true;
    }

    s.bserving = true;
    try {
      s.server = std::thread([&s] { s.serve(); });
    } catch (...) {
      s.bserving = false;
      throw;
    }

    std::unique_lock<std::mutex> lock(s.m);
    s.cv.wait_for(lock, std::chrono::seconds(10), [&s] { return s.binitdone; });
    if (!s.binitok)
      s.cwhy = s.binitdone ? "the kernel's FUSE protocol is not supported"
                           : "no INIT from the kernel within 10 s";
  } catch (const std::exception& e) {
    s.cwhy = std::string("cannot start: ") + e.what();
  } catch (...) {
    s.cwhy = "cannot start";
  }
  if (!s.cwhy.empty()) s.teardown();
}

StallFs::~StallFs() {
  if (p) p->teardown();
}

bool StallFs::ok() const { return p && p->cwhy.empty(); }

const std::string& StallFs::why() const {
  static const std::string COUTOFMEMORY = "out of memory";
  return p ? p->cwhy : COUTOFMEMORY;
}

int StallFs::stalledreads() const { return p ? p->nstalled.load() : 0; }

bool StallFs::waitstalled(int n, double nseconds) const {
  const auto tend = std::chrono::steady_clock::now() + std::chrono::duration<double>(nseconds);
  for (;;) {
    if (stalledreads() >= n) return true;
    if (std::chrono::steady_clock::now() >= tend) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

}  // namespace meldtest
