// Day list tage.txt: the event's days as tokens of 4 printable bytes,
// separated as people write them. Inside the run the list is kept as units:
// each token followed by ";", the form the table header takes. Pure rules:
// the run sequence reads the file.
#pragma once

#include <string>
#include <string_view>

namespace meld {

// The days of a day list text (its mark already dropped): the tokens between
// runs of ";", ",", space, tab, CR and LF. Fewer than two tokens give no
// days. CBAD is the first token that is no day (not exactly 4 bytes of 33
// to 126), also where it is the only one; empty when every token is one.
struct DAYS {
  std::string CUNITS;  // the tokens, each followed by ";"
  long long NANZTAGE = 0;
  std::string CBAD;
};
DAYS DAYSOF(std::string_view clist);

// Days in units: whole units when there are 10 bytes or more, else 0.
long long DAYCOUNT(std::string_view ctage);

// Day token k (1-based) of a list in units.
std::string_view DAYTOKEN(std::string_view ctage, long long k);

// The first nanztage units with their separators, for the table header.
std::string_view DAYHEADER(std::string_view ctage, long long nanztage);


}  // namespace meld
