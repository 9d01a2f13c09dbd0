// POSIX: the folder import's own calls: the rights it has on a directory,
// the current directory's name, the local time, and a file put in place whole.
#include <climits>
#include <cstdint>
#include <string>
#include <ctime>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include "file_common.h"
#include "file_posix.h"

namespace meld {

// The effective identity decides, the one that root's run took over.
bool FWRITABLEDIR(std::string_view cdir) {
  return ::faccessat(AT_FDCWD, std::string(cdir).c_str(), W_OK | X_OK, AT_EACCESS) == 0;
}

std::string FCURRENTDIR() {
  char cbuf[PATH_MAX];
  return ::getcwd(cbuf, sizeof cbuf) != nullptr ? std::string(cbuf) : std::string(".");
}

std::string FNOW() {
  const std::time_t t = std::time(nullptr);
  struct tm tmlocal;
  char cbuf[32];
  if (::localtime_r(&t, &tmlocal) == nullptr || std::strftime(cbuf, sizeof cbuf, "%Y-%m-%d %H:%M:%S", &tmlocal) == 0)
    return "0000-00-00 00:00:00";
  return cbuf;
}

// Anonymous memory is zero; a block aligned to 2 MiB can be backed by
// transparent huge pages, which madvise asks for.
void* FBIGBLOCK(size_t nbytes) {
  constexpr size_t NHUGE = size_t{2} << 20;
  void* p = ::mmap(nullptr, nbytes + NHUGE, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (p == MAP_FAILED) return nullptr;
  const uintptr_t nstart = reinterpret_cast<uintptr_t>(p), naligned = (nstart + NHUGE - 1) & ~(NHUGE - 1);
  if (naligned > nstart) ::munmap(p, naligned - nstart);
  if (naligned + nbytes < nstart + nbytes + NHUGE) ::munmap(reinterpret_cast<void*>(naligned + nbytes), nstart + NHUGE - naligned);
  ::madvise(reinterpret_cast<void*>(naligned), nbytes, MADV_HUGEPAGE);
  return reinterpret_cast<void*>(naligned);
}

void FFREEBLOCK(void* p, size_t nbytes) {
  if (p != nullptr) ::munmap(p, nbytes);
}

FStatus FPUTFILE(std::string_view cname, std::string_view ctext) {
  const std::string cn(cname);
  std::string cdir, cbase;
  splitname(cn, &cdir, &cbase);
  // Of this run's own: another run may put the page in place at the same time.
  const std::string ctemp = tempname(cdir, cbase + "." + std::to_string(::getpid()));
  bool bwritten = false;
  {
    const FD fd(again([&] { return ::open(ctemp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0666); }));
    if (fd.get() < 0) return FStatus::Failed;
    bwritten = writebounded(fd.get(), ctext, -1, true) == static_cast<long long>(ctext.size());
  }
  if (bwritten && ::rename(ctemp.c_str(), cn.c_str()) == 0) return FStatus::Okay;
  ::unlink(ctemp.c_str());
  return FStatus::Failed;
}

std::optional<FINFO> FINFOOF(std::string_view cname) {
  struct stat st;
  if (::stat(std::string(cname).c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
  return FINFO{static_cast<long long>(st.st_mtime), static_cast<long long>(st.st_size)};
}

}  // namespace meld
