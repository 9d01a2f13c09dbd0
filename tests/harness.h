// Helpers for tests that run the built executable in fresh directories.
#pragma once

#include <string>
#include <vector>

namespace meldtest {

// A fresh directory, removed with everything in it at the end of the scope.
struct TempDir {
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  std::string path;
  std::string operator/(const std::string& cname) const { return path + "/" + cname; }
};

// A small file system of its own, of nkib KiB, mounted on a fresh directory
// and removed with its mount at the end of the scope: "tmpfs", or "ext4" as
// an image on a loop device. bok is false, with cwhy, where that is refused.
struct Mounted {
  Mounted(const std::string& ctype, int nkib, const std::string& coptions = "");
  ~Mounted();
  Mounted(const Mounted&) = delete;
  Mounted& operator=(const Mounted&) = delete;
  bool bok = false;
  std::string cwhy;
  std::string path;  // the mounted directory
  TempDir base;      // holds the mount point and an image
};

// Fills the file system that holds cdir up to its last free block, with a
// file of the given name; returns the bytes written.
long long fillup(const std::string& cpath);

void writefile(const std::string& cpath, const std::string& cbytes);
std::string readfile(const std::string& cpath);
bool exists(const std::string& cpath);
size_t filesize(const std::string& cpath);
std::string readfrom(const std::string& cpath, size_t noff);  // from byte noff to the end
std::string repeat(const std::string& c, int n);
// prot.txt in cdir when it is a regular file, else empty: never opens a FIFO.
std::string protocolof(const std::string& cdir);
std::vector<std::string> entries(const std::string& cdir);

struct RunOptions {
  bool bunprivileged = false;       // run the child as nobody
  long long nfsizelimit = -1;       // RLIMIT_FSIZE for the child, -1 for none
  std::vector<std::string> cprefix; // a command to run the tool under (strace)
  double ntimeout = 30;             // seconds before the child is killed
  int nbarrierfd = -1;   // the child waits for end of file on this before exec
  int nclosefd = -1;     // the child closes this first (the barrier's write end)
  bool bclosestd = false;  // start the tool with descriptors 0, 1 and 2 closed
  int numask = 022;
  bool bfolder = false;           // run meldimport-all with cargs instead
  std::vector<std::string> cargs;
  int nstderrfd = -1;  // standard error goes here (a terminal) instead
};

struct RunResult {
  int nstatus = -1;     // exit status, or -1 when it did not exit normally
  int nsignal = 0;      // terminating signal, if any
  std::string coutput;  // everything it wrote to stdout and stderr
  std::string cstderr;  // what it wrote to stderr
  double nseconds = 0;
  bool btimedout = false;
};

// Runs the tool in cdir and waits for it.
RunResult run(const std::string& cdir, const RunOptions& opt = {});

// Starts the tool in cdir without waiting; returns its process id.
int start(const std::string& cdir, const RunOptions& opt = {});

bool isroot();

// Whether a child can be run as an unprivileged user where permission
// bits matter: always for a normal user, for root when it can drop to nobody.
bool canunprivileged();

// The same directory made usable by an unprivileged child (mode 0777).
void openup(const std::string& cdir);

extern const char* const CEXAMPLEMAIL;  // the worked example mail
extern const char* const CEXAMPLELINE;  // its line with days Fr12;Sa13;So14;

}  // namespace meldtest
