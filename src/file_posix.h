// What the parts of the POSIX body of the file layer share. Included by
// them only.
#pragma once

#include <cerrno>
#include <string>
#include <string_view>

#include <sys/stat.h>

#include "file.h"
#include "file_common.h"

namespace meld {

// The status that a failed call's errno means (one mapping for the body).
FStatus statusof(int nerr);

// A call made again where a signal broke it off (EINTR), as long as the
// run's bound lasts; its result otherwise.
template <class F>
auto again(F fn) {
  for (;;) {
    const auto r = fn();
    if (r < 0 && errno == EINTR && secondsleft() > 0) continue;
    return r;
  }
}

// An open descriptor that closes itself (through FCLOSE), so that no early
// return can leak it; release() hands it on.
class FD {
 public:
  explicit FD(int nfd = -1) : m_nfd(nfd) {}
  FD(const FD&) = delete;
  FD& operator=(const FD&) = delete;
  ~FD() { FCLOSE(m_nfd); }
  int get() const { return m_nfd; }
  int release() {
    const int nfd = m_nfd;
    m_nfd = -1;
    return nfd;
  }

 private:
  int m_nfd;
};

// The directory part of a name ("." where there is none) and the rest.
void splitname(const std::string& cn, std::string* pcdir, std::string* pcbase);

// ---- Reads and writes that answer (file_posix.cpp).

// Reads up to ncount bytes (at offset noff, or at the current position when
// noff is -1), repeating short reads until the end of the file.
std::string readdirect(int nfd, long long noff, long long ncount, bool* pbfailed);

// Writes the whole text (at offset noff, or at the position when -1); the
// bytes written.
long long writedirect(int nfd, std::string_view ctext, long long noff);

bool syncdirect(int nfd);

// ---- Files on file systems that may stall (file_posix_stall.cpp).

// Notes, for an opened descriptor, whether its file system may keep a call
// waiting without end, and the length of a regular file that answers.
void track(int nfd, const struct stat& st);
void untrack(int nfd);
bool mayhang(int nfd);

// The length of the file at its open, or -1 where unknown.
long long opensize(int nfd);

// readdirect, made by a helper process where the file system may stall.
std::string readbounded(int nfd, long long noff, long long ncount, bool* pbfailed);

// Writes the text, and with bsync makes it durable; the count of bytes
// written, or -1 where the sync failed. Made by a helper process where the
// file system may stall.
long long writebounded(int nfd, std::string_view ctext, long long noff, bool bsync);

}  // namespace meld
