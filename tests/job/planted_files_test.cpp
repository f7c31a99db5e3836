// Files and directories a second local user plants where the filter looks:
// the copy directory in /tmp, the job record and the status library. Every
// case runs the real program. Where ownership decides, the filter runs as an
// unprivileged user of its own against the files of another one, on a /tmp
// that is sticky and open to all as a print server's is.
#include <fcntl.h>
#include <sys/stat.h>

#include <functional>

#include "status_sim.h"
#include "test_support.h"

using namespace testing_support;
namespace fs = std::filesystem;

namespace {

constexpr int kFilterUid = 65534;  // the filter's user, as lp is under CUPS
constexpr int kOtherUid = 65533;   // another local user
constexpr int kRoot = -1;          // the filter as the tests run: root

void MakeDir(const std::string& path, mode_t mode, int uid) {
  fs::create_directories(path);
  chmod(path.c_str(), mode);
  if (chown(path.c_str(), uid, uid) != 0) ADD_FAILURE() << "chown " << path;
}

std::vector<std::string> Entries(const std::string& dir) {
  std::vector<std::string> names;
  std::error_code ec;
  for (const auto& e : fs::directory_iterator(dir, ec)) names.push_back(e.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

// A private root whose /tmp is like a print server's: sticky and writable
// by all, the rest reachable by the filter's user.
struct SharedTmp {
  PrivateRoot root;
  SharedTmp() {
    chmod(root.dir().c_str(), 0755);
    chmod(root.Path("/tmp").c_str(), 01777);
  }
  JobResult Run(const std::string& ppd, const std::string& raster, int uid) const {
    ChildOptions opt{{{"PPD", ppd}}, raster};
    opt.uid = uid;
    return RunFilter({"q", "7", "alice", "title", "1", ""}, opt, 60);
  }
};

// Splits one CSV line (RFC 4180 quoting) into its fields.
std::vector<std::string> CsvFields(const std::string& line) {
  std::vector<std::string> fields(1);
  bool quoted = false;
  for (std::size_t i = 0; i < line.size(); ++i) {
    const char c = line[i];
    if (quoted && c == '"' && i + 1 < line.size() && line[i + 1] == '"') {
      fields.back() += '"';
      ++i;
    } else if (c == '"') {
      quoted = !quoted;
    } else if (c == ',' && !quoted) {
      fields.emplace_back();
    } else {
      fields.back() += c;
    }
  }
  return fields;
}

// Files of other users are made with chown, and the filter is started as
// another user: both need root, as the test suite has anyway.
class PlantedFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    if (geteuid() != 0) GTEST_SKIP() << "needs root";
  }
};

}  // namespace

// The copy directory is used only when it is the filter's own, not open to
// its group or others and no link; anything else gets not one byte, and
// the job prints.
TEST_F(PlantedFiles, CopyDirectoryOfAnotherUserOrOpenToOthersGetsNothing) {
  struct Case {
    const char* what;
    mode_t mode;
    int owner;
    bool link;      // the directory is a link to one of that mode and owner elsewhere
    int filterUid;  // kRoot or kFilterUid
    bool used;
  } cases[] = {
      {"own, private", 0700, kFilterUid, false, kFilterUid, true},
      {"root's, private, filter as root", 0700, 0, false, kRoot, true},
      {"another user's, private, filter as root", 0700, kOtherUid, false, kRoot, false},
      {"own, open to its group", 0770, kFilterUid, false, kFilterUid, false},
      {"link to another user's, open to all", 0777, kOtherUid, true, kFilterUid, false},
      {"link to own, private", 0700, kFilterUid, true, kFilterUid, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    SharedTmp t;
    const std::string target = c.link ? t.root.Path("/elsewhere") : t.root.Path("/tmp/saveprn");
    MakeDir(target, c.mode, c.owner);
    if (c.link) fs::create_directory_symlink(target, t.root.Path("/tmp/saveprn"));
    const JobResult r =
        t.Run(MakePpd(t.root.Path("/t.ppd")),
              MakeRaster(t.root.Path("/in.ras"), {"--res", "75", "--media", "144x144"}), c.filterUid);

    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(ReadStream(r.out).pages.size(), 1u);
    const std::vector<std::string> files = Entries(target);
    if (!c.used) {
      EXPECT_TRUE(files.empty()) << files.size() << " files, first " << files[0];
    } else {
      EXPECT_EQ(files, std::vector<std::string>{"job7.prn"});
      EXPECT_EQ(ReadFile(target + "/job7.prn"), r.out);
    }
  }
}

// The job record: one line of its own whatever the title holds, never
// written through a link planted under its name, and without execute bits.
TEST_F(PlantedFiles, JobRecordLineCannotBeForgedOrRedirected) {
  struct Case {
    const char* what;
    std::string title;
    bool link;         // a link to a file of root's stands under the record's name
    std::string name;  // the record's name field; "" for no record
  } cases[] = {
      {"forged record in the title", "x,9,9,Completed\n7,1,PRINT,mallory-y,0,0,Completed,1,,,,\n", false,
       "alice-x,9,9,Completed\\n7,1,PRINT,mallory-y,0,0,Completed,1,,,,\\n"},
      {"quotes in the title", "say \"hi\", \"bye\"", false, "alice-say \"hi\", \"bye\""},
      {"carriage return and escape", "a\r\x1b[2Jb", false, "alice-a\\r\\x1B[2Jb"},
      {"link under the record's name", "plain", true, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Sim sim("printer office socket://10.0.0.9 0\n");
    const std::string record = sim.tool + "/office_LOG.csv", victim = sim.root.Path("/victim");
    if (c.link) {
      WriteFile(victim, "keep\n");
      chmod(victim.c_str(), 0600);
      ASSERT_EQ(symlink(victim.c_str(), record.c_str()), 0);
    }
    const std::string ppd = MakePpd(sim.root.Path("/t.ppd"), {{"Toolfd", sim.tool}});
    ChildOptions opt{{{"PPD", ppd}}, MakeRaster(sim.root.Path("/in.ras"), {"--res", "75"})};
    const JobResult r = RunFilter({"office", "7", "alice", c.title, "1", ""}, opt, 60);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(ReadStream(r.out).pages.size(), 1u);

    if (c.link) {
      EXPECT_EQ(ReadFile(victim), "keep\n");
      struct stat st {};
      ASSERT_EQ(stat(victim.c_str(), &st), 0);
      EXPECT_EQ(st.st_mode & 07777, 0600u);
      continue;
    }
    const std::string csv = ReadFile(record);
    EXPECT_EQ(std::count(csv.begin(), csv.end(), '\n'), 1) << csv;
    const std::vector<std::string> f = CsvFields(csv.substr(0, csv.find('\n')));
    if (f.size() != 14u) {
      ADD_FAILURE() << f.size() << " fields: " << csv;
      continue;
    }
    EXPECT_EQ(f[0], "0");
    EXPECT_EQ(f[3], "1");
    EXPECT_EQ(f[4], "PRINT");
    EXPECT_EQ(f[5], c.name) << csv;
    EXPECT_EQ(f[8], "Completed");
    EXPECT_EQ(f[13], "");
    struct stat st {};
    ASSERT_EQ(stat(record.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0666u);
  }
}

// The status library runs as the filter's user in every job of the queue:
// it is loaded only from files and directories of root's that no one else
// can write (not even the filter's own user), and what is passed over is
// said.
TEST_F(PlantedFiles, StatusLibraryLoadsOnlyFromRootsFiles) {
  struct Case {
    const char* what;
    mode_t dirMode, fileMode;
    int dirOwner, fileOwner;
    const char* linkInto;  // the library is a link to root's file in this directory; "" a copy
    int filterUid;
    const char* why;  // the reason said; "" loaded
  } cases[] = {
      {"root's, closed", 0755, 0755, 0, 0, "", kRoot, ""},
      {"root's, filter as its user", 0755, 0755, 0, 0, "", kFilterUid, ""},
      {"link from root's into root's", 0755, 0, 0, 0, "/lib", kRoot, ""},
      {"file of another user", 0755, 0755, 0, kOtherUid, "", kRoot, "not owned by root"},
      {"directory of another user", 0755, 0755, kOtherUid, 0, "", kRoot, "not owned by root"},
      {"the filter user's own", 0755, 0755, kFilterUid, kFilterUid, "", kFilterUid, "not owned by root"},
      {"directory open to all", 0777, 0755, 0, 0, "", kRoot, "writable by other users"},
      {"directory open to its group", 0775, 0755, 0, 0, "", kRoot, "writable by its group"},
      {"file open to its group", 0755, 0775, 0, 0, "", kRoot, "writable by its group"},
      {"link into a directory open to all", 0755, 0, 0, 0, "/open", kRoot, "writable by other users"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Sim sim("printer office socket://10.0.0.9 0\n", {});
    chmod(sim.root.dir().c_str(), 0755);
    WriteFile(sim.log, "");
    chmod(sim.log.c_str(), 0666);  // the library logs as the filter's user
    MakeDir(sim.tool, c.dirMode, c.dirOwner);
    const std::string lib = sim.tool + "/prnctl.so";
    if (*c.linkInto) {
      const std::string into = sim.root.Path(c.linkInto);
      MakeDir(into, std::string(c.linkInto) == "/open" ? 0777 : 0755, 0);
      fs::copy_file(SMSIM_LIB, into + "/prnctl.so");
      fs::create_symlink(into + "/prnctl.so", lib);
    } else {
      fs::copy_file(SMSIM_LIB, lib);
      chmod(lib.c_str(), c.fileMode);
      ASSERT_EQ(chown(lib.c_str(), c.fileOwner, c.fileOwner), 0);
    }
    const std::string ppd = MakePpd(sim.root.Path("/t.ppd"), {{"Toolfd", sim.tool}});
    ChildOptions opt{{{"PPD", ppd}}, MakeRaster(sim.root.Path("/in.ras"), {"--res", "75"})};
    opt.uid = c.filterUid;
    const JobResult r = RunFilter({"office", "7", "alice", "t", "1", ""}, opt, 60);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(ReadStream(r.out).pages.size(), 1u);
    EXPECT_EQ(sim.Calls().empty(), *c.why != '\0');
    const std::vector<std::string> said = LinesWith(r.err, lib + ": passed over, ");
    if (*c.why) {
      EXPECT_EQ(said.size(), 1u) << r.err;
      EXPECT_TRUE(!said.empty() && said[0].find(c.why) != std::string::npos) << r.err;
    } else {
      EXPECT_TRUE(said.empty()) << said[0];
    }
  }
}

// An empty Toolfd names no directory: a library in the root directory (here
// the private root) is never tried.
TEST_F(PlantedFiles, EmptyToolDirectoryIsNoDirectory) {
  Sim sim("printer office socket://10.0.0.9 0\n", {""});
  const std::string ppd = MakePpd(sim.root.Path("/t.ppd"), {{"Toolfd", ""}, {"Toolfd2", ""}});
  ChildOptions opt{{{"PPD", ppd}}, MakeRaster(sim.root.Path("/in.ras"), {"--res", "75"})};
  const JobResult r = RunFilter({"office", "7", "alice", "t", "1", ""}, opt, 60);
  EXPECT_EQ(r.status, 0);
  EXPECT_TRUE(sim.Calls().empty());
  EXPECT_TRUE(LinesWith(r.err, "Open " + sim.root.Path("/prnctl.so")).empty()) << r.err;
}
