// Reader of the job authorization file.
#include "auth_json.h"

#include <fcntl.h>

#include "test_support.h"

using namespace testing_support;

TEST(ParseJSON, KeysInAnyCaseFillTheirSlotsAndBadFilesLeaveThemAlone) {
  PrivateRoot root;
  const std::string a127(127, 'a');
  std::string many = "{\"AUTHCODE\":\"" + std::string(300, 'a') + "\"";
  for (int i = 0; i < 23; ++i) many += ",\"k" + std::to_string(i) + "\":\"v\"";  // tokens 2..47
  many += ",\"ACCTPASS\":\"in\",\"USERNAME\":\"out\"}";                          // 48, 49, and beyond 50
  const struct {
    std::string text;
    bool ok;
    std::vector<std::string> slots;  // AUTHCODE ... CHECKAUTHCODEURL; the last one starts as "untouched"
  } cases[] = {
      {"junk {\"authcode\": \"A\", \"UserName\":\"U\",\"ACCTPASS\":\"P\",\"Duplex\":\"ON\",\"DUPLEXTYPE\":"
       "\"BOOKLET\", \"NotifyUrl\":\"N\", \"CHECKAUTHCODEURL\": \"C\"}",
       true,
       {"A", "U", "P", "ON", "BOOKLET", "N", "C"}},
      // A value that is no string takes the next string; later pairs win.
      {"{\"AUTHCODE\": 12, \"note\": \"x\", \"USERNAME\":\"a\", \"USERNAME\":\"b\"}",
       true,
       {"note", "b", "", "", "", "", "untouched"}},
      {"{\"NOTIFYURL\":\"http://h/}x\", \"ACCTPASS\":\"pw\"}",
       true,
       {"", "", "pw", "", "", "http://h/}x", "untouched"}},
      {many, true, {a127, "", "in", "", "", "", "untouched"}},  // fifty tokens of at most 127 characters
      {"", false, {"", "", "", "", "", "", "untouched"}},
      {"no object here", false, {"", "", "", "", "", "", "untouched"}},
      {"{\"AUTHCODE\":\"A\"", false, {"", "", "", "", "", "", "untouched"}},
  };
  const std::string path = root.Path("/tmp/a.txt");
  for (const auto& c : cases) {
    char slots[kJsonMaxTokens][kJsonTokenSize] = {};
    std::strcpy(slots[kJsonSlots - 1], "untouched");
    WriteFile(path, c.text);
    EXPECT_EQ(ParseJSON(path.c_str(), slots), c.ok ? TRUE : FALSE) << c.text;
    for (int i = 0; i < kJsonSlots; ++i) EXPECT_EQ(slots[i], c.slots[i]) << c.text << " slot " << i;
  }
  char slots[kJsonMaxTokens][kJsonTokenSize] = {};
  EXPECT_FALSE(ParseJSON(root.Path("/tmp/none.txt").c_str(), slots));
}

// The file lies in /tmp: only a regular file of the filter's user (or
// root's) that no one else can write is read; a FIFO never blocks the job.
TEST(ParseJSON, FilesAnotherUserCouldHavePlantedAreNotRead) {
  namespace fs = std::filesystem;
  enum Kind { File, Link, HardLink, Fifo };
  const struct {
    const char* what;
    Kind kind;
    mode_t mode;
    uid_t owner;
    bool read;
  } cases[] = {
      {"own file", File, 0600, 0, true},
      {"another user's file", File, 0600, 65534, false},
      {"open to its group", File, 0660, 0, false},
      {"open to all", File, 0606, 0, false},
      {"link", Link, 0600, 0, false},
      {"hard link", HardLink, 0600, 0, false},
      {"FIFO", Fifo, 0600, 0, false},
  };
  for (const auto& c : cases) {
    PrivateRoot root;
    const std::string path = root.Path("/tmp/a.txt"), other = root.Path("/other");
    const std::string& file = c.kind == File ? path : other;
    WriteFile(file, "{\"AUTHCODE\":\"EVIL\"}");
    chmod(file.c_str(), c.mode);
    ASSERT_EQ(chown(file.c_str(), c.owner, 0), 0);
    if (c.kind == Link) fs::create_symlink(other, path);
    if (c.kind == HardLink) fs::create_hard_link(other, path);
    if (c.kind == Fifo) mkfifo(path.c_str(), 0600);
    // A writer holds the FIFO open, so that a reader that waits on it fails
    // the test instead of hanging it.
    const int writer = c.kind == Fifo ? open(path.c_str(), O_RDWR | O_NONBLOCK) : -1;
    char slots[kJsonMaxTokens][kJsonTokenSize] = {};
    EXPECT_EQ(ParseJSON(path.c_str(), slots), c.read ? TRUE : FALSE) << c.what;
    EXPECT_STREQ(slots[0], c.read ? "EVIL" : "") << c.what;
    if (writer >= 0) close(writer);
  }
}

TEST(ParseJSON, ThePasswordReachesItsSlotButNotTheTrace) {
  PrivateRoot root;
  const std::string path = root.Path("/tmp/a.txt");
  FILE* err = std::tmpfile();
  JobEvents events(err);
  TraceScope trace(&events.trace);
  char slots[kJsonMaxTokens][kJsonTokenSize] = {};
  WriteFile(path, "{\"USERNAME\":\"u-77\",\"AcctPass\":\"s3cret-pw\",\"AUTHCODE\":\"c\"}");
  EXPECT_TRUE(ParseJSON(path.c_str(), slots));
  EXPECT_STREQ(slots[JSON_ACCTPASS], "s3cret-pw");
  const std::string traced = Slurp(err);
  EXPECT_NE(traced.find("u-77"), std::string::npos);  // the other values are traced
  EXPECT_EQ(traced.find("s3cret"), std::string::npos);
  std::fclose(err);
}
