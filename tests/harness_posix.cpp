// The POSIX body of the test harness: fork and exec, /tmp, mounts.
#include "harness_posix.h"

#include <cerrno>
#include <cstring>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include <algorithm>
#include <cstring>
#include <stdexcept>

#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

namespace meldtest {

namespace {

// A fresh directory under /tmp, or an exception that fails the test with
// the reason: a test without its own directory must write nowhere.
std::string makedir(const char* cprefix) {
  std::string ctemplate = std::string("/tmp/") + cprefix + ".XXXXXX";
  if (::mkdtemp(ctemplate.data()) == nullptr)
    throw std::runtime_error("cannot make a temporary directory " + ctemplate + ": " + std::strerror(errno));
  return ctemplate;
}

// The executables as the tests run them: copies in a directory of their
// own that every user can reach, so that an unprivileged child can start
// them wherever the build lies (a home of mode 0700 included).
struct ExeCopies {
  std::string cdir, ctool, cfolder;
  ExeCopies() : cdir(makedir("meldexe")) {
    ::chmod(cdir.c_str(), 0755);
    try {
      ctool = copy(MELD_EXE);
      cfolder = copy(MELD_ALL_EXE);
    } catch (...) {
      removedir();
      throw;
    }
  }
  ~ExeCopies() { removedir(); }
  void removedir() const {
    std::error_code ec;
    std::filesystem::remove_all(cdir, ec);
  }
  std::string copy(const std::string& cfrom) const {
    const std::string cto = cdir + "/" + std::filesystem::path(cfrom).filename().string();
    std::error_code ec;
    std::filesystem::copy_file(cfrom, cto, ec);
    if (ec || ::chmod(cto.c_str(), 0755) != 0)
      throw std::runtime_error("cannot copy " + cfrom + " to " + cto + ": " + ec.message());
    return cto;
  }
};

const ExeCopies& exes() {
  static const ExeCopies copies;
  return copies;
}

}  // namespace

TempDir::TempDir() : path(makedir("meldtest")) {}

TempDir::~TempDir() {
  // A case may leave a directory write-protected: each is opened up before
  // it is entered, so that a normal user's run leaves nothing behind either.
  std::error_code ec;
  ::chmod(path.c_str(), 0700);
  namespace fs = std::filesystem;
  for (fs::recursive_directory_iterator it(path, ec), end; !ec && it != end; it.increment(ec))
    if (it->is_directory(ec) && !it->is_symlink(ec)) ::chmod(it->path().c_str(), 0700);
  fs::remove_all(path, ec);
}

Mounted::Mounted(const std::string& ctype, int nkib, const std::string& coptions) {
  path = base / "mnt";
  ::mkdir(path.c_str(), 0755);
  if (ctype == "tmpfs") {
    const std::string copts = "mode=0755,size=" + std::to_string(nkib) + "k" + (coptions.empty() ? "" : "," + coptions);
    bok = ::mount("meldtest", path.c_str(), "tmpfs", 0, copts.c_str()) == 0;
    if (!bok) cwhy = std::string("mounting tmpfs refused: ") + std::strerror(errno);
    return;
  }
  // An ext4 image without reserved blocks, so that root sees the same full disk.
  const std::string cimage = base / "image";
  const std::string cmake = "mkfs.ext4 -q -F -m 0 -b 1024 " + cimage + " " + std::to_string(nkib) + " >/dev/null 2>&1";
  const std::string cmount = "mount -o loop" + (coptions.empty() ? "" : "," + coptions) + " " + cimage + " " + path +
                             " >/dev/null 2>&1";
  if (std::system(cmake.c_str()) != 0) {
    cwhy = "mkfs.ext4 not available or failed";
  } else if (std::system(cmount.c_str()) != 0) {
    cwhy = "mounting an ext4 image on a loop device refused";
  } else {
    bok = true;
    ::chmod(path.c_str(), 0755);
    std::filesystem::remove_all(path + "/lost+found");
  }
}

Mounted::~Mounted() {
  if (!bok) return;
  // A loop device mounted by mount(8) is freed with its last unmount.
  if (::umount2(path.c_str(), 0) != 0) ::umount2(path.c_str(), MNT_DETACH);
}

long long fillup(const std::string& cpath) {
  const int nfd = ::open(cpath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  const std::string cblock(4096, 'f');
  long long ntotal = 0;
  for (;;) {
    const ssize_t n = ::write(nfd, cblock.data(), cblock.size());
    if (n <= 0) break;
    ntotal += n;
  }
  // Smaller pieces fill what a whole block no longer fits into.
  for (;;) {
    const ssize_t n = ::write(nfd, cblock.data(), 1);
    if (n <= 0) break;
    ntotal += n;
  }
  ::fsync(nfd);
  ::close(nfd);
  return ntotal;
}

void writefile(const std::string& cpath, const std::string& cbytes) {
  std::ofstream(cpath, std::ios::binary | std::ios::trunc) << cbytes;
}

std::string readfile(const std::string& cpath) {
  std::ifstream in(cpath, std::ios::binary);
  std::ostringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

size_t filesize(const std::string& cpath) {
  struct stat st;
  return ::stat(cpath.c_str(), &st) == 0 ? static_cast<size_t>(st.st_size) : 0;
}

std::string readfrom(const std::string& cpath, size_t noff) {
  std::ifstream in(cpath, std::ios::binary);
  in.seekg(static_cast<std::streamoff>(noff));
  std::ostringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

bool exists(const std::string& cpath) {
  struct stat st;
  return ::lstat(cpath.c_str(), &st) == 0;
}

std::string protocolof(const std::string& cdir) {
  struct stat st;
  const std::string cpath = cdir + "/prot.txt";
  return ::lstat(cpath.c_str(), &st) == 0 && S_ISREG(st.st_mode) ? readfile(cpath) : "";
}

std::vector<std::string> entries(const std::string& cdir) {
  std::vector<std::string> cnames;
  for (const auto& e : std::filesystem::directory_iterator(cdir)) cnames.push_back(e.path().filename().string());
  std::sort(cnames.begin(), cnames.end());
  return cnames;
}

void makedir(const std::string& cpath) { ::mkdir(cpath.c_str(), 0755); }

bool isplainfile(const std::string& cpath) {
  struct stat st;
  return ::lstat(cpath.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

void copymode(const std::string& cfrom, const std::string& cto) {
  struct stat st;
  if (::stat(cfrom.c_str(), &st) == 0) ::chmod(cto.c_str(), st.st_mode & 07777);
}

void setoldtimes(const std::string& cpath) {
  const struct timespec told[2] = {{1000000000, 0}, {1000000000, 0}};
  ::utimensat(AT_FDCWD, cpath.c_str(), told, 0);
}

bool hasoldtimes(const std::string& cpath) {
  struct stat st;
  return ::stat(cpath.c_str(), &st) == 0 && st.st_atim.tv_sec == 1000000000 && st.st_mtim.tv_sec == 1000000000;
}

namespace {
constexpr const char* CAPPENDREC = "user.meldimport.append";
}

bool setappendrecord(const std::string& ctable, const std::string& crecord) {
  return ::setxattr(ctable.c_str(), CAPPENDREC, crecord.data(), crecord.size(), 0) == 0;
}

bool hasappendrecord(const std::string& ctable) {
  char cbuf[64];
  return ::getxattr(ctable.c_str(), CAPPENDREC, cbuf, sizeof cbuf) >= 0;
}

bool isroot() { return ::geteuid() == 0; }

bool canunprivileged() {
  if (!isroot()) return true;
  const pid_t pid = ::fork();
  if (pid == 0) ::_exit(::setgid(65534) == 0 && ::setuid(65534) == 0 && ::geteuid() != 0 ? 0 : 1);
  int nst = 0;
  ::waitpid(pid, &nst, 0);
  return WIFEXITED(nst) && WEXITSTATUS(nst) == 0;
}

void openup(const std::string& cpath) {
  struct stat st;
  ::chmod(cpath.c_str(), ::stat(cpath.c_str(), &st) == 0 && S_ISDIR(st.st_mode) ? 0777 : 0666);
}

namespace {

int spawn(const std::string& cdir, const RunOptions& opt, int noutfd, int nerrfd) {
  // Everything the child needs is made before the fork.
  std::vector<const char*> argv;
  for (const auto& c : opt.cprefix) argv.push_back(c.c_str());
  argv.push_back(opt.bfolder ? exes().cfolder.c_str() : exes().ctool.c_str());
  for (const auto& c : opt.cargs) argv.push_back(c.c_str());
  argv.push_back(nullptr);
  if (opt.nstderrfd >= 0) nerrfd = opt.nstderrfd;
  const pid_t pid = ::fork();
  if (pid != 0) return pid;
  // Child: only async-signal-safe calls from here to exec.
  if (opt.nclosefd >= 0) ::close(opt.nclosefd);
  if (opt.nbarrierfd >= 0) {
    char c;
    while (::read(opt.nbarrierfd, &c, 1) < 0 && errno == EINTR) {
    }
    ::close(opt.nbarrierfd);
  }
  if (::chdir(cdir.c_str()) != 0) ::_exit(120);
  if (noutfd >= 0) ::dup2(noutfd, 1);
  if (nerrfd >= 0) ::dup2(nerrfd, 2);
  if (opt.nfsizelimit >= 0) {
    struct rlimit rl{static_cast<rlim_t>(opt.nfsizelimit), static_cast<rlim_t>(opt.nfsizelimit)};
    ::setrlimit(RLIMIT_FSIZE, &rl);
  }
  if (opt.bunprivileged && ::geteuid() == 0) {
    if (::setgroups(0, nullptr) != 0 || ::setgid(65534) != 0 || ::setuid(65534) != 0) ::_exit(121);
  }
  ::umask(static_cast<mode_t>(opt.numask));
  if (opt.bclosestd) {
    ::close(0);
    ::close(1);
    ::close(2);
  }
  ::execv(argv[0], const_cast<char* const*>(argv.data()));
  ::_exit(122);
}

}  // namespace

int start(const std::string& cdir, const RunOptions& opt) { return spawn(cdir, opt, -1, -1); }

int waitexit(int pid) {
  int nst = 0;
  if (::waitpid(pid, &nst, 0) != pid) return -1;
  return WIFEXITED(nst) ? WEXITSTATUS(nst) : -1;
}

RunResult run(const std::string& cdir, const RunOptions& opt) {
  RunResult res;
  // Output goes to files, not pipes, so that a chatty child cannot block.
  const TempDir dout;
  const int noutfd = ::open((dout / "out").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  const int nerrfd = ::open((dout / "err").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  const auto t0 = std::chrono::steady_clock::now();
  const pid_t pid = spawn(cdir, opt, noutfd, nerrfd);
  int nwstatus = 0;
  auto nwait = std::chrono::microseconds(50);
  for (;;) {
    const pid_t r = ::waitpid(pid, &nwstatus, WNOHANG);
    if (r == pid) break;
    const double nsec = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    if (nsec > opt.ntimeout && !res.btimedout) {
      res.btimedout = true;
      ::kill(pid, SIGKILL);
    }
    std::this_thread::sleep_for(nwait);
    if (nwait < std::chrono::milliseconds(2)) nwait *= 2;
  }
  res.nseconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  if (WIFEXITED(nwstatus)) res.nstatus = WEXITSTATUS(nwstatus);
  if (WIFSIGNALED(nwstatus)) res.nsignal = WTERMSIG(nwstatus);
  ::close(noutfd);
  ::close(nerrfd);
  res.cstderr = untimed(readfile(dout / "err"));
  res.coutput = untimed(readfile(dout / "out")) + res.cstderr;
  return res;
}

}  // namespace meldtest
