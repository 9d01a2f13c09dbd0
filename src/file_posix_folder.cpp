// POSIX: where and when a folder import runs: the rights it has on a
// directory, the current directory's name and the local time.
#include <climits>
#include <string>
#include <ctime>

#include <fcntl.h>
#include <unistd.h>

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

}  // namespace meld
