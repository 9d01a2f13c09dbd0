// Day list tage.txt: a row of 5-byte units, a 4-byte day token and its
// separator each.
#pragma once

#include <string_view>

#include "meld.h"

namespace meld {

// Days in use for a day list text: whole units when it has 10 bytes or more, else 0.
long long DAYCOUNT(std::string_view ctage);

// Day token k (1-based).
std::string_view DAYTOKEN(std::string_view ctage, long long k);

// The first nanztage units with their separators, for the table header.
std::string_view DAYHEADER(std::string_view ctage, long long nanztage);

// Reads tage.txt into NTAGE, CTAGE and NANZTAGE and logs one line; false
// when the day list is there but cannot be read (the run must stop).
bool READDAYS(RUNSTATE& r);

}  // namespace meld
