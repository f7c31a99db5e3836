// Reader of the job authorization file.
#include "auth_json.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "test_support.h"

using namespace testing_support;

namespace {

// Slots as the header builder hands them over: zeroed, with a marker in the
// last one to see what a failed read leaves alone.
struct Slots {
  char v[kJsonMaxTokens][kJsonTokenSize] = {};
  Slots() { std::strcpy(v[kJsonSlots - 1], "untouched"); }
};

BOOL Parse(const PrivateRoot& root, const std::string& text, Slots& s) {
  std::string path = root.Path("/tmp/a.txt");
  WriteFile(path, text);
  return ParseJSON(path.c_str(), s.v);
}

}  // namespace

TEST(ParseJSON, SevenKeysInAnyCaseFillTheirSlots) {
  PrivateRoot root;
  Slots s;
  ASSERT_TRUE(
      Parse(root,
            "junk before {\"authcode\": \"A\", \"UserName\":\"U\",\"ACCTPASS\":\"P\",\"Duplex\":\"ON\","
            "\"DUPLEXTYPE\":\"BOOKLET\", \"NotifyUrl\":\"N\", \"CHECKAUTHCODEURL\": \"C\"}",
            s));
  const char* expected[kJsonSlots] = {"A", "U", "P", "ON", "BOOKLET", "N", "C"};
  for (int i = 0; i < kJsonSlots; ++i) EXPECT_STREQ(s.v[i], expected[i]) << i;
}

TEST(ParseJSON, NonStringValueTakesTheNextStringAndLaterPairsWin) {
  PrivateRoot root;
  Slots s;
  ASSERT_TRUE(Parse(root, "{\"AUTHCODE\": 12, \"note\": \"x\", \"USERNAME\":\"a\", \"USERNAME\":\"b\"}", s));
  EXPECT_STREQ(s.v[0], "note");
  EXPECT_STREQ(s.v[1], "b");
  EXPECT_STREQ(s.v[2], "");
}

TEST(ParseJSON, BraceInsideAStringDoesNotEndTheObject) {
  PrivateRoot root;
  Slots s;
  ASSERT_TRUE(Parse(root, "{\"NOTIFYURL\":\"http://h/}x\", \"ACCTPASS\":\"pw\"}", s));
  EXPECT_STREQ(s.v[5], "http://h/}x");
  EXPECT_STREQ(s.v[2], "pw");
}

TEST(ParseJSON, UnreadableOrUnfinishedFilesFailAndLeaveTheSlots) {
  PrivateRoot root;
  for (const char* text : {"", "no object here", "{\"AUTHCODE\":\"A\"", "{\"AUTHCODE\":\"A}"}) {
    Slots s;
    EXPECT_FALSE(Parse(root, text, s)) << text;
    EXPECT_STREQ(s.v[0], "") << text;
    EXPECT_STREQ(s.v[kJsonSlots - 1], "untouched") << text;
  }
  Slots s;
  EXPECT_FALSE(ParseJSON(root.Path("/tmp/none.txt").c_str(), s.v));
}

TEST(ParseJSON, KeepsFiftyTokensOfAtMost127Characters) {
  PrivateRoot root;
  std::string text = "{\"AUTHCODE\":\"" + std::string(300, 'a') + "\"";
  for (int i = 0; i < 23; ++i) text += ",\"k" + std::to_string(i) + "\":\"v\"";  // tokens 2..47
  text += ",\"ACCTPASS\":\"in\"";                                                // tokens 48, 49
  text += ",\"USERNAME\":\"out\"}";                                              // beyond the table
  Slots s;
  ASSERT_TRUE(Parse(root, text, s));
  EXPECT_EQ(std::string(s.v[0]), std::string(127, 'a'));
  EXPECT_STREQ(s.v[2], "in");
  EXPECT_STREQ(s.v[1], "");
}
