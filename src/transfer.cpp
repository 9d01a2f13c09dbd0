// The transfer encodings of a MIME part: quoted-printable and base64,
// decoded into the bytes the part's character set then reads.
#include <array>
#include <bit>
#include <cstdint>
#include <cstring>

#include "mailtext.h"
#include "text.h"

namespace meld {

// Both decoders write into storage of the input's size, which they never
// outgrow, and cut it back; their loops go by whole lines and groups, as a
// 50,000-byte message must cost little more than a plain mail of its text.
std::string QPDECODE(std::string_view ctext) {
  std::string cres(ctext.size(), '\0');
  char* pout = cres.data();
  const char* p = ctext.data();
  const char* const pend = p + ctext.size();
  while (p < pend) {
    const char* plf = static_cast<const char*>(std::memchr(p, '\n', static_cast<size_t>(pend - p)));
    const char* const pnext = plf != nullptr ? plf + 1 : pend;
    const char* plineend = plf != nullptr ? plf : pend;  // where CR LF or LF begins
    if (plf != nullptr && plineend > p && plineend[-1] == '\r') --plineend;
    const char* pe = plineend;
    while (pe > p && ISWSP(static_cast<unsigned char>(pe[-1]))) --pe;
    const bool bsoft = pe > p && pe[-1] == '=';
    if (bsoft) --pe;
    while (p < pe) {
      const char* peq = static_cast<const char*>(std::memchr(p, '=', static_cast<size_t>(pe - p)));
      const char* const pstop = peq != nullptr ? peq : pe;
      std::memcpy(pout, p, static_cast<size_t>(pstop - p));
      pout += pstop - p;
      p = pstop;
      if (peq == nullptr) break;
      const int nhi = pe - p > 2 ? HEXDIGIT(static_cast<unsigned char>(p[1])) : -1;
      const int nlo = pe - p > 2 ? HEXDIGIT(static_cast<unsigned char>(p[2])) : -1;
      if (nhi >= 0 && nlo >= 0) {
        *pout++ = static_cast<char>(nhi * 16 + nlo);
        p += 3;
      } else {
        *pout++ = '=';  // no escape: kept as it stands
        ++p;
      }
    }
    if (!bsoft) {
      std::memcpy(pout, plineend, static_cast<size_t>(pnext - plineend));
      pout += pnext - plineend;
    }
    p = pnext;
  }
  cres.resize(static_cast<size_t>(pout - cres.data()));
  return cres;
}

std::string BASE64DECODE(std::string_view ctext) {
  // For each byte of the alphabet its sextet (NVAL, -1 for the others, -2
  // for "="), and its bits already at their places in the three bytes of a
  // group of four, laid out as they lie in memory (one table for each of
  // the four places); a byte outside the alphabet sets a flag in the unused
  // fourth byte instead, so that one test tells a whole group of the alphabet.
  constexpr bool blittle = std::endian::native == std::endian::little;
  const auto inbyte = [](std::uint32_t nbits, int k) { return blittle ? nbits << (8 * k) : nbits << (24 - 8 * k); };
  static const std::uint32_t NFLAG = inbyte(0x80, 3);
  struct TABLES {
    std::array<std::array<std::uint32_t, 256>, 4> AT;
    std::array<int, 256> NVAL;
  };
  static const TABLES T = [&inbyte] {
    TABLES t;
    for (auto& a : t.AT) a.fill(inbyte(0x80, 3));
    t.NVAL.fill(-1);
    t.NVAL['='] = -2;
    const std::string_view calpha = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    for (std::uint32_t n = 0; n < calpha.size(); ++n) {
      const unsigned char c = static_cast<unsigned char>(calpha[n]);
      t.NVAL[c] = static_cast<int>(n);
      t.AT[0][c] = inbyte(n << 2, 0);
      t.AT[1][c] = inbyte(n >> 4, 0) | inbyte((n & 15) << 4, 1);
      t.AT[2][c] = inbyte(n >> 2, 1) | inbyte((n & 3) << 6, 2);
      t.AT[3][c] = inbyte(n, 2);
    }
    return t;
  }();
  std::string cres(ctext.size() / 4 * 3 + 4, '\0');  // room for a last group written as four bytes
  char* pout = cres.data();
  const unsigned char* p = reinterpret_cast<const unsigned char*>(ctext.data());
  const unsigned char* const pend = p + ctext.size();
  std::uint32_t nacc = 0;
  int ngot = 0;  // sextets in nacc
  while (p < pend) {
    // Whole groups of four bytes of the alphabet at once, the common case;
    // each group's three bytes are written as one word, its fourth byte
    // overwritten by the next group.
    if (ngot == 0) {
      char* o = pout;
      const unsigned char* q = p;
      for (; pend - q >= 4; q += 4, o += 3) {
        const std::uint32_t nword = T.AT[0][q[0]] | T.AT[1][q[1]] | T.AT[2][q[2]] | T.AT[3][q[3]];
        if (nword & NFLAG) break;
        std::memcpy(o, &nword, 4);
      }
      pout = o;
      p = q;
      if (p == pend) break;
    }
    const unsigned char c = *p++;
    if (c == '=') {
      // Padding ends a group: its whole bytes stay, bits left over belong to no byte.
      if (ngot >= 2) *pout++ = static_cast<char>(nacc >> (6 * ngot - 8));
      if (ngot == 3) *pout++ = static_cast<char>(nacc >> 2);
      ngot = 0;
    }
    if (T.NVAL[c] < 0) continue;
    nacc = (nacc << 6) | static_cast<std::uint32_t>(T.NVAL[c]);
    if (++ngot == 4) {
      *pout++ = static_cast<char>(nacc >> 16);
      *pout++ = static_cast<char>(nacc >> 8);
      *pout++ = static_cast<char>(nacc);
      ngot = 0;
    }
  }
  // A group cut short by the end: its whole bytes.
  if (ngot >= 2) *pout++ = static_cast<char>(nacc >> (6 * ngot - 8));
  if (ngot == 3) *pout++ = static_cast<char>(nacc >> 2);
  cres.resize(static_cast<size_t>(pout - cres.data()));
  return cres;
}

}  // namespace meld
