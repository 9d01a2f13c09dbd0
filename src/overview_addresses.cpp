// The address table of the overview page: which lines share an address.
#include <algorithm>
#include <cstring>
#include <new>

#include "file.h"
#include "overview_state.h"

namespace meld {

namespace overview {

namespace {

constexpr int NNUMBERBITS = 24;  // of a slot: the address's number + 1
constexpr std::uint64_t NNUMBER = (1ULL << NNUMBERBITS) - 1;
constexpr size_t NVALUES = 65536;  // values per block

std::uint64_t hashof(std::string_view c) {
  std::uint64_t h = 0x9E3779B97F4A7C15ULL ^ c.size();
  size_t i = 0;
  for (; i + 8 <= c.size(); i += 8) {
    std::uint64_t nword;
    std::memcpy(&nword, c.data() + i, 8);
    h = (h ^ nword) * 0xFF51AFD7ED558CCDULL;
    h ^= h >> 32;
  }
  std::uint64_t nrest = 0;
  std::memcpy(&nrest, c.data() + i, c.size() - i);
  // The finish of MurmurHash3: every bit of the result depends on every
  // bit of the text; the table takes its upper and its lower bits.
  h ^= nrest;
  h = (h ^ (h >> 33)) * 0xFF51AFD7ED558CCDULL;
  h = (h ^ (h >> 33)) * 0xC4CEB9FE1A85EC53ULL;
  return h ^ (h >> 33);
}

}  // namespace

std::uint64_t ADDRESSES::hash(std::string_view ckey) { return hashof(ckey); }

ADDRESSES::~ADDRESSES() { FFREEBLOCK(pbig, nbig * 8); }

std::uint32_t* ADDRESSES::find(std::uint64_t nhash, long long nline, bool* pbnew) {
  std::uint64_t* const pslots = pbig != nullptr ? pbig : slots.get();
  const std::uint64_t ntag = nhash & ~NNUMBER;
  const size_t nmask = nslots - 1;
  size_t i = static_cast<size_t>(nhash >> NNUMBERBITS) & nmask;
  *pbnew = true;
  const std::uint32_t ncheck = static_cast<std::uint32_t>(nhash);
  for (; pslots[i] != 0; i = (i + 1) & nmask) {
    if ((pslots[i] & ~NNUMBER) != ntag) continue;
    const size_t n = static_cast<size_t>(pslots[i] & NNUMBER) - 1;
    VALUE& v = values[n / NVALUES][n % NVALUES];
    if (v.ncheck != ncheck) continue;
    *pbnew = false;
    return &v.nvalue;
  }
  if (ncount + 1 >= NNUMBER || nline >= GROUPED) return nullptr;
  if (ncount % NVALUES == 0) values.emplace_back(new VALUE[NVALUES]);
  VALUE& v = values[ncount / NVALUES][ncount % NVALUES];
  v = {static_cast<std::uint32_t>(nline), ncheck};
  pslots[i] = ntag | ++ncount;
  if (ncount * 2 > nslots) grow();
  return &v.nvalue;
}

void ADDRESSES::reserve(long long naddresses) {
  if (ncount > 0) return;
  size_t nwant = nslots;
  while (nwant < static_cast<size_t>(std::min(naddresses, 1LL << 26)) * 2) nwant *= 2;
  if (nwant == nslots) return;
  pbig = static_cast<std::uint64_t*>(FBIGBLOCK(nwant * 8));
  if (pbig == nullptr) return;  // grown step by step instead
  nbig = nslots = nwant;
}

// Twice the slots, in place: realloc keeps the pages already touched (a
// large block is moved, not copied), and each slot is taken out and put in
// again at its place in the new slots, which its hash bits give. Taken in
// order from behind a free slot, a slot never lands behind one not yet
// taken; one that runs past the end into the slots not yet taken is taken
// again when they are.
void ADDRESSES::grow() {
  const size_t nold = nslots;
  if (pbig != nullptr) {
    // More addresses than the table's size let expect: on in the heap.
    slots.reset(zeroed<std::uint64_t>(nold));
    std::memcpy(slots.get(), pbig, nold * 8);
    FFREEBLOCK(pbig, nbig * 8);
    pbig = nullptr;
  }
  std::uint64_t* p = static_cast<std::uint64_t*>(std::realloc(slots.get(), nold * 2 * 8));
  if (!p) throw std::bad_alloc();
  static_cast<void>(slots.release());
  slots.reset(p);
  std::fill(p + nold, p + nold * 2, 0);
  nslots = nold * 2;
  const size_t nmask = nslots - 1;
  size_t nfree = 0;
  while (p[nfree] != 0) ++nfree;
  for (size_t k = 1; k <= nold; ++k) {
    const size_t j = (nfree + k) & (nold - 1);
    const std::uint64_t nslot = p[j];
    if (nslot == 0) continue;
    p[j] = 0;
    size_t i = static_cast<size_t>(nslot >> NNUMBERBITS) & nmask;
    while (p[i] != 0) i = (i + 1) & nmask;
    p[i] = nslot;
  }
}

}  // namespace overview

}  // namespace meld
