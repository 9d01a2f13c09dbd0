// The command line of the Windows body, apart from the rest so that only a
// program that reads its arguments loads shell32.dll for it: meldimport,
// which ignores them, starts without.
#include <windows.h>

#include <shellapi.h>

#include "file.h"
#include "file_windows.h"

namespace meld {

// The C runtime's argv holds the arguments in the ANSI code page, which
// cannot hold every name; the UTF-16 command line can.
std::vector<std::string> FARGS(int, const char* const*) {
  std::vector<std::string> cargs;
  int nargs = 0;
  LPWSTR* pargs = ::CommandLineToArgvW(::GetCommandLineW(), &nargs);
  if (pargs == nullptr) return cargs;
  for (int n = 1; n < nargs; ++n) {
    std::string c;
    utf8name(pargs[n], &c);  // an argument that is no name stays empty: no such entry
    cargs.push_back(c);
  }
  ::LocalFree(pargs);
  return cargs;
}

}  // namespace meld
