// Fuzz target: reading a mail, field extraction and day list on arbitrary
// bytes. Input: two bytes giving the day list's length (up to 1,000), the
// day list, then the mail.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "days.h"
#include "mailfields.h"
#include "mailtext.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pdata, size_t nsize) {
  if (nsize < 2) return 0;
  const std::string_view cin(reinterpret_cast<const char*>(pdata) + 2, nsize - 2);
  const size_t ntage = ((size_t{pdata[0]} << 8) | pdata[1]) % 1001;
  std::string_view ctage = cin.substr(0, ntage);
  std::string_view cmail = cin.substr(ctage.size()).substr(0, 50000);
  // As read from the files: each text ends before its first byte 0.
  ctage = ctage.substr(0, ctage.find('\0'));
  cmail = cmail.substr(0, cmail.find('\0'));

  // Any bytes, read as a mail as it arrives: a text of at most 50,000 bytes
  // without a byte 0, in UTF-8 wherever it was decoded.
  const meld::MAILTEXT m = meld::MAILTEXTOF(std::string(cin));
  if (m.CTEXT.size() > 50000 || m.CTEXT.find('\0') != std::string::npos) std::abort();
  // (A text cut at 50,000 bytes may end inside a character.)
  if (m.NCHARSET == meld::CHARSET::UTF8 && !meld::ISUTF8(m.CTEXT) && m.CTEXT.size() < 50000) std::abort();

  const long long ndays = meld::DAYCOUNT(ctage);
  const std::string cline = meld::MAILLINE(cmail, ctage);
  // One record: CR LF at the end and nowhere else, and exactly one ";" per column.
  if (cline.size() < 2 || cline.find_first_of("\r\n") != cline.size() - 2 || cline.back() != '\n') std::abort();
  size_t nsemis = 0;
  for (const char c : cline) nsemis += c == ';';
  if (nsemis != static_cast<size_t>(7 + ndays)) std::abort();
  // The last column is the free text, shown byte for byte.
  std::string cwant;
  const size_t ntext = cmail.find("Text: "), nende = cmail.find("Ende des Ori");
  if (ntext != std::string_view::npos && nende != std::string_view::npos && nende >= ntext + 6 + 22 + 1)
    meld::SHOWN(cwant, cmail.substr(ntext + 6, nende - 22 - (ntext + 6)));
  // A free text that starts like a formula gets one "'" in front.
  if (!cwant.empty() && meld::ISGUARDED(static_cast<unsigned char>(cwant[0]))) cwant.insert(0, 1, '\'');
  const size_t nlast = cline.rfind(';', cline.size() - 4);
  if (cline.compare(nlast + 1, cline.size() - 3 - (nlast + 1), cwant) != 0) std::abort();
  if (meld::DAYHEADER(ctage, ndays).size() != static_cast<size_t>(ndays) * 5) std::abort();
  return 0;
}
