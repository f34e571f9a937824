// Fuzzing the INI engine: the input is a settings file as it may be found on
// disk. Its own bytes (read from the end) also choose what to do with it:
// reads of the sections and keys it names, batch writes of names and values
// (hostile ones among them), the file deleted or replaced by a named pipe under
// the engine. After every step the engine must still say what it was told and
// keep what it was not told to change:
//   - a write of storable names succeeds, one of unstorable names fails and
//     leaves the file byte for byte;
//   - a value written reads back as written (trimmed, one pair of quotes off);
//   - every other section and key reads as before, and every line that is not
//     a written key's stays, in order;
//   - added lines take the file's line-ending style;
//   - the same write again changes nothing.
#include <fuzzer/FuzzedDataProvider.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "settings/profile_file.h"

namespace {

using kelvane::settings::ProfileEntry;
using kelvane::settings::ProfileText;

std::string g_scratch;  // the directory of the settings file
std::string g_path;

[[noreturn]] void Broken(const std::string& what) {
  std::fprintf(stderr, "profile_file_fuzz: %s\n", what.c_str());
  std::error_code ec;
  if (!g_scratch.empty()) std::filesystem::remove_all(g_scratch, ec);  // abort skips atexit
  std::abort();
}
#define CHECK(condition, what)      \
  do {                              \
    if (!(condition)) Broken(what); \
  } while (0)

std::string Slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

void Spit(const std::string& path, std::string_view text) {
  std::filesystem::remove(path);
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(text.data(), static_cast<std::streamsize>(text.size()));
  if (!out) Broken("cannot write the scratch file");
}

// The documented rules, written out again independently of the engine.
bool Blank(char c) { return c == ' ' || c == '\t'; }
std::string_view TrimBlanks(std::string_view s) {
  while (!s.empty() && Blank(s.front())) s.remove_prefix(1);
  while (!s.empty() && Blank(s.back())) s.remove_suffix(1);
  return s;
}
// A name as the engine compares it: without blanks around it (nor a carriage
// return at its end) and without ASCII letter case.
std::string NameKey(std::string_view s) {
  while (!s.empty() && Blank(s.front())) s.remove_prefix(1);
  while (!s.empty() && (Blank(s.back()) || s.back() == '\r')) s.remove_suffix(1);
  std::string out(s);
  for (char& c : out)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return out;
}
bool Storable(std::string_view name, bool key) {
  // Trimmed as a requested name is: a carriage return at the end goes too.
  name = TrimBlanks(name);
  while (!name.empty() && (Blank(name.back()) || name.back() == '\r')) name.remove_suffix(1);
  if (name.empty() || name.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos) return false;
  return !key || (name.find('=') == std::string_view::npos && name.front() != '[' && name.front() != ';' &&
                  name.front() != '#');
}
std::string ReadBack(std::string_view value) {
  value = TrimBlanks(value);
  if (value.size() >= 2 && value.front() == value.back() && (value.front() == '"' || value.front() == '\''))
    value = value.substr(1, value.size() - 2);
  return std::string(value);
}

std::vector<std::string_view> Lines(std::string_view text) {
  std::vector<std::string_view> lines;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t nl = text.find('\n', pos);
    if (nl == std::string_view::npos) nl = text.size() - 1;
    lines.push_back(text.substr(pos, nl + 1 - pos));
    pos = nl + 1;
  }
  return lines;
}

// Names the text mentions: bracketed section names and the names before "=".
void CollectNames(std::string_view text, std::vector<std::string>& sections, std::vector<std::string>& keys) {
  for (std::string_view line : Lines(text)) {
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.remove_suffix(1);
    std::string_view t = TrimBlanks(line);
    if (t.starts_with('[')) {
      const size_t close = t.rfind(']');
      if (close != std::string_view::npos && close > 0) sections.emplace_back(TrimBlanks(t.substr(1, close - 1)));
    } else if (size_t eq = t.find('='); eq != std::string_view::npos) {
      keys.emplace_back(TrimBlanks(t.substr(0, eq)));
    }
  }
}

// Line endings: how many of each style.
struct Endings {
  size_t lf = 0, crlf = 0;
};
Endings CountEndings(std::string_view text) {
  Endings e;
  for (size_t i = 0; i < text.size(); ++i)
    if (text[i] == '\n') ++(i > 0 && text[i - 1] == '\r' ? e.crlf : e.lf);
  return e;
}

const char* const kNames[] = {
    "Camera", "camera ", " Cam [2] - 7", "Cam _2_ - 7", "a=b",          "[x",   ";c",       "#c",
    "",       " ",       "x]",           "]",           "[x]",          "Ke y", "\xC3\x84", "Timeout",
    "DefFmt", "k\r",     "k\n2",         "\"q\"",       "\xEF\xBB\xBFk"};
const char* const kValues[] = {"",   "1",    " lead", "trail ",  "\"quoted\"", "'q'",           "\"",
                               "=",  "[S]",  "a;b",   "-1",      "4294967295", "0x10",          "750ms",
                               "\t", "'a\"", "v\r",   "line\nx", "\" x \"",    "#not a comment"};

std::string PickName(FuzzedDataProvider& in, const std::vector<std::string>& found) {
  switch (in.ConsumeIntegralInRange<int>(0, 3)) {
    case 0:
      if (!found.empty()) return found[in.ConsumeIntegralInRange<size_t>(0, found.size() - 1)];
      [[fallthrough]];
    case 1:
      return kNames[in.ConsumeIntegralInRange<size_t>(0, std::size(kNames) - 1)];
    case 2:
      return std::string(1, '\0') + "k";
    default:
      return in.ConsumeRandomLengthString(24);
  }
}

std::string PickValue(FuzzedDataProvider& in) {
  if (in.ConsumeBool()) return kValues[in.ConsumeIntegralInRange<size_t>(0, std::size(kValues) - 1)];
  return in.ConsumeRandomLengthString(32);
}

// Text with its control and non-ASCII bytes escaped, for a report.
std::string Show(std::string_view s) {
  std::string out = "\"";
  for (unsigned char c : s) {
    if (c >= 0x20 && c < 0x7F && c != '"' && c != '\\') {
      out += static_cast<char>(c);
    } else {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02X", c);
      out += hex;
    }
  }
  return out + "\"";
}

// One batch write to a file holding `before`, and everything that must hold after it.
void CheckWrite(const std::string& before, const std::string& section, const std::vector<ProfileEntry>& entries) {
  std::string what = " (writing to section " + Show(section) + ":";
  for (const ProfileEntry& e : entries) what += " " + Show(e.Key) + "=" + Show(e.Value);
  what += ")";
  bool storable = Storable(section, false);
  for (const ProfileEntry& e : entries)
    storable =
        storable && Storable(e.Key, true) && e.Value.find_first_of(std::string_view("\r\n\0", 3)) == std::string::npos;
  const bool written = kelvane::settings::WriteProfileStrings(g_path, section, entries);
  const std::string after = Slurp(g_path);
  if (!storable) {
    CHECK(!written, "a write of unstorable names or values succeeded" + what);
    CHECK(after == before, "a refused write changed the file" + what);
    return;
  }
  CHECK(written, "a write of storable names failed" + what);
  const std::optional<std::string> applied = kelvane::settings::ApplyProfileWrites(before, section, entries);
  CHECK(applied && *applied == after, "the file differs from the in-memory edit" + what);

  // Written values read back; the last of a key in the batch wins.
  std::map<std::string, std::string> expected;
  for (const ProfileEntry& e : entries) expected[NameKey(e.Key)] = ReadBack(e.Value);
  const ProfileText now(after), then(before);
  for (const ProfileEntry& e : entries) {
    const std::optional<std::string> read = now.Find(section, e.Key);
    CHECK(read && *read == expected[NameKey(e.Key)], "a written value does not read back" + what);
    CHECK(kelvane::settings::ReadProfileString(section, e.Key, "\x01", g_path) == *read,
          "the file read differs from the text read");
  }

  // Everything else reads as before.
  std::vector<std::string> sections, keys;
  CollectNames(before, sections, keys);
  sections.push_back(section);
  for (const std::string& s : sections)
    for (const std::string& k : keys) {
      if (NameKey(s) == NameKey(section) && expected.count(NameKey(k))) continue;
      CHECK(now.Find(s, k) == then.Find(s, k), "a key that was not written reads differently: [" + s + "] " + k + what);
    }

  // Every line that is not a written key's is still there, in order.
  const std::vector<std::string_view> old = Lines(before), fresh = Lines(after);
  size_t at = 0;
  for (std::string_view line : old) {
    std::string_view t = TrimBlanks(line);
    if (const size_t eq = t.find('='); eq != std::string_view::npos && !t.starts_with('[') && !t.starts_with(';') &&
                                       !t.starts_with('#') && expected.count(NameKey(t.substr(0, eq))))
      continue;
    // The last line may have gained a line ending.
    while (at < fresh.size() && fresh[at] != line && !(fresh[at].starts_with(line) && line.back() != '\n')) ++at;
    CHECK(at < fresh.size(), "a line that was not written is lost" + what);
    ++at;
  }

  // New lines take the style of the file's first line ending; the other style never grows.
  const Endings b = CountEndings(before), a = CountEndings(after);
  const size_t firstLf = before.find('\n');
  const bool crlf = firstLf != std::string::npos && firstLf > 0 && before[firstLf - 1] == '\r';
  // (A last line that ends in a carriage return of its own shows as CRLF once it gets its line feed.)
  const size_t ownCr = !before.empty() && before.back() == '\r' ? 1 : 0;
  CHECK(crlf ? a.lf == b.lf : a.crlf <= b.crlf + ownCr, "an added line has the other line ending" + what);

  // The same write again changes nothing.
  CHECK(kelvane::settings::WriteProfileStrings(g_path, section, entries), "a repeated write failed" + what);
  CHECK(Slurp(g_path) == after, "a repeated write changed the file" + what);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // A file system in memory where there is one: every save syncs.
  std::error_code ec;
  std::filesystem::path base = std::filesystem::is_directory("/dev/shm", ec) && ::access("/dev/shm", W_OK) == 0
                                   ? std::filesystem::path("/dev/shm")
                                   : std::filesystem::temp_directory_path();
  std::string dir = (base / "kelvane-ini-fuzz-XXXXXX").string();
  if (!::mkdtemp(dir.data())) Broken("cannot make a scratch directory");
  g_scratch = dir;
  std::atexit([] {
    std::error_code ec;
    std::filesystem::remove_all(g_scratch, ec);
  });
  g_path = g_scratch + "/Kelvane.ini";
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  Spit(g_path, text);
  CHECK(ProfileText::Load(g_path).Text() == text, "the file does not load as it stands");

  std::vector<std::string> sections, keys;
  CollectNames(text, sections, keys);
  FuzzedDataProvider in(data, size);
  const int steps = in.ConsumeIntegralInRange<int>(1, 4);
  for (int step = 0; step < steps; ++step) {
    std::string before = Slurp(g_path);
    switch (in.ConsumeIntegralInRange<int>(0, 5)) {
      case 0: {  // reads
        const std::string section = PickName(in, sections), key = PickName(in, keys);
        const std::optional<std::string> v = ProfileText(before).Find(section, key);
        CHECK(kelvane::settings::ReadProfileString(section, key, "\x01", g_path) == (v ? *v : "\x01"),
              "the file read differs from the text read");
        const int32_t n = kelvane::settings::ReadProfileInt(section, key, 7, g_path);
        CHECK(n == (!v || v->empty() ? 7 : kelvane::settings::ParseProfileInt(*v)), "an integer read is wrong");
        break;
      }
      case 1:
      case 2:
      case 3: {  // a batch write
        const std::string section = PickName(in, sections);
        std::vector<ProfileEntry> entries(in.ConsumeIntegralInRange<size_t>(1, 3));
        for (ProfileEntry& e : entries) {
          e.Key = PickName(in, keys);
          e.Value = PickValue(in);
        }
        CheckWrite(before, section, entries);
        break;
      }
      case 4: {  // the file deleted under the engine: reads give defaults, a write makes a new file
        std::filesystem::remove(g_path);
        const std::string section = PickName(in, sections), key = PickName(in, keys);
        CHECK(kelvane::settings::ReadProfileString(section, key, "dflt", g_path) == "dflt", "a deleted file reads");
        CheckWrite("", section, {ProfileEntry{key, PickValue(in)}});
        break;
      }
      default: {  // a named pipe in the file's place: refused at once, left alone
        std::filesystem::remove(g_path);
        if (::mkfifo(g_path.c_str(), 0600) != 0) Broken("cannot make a named pipe");
        CHECK(kelvane::settings::ReadProfileString("Camera", "Timeout", "dflt", g_path) == "dflt",
              "a named pipe reads");
        CHECK(!kelvane::settings::WriteProfileString("Camera", "Timeout", "1", g_path), "a named pipe was replaced");
        struct stat st {};
        CHECK(::lstat(g_path.c_str(), &st) == 0 && S_ISFIFO(st.st_mode), "the named pipe is gone");
        Spit(g_path, before);
        break;
      }
    }
  }
  return 0;
}
