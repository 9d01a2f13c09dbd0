// The overview page itself: one self-contained HTML5 document in German,
// without any script and without anything loaded from elsewhere, so that
// it opens offline and nothing a registrant wrote can run in it.
#include <algorithm>
#include <numeric>

#include "charset.h"
#include "overview_state.h"
#include "text.h"

namespace meld {

using namespace overview;

namespace {

// Screen and print in one inline sheet. <details> hides its content when
// printed closed, and browsers do not let a style open it; so each day's
// check-in list is in the page twice: folded for the screen, and plain,
// one day a page, for print only.
constexpr std::string_view CSTYLE =
    "body{font-family:system-ui,-apple-system,\"Segoe UI\",Arial,sans-serif;color:#222;max-width:60em;"
    "margin:1.5em auto;padding:0 1em;line-height:1.35}\n"
    "h1{font-size:1.6em;margin-bottom:.2em}h2{font-size:1.25em;margin-top:1.8em;border-bottom:1px solid #bbb}\n"
    "table{border-collapse:collapse;margin:.5em 0}th,td{border:1px solid #bbb;padding:.2em .6em;text-align:left;"
    "vertical-align:top}th{background:#eee}.n{text-align:right;font-variant-numeric:tabular-nums}\n"
    "tbody.gruppe{border-top:3px solid #555}.kasten{width:2em}.hinweis,.stand{color:#555}\n"
    "summary{cursor:pointer;font-weight:bold;margin:.4em 0}svg{max-width:100%;height:auto}\n"
    "svg rect{fill:#3b6ea5}svg text{font:14px Arial,sans-serif;fill:#222}\n"
    ".druck{display:none}\n"
    "@page{size:A4;margin:15mm}\n"
    "@media print{body{max-width:none;margin:0;padding:0;font-size:10pt}details{display:none}"
    ".druck{display:block;break-before:page}h2,h3{break-after:avoid}tr{break-inside:avoid}"
    "th{background:none}}\n";

// Appends c for HTML text and attribute values alike: the five special
// characters as references, control bytes as spaces.
void puttext(std::string& o, std::string_view c) {
  for (const char x : c) {
    switch (x) {
      case '&': o += "&amp;"; break;
      case '<': o += "&lt;"; break;
      case '>': o += "&gt;"; break;
      case '"': o += "&quot;"; break;
      case '\'': o += "&#39;"; break;
      default: o += static_cast<unsigned char>(x) < 32 || x == 127 ? ' ' : x;
    }
  }
}

// Appends a value of the table as the registrant wrote it: without the
// formula guard, in UTF-8, escaped.
void putvalue(std::string& o, std::string_view craw, CHARSET ncharset) { puttext(o, TOUTF8(unguarded(craw), ncharset)); }

void putnumber(std::string& o, long long n) { o += std::to_string(n); }

// "1 Person", "2 Personen".
void putcount(std::string& o, long long n, std::string_view cone, std::string_view cmany) {
  putnumber(o, n);
  o += ' ';
  o += n == 1 ? cone : cmany;
}

// "... und 123 weitere" under a cut list.
void putmore(std::string& o, long long nmore) {
  if (nmore <= 0) return;
  o += "<p class=\"hinweis\">&hellip; und ";
  putnumber(o, nmore);
  o += " weitere</p>\n";
}

void putanswer(std::string& o, std::string_view clabel, ANSWER n) {
  o += clabel;
  o += n == AUNKNOWN ? ": ? (nicht gefunden)" : n == AEMPTY ? ": keine Angabe" : ": unklar";
}

// What is missing or unclear in a line to check, in German.
void putwhy(std::string& o, const ENTRY& e, size_t nexpected, CHARSET ncharset) {
  const size_t nstart = o.size();
  auto next = [&] {
    if (o.size() > nstart) o += "; ";
  };
  if (e.nwhy & RFIELDS) {
    o += "Felder: ";
    putnumber(o, e.nfields);
    o += " statt ";
    putnumber(o, static_cast<long long>(nexpected));
  }
  if (e.nwhy & RNAME) next(), o += "Name fehlt";
  if (e.nwhy & RMAIL) next(), o += "Adresse fehlt";
  if (e.nwhy & RPERSONS) {
    next();
    if (TRIMMED(unguarded(e.cpersons)).empty()) {
      o += "Anzahl fehlt";
    } else {
      o += "Anzahl &bdquo;";
      putvalue(o, e.cpersons, ncharset);
      o += "&ldquo; ist keine Zahl von 1 bis 999";
    }
    o += ", als 1 Person gez&auml;hlt";
  }
  if (e.nwhy & REINK) next(), putanswer(o, "Restaurant", e.neink);
  if (e.nwhy & RNACHT) next(), putanswer(o, "&Uuml;bernachtung", e.nnacht);
  if (e.nwhy & RNODAY) next(), o += "kein Tag gew&auml;hlt";
}

// A row of the totals: its figure in an element of its own id.
void puttotal(std::string& o, std::string_view clabel, std::string_view cid, long long n) {
  o += "<tr><th>";
  o += clabel;
  o += "</th><td class=\"n\" id=\"";
  o += cid;
  o += "\">";
  putnumber(o, n);
  o += "</td></tr>\n";
}

// The bars of the persons per day, each with its number at its end.
void putchart(std::string& o, const FIGURES& f) {
  const long long nmax = std::max(1LL, *std::max_element(f.NTAGPERSONEN.begin(), f.NTAGPERSONEN.end()));
  const long long nrow = 30, nleft = 70, nbar = 480, nheight = static_cast<long long>(f.CTAGE.size()) * nrow + 6;
  o += "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"640\" height=\"";
  putnumber(o, nheight);
  o += "\" viewBox=\"0 0 640 ";
  putnumber(o, nheight);
  o += "\" role=\"img\" aria-label=\"Personen je Tag\">\n";
  for (size_t k = 0; k < f.CTAGE.size(); ++k) {
    const long long n = f.NTAGPERSONEN[k], y = static_cast<long long>(k) * nrow + 4;
    const long long nwidth = n > 0 ? std::max(1LL, n * nbar / nmax) : 0;
    o += "<text x=\"0\" y=\"";
    putnumber(o, y + 17);
    o += "\">";
    puttext(o, f.CTAGE[k]);
    o += "</text><rect x=\"";
    putnumber(o, nleft);
    o += "\" y=\"";
    putnumber(o, y);
    o += "\" width=\"";
    putnumber(o, nwidth);
    o += "\" height=\"22\"/><text x=\"";
    putnumber(o, nleft + nwidth + 6);
    o += "\" y=\"";
    putnumber(o, y + 17);
    o += "\">";
    putnumber(o, n);
    o += "</text>\n";
  }
  o += "</svg>\n";
}

// A day's check-in list: a box to tick, the name, the persons, the line;
// by name.
std::string daylist(const DAYLIST& d, CHARSET ncharset) {
  std::vector<std::pair<std::string, size_t>> order;
  for (size_t i = 0; i < d.entries.size(); ++i)
    order.emplace_back(LOWERED(TOUTF8(TRIMMED(unguarded(d.entries[i].cname)), ncharset)), i);
  std::stable_sort(order.begin(), order.end(), [](const auto& a, const auto& b) { return LT(a.first, b.first); });
  std::string o = "<table>\n<thead><tr><th class=\"kasten\">da</th><th>Name</th><th class=\"n\">Personen</th>"
                  "<th class=\"n\">Zeile</th></tr></thead>\n";
  for (const auto& x : order) {
    const ENTRY& e = d.entries[x.second];
    o += "<tr><td class=\"kasten\"></td><td>";
    putvalue(o, e.cname, ncharset);
    o += "</td><td class=\"n\">";
    putnumber(o, e.npersons);
    o += "</td><td class=\"n\">";
    putnumber(o, e.nline);
    o += "</td></tr>\n";
  }
  o += "</table>\n";
  putmore(o, d.nmore);
  return o;
}

// "Fr12: 3 Anmeldungen, 5 Personen"
void putdayhead(std::string& o, const FIGURES& f, size_t k) {
  puttext(o, f.CTAGE[k]);
  o += ": ";
  putcount(o, f.NTAGANMELDUNGEN[k], "Anmeldung", "Anmeldungen");
  o += ", ";
  putcount(o, f.NTAGPERSONEN[k], "Person", "Personen");
}

void putentryhead(std::string& o, std::string_view clast) {
  o += "<table>\n<thead><tr><th class=\"n\">Zeile</th><th>Name</th><th>Adresse</th>";
  o += clast;
  o += "</tr></thead>\n";
}

void putentry(std::string& o, const ENTRY& e, CHARSET ncharset) {
  o += "<tr><td class=\"n\">";
  putnumber(o, e.nline);
  o += "</td><td>";
  putvalue(o, e.cname, ncharset);
  o += "</td><td>";
  putvalue(o, e.cmail, ncharset);
  o += "</td>";
}

}  // namespace

std::string OVERVIEW::STATE::page(std::string_view ctablename, std::string_view cwhen) const {
  const CHARSET ncharset = bmark || butf8 ? CHARSET::UTF8 : CHARSET::WINDOWS1252;
  std::string o;
  o += "<!DOCTYPE html>\n<html lang=\"de\">\n<head>\n<meta charset=\"utf-8\">\n"
       "<meta http-equiv=\"Content-Security-Policy\" content=\"default-src 'none'; style-src 'unsafe-inline'; "
       "img-src data:; form-action 'none'; base-uri 'none'\">\n"
       "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n<title>&Uuml;bersicht ";
  puttext(o, ctablename);
  o += "</title>\n<style>\n";
  o += CSTYLE;
  o += "</style>\n</head>\n<body>\n<h1>&Uuml;bersicht der Anmeldungen</h1>\n<p class=\"stand\">Stand ";
  puttext(o, cwhen);
  o += " &middot; Tabelle ";
  puttext(o, ctablename);
  o += " mit ";
  putcount(o, f.NANMELDUNGEN, "Anmeldung", "Anmeldungen");
  o += " &middot; gelesen als ";
  o += ncharset == CHARSET::UTF8 ? "UTF-8" : "Windows-1252";
  o += "</p>\n";

  o += "<h2>Summen</h2>\n<table>\n";
  puttotal(o, "Anmeldungen", "anmeldungen", f.NANMELDUNGEN);
  puttotal(o, "Personen", "personen", f.NPERSONEN);
  puttotal(o, "Personen mit Restaurant", "restaurant", f.NRESTAURANT);
  puttotal(o, "Personen mit &Uuml;bernachtung (Betten)", "uebernachtung", f.NUEBERNACHTUNG);
  puttotal(o, "Zeilen zu pr&uuml;fen", "zu-pruefen", f.NZUPRUEFEN);
  puttotal(o, "Zeilen doppelt gesendet?", "doppelt", f.NDOPPELT);
  o += "</table>\n<p class=\"hinweis\">Die Summen z&auml;hlen jede Zeile der Tabelle. Eine Anzahl, die fehlt oder "
       "keine ganze Zahl von 1 bis 999 ist, z&auml;hlt als 1 Person.</p>\n";

  o += "<h2>Tage</h2>\n";
  if (f.CTAGE.empty()) {
    o += "<p>Die Tabelle hat keine Tagesspalten.</p>\n";
  } else {
    o += "<table>\n<tr><th>Tag</th><th class=\"n\">Personen</th><th class=\"n\">Anmeldungen</th></tr>\n";
    for (size_t k = 0; k < f.CTAGE.size(); ++k) {
      o += "<tr><th>";
      puttext(o, f.CTAGE[k]);
      o += "</th><td class=\"n\" id=\"tag-";
      puttext(o, f.CTAGE[k]);
      o += "-personen\">";
      putnumber(o, f.NTAGPERSONEN[k]);
      o += "</td><td class=\"n\" id=\"tag-";
      puttext(o, f.CTAGE[k]);
      o += "-anmeldungen\">";
      putnumber(o, f.NTAGANMELDUNGEN[k]);
      o += "</td></tr>\n";
    }
    o += "</table>\n";
    putchart(o, f);
  }

  o += "<h2>Zu pr&uuml;fen</h2>\n";
  if (checks.empty()) {
    o += "<p>Keine Zeile zu pr&uuml;fen.</p>\n";
  } else {
    putentryhead(o, "<th>Was fehlt oder unklar ist</th>");
    for (const ENTRY& e : checks) {
      putentry(o, e, ncharset);
      o += "<td>";
      putwhy(o, e, nexpected, ncharset);
      o += "</td></tr>\n";
    }
    o += "</table>\n";
    putmore(o, f.NZUPRUEFEN - static_cast<long long>(checks.size()));
  }

  o += "<h2>Doppelt gesendet?</h2>\n";
  if (f.NDOPPELT == 0) {
    o += "<p>Keine Adresse kommt mehr als einmal vor.</p>\n";
  } else {
    o += "<p>";
    putnumber(o, f.NDOPPELT);
    o += " Zeilen in ";
    putcount(o, ngroups, "Gruppe", "Gruppen");
    o += " haben dieselbe Adresse (ohne R&uuml;cksicht auf Gro&szlig;- und Kleinschreibung und Leerzeichen "
         "am Rand). Die Summen z&auml;hlen jede dieser Zeilen; eine erneut gesendete Anmeldung bitte in der Tabelle "
         "l&ouml;schen (meist die &auml;ltere, die weiter oben).</p>\n";
    std::vector<size_t> order(groups.size());
    std::iota(order.begin(), order.end(), size_t{0});
    std::sort(order.begin(), order.end(), [&](size_t a, size_t b) { return groups[a][0].nline < groups[b][0].nline; });
    // A group under its address as the line that made it a group wrote
    // it; each line with its number and name.
    o += "<table>\n<thead><tr><th class=\"n\">Zeile</th><th>Name</th></tr></thead>\n";
    for (const size_t i : order) {
      o += "<tbody class=\"gruppe\">\n<tr><th colspan=\"2\">";
      putvalue(o, groups[i][1].cmail, ncharset);
      o += "</th></tr>\n";
      for (const ENTRY& e : groups[i]) {
        o += "<tr><td class=\"n\">";
        putnumber(o, e.nline);
        o += "</td><td>";
        if (e.bnamed) putvalue(o, e.cname, ncharset);
        else o += "<span class=\"hinweis\">(siehe Tabelle)</span>";
        o += "</td></tr>\n";
      }
      o += "</tbody>\n";
    }
    o += "</table>\n";
    putmore(o, f.NDOPPELT - nlisted);
  }

  if (!f.CTAGE.empty()) {
    o += "<h2>Einlasslisten je Tag</h2>\n";
    std::string cprint;
    for (size_t k = 0; k < f.CTAGE.size(); ++k) {
      const std::string clist = daylist(daylists[k], ncharset);
      o += "<details><summary>";
      putdayhead(o, f, k);
      o += "</summary>\n";
      o += clist;
      o += "</details>\n";
      cprint += "<section class=\"druck\">\n<h3>Einlassliste ";
      putdayhead(cprint, f, k);
      cprint += "</h3>\n";
      cprint += clist;
      cprint += "</section>\n";
    }
    o += cprint;
  }
  o += "</body>\n</html>\n";
  return o;
}

}  // namespace meld
