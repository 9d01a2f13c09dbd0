// The state behind OVERVIEW, shared by its reading part (overview.cpp),
// its address table (overview_addresses.cpp) and its page part
// (overview_page.cpp). Not for other callers.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "charset.h"
#include "overview.h"

namespace meld {

namespace overview {

constexpr size_t NLISTMAX = 1000;  // entries of each list on the page

// The import puts "'" before a value that a spreadsheet would take as a
// formula; the page shows the value without it.
std::string_view unguarded(std::string_view c);

// An answer as the import writes it (J, -, ?) or as a hand left it.
enum ANSWER : unsigned char { AEMPTY, AYES, ANO, AUNKNOWN, AOTHER };

// What a field of a data line is for, by its position.
enum class ROLE : unsigned char { SKIP, NAME, MAIL, PERSONS, EINK, NACHT, DAY };

// Why a line is to be checked: bits.
enum : unsigned { RFIELDS = 1, RNAME = 2, RMAIL = 4, RPERSONS = 8, REINK = 16, RNACHT = 32, RNODAY = 64 };

// A line of a list on the page; texts as in the table (cut short where long).
struct ENTRY {
  long long nline = 0;
  std::string cname, cmail, cpersons;
  unsigned nwhy = 0;       // under "Zu pruefen": why
  long long nfields = 0;   // its field count
  ANSWER neink = AEMPTY, nnacht = AEMPTY;
  long long npersons = 0;  // in a day's list: the persons counted
  bool bnamed = true;      // in a group: whether the name is known
};

// The names of the last NAMES lines with an address, for the first line of
// a group: ring[line % NAMES], each cut at 55 bytes. Bounded memory that
// holds every name of a table of common size; beyond it the page names the
// first line of a group by its number alone.
constexpr size_t NAMES = 16384;
struct NAMESLOT {
  long long nline;
  unsigned char nlen;
  char cname[55];
};

struct DAYLIST {
  std::vector<ENTRY> entries;
  long long nmore = 0;
};

// n objects of zero bytes from calloc, which a unique_ptr with FREE owns:
// the pages of a large block are zero without being written.
template <class T>
T* zeroed(size_t n) {
  void* p = std::calloc(n, sizeof(T));
  if (!p) throw std::bad_alloc();
  return static_cast<T*>(p);
}
struct FREE {
  void operator()(void* p) const { std::free(p); }
};

// Every distinct address once, by the 64-bit hash of its lowered form,
// with what the page needs of it: the first line that gave it, or its
// group once a second line gives it too. On a table of a million distinct
// addresses the time goes into memory first touched, so an address gets
// no more than 8 bytes of slot (at most half the slots used) and 8 of
// value: open addressing, each slot the hash's upper 40 bits (which also
// give its place) and the address's number, the values in blocks by number
// with the hash's lower 32 bits. Two addresses count as one only where
// their hashes agree: for a million distinct addresses a chance of about
// one in 30 million. Past 16.7 million distinct addresses, and past line
// 2^31, no new address is remembered.
struct ADDRESSES {
  // A value: the first line, or GROUPED with the index of its group on the
  // page, or UNLISTED: grouped, but the list is full.
  static constexpr std::uint32_t GROUPED = 0x80000000U, UNLISTED = 0xFFFFFFFFU;
  std::unique_ptr<std::uint64_t[], FREE> slots{zeroed<std::uint64_t>(1024)};
  size_t nslots = 1024, ncount = 0;
  // Slots reserved for a table's size: a block of the file layer's, in
  // large pages (speed: a slot is touched at random), in place of slots.
  std::uint64_t* pbig = nullptr;
  size_t nbig = 0;
  ~ADDRESSES();
  struct VALUE {
    std::uint32_t nvalue, ncheck;
  };
  std::vector<std::unique_ptr<VALUE[]>> values;

  // The hash of ckey (an address lowered), which find takes.
  static std::uint64_t hash(std::string_view ckey);
  // The value of the address of hash nhash; a new one for line nline
  // where there is none (*pbnew tells); nullptr where none can be made.
  std::uint32_t* find(std::uint64_t nhash, long long nline, bool* pbnew);
  // Slots for naddresses while the table is still empty.
  void reserve(long long naddresses);

 private:
  void grow();
};

}  // namespace overview

struct OVERVIEW::STATE {
  enum class MODE : unsigned char { FIELDSTART, PLAIN, QUOTED, QUOTEEND };
  MODE nmode = MODE::FIELDSTART;
  bool bstarted = false, bmark = false, bread = false, bheader = true, bfailed = false, bended = false;
  std::string cmark;  // the first bytes while they may still be the mark
  // A table without mark whose bytes are all valid UTF-8 is read as UTF-8
  // (LibreOffice saves so); one with any other byte as Windows-1252, what
  // the import writes into a table without mark. Windows-1252 text with
  // letters above 127 is practically never valid UTF-8.
  bool butf8 = true;
  UTF8CHECK utf8;  // the bytes so far, where no mark says UTF-8

  long long nline = 1, nrowline = 1;  // the physical line now, and where the current line began
  size_t nfield = 0, nfieldlen = 0;   // the current field's position and its bytes so far
  bool bcr = false, bdata = false;    // the field ends in an unquoted CR; the line has a nonempty field
  std::string* pkeep = nullptr;       // where the current field's bytes go, if anywhere
  size_t nkeepmax = 0;
  std::vector<std::string> chead;
  std::vector<overview::ROLE> roles;
  size_t nexpected = 0, ndays = 0;

  std::string cname, cmail, cpersons, ccode;
  std::string ckey;         // the line's address lowered, once known
  std::uint64_t nhash = 0;  // and its hash
  bool bkey = false;
  overview::ANSWER neink = overview::AEMPTY, nnacht = overview::AEMPTY;
  std::vector<overview::ANSWER> nanswers;

  FIGURES f;
  std::vector<overview::ENTRY> checks;
  overview::ADDRESSES addresses;
  std::vector<std::vector<overview::ENTRY>> groups;
  long long ngroups = 0, nlisted = 0;  // groups, and lines listed in them
  // Lines whose address is still to be looked up: its hash, line, name
  // and address. Their texts lie in the piece being read, or (a line read
  // in pieces) in cname and cmail; they are looked up before those change.
  struct PENDING {
    std::uint64_t nhash;
    long long nline;
    std::string_view cname, cmail;
  };
  std::vector<PENDING> pending;
  std::unique_ptr<overview::NAMESLOT[], overview::FREE> names{overview::zeroed<overview::NAMESLOT>(overview::NAMES)};
  std::vector<overview::DAYLIST> daylists;

  void read(std::string_view c);
  void parse(const char* p, const char* e);
  void take(const char* p, const char* q);
  void startfield();
  void endfield();
  void endline();
  void endheader();
  void fastline(const char* p, const char* nl);
  void keyof(std::string_view cmail);
  void tally(std::string_view cname, std::string_view cmail, std::string_view cpersons, bool btrailing, bool binplace);
  void sentagain();
  void sentagain(std::uint64_t nhash, long long nrowline, std::string_view cname, std::string_view cmail);
  void end();
  std::string page(std::string_view ctablename, std::string_view cwhen) const;
};

}  // namespace meld
