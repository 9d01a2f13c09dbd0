#include "meld.h"

#include "days.h"
#include "file.h"
#include "mailfields.h"
#include "table.h"

namespace meld {

void LOG(RUNSTATE& r, std::string_view cline) {
  r.CPROT += cline;
  r.CPROT += "\r\n";
}

namespace {

// Writes the protocol once and closes every handle in the fixed order.
int finish(RUNSTATE& r, int nstatus) {
  FREPLACE(r.NPROT, r.CPROT);
  FCLOSE(r.NMAIL);
  FCLOSE(r.NTAB);
  FCLOSE(r.NPROT);
  FCLOSE(r.NTAGE);
  return nstatus;
}

}  // namespace

int MELD() {
  RUNSTATE r;
  r.NPROT = FCREATE("prot.txt");

  // A mail that may be there but cannot be read must be neither imported as
  // an empty registration nor passed over as missing: the run stops and says so.
  const FRead nread = FREADNAMED("mail.txt", 50000, &r.NMAIL, &r.CMAIL);
  if (nread == FRead::Missing) {
    LOG(r, "mail.txt nicht gefunden - Abbruch");
    return finish(r, 0);
  }
  if (nread == FRead::Failed) {
    LOG(r, "mail.txt nicht lesbar - Abbruch");
    return finish(r, 1);
  }
  LOG(r, "mail.txt gelesen");

  if (!READDAYS(r)) return finish(r, 1);
  // The line depends on mail and day list only; building it before the
  // table is opened keeps the time under the table lock short.
  APPENDLINE(r);
  STORETABLE(r);
  return finish(r, r.BSTORED ? 0 : 1);
}

int MAIN() {
  FSTARTUP();
  return MELD();
}

}  // namespace meld
