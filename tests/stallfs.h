// A small read-only FUSE file system served from the test process itself,
// over the raw /dev/fuse protocol, whose chosen files hang on READ: the
// stand-in for a network share or FUSE daemon that stopped answering.
//
// Needs root (mount(2)) and /dev/fuse; where either is missing, ok() is
// false and why() says so, for GTEST_SKIP(). Nothing is mounted then.
//
//   TempDir tmp;                       // declared first: outlives the mount
//   std::filesystem::create_directory(tmp / "mnt");
//   StallFs fs(tmp / "mnt", {{"mail.txt", "...", true}, {"tage.txt", "Fr12\n"}});
//   if (!fs.ok()) GTEST_SKIP() << fs.why();
//
// The root directory holds the given files (mode 0444, owned by root) and
// nothing else; it is mode 0555, so a child running as nobody can list it
// and read the files too, provided it can reach the mount point (the
// directories above it must be searchable, see openup()). Writes, creates
// and other changes fail with EROFS.
//
// A READ of a file marked stall is never answered, and an INTERRUPT for it
// is ignored: the reading process stays blocked in read(2) until this
// object is destroyed. Its LOOKUP, GETATTR, OPEN, FLUSH and RELEASE are
// answered, so stat(2) shows a regular file of the given size and open(2)
// succeeds. Such a file is opened for direct I/O, so every read(2) of it
// sends exactly one READ, which stays held; other files go through the
// page cache like any file.
//
// The destructor aborts the FUSE connection, which fails every held READ
// (the blocked read(2) returns -1 with ECONNABORTED; any later call on a
// descriptor still open there fails with ENOTCONN), detaches the mount and
// ends the serving thread. It never waits for a process that reads the
// file system.
//
// While blocked in a held READ, a process is not woken by any signal: a
// handled signal, with SA_RESTART or without, stays pending (read(2) does
// not return EINTR), and even SIGKILL, or a signal whose default action
// ends the process, only takes effect once the READ is released, that is
// when this object is destroyed.
//
// The connection is aborted through its "abort" file in the FUSE control
// file system: /sys/fs/fuse/connections when that is mounted, otherwise a
// private mount of it that is removed at once. Where that is refused too,
// closing the /dev/fuse descriptor aborts the connection, as long as no
// other process holds a copy of it: the descriptor is close-on-exec, so a
// child that was forked and then exec'd holds none, but a child that was
// forked without exec does.
//
// Under valgrind, which lets one thread run at a time and keeps that lock
// through stat(2) and the like, this process must leave such calls on the
// mount to its children: the serving thread could not answer them.
#pragma once

#include <memory>
#include <string>
#include <vector>

namespace meldtest {

struct StallFile {
  std::string name;    // a plain name in the root directory: no '/', not "." or ".."
  std::string bytes;   // the file's content
  bool stall = false;  // a READ of this file is never answered
};

class StallFs {
 public:
  // Mounts the file system on cmountdir, an existing directory (best an
  // empty one: what it holds is hidden meanwhile), and serves it from a
  // background thread. Returns once the kernel's INIT has been answered, or
  // on failure with ok() false and nothing mounted.
  StallFs(const std::string& cmountdir, std::vector<StallFile> files);
  // Releases held READs (the connection is aborted), detaches the mount,
  // joins the thread. Never blocks on a reader of the file system.
  ~StallFs();
  StallFs(const StallFs&) = delete;
  StallFs& operator=(const StallFs&) = delete;

  bool ok() const;
  // Why ok() is false, e.g. "cannot open /dev/fuse: Permission denied".
  const std::string& why() const;
  // How many READs are held unanswered right now.
  int stalledreads() const;
  // Waits up to nseconds until at least n READs are held; whether they are.
  bool waitstalled(int n, double nseconds) const;

 private:
  struct Impl;
  std::unique_ptr<Impl> p;
};

}  // namespace meldtest
