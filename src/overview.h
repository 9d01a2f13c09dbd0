// Overview page of the registration table (uebersicht.html): the table's
// bytes in, one self-contained HTML page out. Pure: the caller reads the
// table and writes the page. One pass over the table, fed in pieces of any
// size; memory grows with the number of distinct mail addresses and the
// capped lists on the page, never with the size of the table.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace meld {

// The figures of the page, each over every data line of the table.
struct FIGURES {
  long long NANMELDUNGEN = 0;    // data lines (registrations)
  long long NPERSONEN = 0;       // persons; an unclear count counts as 1
  long long NRESTAURANT = 0;     // persons with restaurant "J"
  long long NUEBERNACHTUNG = 0;  // persons with overnight "J" (beds)
  long long NZUPRUEFEN = 0;      // lines listed under "Zu pruefen"
  long long NDOPPELT = 0;        // lines whose address another line has too
  std::vector<std::string> CTAGE;        // the header's day tokens, in order
  std::vector<long long> NTAGPERSONEN;   // per day: persons with "J"
  std::vector<long long> NTAGANMELDUNGEN;  // per day: lines with "J"
};

class OVERVIEW {
 public:
  OVERVIEW();
  ~OVERVIEW();
  OVERVIEW(const OVERVIEW&) = delete;
  OVERVIEW& operator=(const OVERVIEW&) = delete;

  // The table's next bytes. A piece may end anywhere: inside the mark, a
  // line, a quoted field or a character. Once the first line has shown
  // that this is no table of meldimport, further bytes are ignored.
  void FEED(std::string_view cbytes);

  // The table's size, where known before it is fed: the address table is
  // made once for the addresses so many bytes can hold, not grown.
  void EXPECT(long long nbytes);

  // Ends the table (a last line without its line end counts) and gives the
  // page for a table named ctablename, made at cwhen (e.g. "2026-12-08
  // 17:45:03"). Empty, with *pcwhy set to one German line that says why,
  // when the first line is not the header of meldimport's table or the
  // table is empty; *pcwhy is cleared otherwise. The same bytes and cwhen
  // give the same page. FEED after PAGE is ignored; PAGE again gives the
  // same page.
  std::string PAGE(std::string_view ctablename, std::string_view cwhen, std::string* pcwhy);

  // The figures so far (complete after PAGE).
  const FIGURES& FIGURESOF() const;

 private:
  struct STATE;
  std::unique_ptr<STATE> p;
};

}  // namespace meld
