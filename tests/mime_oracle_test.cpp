// The MIME decoder (MAILPARTS) against GMime 3 on a few thousand generated
// messages: the same rules choose the text parts in GMime's parse tree, then
// both sides must give the same parts, labels, decoded bytes and, where both
// convert alike, the same UTF-8.
//
// Where the two differ by design, the generator writes no such input; the
// table of GMime's behaviour below shows each difference:
//  - spaces and tabs at the end of a quoted-printable line: our decoder drops
//    them as RFC 2045 says, GMime keeps them; encoded lines never end in one;
//  - GMime takes "=" and the two characters after it as they stand when they
//    are no hex pair (ours looks at the next "=" again), and drops "=" with
//    one character at the body's end; a literal "=" is written only before
//    two printable characters that are no "=" and no hex pair;
//  - GMime ends base64 at its padding and drops an incomplete group; the
//    generator pads correctly and puts nothing but skipped bytes after it;
//  - GMime keeps the CR of the line end before a closing delimiter that ends
//    the message without a line end of its own; after CR LF it has one.
#include <gmime/gmime.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <initializer_list>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "mailtext.h"

using namespace meld;

namespace {

class GMIMEENV : public ::testing::Environment {
 public:
  void SetUp() override { g_mime_init(); }
  void TearDown() override { g_mime_shutdown(); }
};
const auto* const genv = ::testing::AddGlobalTestEnvironment(new GMIMEENV);

// One text part as GMime gives it, chosen by our rules.
struct GPART {
  std::string ctype, clabel, cdecoded, cutf8;
  bool bflowed = false, bdelsp = false;
  bool bconverted = false;  // cutf8 holds GMime's conversion, comparable with ours
};

// Bytes for a message: \r, \n, \t, \\ and every byte outside ASCII's printable ones escaped.
std::string SHOWN(std::string_view c) {
  std::string cout;
  for (unsigned char ch : c) {
    const char* cnamed = ch == '\r' ? "\\r" : ch == '\n' ? "\\n" : ch == '\t' ? "\\t" : ch == '\\' ? "\\\\" : nullptr;
    char cbuf[8] = {static_cast<char>(ch)};
    if (!cnamed && (ch < 32 || ch >= 127)) std::snprintf(cbuf, sizeof cbuf, "\\x%02x", ch);
    cout += cnamed ? cnamed : cbuf;
  }
  return cout;
}

bool ISTYPE(GMimeObject* o, const char* ctype, const char* csubtype) {
  return g_mime_content_type_is_type(g_mime_object_get_content_type(o), ctype, csubtype);
}

bool ATTACHED(GMimeObject* o) {
  GMimeContentDisposition* d = g_mime_object_get_content_disposition(o);
  return d && g_mime_content_disposition_is_attachment(d);
}

bool PARAMIS(GMimeObject* o, const char* cname, const char* cvalue) {
  const char* c = g_mime_object_get_content_type_parameter(o, cname);
  return c && g_ascii_strcasecmp(c, cvalue) == 0;
}

// A part's content with its transfer encoding decoded.
std::string DECODEDOF(GMimePart* p) {
  GMimeDataWrapper* w = g_mime_part_get_content(p);
  if (!w) return "";
  GMimeStream* s = g_mime_stream_mem_new();
  g_mime_data_wrapper_write_to_stream(w, s);
  GByteArray* a = g_mime_stream_mem_get_byte_array(GMIME_STREAM_MEM(s));
  std::string c(reinterpret_cast<const char*>(a->data), a->len);
  g_object_unref(s);
  return c;
}

void TAKE(GMimeObject* o, std::vector<GPART>& vparts) {
  GPART g;
  g.ctype = ISTYPE(o, "text", "plain") ? "text/plain" : "text/html";
  const char* clabel = g_mime_object_get_content_type_parameter(o, "charset");
  g.clabel = clabel ? clabel : "";
  g.cdecoded = DECODEDOF(GMIME_PART(o));
  g.bflowed = g.ctype == "text/plain" && PARAMIS(o, "format", "flowed");
  g.bdelsp = g.bflowed && PARAMIS(o, "delsp", "yes");
  // Both convert alike only under these labels, for text valid in its
  // character set and without a byte-order mark (which ours follows).
  const std::string& d = g.cdecoded;
  bool bmark = d.starts_with("\xef\xbb\xbf") || d.starts_with("\xff\xfe") || d.starts_with("\xfe\xff");
  bool butf8 = g_ascii_strcasecmp(g.clabel.c_str(), "utf-8") == 0;
  bool blatin = g_ascii_strcasecmp(g.clabel.c_str(), "iso-8859-15") == 0 || g_ascii_strcasecmp(g.clabel.c_str(), "iso-8859-2") == 0;
  if (!bmark && d.find('\0') == std::string::npos && ((butf8 && g_utf8_validate(d.data(), d.size(), nullptr)) || blatin)) {
    char* ctext = g_mime_text_part_get_text(GMIME_TEXT_PART(o));
    g.cutf8 = ctext ? ctext : "";
    g.bconverted = ctext != nullptr;
    g_free(ctext);
  }
  vparts.push_back(std::move(g));
}

// The message's text parts by the tool's rules, walked in GMime's tree.
void WALK(GMimeObject* o, std::vector<GPART>& vparts) {
  auto btext = [](GMimeObject* p, const char* csub) { return GMIME_IS_TEXT_PART(p) && ISTYPE(p, "text", csub) && !ATTACHED(p); };
  if (ISTYPE(o, "message", "rfc822") && GMIME_IS_MESSAGE_PART(o)) {
    GMimeMessage* m = g_mime_message_part_get_message(GMIME_MESSAGE_PART(o));
    if (m && g_mime_message_get_mime_part(m)) WALK(g_mime_message_get_mime_part(m), vparts);
  } else if (GMIME_IS_MULTIPART(o)) {
    GMimeMultipart* mp = GMIME_MULTIPART(o);
    int n = g_mime_multipart_get_count(mp);
    if (!ISTYPE(o, "multipart", "alternative")) {
      for (int i = 0; i < n; ++i) WALK(g_mime_multipart_get_part(mp, i), vparts);
      return;
    }
    for (int i = 0; i < n; ++i)
      if (btext(g_mime_multipart_get_part(mp, i), "plain")) return TAKE(g_mime_multipart_get_part(mp, i), vparts);
    for (int i = 0; i < n; ++i) {
      const size_t nbefore = vparts.size();
      WALK(g_mime_multipart_get_part(mp, i), vparts);
      if (vparts.size() > nbefore) return;
    }
  } else if (btext(o, "plain") || btext(o, "html")) {
    TAKE(o, vparts);
  }
}

std::vector<GPART> GMIMEPARTS(std::string_view cmessage) {
  std::vector<GPART> vparts;
  GMimeStream* s = g_mime_stream_mem_new_with_buffer(cmessage.data(), cmessage.size());
  GMimeParser* p = g_mime_parser_new_with_stream(s);
  GMimeMessage* m = g_mime_parser_construct_message(p, nullptr);
  if (m && g_mime_message_get_mime_part(m)) WALK(g_mime_message_get_mime_part(m), vparts);
  if (m) g_object_unref(m);
  g_object_unref(p);
  g_object_unref(s);
  return vparts;
}

// GMime's parts, one line each: type, [label], decoded bytes, => UTF-8 where converted.
std::string SUMMARY(const std::vector<GPART>& vparts) {
  std::string c;
  for (const auto& g : vparts)
    c += g.ctype + " [" + g.clabel + "]" + (g.bflowed ? " flowed" : "") + (g.bdelsp ? " delsp" : "") + " " +
         SHOWN(g.cdecoded) + (g.bconverted ? " => " + SHOWN(g.cutf8) : "") + "\n";
  return c;
}

// Where two byte strings part, shown with a little of what comes before.
std::string WHERE(const std::string& a, const std::string& b) {
  size_t i = 0;
  while (i < a.size() && i < b.size() && a[i] == b[i]) ++i;
  size_t n = i > 30 ? i - 30 : 0;
  return "at byte " + std::to_string(i) + ": ours \"" + SHOWN(a.substr(n, 70)) + "\", gmime \"" + SHOWN(b.substr(n, 70)) + "\"";
}

// The first way our parts differ from GMime's, "" where they agree.
std::string DIFFERENCE(const std::vector<MAILPART>& vours, const std::vector<GPART>& vgmime, long long* pnconverted) {
  std::string cours, cgmime;
  for (const auto& p : vours) cours += p.CTYPE + " ";
  for (const auto& g : vgmime) cgmime += g.ctype + " ";
  if (cours != cgmime) return "parts: ours " + cours + "| gmime " + cgmime;
  for (size_t i = 0; i < vours.size(); ++i) {
    const MAILPART& o = vours[i];
    const GPART& g = vgmime[i];
    std::string cpart = "part " + std::to_string(i + 1) + " ";
    if (o.CLABEL != g.clabel) return cpart + "label: ours [" + o.CLABEL + "], gmime [" + g.clabel + "]";
    if (o.BFLOWED != g.bflowed || o.BDELSP != g.bdelsp) return cpart + "format=flowed or delsp=yes read differently";
    if (o.CDECODED != g.cdecoded) return cpart + "decoded " + WHERE(o.CDECODED, g.cdecoded);
    if (!g.bconverted) continue;
    ++*pnconverted;
    if (o.CUTF8 != g.cutf8) return cpart + "UTF-8 " + WHERE(o.CUTF8, g.cutf8);
  }
  return "";
}

// GMime's behaviour that the comparison relies on or steers clear of; where
// bours holds, our decoder must give the same parts.
struct FACT {
  const char* cwhat;
  std::string cmessage, cwant;
  bool bours;
};
const std::string QPHEAD = "MIME-Version: 1.0\nContent-Transfer-Encoding: quoted-printable\n\n";
const std::string B64HEAD = "MIME-Version: 1.0\nContent-Transfer-Encoding: base64\n\n";
const FACT FACTS[] = {
    {"qp: soft breaks, hex in either case, = without two hex digits as it stands", QPHEAD + "ab =E4=e4 =\ncd=\nx=ZZ y=4G=\n",
     "text/plain [] ab \\xe4\\xe4 cdx=ZZ y=4G\n", true},
    {"qp: hard line ends as they stand, also CR LF; soft break after CR LF",
     "MIME-Version: 1.0\r\nContent-Transfer-Encoding: QUOTED-PRINTABLE\r\n\r\na=3D=\r\nb\r\nc\r\n", "text/plain [] a=b\\r\\nc\\r\\n\n", true},
    {"qp: GMime keeps spaces and tabs at a line's end, also between = and the line end", QPHEAD + "a \t\nb=  \nc",
     "text/plain [] a \\t\\nb=  \\nc\n", false},
    {"qp: GMime takes = and two characters that are no hex pair as they stand, = among them too", QPHEAD + "=4=41 =G=\n",
     "text/plain [] =4=41 =G=\\n\n", false},
    {"qp: GMime drops = with one character at the body's end", QPHEAD + "a=4", "text/plain [] a\n", false},
    {"base64: bytes outside the alphabet skipped, lines of any length", B64HEAD + "QU JD\n!RE\n\tVG\nSA==\n", "text/plain [] ABCDEFH\n", true},
    {"base64: GMime stops at the padding and drops an incomplete group", B64HEAD + "QUJD!RA==QUJD\n", "text/plain [] ABCD\n", false},
    {"base64: GMime drops an incomplete group", B64HEAD + "QUJDRA", "text/plain [] ABC\n", false},
    {"RFC 2231: charset with character set and language, continuations of charset and boundary",
     "Content-Type: multipart/mixed; boundary*0=\"ab\";\n\tboundary*1=\"c d\"\n\n--abc d\nContent-Type: text/plain; "
     "charset*=us-ascii'en'utf-8\n\n1\n--abc d\nContent-Type: text/plain; charset*0=\"iso-8859\"; charset*1=\"-15\"\n\n2\n"
     "--abc d\nContent-Type: text/plain; charset*0*=''utf; charset*1*=-8\n\n3\n--abc d\nContent-Type: text/plain; charset=\"\"\n\n4\n--abc d--\n",
     "text/plain [utf-8] 1 => 1\ntext/plain [iso-8859-15] 2 => 2\ntext/plain [utf-8] 3 => 3\ntext/plain [] 4\n", true},
    {"no Content-Type: text/plain, in a digest message/rfc822; names and values in any case, folded fields",
     "MIME-VERSION: 1.0\nCONTENT-TYPE: MULTIPART/DIGEST;\n BOUNDARY=d\n\n--d\n\nSubject: a\n\none\n--d\ncontent-type:\n\tTEXT/PLAIN;"
     " CHARSET=UTF-8; FORMAT=Flowed; DelSp=Yes\n\ntwo\n--d--\n",
     "text/plain [] one\ntext/plain [UTF-8] flowed delsp two => two\n", true},
    {"the choice: attachments left out, an alternative's first text/plain else text/html, message/rfc822 walked into",
     "Content-Type: multipart/mixed; boundary=m\n\n--m\nContent-Type: multipart/alternative; boundary=a\n\n--a\nContent-Type: "
     "text/html\n\n<p>1</p>\n--a\nContent-Type: text/plain\nContent-Disposition: ATTACHMENT\n\n2\n--a\nContent-Type: text/plain\n\n3"
     "\n--a--\n--m\nContent-Type: text/plain\nContent-Disposition: attachment; filename=x.txt\n\n4\n--m\nContent-Type: message/rfc822\n"
     "Content-Disposition: attachment\n\nContent-Type: text/html\n\n<p>5</p>\n--m\nContent-Type: text/enriched\n\n6\n--m--\n",
     "text/plain [] 3\ntext/html [] <p>5</p>\n", true},
    {"CR LF before a boundary belongs to it; a boundary line may end in spaces",
     "Content-Type: multipart/mixed; boundary=b\r\n\r\n--b \t\r\n\r\none\r\n\r\n--b\r\n\r\ntwo\r\n--b--  \r\n",
     "text/plain [] one\\r\\n\ntext/plain [] two\n", true},
    {"GMime keeps the CR before a closing delimiter at the message's end without a line end",
     "Content-Type: multipart/mixed; boundary=b\r\n\r\n--b\r\n\r\none\r\n--b--", "text/plain [] one\\r\n", false},
    {"GMime converts utf-8, iso-8859-15 and iso-8859-2 to UTF-8, line ends kept",
     "Content-Type: multipart/mixed; boundary=b\n\n--b\nContent-Type: text/plain; charset=ISO-8859-15\n\n\xa4\xbd\r\n\n--b\n"
     "Content-Type: text/plain; charset=iso-8859-2\n\n\xb3\xf8\n--b\nContent-Type: text/plain; charset=utf-8\n\n\xc3\xa4\n--b--\n",
     "text/plain [ISO-8859-15] \\xa4\\xbd\\r\\n => \\xe2\\x82\\xac\\xc5\\x93\\r\\n\n"
     "text/plain [iso-8859-2] \\xb3\\xf8 => \\xc5\\x82\\xc5\\x99\ntext/plain [utf-8] \\xc3\\xa4 => \\xc3\\xa4\n", true},
};

TEST(MimeOracle, GmimeBehaviour) {
  for (const FACT& f : FACTS) {
    std::vector<GPART> vgmime = GMIMEPARTS(f.cmessage);
    EXPECT_EQ(SUMMARY(vgmime), f.cwant) << f.cwhat;
    long long nconverted = 0;
    if (f.bours) {
      EXPECT_EQ(DIFFERENCE(MAILPARTS(f.cmessage, true), vgmime, &nconverted), "") << f.cwhat;
    }
  }
}

// Messages of the forms registration mails come in, from a fixed seed: the
// same sequence on every run and with every compiler (each statement draws
// from the generator at most once where C++ leaves the order open).
class MAILGEN {
 public:
  std::string MESSAGE() {
    ceol = PICK(2) ? "\r\n" : "\n";  // one kind of line end a message
    nboundary = 0;
    return MESSAGEOF(0);
  }

 private:
  struct ENTITY {
    std::string chead, cbody;  // header fields, each with its line end; body
  };
  enum KIND { ASCII, UTF8, LATIN, W1252 };  // the bytes a text is written in
  std::mt19937 rng{20240611};
  std::string ceol;
  int nboundary = 0;

  unsigned PICK(size_t n) { return rng() % n; }
  bool CHANCE(unsigned npercent) { return PICK(100) < npercent; }
  template <class T> T ONEOF(std::initializer_list<T> l) { return l.begin()[PICK(l.size())]; }

  // A name or value as given, or in lower or upper case.
  std::string CASED(std::string c) {
    unsigned n = PICK(6);
    for (char& ch : c) ch = n == 0 ? g_ascii_toupper(ch) : n == 1 ? g_ascii_tolower(ch) : ch;
    return c;
  }
  // A header field, its value now and then on a continuation line, right
  // behind the colon or followed by a space.
  std::string FIELD(const std::string& cname, const std::string& cvalue) {
    std::string c = CASED(cname);
    c += ONEOF({": ", ": ", ": ", ":"});
    if (CHANCE(5)) c += ceol + "\t";
    return c + cvalue + (CHANCE(5) ? " " : "") + ceol;
  }
  // "; " before a parameter, or a fold onto a continuation line.
  std::string SEP() { return CHANCE(25) ? ";" + ceol + ONEOF({" ", "\t", "  "}) : "; "; }
  void ADDPARAM(std::string& c, const std::string& cname, const std::string& cvalue) {
    c += SEP();
    c += PARAM(cname, cvalue);
  }
  // A parameter as a token, a quoted string, RFC 2231 with character set
  // and language, or in two RFC 2231 pieces.
  std::string PARAM(const std::string& cname, const std::string& cvalue) {
    bool btoken = !cvalue.empty() && cvalue.find_first_of(" ()<>@,;:\\\"/[]?='%*") == std::string::npos;
    std::string cn = CASED(cname);
    unsigned n = PICK(6);
    if (n <= 1 && btoken) return cn + "=" + cvalue;
    if (n == 2 && btoken) return cn + "*=" + ONEOF({"us-ascii'en'", "''", "utf-8''"}) + cvalue;
    if (n == 3 && cvalue.size() >= 2) {
      size_t i = 1 + PICK(cvalue.size() - 1);
      if (btoken && CHANCE(50)) return cn + "*0*=''" + cvalue.substr(0, i) + SEP() + cn + "*1=" + cvalue.substr(i);
      return cn + "*0=\"" + cvalue.substr(0, i) + "\"" + SEP() + cn + "*1=\"" + cvalue.substr(i) + "\"";
    }
    return cn + "=\"" + cvalue + "\"";
  }

  std::string WORD(KIND nkind) {
    std::string c = ONEOF({"Anmeldung", "Name:", "Eva", "Meier", "Kurs", "12.05.2024", "Telefon", "a=b", "x=41", "50%",
                           "=", "=ZZ", "=4G", "(ja)", "<p>", "E-Mail", "Nr.", "--", ""});
    if (nkind == ASCII || CHANCE(60)) return c;
    if (nkind == UTF8) return c + ONEOF({"\xc3\xa4", "\xc3\x9f", "\xe2\x82\xac", "\xc5\x82", "\xe6\xbc\xa2", "\xf0\x9f\x98\x80"});
    return c + static_cast<char>(nkind == LATIN ? 0xa0 + PICK(96) : 0x80 + PICK(128));
  }
  // Lines of words, a long one now and then, some ending in spaces.
  std::string TEXT(KIND nkind, const std::string& cend, bool bhtml) {
    std::string c = bhtml ? "<html><body>" : "";
    for (unsigned nline = PICK(7); nline-- > 0;) {
      for (unsigned nword = CHANCE(10) ? 40 + PICK(80) : PICK(12); nword-- > 0;) c += WORD(nkind) + " ";
      c += ONEOF({"", "", "", "x", " ", "\t", "  "});
      if (nline || CHANCE(70)) c += cend;
    }
    return bhtml ? c + "</body></html>" + cend : c;
  }

  // Quoted-printable with soft breaks within 76 characters, at random or
  // none; a line never ends in a space or a tab (see the file's head).
  std::string QP(const std::string& ctext) {
    const char* chex = CHANCE(30) ? "0123456789abcdef" : "0123456789ABCDEF";
    unsigned nbreaks = PICK(3);
    bool bwide = CHANCE(5);  // bytes above 127 left as they stand
    auto bplain = [](unsigned char ch) { return ch > 32 && ch < 127 && ch != '='; };
    std::string cout, cline;
    for (size_t i = 0; i < ctext.size(); ++i) {
      unsigned char ch = ctext[i];
      if (ctext.compare(i, ceol.size(), ceol) == 0) {
        cout += cline + ceol;
        cline.clear();
        i += ceol.size() - 1;
        continue;
      }
      bool bend = i + 1 == ctext.size() || ctext.compare(i + 1, ceol.size(), ceol) == 0;
      std::string ctoken(1, static_cast<char>(ch));
      if (ch == '=' && i + 2 < ctext.size() && bplain(ctext[i + 1]) && bplain(ctext[i + 2]) &&
          !(g_ascii_isxdigit(ctext[i + 1]) && g_ascii_isxdigit(ctext[i + 2])) && CHANCE(50)) {
        ctoken = ctext.substr(i, 3);  // "=" as it stands, no hex pair after it
        i += 2;
      } else if (!(bplain(ch) || ((ch == ' ' || ch == '\t') && !bend) || (ch > 127 && bwide)) || CHANCE(2)) {
        ctoken = {'=', chex[ch >> 4], chex[ch & 15]};
      }
      if ((nbreaks == 0 && cline.size() + ctoken.size() > 75) || (nbreaks == 1 && CHANCE(8))) {
        cout += cline + "=" + ceol;
        cline.clear();
      }
      cline += ctoken;
    }
    return cout + cline + (CHANCE(15) ? "=" + ceol : "");
  }
  // Base64 (GLib's) in lines of 76 characters or of other lengths, now and
  // then with bytes outside its alphabet between its characters.
  std::string BASE64(const std::string& cdata) {
    gchar* cencoded = g_base64_encode(reinterpret_cast<const guchar*>(cdata.data()), cdata.size());
    std::string c = cencoded, cout;
    g_free(cencoded);
    size_t nline = CHANCE(25) ? 4 + PICK(150) : ONEOF<size_t>({76, 76, 64, 72, 100000});
    bool bjunk = CHANCE(20);
    for (size_t i = 0; i < c.size(); ++i) {
      if (i && i % nline == 0) cout += ceol;
      if (bjunk && c[i] != '=' && CHANCE(5)) cout += ONEOF({' ', '\t', '!', '*', '.', '#', ':'});
      cout += c[i];
    }
    return cout + (CHANCE(80) ? ceol : "");
  }

  // A text/plain or text/html part, attached or not.
  ENTITY TEXTPART(bool bhtml, bool battached, bool btypeneeded) {
    static const struct {
      const char* clabel;  // nullptr: no charset parameter
      KIND nkind;
    } LABELS[] = {{nullptr, ASCII}, {nullptr, UTF8}, {nullptr, W1252}, {"us-ascii", ASCII}, {"US-ASCII", UTF8}, {"", W1252},
                  {"utf-8", UTF8}, {"UTF-8", UTF8}, {"utf-8", UTF8}, {"iso-8859-15", LATIN}, {"ISO-8859-15", LATIN},
                  {"iso-8859-15", LATIN}, {"iso-8859-2", LATIN}, {"ISO-8859-2", LATIN}, {"iso-8859-2", LATIN},
                  {"windows-1252", W1252}, {"windows-1250", W1252}, {"iso-8859-1", W1252}, {"x-unknown", W1252}};
    const auto& l = LABELS[PICK(std::size(LABELS))];
    unsigned nencoding = PICK(10);  // 0-3: quoted-printable, 4-5: base64, else as it stands
    std::string cend = nencoding >= 4 && nencoding <= 5 && CHANCE(50) ? "\r\n" : ceol;
    std::string cbody = l.nkind == W1252 && CHANCE(10) ? "\xef\xbb\xbf" : "";  // a byte-order mark
    cbody += TEXT(l.nkind, cend, bhtml);
    std::string ctype = CASED(bhtml ? "text/html" : "text/plain");
    if (CHANCE(10)) ADDPARAM(ctype, "name", "a; charset=koi8-r.txt");  // no charset: a quoted name
    if (l.clabel) ADDPARAM(ctype, "charset", l.clabel);
    bool bflowed = !bhtml && CHANCE(15);
    if (bflowed) ctype += "; format=" + CASED("flowed");
    if (bflowed && CHANCE(50)) ADDPARAM(ctype, "delsp", "yes");
    if (battached && CHANCE(50)) ADDPARAM(ctype, "name", "anmeldung.txt");
    ENTITY e;
    if (btypeneeded || l.clabel || bhtml || CHANCE(60)) e.chead += FIELD("Content-Type", ctype);
    if (nencoding <= 3) {
      e.chead += FIELD("Content-Transfer-Encoding", CASED("quoted-printable"));
      cbody = QP(cbody);
    } else if (nencoding <= 5) {
      e.chead += FIELD("Content-Transfer-Encoding", CASED("base64"));
      cbody = BASE64(cbody);
    } else if (CHANCE(70)) {
      e.chead += FIELD("Content-Transfer-Encoding", ONEOF({"7bit", "8bit", "8BIT", "binary", "x-token"}));
    }
    std::string cdisposition = CASED(battached ? "attachment" : "inline");
    if (battached && CHANCE(50)) ADDPARAM(cdisposition, "filename", "a b.txt");
    if (battached || CHANCE(20)) e.chead += FIELD("Content-Disposition", cdisposition);
    e.cbody = cbody;
    return e;
  }
  // A part that is no text of the message: a picture, a file, enriched text.
  ENTITY OTHERPART() {
    if (CHANCE(25)) return {FIELD("Content-Type", "text/enriched; charset=utf-8"), "<bold>Eva</bold>" + ceol};
    std::string cdata, ctype = ONEOF({"image/png", "image/jpeg", "application/pdf"});
    for (unsigned n = 50 + PICK(1500); n-- > 0;) cdata += static_cast<char>(rng());
    ADDPARAM(ctype, "name", "bild 1.png");
    ENTITY e{FIELD("Content-Type", ctype), BASE64(cdata)};
    e.chead += FIELD("Content-Transfer-Encoding", "base64");
    if (CHANCE(60)) e.chead += FIELD("Content-Disposition", ONEOF({"inline", "attachment; filename=\"bild 1.png\""}));
    return e;
  }
  // The parts between delimiter lines, some with spaces after them; a
  // preamble and an epilogue now and then.
  ENTITY MULTIPART(const std::string& csub, const std::vector<ENTITY>& vparts) {
    static const char* const BCHARS = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789'()+_,-./:=? ";
    // All boundaries of a message have one length: none begins another.
    std::string cboundary = "=_" + std::to_string(10 + nboundary++);
    for (int i = 0; i < 10; ++i) cboundary += BCHARS[PICK(i == 9 ? 62 : 75)];
    std::string ctype = CASED("multipart/" + csub);
    ADDPARAM(ctype, "boundary", cboundary);
    ENTITY e{FIELD("Content-Type", ctype), CHANCE(50) ? "This is a multi-part message in MIME format." + ceol : ""};
    for (const ENTITY& p : vparts) e.cbody += "--" + cboundary + (CHANCE(5) ? " \t" : "") + ceol + p.chead + ceol + p.cbody + ceol;
    // GMime keeps the CR before a closing delimiter that ends the message
    // without a line end: after CR LF the closing line ends in one.
    e.cbody += "--" + cboundary + "--" + (ceol == "\n" && CHANCE(30) ? "" : ceol + (CHANCE(20) ? "epilogue" + ceol : ""));
    return e;
  }
  // A forwarded message, attached or not; in a digest mostly without Content-Type.
  ENTITY FORWARDED(int ndepth, bool bdigest) {
    std::string chead = bdigest && CHANCE(70) ? "" : FIELD("Content-Type", CASED("message/rfc822"));
    if (!bdigest && CHANCE(50)) chead += FIELD("Content-Disposition", CASED(ONEOF({"attachment", "inline"})) + "; filename=\"fwd.eml\"");
    return {chead, MESSAGEOF(ndepth + 1)};
  }
  // Any part; deeper down more and more single parts.
  ENTITY ANY(int ndepth) {
    unsigned n = PICK(ndepth >= 3 ? 40 : 100);
    if (n < 25) return TEXTPART(false, false, false);
    if (n < 30) return TEXTPART(n < 28, true, true);
    if (n < 34) return TEXTPART(true, false, true);
    if (n < 40) return OTHERPART();
    std::vector<ENTITY> v;
    if (n < 60) {
      // The alternatives: t plain, h html, T and H attached, r html with pictures, e enriched text.
      for (char ch : std::string(ONEOF({"th", "th", "ht", "h", "Tth", "Th", "eh", "tr", "r", "hh", "Hht", "t", "ThTh"}))) {
        if (ch == 'r') v.push_back(MULTIPART("related", {TEXTPART(true, false, true), OTHERPART()}));
        else if (ch == 'e') v.push_back(OTHERPART());
        else v.push_back(TEXTPART(g_ascii_tolower(ch) == 'h', g_ascii_isupper(ch), true));
      }
      return MULTIPART("alternative", v);
    }
    if (n < 75) {
      for (unsigned k = 1 + PICK(4); k-- > 0;) v.push_back(ANY(ndepth + 1));
      return MULTIPART(ONEOF({"mixed", "mixed", "related", "report"}), v);
    }
    if (n < 85) return FORWARDED(ndepth, false);
    for (unsigned k = 1 + PICK(3); k-- > 0;) v.push_back(CHANCE(80) ? FORWARDED(ndepth + 1, true) : TEXTPART(false, false, true));
    return MULTIPART("digest", v);
  }
  // A header block with MIME-Version, Content-Type or both, then the body;
  // now and then a field whose value and continuation line look like Content-Type.
  std::string MESSAGEOF(int ndepth) {
    ENTITY e = ANY(ndepth);
    bool btyped = g_ascii_strncasecmp(e.chead.c_str(), "content-type", 12) == 0;
    std::string chead = FIELD("From", "Eva Meier <eva@example.org>");
    chead += FIELD("Subject", "Anmeldung");
    if (CHANCE(10)) chead += FIELD("X-Note", "Content-Type: text/html") + "\tContent-Type: text/html" + ceol;
    if (!btyped || CHANCE(ndepth ? 50 : 85)) chead = FIELD("MIME-Version", "1.0") + chead;
    return (CHANCE(50) ? chead + e.chead : e.chead + chead) + ceol + e.cbody;
  }
};

TEST(MimeOracle, AgreesWithGmime) {
  constexpr int NMESSAGES = 3000;
  MAILGEN gen;
  long long nparts = 0, nconverted = 0, ndifferences = 0;
  for (int i = 0; i < NMESSAGES; ++i) {
    std::string cmessage = gen.MESSAGE();
    std::vector<GPART> vgmime = GMIMEPARTS(cmessage);
    nparts += vgmime.size();
    std::string cdifference = DIFFERENCE(MAILPARTS(cmessage, true), vgmime, &nconverted);
    if (!cdifference.empty() && ++ndifferences <= 3)
      ADD_FAILURE() << "message " << i << ": " << cdifference << "\n" << SHOWN(cmessage.substr(0, 4000));
  }
  std::printf("gmime comparison: %d messages, %lld text parts, %lld conversions, %lld differences\n", NMESSAGES, nparts,
              nconverted, ndifferences);
  EXPECT_EQ(ndifferences, 0);
  // The generator reaches what the comparison is for.
  EXPECT_GT(nparts, NMESSAGES);
  EXPECT_GT(nconverted, NMESSAGES / 2);
}

}  // namespace
