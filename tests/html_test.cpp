#include <gtest/gtest.h>

#include <string>

#include "html.h"

using namespace meld;

TEST(Html, TextTable) {
  struct Case {
    std::string chtml, cwant;
  } cases[] = {
      // Cells join with one space, the row ends the line.
      {"<tr><td>Name:</td><td>Erika</td></tr>", "Name: Erika\r\n"},
      {"<p>Name: J&uuml;rgen</p>", "Name: J\xc3\xbcrgen\r\n"},
      {"Name:<br>\r\n  Erika", "Name:\r\nErika"},
      // Breaks in any case and form; start tags of blocks end no line.
      {"a<BR/>b<hr class=\"x\" />c<br >d</br>e", "a\r\nb\r\nc\r\nd\r\ne"},
      {"<p>a<div>b</DIV>c</P >d", "ab\r\nc\r\nd"},
      {"<h1>T</h1><h6>U</h6><h7>V</h7><li>W</li>", "T\r\nU\r\nVW\r\n"},
      {"<table><tr><th>a</th><td>b </td></tr></table>", "a b\r\n\r\n"},
      {"</p><p></p>", "\r\n\r\n"},
      {"<tdx>a</tdx>b</pre>c</header>d", "abcd"},
      // A ">" in a quoted value does not end the tag; a quote not after "="
      // is no value.
      {"<a title=\"x>y\" href = '>'>link</a>", "link"},
      {"<p class=x'y>z</p>", "z\r\n"},
      // A "<" that starts no tag is text; a tag without its ">" runs to the end.
      {"1<2 and 3>2 < b </ c <", "1<2 and 3>2 < b </ c <"},
      {"a<p class=\"x>b", "a"},
      {"a<!-- <p>x</p> -- -->b<!-->c<!--->d<!DOCTYPE html><?xml v=\"1\"?>e", "abcde"},
      {"a<!-- open", "a"},
      // Dropped content, up to the end tag of the same name only.
      {"<head><title>T</title></head>a<SCRIPT type=x>if (a<b) {}</script >b", "ab"},
      {"<script>x</scripts>y</script>z<style>p{}</STYLE>w<header>h</header>", "zwh"},
      {"a<style>b</p>", "a"},
      // Spaces and tabs collapse, none at either end of a line.
      {"  a \t\t b  <br>  c  \r\n", "a b\r\nc"},
      {"&nbsp;&nbsp;x", "x"},
      {"a&nbsp; b&NonBreakingSpace;c", "a b c"},
      {"a&Tab;&NewLine;b&#10;&#13;", "a b"},
      // Decoded once only; a decoded "<" is text.
      {"&amp;lt; &AMP; &lt;p&gt;x&lt;/p&gt;", "&lt; & <p>x</p>"},
      {"&foo; &amp &#65 &#; &#x; &#xg; &Amp; &AMP", "&foo; &amp &#65 &#; &#x; &#xg; &Amp; &AMP"},
      {"&alpha;&fjlig;&NotEqualTilde;&", "&alpha;&fjlig;&NotEqualTilde;&"},
      {"&#65;&#x42;&#X43;&#x6a;&#x6A;&#0065;", "ABCjjA"},
      {"&#0;&#x110000;&#xD800;&#xDFFF;&#4294967361;&#x100000041;",
       "\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd"},
      {"&#x80;&#130;&#x9F;&#x81;&#x9d;", "\xe2\x82\xac\xe2\x80\x9a\xc5\xb8\xc2\x81\xc2\x9d"},
      {"&#xFFFF;&#x10FFFF;&#xE9;&#x20AC;&#xD7FF;", "\xef\xbf\xbf\xf4\x8f\xbf\xbf\xc3\xa9\xe2\x82\xac\xed\x9f\xbf"},
      {"&half;&COPY;&Dot;&die;&euro;&trade;&Yuml;&quot;&apos;&yuml;",
       "\xc2\xbd\xc2\xa9\xc2\xa8\xc2\xa8\xe2\x82\xac\xe2\x84\xa2\xc5\xb8\"'\xc3\xbf"},
      // Bytes of the text pass as they are.
      {std::string("\xc3\xa4\xff\0\x7f", 5), std::string("\xc3\xa4\xff\0\x7f", 5)},
  };
  for (const auto& c : cases) EXPECT_EQ(HTMLTEXT(c.chtml), c.cwant) << c.chtml;

  // Linear time on a mail of 8 MiB, also when a reference or a tag would be
  // read again and again.
  const std::string cbig = std::string(8 << 20, 'a');
  EXPECT_EQ(HTMLTEXT("&" + cbig + ";").size(), cbig.size() + 2);
  EXPECT_EQ(HTMLTEXT("<p>a&amp;</p>" + std::string(8 << 20, '<')).size(), (8u << 20) + 4);
}
