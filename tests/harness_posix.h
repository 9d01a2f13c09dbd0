// The harness's POSIX-only helpers: file systems of the tests' own, full
// disks, and runs as root or as an unprivileged user.
#pragma once

#include <string>

#include "harness.h"

namespace meldtest {

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

// Fills the file system that holds cdir up to its last free
// block, with a file of the given name; returns the bytes written.
long long fillup(const std::string& cpath);

// Whether the tests run as root.
bool isroot();

// Whether a child can be run as an unprivileged user where
// permission bits matter: always for a normal user, for root when it can
// drop to nobody.
bool canunprivileged();

// No strace to inject faults with: none found, or a sanitizer runtime, whose
// own mapping and leak checks fail under ptrace.
inline bool nostrace() { return std::string(MELD_STRACE).empty() || MELD_SANITIZED; }

}  // namespace meldtest
