#include "text.h"

#include <cmath>
#include <cstring>

namespace meld {

std::string_view SUBSTR(std::string_view ctext, long long nstart, long long ncount) {
  const long long nlen = static_cast<long long>(ctext.size());
  if (nstart > 0 && nstart - 1 > nlen) return {};
  if (ncount <= 0) return {};
  long long noff = 0;
  if (nstart > 0) {
    noff = nstart - 1;
  } else if (nstart < 0) {
    noff = nstart + nlen;
    if (noff < 0) noff = 0;
  }
  const long long nleft = nlen - noff;
  if (nleft <= 0) return {};
  if (ncount > nleft) ncount = nleft;
  return ctext.substr(static_cast<size_t>(noff), static_cast<size_t>(ncount));
}

long long AT(std::string_view cfrag, std::string_view ctext) {
  if (cfrag.empty() || cfrag.size() > ctext.size()) return 0;
  const size_t npos = ctext.find(cfrag);
  return npos == std::string_view::npos ? 0 : static_cast<long long>(npos) + 1;
}

bool CONTAINS(std::string_view cfrag, std::string_view ctext) { return AT(cfrag, ctext) != 0; }

long long LEN(std::string_view ctext) { return static_cast<long long>(ctext.size()); }

bool EQ(std::string_view a, std::string_view b) {
  if (b.empty()) return true;
  if (a.size() < b.size()) return false;
  return std::memcmp(a.data(), b.data(), b.size()) == 0;
}

bool LT(std::string_view a, std::string_view b) {
  if (a.empty()) return !b.empty();
  if (b.empty()) return false;
  const size_t n = a.size() < b.size() ? a.size() : b.size();
  // memcmp compares as unsigned char, whatever the signedness of char.
  const int ncmp = std::memcmp(a.data(), b.data(), n);
  if (ncmp != 0) return ncmp < 0;
  return a.size() < b.size();
}

double DIV(long long a, long long b) { return static_cast<double>(a) / static_cast<double>(b); }

long long INT(double x) {
  if (x == std::trunc(x)) return static_cast<long long>(x);
  return static_cast<long long>(std::trunc(x * (1.0 + 0x1p-52)));
}

unsigned char LOWER(unsigned char c) { return c >= 'A' && c <= 'Z' ? static_cast<unsigned char>(c - 'A' + 'a') : c; }

std::string LOWERED(std::string_view ctext) {
  std::string cres(ctext);
  for (char& ch : cres) ch = static_cast<char>(LOWER(static_cast<unsigned char>(ch)));
  return cres;
}

int HEXDIGIT(unsigned char c) {
  if (c >= '0' && c <= '9') return c - '0';
  c = LOWER(c);
  return c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
}

bool ISASCIISPACE(unsigned char c) { return c == '\t' || c == '\n' || c == '\f' || c == '\r' || c == ' '; }

std::string STR(long long n, int nwidth, int /*ndec*/) {
  // Digits of the magnitude, built from the right; unsigned so that the
  // smallest long long has a magnitude too.
  char cbuf[24];
  int npos = sizeof cbuf;
  unsigned long long nmag = n < 0 ? 0ULL - static_cast<unsigned long long>(n) : static_cast<unsigned long long>(n);
  do {
    cbuf[--npos] = static_cast<char>('0' + nmag % 10);
    nmag /= 10;
  } while (nmag != 0);
  if (n < 0) cbuf[--npos] = '-';
  const int ndigits = static_cast<int>(sizeof cbuf) - npos;
  if (nwidth < 1) nwidth = 1;
  if (ndigits > nwidth) return std::string(static_cast<size_t>(nwidth), '*');
  std::string cres(static_cast<size_t>(nwidth - ndigits), ' ');
  cres.append(cbuf + npos, static_cast<size_t>(ndigits));
  return cres;
}

}  // namespace meld
