#include "settings/profile_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <climits>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "test_names.h"
#include "test_util.h"

namespace kelvane::settings {
namespace {

using test::ScratchDir;
using test::Slurp;
using test::Spit;

// Edits in memory: what stays byte for byte, where new lines go.
struct EditCase {
  const char* what;
  std::string in;
  std::string section;
  std::vector<ProfileEntry> entries;
  std::string out;
};

void PrintTo(const EditCase& c, std::ostream* os) { *os << c.what; }

// clang-format off
const EditCase kEditCases[] = {
    {"first write creates the section", "", "S", {{"k", "v"}}, "[S]\nk=v\n"},
    {"present key rewritten in place, names without case", "[s]\nKEY=1\nx=2\n", "S", {{"key", "5"}},
     "[s]\nKEY=5\nx=2\n"},
    {"new key after the last key line, not after trailing comment", "[a]\nk=1\n\n; c\n[b]\nz=1\n", "a",
     {{"n", "2"}}, "[a]\nk=1\nn=2\n\n; c\n[b]\nz=1\n"},
    {"last line without line ending", "[a]\nk=1", "a", {{"n", "2"}}, "[a]\nk=1\nn=2\n"},
    {"new section after a file without final line ending", "[a]\nk=1", "b", {{"x", "1"}},
     "[a]\nk=1\n\n[b]\nx=1\n"},
    {"CRLF file gets CRLF lines", "; c\r\n[a]\r\nk=1\r\n", "a", {{"n", "2"}, {"k", "3"}},
     "; c\r\n[a]\r\nk=3\r\nn=2\r\n"},
    {"mixed endings: untouched lines keep their own", "[a]\nk=1\r\nm=2\n", "a", {{"k", "9"}},
     "[a]\nk=9\r\nm=2\n"},
    {"only the first section of a name is used", "[a]\nk=1\n[a]\nk=2\n", "A", {{"k", "9"}},
     "[a]\nk=9\n[a]\nk=2\n"},
    {"indentation and key spelling kept", "[a]\n  MyKey = 1 \n", "a", {{"mykey", "2"}}, "[a]\n  MyKey=2\n"},
    {"section name holding brackets", "[Cam [x]]\nk=1\n", "Cam [x]", {{"k", "2"}}, "[Cam [x]]\nk=2\n"},
    {"header only: new key right after it", "[a]\n; note\n", "a", {{"k", "1"}}, "[a]\nk=1\n; note\n"},
    {"key before any section is no section's key", "k=1\n[a]\n", "a", {{"k", "2"}}, "k=1\n[a]\nk=2\n"},
    {"commented key is not the key", "[a]\n;k=1\nj=0\n", "a", {{"k", "2"}}, "[a]\n;k=1\nj=0\nk=2\n"},
    {"byte order mark before the first header", "\xEF\xBB\xBF[a]\nk=1\n", "a", {{"k", "2"}},
     "\xEF\xBB\xBF[a]\nk=2\n"},
    {"batch: new keys in the given order, duplicate key rewrites", "[a]\nz=0\n[b]\n", "a",
     {{"x", "1"}, {"y", "2"}, {"x", "3"}}, "[a]\nz=0\nx=3\ny=2\n[b]\n"},
};
// clang-format on

class ProfileEditTest : public ::testing::Test, public ::testing::WithParamInterface<EditCase> {};

TEST_P(ProfileEditTest, EditsKeepEverythingElse) {
  const EditCase& c = GetParam();
  std::optional<std::string> out = ApplyProfileWrites(c.in, c.section, c.entries);
  ASSERT_TRUE(out.has_value()) << c.what;
  EXPECT_EQ(*out, c.out) << c.what;
}

INSTANTIATE_TEST_SUITE_P(Edits, ProfileEditTest, ::testing::ValuesIn(kEditCases), tests::NameFromWhat());

TEST(ProfileReads, FindsTrimmedValuesOfTheFirstSection) {
  const std::string text =
      "top=0\r\n"
      "[Cam A]\r\n"
      "  Gain =  300  \r\n"
      "Quoted=\" spaced \"\r\n"
      "Single='x'\r\n"
      "Lone=\"\r\n"
      ";Hidden=1\r\n"
      "Empty=\r\n"
      "[cam a]\r\n"
      "Later=1\r\n"
      "[Other]\n"
      "Gain=5\n";
  ProfileText file(text);
  struct Case {
    const char* section;
    const char* key;
    std::optional<std::string> value;
  };
  const std::vector<Case> cases = {
      {"Cam A", "Gain", "300"},          {"CAM a", "gAIN", "300"}, {" Cam A ", " Gain ", "300"},
      {"Cam A", "Quoted", " spaced "},   {"Cam A", "Single", "x"}, {"Cam A", "Lone", "\""},
      {"Cam A", "Hidden", std::nullopt}, {"Cam A", "Empty", ""},   {"Cam A", "Later", std::nullopt},
      {"Cam A", "top", std::nullopt},    {"Other", "Gain", "5"},   {"Missing", "Gain", std::nullopt},
  };
  for (const Case& c : cases) EXPECT_EQ(file.Find(c.section, c.key), c.value) << c.section << "/" << c.key;
  // An empty value reads as the default, as the platform's integer read does.
  EXPECT_EQ(file.GetInt("Cam A", "Empty", 77), 77);
  EXPECT_EQ(file.GetInt("Cam A", "Gain", 77), 300);
  EXPECT_EQ(file.GetInt("Cam A", "Nope", -5), -5);
}

TEST(ProfileReads, IntegerText) {
  // clang-format off
  const std::vector<std::pair<std::string, int32_t>> cases = {
      {"42", 42},           {"  -7", -7},         {"\t+5", 5},         {"12abc", 12},
      {"abc", 0},           {"-", 0},             {"-1", -1},          {"2147483647", INT32_MAX},
      {"-2147483648", INT32_MIN}, {"4294967295", -1}, {"2147483648", INT32_MIN}, {"0x10", 0},
      {"3 4", 3},           {"007", 7},
  };
  // clang-format on
  for (const auto& [text, value] : cases) EXPECT_EQ(ParseProfileInt(text), value) << text;
}

struct UnstorableCase {
  const char* what;
  std::string section;
  std::string key;
  std::string value;
};

void PrintTo(const UnstorableCase& c, std::ostream* os) { *os << c.what; }

// clang-format off
const UnstorableCase kUnstorableCases[] = {
    {"blank section", "  ", "k", "v"},       {"line break in section", "a\nb", "k", "v"},
    {"key with =", "s", "a=b", "v"},         {"key like a header", "s", "[x]", "v"},
    {"line break in value", "s", "k", "1\n[evil]"}, {"NUL in value", "s", "k", std::string("1\0" "2", 3)},
};
// clang-format on

class UnstorableWriteTest : public ::testing::Test, public ::testing::WithParamInterface<UnstorableCase> {};

TEST_P(UnstorableWriteTest, UnstorableInputIsRefusedAndNothingIsWritten) {
  const UnstorableCase& c = GetParam();
  ScratchDir dir;
  const std::string path = dir.File("t.ini");
  EXPECT_FALSE(WriteProfileString(c.section, c.key, c.value, path)) << c.what;
  EXPECT_FALSE(std::filesystem::exists(path)) << c.what;
}

INSTANTIATE_TEST_SUITE_P(Inputs, UnstorableWriteTest, ::testing::ValuesIn(kUnstorableCases), tests::NameFromWhat());

// A batch with one bad entry writes none of them.
TEST(ProfileWrites, BatchWithOneBadEntryWritesNone) {
  ScratchDir dir;
  const std::string path = dir.File("t.ini");
  Spit(path, "[s]\nk=1\n");
  std::vector<ProfileEntry> batch = {{"k", "2"}, {"bad=key", "3"}};
  EXPECT_FALSE(WriteProfileStrings(path, "s", batch));
  EXPECT_EQ(Slurp(path), "[s]\nk=1\n");
}

TEST(ProfileFile, CreatesFollowsLinksAndKeepsMode) {
  ScratchDir dir;
  const std::string path = dir.File("Kelvane.ini");
  EXPECT_EQ(ReadProfileInt("s", "k", 9, path), 9);
  EXPECT_EQ(ReadProfileString("s", "k", "dflt", path), "dflt");
  ASSERT_TRUE(WriteProfileInt("s", "k", -1, path));
  EXPECT_EQ(Slurp(path), "[s]\nk=-1\n");
  ASSERT_TRUE(WriteProfileInt("s", "min", INT32_MIN, path));
  EXPECT_EQ(ReadProfileInt("s", "min", 0, path), INT32_MIN);
  EXPECT_EQ(ReadProfileString("S", "K", "", path), "-1");

  ASSERT_EQ(::chmod(path.c_str(), 0640), 0);
  ASSERT_TRUE(WriteProfileInt("s", "k", 1, path));
  struct stat st {};
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u);

  // A linked settings file stays a link; its target takes the new contents.
  const std::string link = dir.File("link.ini");
  std::filesystem::create_symlink(path, link);
  ASSERT_TRUE(WriteProfileInt("s", "viaLink", 5, link));
  EXPECT_TRUE(std::filesystem::is_symlink(link));
  EXPECT_EQ(ReadProfileInt("s", "viaLink", 0, path), 5);

  // A settings "file" that cannot be read is never replaced.
  const std::string unreadable = dir.File("dir.ini");
  std::filesystem::create_directory(unreadable);
  EXPECT_FALSE(WriteProfileInt("s", "k", 1, unreadable));
  EXPECT_TRUE(std::filesystem::is_directory(unreadable));
  const std::string fifo = dir.File("fifo.ini");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  EXPECT_EQ(ReadProfileInt("s", "k", 7, fifo), 7);
  EXPECT_FALSE(WriteProfileInt("s", "k", 1, fifo));
}

// A save that stops between writing the temporary file and the rename.
bool RefuseRename(const std::string&) { return false; }
bool DieBeforeRename(const std::string&) { ::_exit(42); }

TEST(ProfileFile, InterruptedSaveLeavesThePreviousFile) {
  ScratchDir dir;
  const std::string path = dir.File("Kelvane.ini");
  const std::string before = "; keep\r\n[a]\r\nk=1\r\n";
  Spit(path, before);

  testing::SetBeforeRenameHook(&RefuseRename);
  EXPECT_FALSE(WriteProfileInt("a", "k", 2, path));
  testing::SetBeforeRenameHook(nullptr);
  EXPECT_EQ(Slurp(path), before);

  // A process that dies there: the file is as before, and its lock went with it.
  pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    testing::SetBeforeRenameHook(&DieBeforeRename);
    WriteProfileInt("a", "k", 3, path);
    ::_exit(0);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 42);
  EXPECT_EQ(Slurp(path), before);
  EXPECT_TRUE(std::filesystem::exists(path + ".tmp"));  // the crash's leftover

  ASSERT_TRUE(WriteProfileInt("a", "k", 4, path));
  EXPECT_EQ(Slurp(path), "; keep\r\n[a]\r\nk=4\r\n");
  EXPECT_FALSE(std::filesystem::exists(path + ".tmp"));
}

// Each writer adds a key per round and bumps a counter in its own section; a
// lost read-modify-write would drop the other writer's latest keys.
constexpr int kRounds = 60;

bool WriterRounds(const std::string& path, const std::string& section) {
  for (int i = 0; i < kRounds; ++i) {
    std::vector<ProfileEntry> entries = {{"K" + std::to_string(i), std::to_string(i * 7)},
                                         {"Round", std::to_string(i)}};
    if (!WriteProfileStrings(path, section, entries)) return false;
  }
  return true;
}

void ExpectAllKeys(const std::string& path, const std::vector<std::string>& sections) {
  ProfileText file = ProfileText::Load(path);
  EXPECT_EQ(file.Find("Foreign", "Keep"), "yes");
  for (const std::string& s : sections) {
    EXPECT_EQ(file.GetInt(s, "Round", -1), kRounds - 1) << s;
    for (int i = 0; i < kRounds; ++i) EXPECT_EQ(file.GetInt(s, "K" + std::to_string(i), -1), i * 7) << s << i;
  }
}

TEST(ProfileFile, ConcurrentProcessesKeepEachOthersKeys) {
  ScratchDir dir;
  const std::string path = dir.File("Kelvane.ini");
  Spit(path, "[Foreign]\r\nKeep=yes\r\n");
  int gate[2];
  ASSERT_EQ(::pipe(gate), 0);

  // Two writers and a reader that must never see a torn or half-merged file.
  std::vector<pid_t> children;
  for (int role = 0; role < 3; ++role) {
    pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      ::close(gate[1]);
      char c;
      while (::read(gate[0], &c, 1) < 0) {
      }
      bool ok = true;
      if (role < 2) {
        ok = WriterRounds(path, role == 0 ? "Cam [A] - 1" : "Cam B - 2");
      } else {
        for (int i = 0; i < 4 * kRounds && ok; ++i)
          ok = ProfileText::Load(path).Find("Foreign", "Keep") == std::optional<std::string>("yes");
      }
      ::_exit(ok ? 0 : 1);
    }
    children.push_back(pid);
  }
  ::close(gate[0]);
  ::close(gate[1]);  // releases all three at once
  for (pid_t pid : children) {
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  ExpectAllKeys(path, {"Cam [A] - 1", "Cam B - 2"});
  EXPECT_EQ(Slurp(path).find('\n'), Slurp(path).find("\r\n") + 1);  // still a CRLF file
}

// Threads of one process lock each other out too (one lock per save).
TEST(ProfileFile, ConcurrentThreadsKeepEachOthersKeys) {
  ScratchDir dir;
  const std::string path = dir.File("Kelvane.ini");
  Spit(path, "[Foreign]\nKeep=yes\n");
  bool ok[2] = {false, false};
  std::thread a([&] { ok[0] = WriterRounds(path, "T1"); });
  std::thread b([&] { ok[1] = WriterRounds(path, "T2"); });
  a.join();
  b.join();
  EXPECT_TRUE(ok[0] && ok[1]);
  ExpectAllKeys(path, {"T1", "T2"});
}

}  // namespace
}  // namespace kelvane::settings
