// Reading a mail: the text that the fields are taken from, found in the
// bytes of mail.txt as they really arrive (a plain text, a text with a
// byte-order mark, a message as a mail program saves it), and its character set.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "charset.h"

namespace meld {

// Bytes read from the start of every mail; a plain text is no longer.
constexpr long long NMAILREAD = 50000;
// Bytes read of a message or a UTF-16 text, which may carry a photo.
constexpr long long NMAILWHOLE = 8 * 1024 * 1024;

// What the first bytes of a mail show it to be.
enum class MAILKIND {
  PLAIN,    // a text as it stands
  UNICODE,  // a text that begins with a byte-order mark
  MESSAGE,  // an Internet message with MIME fields in its header block
  OPEN,     // a header block that goes on beyond the bytes seen: read on
};

// Looks at the start of craw only as far as needed: the mark, or the header
// block up to its end or its first line that is no header field.
MAILKIND MAILKINDOF(std::string_view craw);

// Whether a mail of which craw is the first read goes on to NMAILWHOLE
// bytes: a message (also behind a UTF-8 mark) or a UTF-16 text.
bool READSON(std::string_view craw);

// UTF8 when the bytes of a plain text form valid UTF-8 (a character cut
// short at NMAILREAD bytes aside), else WINDOWS1252.
CHARSET PLAINCHARSET(std::string_view ctext);

// The text a mail's bytes give and its character set: a plain text as it
// stands (UTF8 when all its bytes form valid UTF-8, else WINDOWS1252, found
// only when asked: see PLAINCHARSET), a text with a mark or a message
// decoded into UTF-8; cut at its first byte 0 and at NMAILREAD bytes.
// BAUTOMATIC comes from the header block at the mail's start (a message's
// own, never that of an enclosed one).
struct MAILTEXT {
  std::string CTEXT;
  CHARSET NCHARSET = CHARSET::NONE;  // NONE: a plain text, not yet looked at
  // An automatic reply or report (RFC 3834, RFC 6522): Auto-Submitted other
  // than "no" and "auto-generated", X-Autoreply or X-Autorespond other than
  // "no", Precedence: auto_reply, or a multipart/report; first words, any case.
  bool BAUTOMATIC = false;
};
MAILTEXT MAILTEXTOF(std::string craw);

// What names a mail's bytes wherever they are saved: the Message-ID of the
// header block at its start as it stands (control bytes as "?"), else
// "sha256:" and the digest of the bytes.
std::string MAILKEY(std::string_view craw);

// One text part of a message, as the message's text takes it.
struct MAILPART {
  std::string CTYPE;     // "text/plain" or "text/html"
  std::string CLABEL;    // its charset parameter as given, "" for none
  std::string CDECODED;  // its body, transfer encoding decoded (only where asked for)
  std::string CUTF8;     // the same in UTF-8, before format=flowed or HTML
  bool BFLOWED = false;  // text/plain with format=flowed
  bool BDELSP = false;   // and delsp=yes
};

// The text parts of a message, in the order its text joins them: depth
// first through multipart/* and message/rfc822, of an alternative its
// text/plain, else the first alternative that gives text, no part marked
// as an attachment. CDECODED
// is kept only with bdecodedtoo: the import needs the UTF-8 alone.
std::vector<MAILPART> MAILPARTS(std::string_view cmessage, bool bdecodedtoo = false);

// A part's text in its final form: format=flowed unwrapped, HTML turned into text.
std::string PARTTEXT(const MAILPART& p);

// format=flowed text unwrapped: each paragraph becomes one line.
std::string UNFLOW(std::string_view ctext, bool bdelsp);

// The transfer decodings (transfer.cpp).
std::string QPDECODE(std::string_view ctext);
std::string BASE64DECODE(std::string_view ctext);

}  // namespace meld
