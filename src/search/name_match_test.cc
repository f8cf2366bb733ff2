#include "search/name_match.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

namespace varnok {
namespace {

struct MatchCase {
  const char* pattern;
  const char* name;
  bool matches;
};

TEST(NamePattern, WindowsWildcardRules) {
  const MatchCase cases[] = {
      {"setup.ini", "SETUP.INI", true},   {"setup.ini", "setup.ini.bak", false},
      {"setup.ini", "setup_ini", false},  {"test?.ini", "test.ini", true},
      {"test?.ini", "test1.ini", true},   {"test?.ini", "test12.ini", false},
      {"a?c", "a.c", false},              {"a??", "a", true},
      {"foo.*", "foo", true},             {"foo.*", "foo.txt", true},
      {"foo.*", "foobar", false},         {"foo.?", "foo", true},
      {"*", "noext", true},               {"*.*", "noext", true},
      {"*.*", ".hidden", true},           {"*.ini", "a.b.INI", true},
      {"*.ini", "a.ini.txt", false},      {"s*p.ini", "setup.ini", true},
      {"*p*p*", "pp", true},              {"setup.ini. . ", "setup.ini", true},
      {"...", "...", false},              {"", "x", false},
      {"\xC4.ini", "\xE4.ini", false},  {"zeta.Zz", "ZETA.zZ", true},
      {"*z?", "AZy", true},
  };
  for (const MatchCase& c : cases) {
    EXPECT_EQ(NamePattern(c.pattern).Matches(c.name), c.matches)
        << "pattern \"" << c.pattern << "\", name \"" << c.name << "\"";
  }
}

TEST(NamePattern, QuestionMarkTakesOneUtf8Character) {
  const MatchCase cases[] = {
      {"a?b", "a\xCE\xA9" "b", true},           {"a??b", "a\xCE\xA9" "b", false},
      {"?.ini", "\xE8\xA1\xA8.ini", true},      {"a?b", "a\xF0\x9F\x98\x80" "b", true},
      {"?\xA9", "\xCE\xA9", false},             {"a?b", "a\x80" "b", true},
      {"a?b", "a\xC3" "b", true},                {"a?", "a\xC3\xA9\xA9", false},
      {"a??", "a\xC3\xA9\xA9", true},           {"?", "\xE8\xA1", true},
  };
  for (const MatchCase& c : cases) {
    EXPECT_EQ(NamePattern(c.pattern).Matches(c.name), c.matches)
        << "pattern \"" << c.pattern << "\", name \"" << c.name << "\"";
  }
}

TEST(NamePattern, ExactNameOnlyWithoutWildcards) {
  EXPECT_TRUE(NamePattern("Setup.ini").IsExactly("Setup.ini"));
  EXPECT_TRUE(NamePattern("Setup.ini.").IsExactly("Setup.ini"));
  EXPECT_FALSE(NamePattern("Setup.ini").IsExactly("setup.ini"));
  EXPECT_FALSE(NamePattern("*").IsExactly("*"));
  EXPECT_TRUE(NamePattern(". .").MatchesNothing());
}

TEST(ListingOrder, SortsLikeNtfs) {
  std::vector<std::string> names = {"b", "_x", "z", "B", "a", "Z", "ab", "A", "\xE4", "1"};
  std::sort(names.begin(), names.end(),
            [](const std::string& x, const std::string& y) { return CompareListingOrder(x, y) < 0; });
  const std::vector<std::string> expected = {"1", "A", "a", "ab", "B", "b", "Z", "z", "_x", "\xE4"};
  EXPECT_EQ(names, expected);
  EXPECT_EQ(CompareListingOrder("same", "same"), 0);
}

}  // namespace
}  // namespace varnok
