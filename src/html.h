// HTML to text: what a mail in HTML only shows, as lines of text.
#pragma once

#include <string>
#include <string_view>

namespace meld {

// The text of an HTML document in UTF-8: tags removed; <br>, <hr> and the
// ends of p, div, tr, li, table and h1 to h6 end a line (CR LF); the ends of
// td and th become one space; the content of script, style and head is
// dropped; character references decoded; the source's line breaks are
// spaces; within a line runs of spaces and tabs become one space, and spaces
// at the start and the end of a line are dropped.
std::string HTMLTEXT(std::string_view chtml);

}  // namespace meld
