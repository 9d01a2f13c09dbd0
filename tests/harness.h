// Helpers for tests that run the built executable in fresh directories.
// One interface, one body per platform (harness_posix.cpp,
// harness_windows.cpp) and what they share (harness_common.cpp). Paths are
// UTF-8 byte strings, "/" or the platform's own separator between names.
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
  operator const std::string&() const { return path; }
};

void writefile(const std::string& cpath, const std::string& cbytes);
std::string readfile(const std::string& cpath);
bool exists(const std::string& cpath);
size_t filesize(const std::string& cpath);
std::string readfrom(const std::string& cpath, size_t noff);  // from byte noff to the end
std::string repeat(const std::string& c, int n);
// c without the times that the folder import writes ("2026-12-08 17:45:03 "):
// what a run reports compares byte for byte, whenever it ran.
std::string untimed(const std::string& c);
// prot-all.txt of cdir, untimed.
std::string logof(const std::string& cdir);
// prot.txt in cdir when it is a regular file, else empty: never opens a FIFO.
std::string protocolof(const std::string& cdir);
std::vector<std::string> entries(const std::string& cdir);
void makedir(const std::string& cpath);
// A regular file of its own (not reached through a link) that the directory
// search shows: on Windows one not marked hidden or system either.
bool isplainfile(const std::string& cpath);
// Gives cto the permission bits of cfrom, where files have them.
void copymode(const std::string& cfrom, const std::string& cto);
// Sets the file's times of access and change far back (2001), and tells
// whether they are still there: the file was neither read nor written.
void setoldtimes(const std::string& cpath);
bool hasoldtimes(const std::string& cpath);
// Leaves the record of an append in progress on a table, where its file
// system can keep one (see FAPPENDSYNC): false where it cannot. Whether a
// record is there.
bool setappendrecord(const std::string& ctable, const std::string& crecord);
bool hasappendrecord(const std::string& ctable);

// The fields after ntimeout are those of a POSIX process; elsewhere they
// are ignored.
struct RunOptions {
  double ntimeout = 30;             // seconds before the child is killed
  bool bfolder = false;           // run meldimport-all with cargs instead
  std::vector<std::string> cargs;
  bool bunprivileged = false;       // run the child as nobody
  long long nfsizelimit = -1;       // RLIMIT_FSIZE for the child, -1 for none
  std::vector<std::string> cprefix; // a command to run the tool under (strace)
  int nbarrierfd = -1;   // the child waits for end of file on this before exec
  int nclosefd = -1;     // the child closes this first (the barrier's write end)
  bool bclosestd = false;  // start the tool with descriptors 0, 1 and 2 closed
  int numask = 022;
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

// Waits for a run that start began: its exit status, -1 when it did not
// exit normally.
int waitexit(int pid);

// The same directory (mode 0777) or file (0666) made usable by an
// unprivileged child, where files have permission bits.
void openup(const std::string& cpath);

extern const char* const CEXAMPLEMAIL;  // the worked example mail
extern const char* const CEXAMPLELINE;  // its line with days Fr12;Sa13;So14;
inline const std::string CMARK = "\xEF\xBB\xBF";  // the mark that begins a new (UTF-8) table
inline const std::string CDAYS = "Fr12;Sa13;So14;";   // the example's day list
inline const std::string CHEAD3 = "Name;Mail;Anzahl;Eink;Tel;Nacht;Fr12;Sa13;So14;Text;\r\n";  // its table's header

}  // namespace meldtest
