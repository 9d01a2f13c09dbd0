#include "meld.h"

#include "days.h"
#include "file.h"
#include "mailfields.h"
#include "table.h"
#include "text.h"

namespace meld {

void LOG(RUNSTATE& r, std::string_view cline) {
  r.CPROT += cline;
  r.CPROT += "\r\n";
}

namespace {

// Writes the protocol once and closes every handle in the fixed order. A
// protocol that cannot be written would fail for every further mail too.
MResult finish(RUNSTATE& r, MResult nres) {
  const bool bprot = FREPLACE(r.NPROT, r.CPROT) == LEN(r.CPROT);
  FCLOSE(r.NMAIL);
  FCLOSE(r.NTAB);
  FCLOSE(r.NPROT);
  FCLOSE(r.NTAGE);
  if (!bprot && nres == MResult::Stored) return MResult::StoredNoProtocol;
  if (!bprot && nres == MResult::Failed) return MResult::FailedForAll;
  return nres;
}

}  // namespace

MResult MELDMAIL(RUNSTATE& r, std::string_view cmailname) {
  r.NPROT = FCREATE("prot.txt");

  // A mail that may be there but cannot be read must be neither imported as
  // an empty registration nor passed over as missing: the run stops and says so.
  const FRead nread = FREADNAMED(cmailname, 50000, &r.NMAIL, &r.CMAIL);
  if (nread == FRead::Missing) {
    LOG(r, "mail.txt nicht gefunden - Abbruch");
    return finish(r, MResult::NoMail);
  }
  if (nread == FRead::Failed) {
    LOG(r, "mail.txt nicht lesbar - Abbruch");
    return finish(r, MResult::Failed);
  }
  LOG(r, "mail.txt gelesen");

  if (!READDAYS(r)) return finish(r, MResult::FailedForAll);
  // The line depends on mail and day list only; building it before the
  // table is opened keeps the time under the table lock short.
  APPENDLINE(r);
  return finish(r, STORETABLE(r));
}

int EXITSTATUS(MResult nres) {
  return nres == MResult::Stored || nres == MResult::StoredNoProtocol || nres == MResult::NoMail ? 0 : 1;
}

int MELD() {
  RUNSTATE r;
  return EXITSTATUS(MELDMAIL(r, "mail.txt"));
}

int MAIN() {
  FSTARTUP();
  return MELD();
}

}  // namespace meld
