#include "file_common.h"

#include <algorithm>
#include <charconv>
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

// Both without the formatting machinery of printf and scanf, which every
// run would otherwise load.
std::string appendrecord(long long nbefore, long long nafter) {
  char crec[48];
  char* pend = std::to_chars(crec, crec + 22, nbefore).ptr;
  *pend++ = ' ';
  pend = std::to_chars(pend, crec + sizeof crec, nafter).ptr;
  return std::string(crec, pend);
}

long long tornsize(std::string_view crecord, long long nsize) {
  const char* pfrom = crecord.data();
  const char* pend = pfrom + crecord.size();
  long long nbefore = -1, nafter = -1;
  const auto r1 = std::from_chars(pfrom, pend, nbefore);
  const bool bparsed = r1.ec == std::errc() && r1.ptr < pend && *r1.ptr == ' ' &&
                       std::from_chars(r1.ptr + 1, pend, nafter).ptr == pend;
  return bparsed && nbefore >= 0 && nbefore < nsize && nsize < nafter ? nbefore : -1;
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
