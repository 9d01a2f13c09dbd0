#include "text.h"

#include <array>
#include <cmath>
#include <cstdint>
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

std::string_view TRIMMED(std::string_view ctext) {
  while (!ctext.empty() && ISWSP(static_cast<unsigned char>(ctext.front()))) ctext.remove_prefix(1);
  while (!ctext.empty() && ISWSP(static_cast<unsigned char>(ctext.back()))) ctext.remove_suffix(1);
  return ctext;
}

std::string SHA256HEX(std::string_view ctext) {
  static constexpr uint32_t K[64] = {
      0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5, 0xd807aa98, 0x12835b01,
      0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174, 0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc,
      0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da, 0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147,
      0x06ca6351, 0x14292967, 0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
      0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070, 0x19a4c116, 0x1e376c08,
      0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3, 0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208,
      0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};
  std::array<uint32_t, 8> h = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a, 0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
  const auto rotr = [](uint32_t x, int n) { return (x >> n) | (x << (32 - n)); };
  // The text, then 0x80, zeros and its length in bits, in blocks of 64 bytes.
  const uint64_t nbits = static_cast<uint64_t>(ctext.size()) * 8;
  const size_t ntotal = (ctext.size() + 8) / 64 * 64 + 64;
  unsigned char cblock[64];
  for (size_t noff = 0; noff < ntotal; noff += 64) {
    for (size_t i = 0; i < 64; ++i) {
      const size_t n = noff + i;
      if (n < ctext.size()) cblock[i] = static_cast<unsigned char>(ctext[n]);
      else if (n == ctext.size()) cblock[i] = 0x80;
      else if (n >= ntotal - 8) cblock[i] = static_cast<unsigned char>(nbits >> (8 * (ntotal - 1 - n)));
      else cblock[i] = 0;
    }
    uint32_t w[64];
    for (int i = 0; i < 16; ++i)
      w[i] = static_cast<uint32_t>(cblock[4 * i]) << 24 | static_cast<uint32_t>(cblock[4 * i + 1]) << 16 |
             static_cast<uint32_t>(cblock[4 * i + 2]) << 8 | cblock[4 * i + 3];
    for (int i = 16; i < 64; ++i)
      w[i] = w[i - 16] + (rotr(w[i - 15], 7) ^ rotr(w[i - 15], 18) ^ (w[i - 15] >> 3)) + w[i - 7] +
             (rotr(w[i - 2], 17) ^ rotr(w[i - 2], 19) ^ (w[i - 2] >> 10));
    std::array<uint32_t, 8> v = h;
    for (int i = 0; i < 64; ++i) {
      const uint32_t t1 = v[7] + (rotr(v[4], 6) ^ rotr(v[4], 11) ^ rotr(v[4], 25)) + ((v[4] & v[5]) ^ (~v[4] & v[6])) + K[i] + w[i];
      const uint32_t t2 = (rotr(v[0], 2) ^ rotr(v[0], 13) ^ rotr(v[0], 22)) + ((v[0] & v[1]) ^ (v[0] & v[2]) ^ (v[1] & v[2]));
      for (int k = 7; k > 0; --k) v[k] = v[k - 1];
      v[4] += t1;
      v[0] = t1 + t2;
    }
    for (int k = 0; k < 8; ++k) h[k] += v[k];
  }
  std::string chex;
  for (const uint32_t x : h)
    for (int n = 28; n >= 0; n -= 4) chex += "0123456789abcdef"[(x >> n) & 15];
  return chex;
}

}  // namespace meld
