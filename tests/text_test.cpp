#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "text.h"

using namespace meld;

TEST(Text, SubstrTable) {
  struct Case {
    long long nstart, ncount;
    const char* cwant;
  } cases[] = {
      {1, 2, "ab"}, {0, 2, "ab"}, {5, 10, "ef"}, {6, 5, "f"},   {7, 1, ""},     {50, 1, ""},
      {3, 0, ""},   {3, -1, ""},  {-2, 1, "e"},  {-10, 3, "abc"}, {0, 100, "abcdef"}, {-6, 2, "ab"},
  };
  for (const auto& c : cases)
    EXPECT_EQ(SUBSTR("abcdef", c.nstart, c.ncount), c.cwant) << "start " << c.nstart << " count " << c.ncount;
  for (long long nstart : {-3LL, 0LL, 1LL, 2LL}) EXPECT_EQ(SUBSTR("", nstart, 3), "");
  EXPECT_EQ(SUBSTR("x", 2, 1), "");
}

TEST(Text, AtAndContainment) {
  struct Case {
    const char* cfrag;
    const char* ctext;
    long long nwant;
  } cases[] = {
      {"b", "abab", 2}, {"ab", "xxab", 3}, {"", "abc", 0}, {"", "", 0}, {"abcd", "abc", 0},
      {"name: ", "Name: Eva", 0}, {"c", "abc", 3}, {"abc", "abc", 1},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(AT(c.cfrag, c.ctext), c.nwant) << c.cfrag << " in " << c.ctext;
    EXPECT_EQ(CONTAINS(c.cfrag, c.ctext), c.nwant != 0);
  }
  const std::string cbin("a\0\xff", 3);
  EXPECT_EQ(AT(std::string("\xff", 1), cbin), 3);
  EXPECT_EQ(AT(std::string("\0", 1), cbin), 2);
}

TEST(Text, EqualityIsPrefixTolerant) {
  struct Case {
    std::string a, b;
    bool bwant;
  } cases[] = {
      {"abc", "ab", true}, {"ab", "abc", false}, {"", "\r", false}, {"\r", "", true}, {"", "", true},
      {"Name: Eva", "Name", true}, {"abd", "abc", false}, {"\xe4", "\xe4", true},
  };
  for (const auto& c : cases) EXPECT_EQ(EQ(c.a, c.b), c.bwant) << c.a << " = " << c.b;
}

TEST(Text, LessThanByUnsignedBytes) {
  struct Case {
    std::string a, b;
    bool bwant;
  } cases[] = {
      {"", " ", true}, {"", "", false}, {"a", "", false}, {"\t", " ", true}, {"\r", " ", true},
      {"\x1f", " ", true}, {" ", " ", false}, {"\x80", " ", false}, {"\xff", " ", false}, {"ab", "abc", true},
      {"abc", "ab", false}, {std::string("\0", 1), " ", true},
  };
  for (const auto& c : cases) EXPECT_EQ(LT(c.a, c.b), c.bwant) << '"' << c.a << "\" < \"" << c.b << '"';
}

TEST(Text, NumbersIntDivStr) {
  EXPECT_EQ(DIV(12, 5), 2.4);
  for (long long nlen = 10; nlen <= 14; ++nlen) EXPECT_EQ(INT(DIV(nlen, 5)), 2);
  EXPECT_EQ(INT(DIV(1000, 5)), 200);
  EXPECT_EQ(INT(2.8), 2);
  EXPECT_EQ(INT(-2.8), -2);
  EXPECT_EQ(INT(std::nextafter(3.0, 0.0)), 3);  // one unit short of a whole number
  struct Case {
    long long n;
    const char* cwant;
  } cases[] = {{0, " 0"}, {5, " 5"}, {42, "42"}, {99, "99"}, {100, "**"}, {200, "**"}, {-5, "-5"}, {-10, "**"}};
  for (const auto& c : cases) EXPECT_EQ(STR(c.n, 2, 0), c.cwant) << c.n;
  EXPECT_EQ(STR(7, 4, 0), "   7");
}

// Known digests, across the one- and two-block padding.
TEST(Text, Sha256) {
  EXPECT_EQ(SHA256HEX(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  EXPECT_EQ(SHA256HEX("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  EXPECT_EQ(SHA256HEX("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
            "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
}
