#include "file_common.h"

#include <algorithm>
#include <cstdio>
#include <string>

#include "file.h"

namespace meld {

std::string tempname(std::string_view cdir, std::string_view cbase) {
  std::string c(cdir);
  c += "/.";
  c += cbase;
  c += ".tmp";
  return c;
}

std::string appendrecord(long long nbefore, long long nafter) {
  return std::to_string(nbefore) + " " + std::to_string(nafter);
}

long long tornsize(std::string_view crecord, long long nsize) {
  const std::string crec(crecord.substr(0, 63));
  long long nbefore = -1, nafter = -1;
  if (std::sscanf(crec.c_str(), "%lld %lld", &nbefore, &nafter) == 2 && nbefore >= 0 && nbefore < nsize &&
      nsize < nafter)
    return nbefore;
  return -1;
}

void cutatzero(std::string* pctext) {
  const size_t nzero = pctext->find('\0');
  if (nzero != std::string::npos) pctext->resize(nzero);
}

// Built alike on every platform.

std::string FREADSTR(int nhandle, long long ncount, bool* pbfailed) {
  bool bfailed = false;
  std::string cres = readbytes(nhandle, -1, std::max(0LL, ncount), &bfailed);
  cutatzero(&cres);
  if (pbfailed != nullptr) *pbfailed = bfailed;
  return cres;
}

std::string FREADAT(int nhandle, long long noff, long long ncount, bool* pbfailed) {
  *pbfailed = noff < 0;
  if (*pbfailed) return {};
  return readbytes(nhandle, noff, std::max(0LL, ncount), pbfailed);
}

int FBYTEAT(int nhandle, long long noff) {
  bool bfailed = false;
  const std::string c = FREADAT(nhandle, noff, 1, &bfailed);
  return c.size() == 1 ? static_cast<unsigned char>(c[0]) : -1;
}

}  // namespace meld
