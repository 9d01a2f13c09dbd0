// The parts of the test harness that are the same on every platform.
#include "harness.h"

namespace meldtest {

const char* const CEXAMPLEMAIL =
    "Name: Erika Muster\r\n"
    "E-Mail: erika.muster\r\n"
    "Anzahl teilnehmende Pers.: 2\r\n"
    "Restaurant: ja\r\n"
    "Telefoon: 0123 456789\r\n"
    "Uebernachtung Jugendherberge: nein\r\n"
    "Tage: Fr12 Sa13\r\n"
    "Text: Wir kommen gern; bis bald\r\n"
    "Viele Gruesse\r\n"
    "\r\n"
    "--------------------- Ende des Originaltextes ---\r\n";
const char* const CEXAMPLELINE =
    "Erika Muster;erika.muster;2;J;T 0123 456789;-;J;J;-;Wir kommen gern: bis bald..Viele Gruesse....;\r\n";

std::string repeat(const std::string& c, int n) {
  std::string r;
  for (int i = 0; i < n; ++i) r += c;
  return r;
}

std::string untimed(const std::string& c) {
  static const std::string CSHAPE = "dddd-dd-dd dd:dd:dd ";
  std::string cres;
  for (size_t n = 0; n < c.size();) {
    size_t k = 0;
    while (k < CSHAPE.size() && n + k < c.size() &&
           (CSHAPE[k] == 'd' ? c[n + k] >= '0' && c[n + k] <= '9' : c[n + k] == CSHAPE[k]))
      ++k;
    if (k == CSHAPE.size()) {
      n += k;
    } else {
      cres += c[n++];
    }
  }
  return cres;
}

std::string logof(const std::string& cdir) { return untimed(readfile(cdir + "/prot-all.txt")); }

}  // namespace meldtest
