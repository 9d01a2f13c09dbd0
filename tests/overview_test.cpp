#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "overview.h"
#include "text.h"

using namespace meld;

namespace {

const std::string CMARK = "\xEF\xBB\xBF";
const std::string CHEAD = CMARK + "Name;Mail;Anzahl;Eink;Tel;Nacht;Fr12;Sa13;So14;Text;\r\n";

// The page of ctable fed in pieces of npiece bytes, the table's size
// expected as nexpect where given.
std::string pageof(const std::string& ctable, size_t npiece, std::string* pcwhy, long long nexpect = -1) {
  OVERVIEW o;
  if (nexpect >= 0) o.EXPECT(nexpect);
  for (size_t i = 0; i < ctable.size(); i += npiece) o.FEED(std::string_view(ctable).substr(i, npiece));
  return o.PAGE("tabelle.csv", "2026-12-08 17:45:03", pcwhy);
}

// The text of the element with id cid, "missing" where there is none.
std::string figure(const std::string& cpage, const std::string& cid) {
  const std::string cat = "id=\"" + cid + "\">";
  const size_t n = cpage.find(cat);
  if (n == std::string::npos) return "missing";
  return cpage.substr(n + cat.size(), cpage.find('<', n) - n - cat.size());
}

// 1,700 lines of 1,100 distinct addresses, 600 of them twice: 1,003 to
// check, 1,200 in groups, 1,250 on the first day.
std::string many() {
  std::string c;
  for (int i = 0; i < 1700; ++i) {
    c.append("P").append(std::to_string(i)).append(";p").append(std::to_string(i % 1100)).append("@x.de;1;");
    c.append(i < 1003 ? "?" : "J").append(";T;-;").append(i < 1250 ? "J;-" : "-;J").append(";-;t;\r\n");
  }
  return c;
}

// A registration sent again 20,000 lines after the first, farther back
// than the names the page keeps.
std::string late() {
  std::string c = "Erste;x@x.de;1;-;T;-;J;-;-;t;\r\n";
  for (int i = 0; i < 20000; ++i) {
    const std::string ci = std::to_string(i);
    c.append("F").append(ci).append(";f").append(ci).append("@x.de;1;-;T;-;J;-;-;t;\r\n");
  }
  return c + "Zweite;X@x.de;1;-;T;-;J;-;-;t;\r\n";
}

}  // namespace

TEST(Overview, PageTable) {
  struct Case {
    const char* cwhat;
    std::string ctable;
    // anmeldungen personen restaurant uebernachtung zu-pruefen doppelt,
    // then per day: the token as in the id, persons, registrations
    std::string cfigures;
    std::vector<std::string> chas;  // texts of the page; "!" first: texts it must not have
    std::string cwhy;               // without a page: the reason
  } cases[] = {
      {"the import's own table",
       CHEAD + "Erika Muster;erika.muster@example.org;2;J;T 0123 456789;-;J;J;-;Wir kommen gern..;\r\n"
               "J\xC3\xBCrgen M\xC3\xBCller;j.m@example.org;3;-;T 0456;J;-;J;J;Bis dann.;\r\n"
               "'=HYPERLINK(1);'-x@example.org;1;J;T ;J;J;-;-;'+ok;\r\n",
       "3 6 3 4 0 0 Fr12 3 2 Sa13 5 2 So14 3 1",
       {"J\xC3\xBCrgen M\xC3\xBCller", "<td class=\"kasten\"></td><td>=HYPERLINK(1)</td>", "!'="}},
      {"Windows-1252 without mark",
       "Name;Mail;Anzahl;Eink;Tel;Nacht;Fr12;Sa13;Text;\r\nJ\xFCrgen Gro\xDF;jg@example.org;2;J;T 1;J;J;-;Gr\xFC\xDF" "e;\r\n",
       "1 2 2 2 0 0 Fr12 2 1 Sa13 0 0", {"J\xC3\xBCrgen Gro\xC3\x9F", "gelesen als Windows-1252"}},
      {"saved by a spreadsheet: UTF-8 without mark, quotes, LF, no last line end",
       "Name;Mail;Anzahl;Eink;Tel;Nacht;Fr12;Sa13;Text\n"
       "\"M\xC3\xBCller; \"\"Hans\"\"\";hans@example.org;2;J;T 1;-;J;-;\"Zeile 1\nZeile 2\"\n"
       "Eva;eva@example.org;1;-;T 2;J;-;J;\n"
       ";;;;;;;;\n"
       "Udo;udo@example.org;zwei;J;T 3;J;J;J;x",
       "3 4 3 2 1 0 Fr12 3 2 Sa13 2 2",
       {"M\xC3\xBCller; &quot;Hans&quot;", "<td class=\"n\">6</td><td>Udo", "gelesen als UTF-8"}},
      {"saved with every text quoted and CR LF",
       "\"Name\";\"Mail\";\"Anzahl\";\"Eink\";\"Tel\";\"Nacht\";\"Fr12\";\"Sa13\";\"Text\"\r\n"
       "\"Ute\";\"ute@x.de\";2;\"J\";\"T 1\";\"J\";\"J\";\"-\";\"Gru\"\"\"\"\"\r\n"
       "\"Tom\";\"tom@x.de\";\"1\";\"-\";\"T 2\";\"-\";\"-\";\"J\";\r\n",
       "2 3 2 2 0 0 Fr12 2 1 Sa13 1 1", {}},
      {"unclear answers and persons",
       CHEAD + "A;a@x.de;zwei;J;T;J;J;-;-;;\r\nB;b@x.de;;?;T;?;-;J;-;t;\r\nC;c@x.de;0;-;T;-;-;-;-;t;\r\n"
               "D;d@x.de;1000;-;T;-;J;J;J;t;\r\nE;e@x.de; 999 ;J;T;J;J;-;-;t;\r\n ;f@x.de;1;J;T;-;J;-;-;t;\r\n",
       "6 1004 1001 1000 5 0 Fr12 1002 4 Sa13 2 2 So14 1 1",
       {"Anzahl &bdquo;zwei&ldquo; ist keine Zahl von 1 bis 999, als 1 Person gez&auml;hlt", "Anzahl fehlt",
        "&bdquo;0&ldquo;", "&bdquo;1000&ldquo;", "Restaurant: ? (nicht gefunden); &Uuml;bernachtung: ?",
        "<td>C</td><td>c@x.de</td><td>Anzahl &bdquo;0&ldquo; ist keine Zahl von 1 bis 999, als 1 Person gez&auml;hlt; "
        "kein Tag gew&auml;hlt</td>",
        "<td> </td><td>f@x.de</td><td>Name fehlt</td>", "!999&ldquo;"}},
      {"a registration sent twice",
       CHEAD + "Erika;Erika@Example.org;2;J;T;-;J;-;-;t;\r\nMax;max@example.org;1;-;T;-;J;-;-;t;\r\n"
               "Erika M;  erika@example.ORG ;2;J;T;-;J;J;-;neu;\r\nOhne;;1;-;T;-;J;-;-;t;\r\nOhne2; ;1;-;T;-;J;-;-;t;\r\n",
       "5 7 4 0 2 2 Fr12 7 5 Sa13 2 1 So14 0 0",
       {"<tbody class=\"gruppe\">\n<tr><th colspan=\"2\">  erika@example.ORG </th></tr>\n"
        "<tr><td class=\"n\">2</td><td>Erika</td></tr>\n<tr><td class=\"n\">4</td><td>Erika M</td></tr>\n</tbody>",
        "2 Zeilen in 1 Gruppe ",
        // The check-in list goes by name.
        "<td>Erika M</td><td class=\"n\">2</td><td class=\"n\">4</td></tr>\n<tr><td class=\"kasten\"></td><td>Max</td>"}},
      {"hostile values and day tokens",
       "Name;Mail;Anzahl;Eink;Tel;Nacht;a\"<&;Zz'>;Text;\r\n"
       "<script>alert(1)</script>;x@y.de;1;J;T;J;J;-;<img src=x onerror=alert(1)>;\r\n"
       "<img src=x onerror=alert(1)>;\"<b>&amp;</b>\";;-;T;-;J;J;t;\r\n",
       "2 2 1 1 1 0 a&quot;&lt;&amp; 2 2 Zz&#39;&gt; 1 1",
       {"&lt;script&gt;alert(1)&lt;/script&gt;", "&lt;img src=x onerror=alert(1)&gt;", "&lt;b&gt;&amp;amp;&lt;/b&gt;",
        "!<img", "!<b>"}},
      {"no day columns",
       CMARK + "Name;Mail;Anzahl;Eink;Tel;Nacht;Text;\r\nErika Muster;erika.muster;2;J;T 0123 456789;-;Wir kommen..;\r\n",
       "1 2 2 0 0 0", {"keine Tagesspalten", "!tag-", "!<svg"}},
      {"the header alone, without its line end", "Name;Mail;Anzahl;Eink;Tel;Nacht;Fr12;Sa13;Text",
       "0 0 0 0 0 0 Fr12 0 0 Sa13 0 0", {"Keine Zeile zu pr&uuml;fen"}},
      {"lines with too few and too many fields",
       CHEAD + "Kurz;k@x.de;2;J\r\n\r\nLang;l@x.de;1;-;T;J;J;-;-;t;extra;\r\n",
       "2 3 2 1 2 0 Fr12 1 1 Sa13 0 0 So14 0 0", {"Felder: 4 statt 10", "Felder: 11 statt 10</td>"}},
      {"values cut: a name of 1,500 bytes, an answer of 21",
       CHEAD + std::string(1500, 'N') + ";n@x.de;;j;T;J                    ;J;-;-;t;\r\n",
       "1 1 1 0 1 0 Fr12 1 1 Sa13 0 0 So14 0 0",
       {"<td>" + std::string(1000, 'N') + "</td>", "!" + std::string(1001, 'N'), "&Uuml;bernachtung: unklar"}},
      {"lists cut at 1,000", CHEAD + many(), "1700 1700 697 0 1003 1200 Fr12 1250 1250 Sa13 450 450 So14 0 0",
       {"&hellip; und 3 weitere</p>", "&hellip; und 200 weitere</p>", "&hellip; und 250 weitere</p>"}},
      {"sent again after 20,000 lines", CHEAD + late(), "20002 20002 0 0 0 2 Fr12 20002 20002 Sa13 0 0 So14 0 0",
       {"<td class=\"n\">2</td><td><span class=\"hinweis\">(siehe Tabelle)</span></td></tr>\n"
        "<tr><td class=\"n\">20003</td><td>Zweite</td>"}},
      {"without mark, valid UTF-8 until its last byte",
       "Name;Mail;Anzahl;Eink;Tel;Nacht;Text;\r\nM\xC3\xBCller;m@x.de;;J;T;-;t\xC3", "1 1 1 0 1 0",
       {"M\xC3\x83\xC2\xBCller", "gelesen als Windows-1252"}},
      {"a fixed column renamed", "Name;Mail;Anzahl;Restaurant;Tel;Nacht;Text;\r\nA;a@x.de;1;J;T;-;t;\r\n", "", {},
       "tabelle.csv: erste Zeile ist nicht die Kopfzeile von meldimport"},
      {"a day that is no token", CMARK + "Name;Mail;Anzahl;Eink;Tel;Nacht;Freitag;Text;\r\n", "", {},
       "tabelle.csv: erste Zeile ist nicht die Kopfzeile von meldimport"},
      {"half a mark", "\xEF\xBBName;Mail;Anzahl;Eink;Tel;Nacht;Text;\r\n", "", {},
       "tabelle.csv: erste Zeile ist nicht die Kopfzeile von meldimport"},
      {"an empty table", CMARK, "", {}, "tabelle.csv ist leer"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.cwhat);
    std::string cwhy = "x", cwhy1 = "x";
    const std::string cpage = pageof(c.ctable, c.ctable.size() + 1, &cwhy);
    // Pieces of one byte split the mark, CR LF, quotes and characters;
    // pieces of 1,000 bytes mix lines read in place with lines read in
    // pieces.
    EXPECT_EQ(pageof(c.ctable, 1, &cwhy1), cpage);
    EXPECT_EQ(pageof(c.ctable, 1000, &cwhy1), cpage);
    // Slots reserved for too small a table: more addresses than expected move on into the heap.
    EXPECT_EQ(pageof(c.ctable, 1000, &cwhy1, 128 * 600), cpage);
    EXPECT_EQ(cwhy, c.cwhy);
    EXPECT_EQ(cwhy1, c.cwhy);
    if (!c.cwhy.empty()) {
      EXPECT_EQ(cpage, "");
      continue;
    }
    std::istringstream cin(c.cfigures);
    for (const char* cid : {"anmeldungen", "personen", "restaurant", "uebernachtung", "zu-pruefen", "doppelt"}) {
      std::string cwant;
      cin >> cwant;
      EXPECT_EQ(figure(cpage, cid), cwant) << cid;
    }
    bool bdays = false;
    for (std::string ctag, cpersons, cregs; cin >> ctag >> cpersons >> cregs; bdays = true) {
      EXPECT_EQ(figure(cpage, "tag-" + ctag + "-personen"), cpersons) << ctag;
      EXPECT_EQ(figure(cpage, "tag-" + ctag + "-anmeldungen"), cregs) << ctag;
    }
    for (const std::string& chas : c.chas) {
      if (chas[0] == '!') EXPECT_EQ(cpage.find(chas.substr(1)), std::string::npos) << chas;
      else EXPECT_NE(cpage.find(chas), std::string::npos) << chas;
    }
    // Nothing runs and nothing is loaded: no script, a policy that forbids both.
    EXPECT_EQ(LOWERED(cpage).find("<script"), std::string::npos);
    EXPECT_NE(cpage.find("content=\"default-src 'none'; style-src 'unsafe-inline';"), std::string::npos);
    EXPECT_NE(cpage.find("@page{size:A4;margin:15mm}"), std::string::npos);
    EXPECT_EQ(cpage.find("<details>") != std::string::npos, bdays);
  }
}
