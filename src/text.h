// Text primitives: byte strings with 1-based positions, position 0 meaning
// "not found". No character set: every byte 0..255 is an ordinary byte and
// bytes order by unsigned value.
#pragma once

#include <string>
#include <string_view>

namespace meld {

// At most ncount bytes from position nstart; start 0 reads like start 1,
// a negative start counts back from the end. Out of range gives empty text.
// The result points into ctext.
std::string_view SUBSTR(std::string_view ctext, long long nstart, long long ncount);

// Position of the first occurrence of cfrag in ctext; 0 for none, for an
// empty fragment and for a fragment longer than the text.
long long AT(std::string_view cfrag, std::string_view ctext);

// True when cfrag occurs in ctext; an empty fragment never does.
bool CONTAINS(std::string_view cfrag, std::string_view ctext);

long long LEN(std::string_view ctext);

// Prefix-tolerant equality: true when b is a prefix of a (or b is empty).
bool EQ(std::string_view a, std::string_view b);

// Less-than by unsigned byte value; a shorter prefix is less.
bool LT(std::string_view a, std::string_view b);

// Quotient in double precision, never an integer division.
double DIV(long long a, long long b);

// Whole part toward zero, after the factor 1 + 2^-52 that lets a quotient
// one unit in the last place short of a whole number count as that number.
long long INT(double x);

// A byte with A to Z in lower case; every other byte as it is.
unsigned char LOWER(unsigned char c);

// ctext with A to Z in lower case, as names in mail headers, character set
// labels and HTML compare.
std::string LOWERED(std::string_view ctext);

// The value of a hexadecimal digit in either case, -1 for any other byte.
int HEXDIGIT(unsigned char c);

// ASCII white space as HTML and the Encoding Standard know it: tab, LF, FF,
// CR and space.
bool ISASCIISPACE(unsigned char c);

// Space or tab: the white space inside a line of a mail (RFC 5322).
inline bool ISWSP(unsigned char c) { return c == ' ' || c == '\t'; }

// ctext without spaces and tabs at either end.
std::string_view TRIMMED(std::string_view ctext);

// The SHA-256 digest of ctext in 64 lower-case hexadecimal digits: a name
// for a mail's bytes that no other mail shares.
std::string SHA256HEX(std::string_view ctext);

// n right-aligned in exactly nwidth bytes, or nwidth '*' when it does not fit.
std::string STR(long long n, int nwidth, int ndec = 0);

}  // namespace meld
