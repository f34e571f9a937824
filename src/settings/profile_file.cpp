#include "settings/profile_file.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <vector>

namespace kelvane::settings {
namespace {

constexpr std::string_view kUtf8Bom = "\xEF\xBB\xBF";

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

std::string_view Trim(std::string_view s) {
  while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
  while (!s.empty() && (IsBlank(s.back()) || s.back() == '\r')) s.remove_suffix(1);
  return s;
}

char LowerAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool EqualsNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (LowerAscii(a[i]) != LowerAscii(b[i])) return false;
  return true;
}

// One physical line: its text and its own line ending ("\n", "\r\n" or none
// for a last line without one).
struct Line {
  std::string_view Content;
  std::string_view Eol;
};

std::vector<Line> SplitLines(std::string_view text) {
  std::vector<Line> lines;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t nl = text.find('\n', pos);
    if (nl == std::string_view::npos) {
      lines.push_back({text.substr(pos), {}});
      break;
    }
    size_t end = nl;
    if (end > pos && text[end - 1] == '\r') --end;
    lines.push_back({text.substr(pos, end - pos), text.substr(end, nl + 1 - end)});
    pos = nl + 1;
  }
  return lines;
}

enum class LineKind { Other, Comment, Section, Key };

struct Parsed {
  LineKind Kind = LineKind::Other;
  std::string_view Name;   // section or key name, trimmed
  std::string_view Value;  // key value, trimmed
  size_t Indent = 0;       // blanks before a key name
};

Parsed Classify(std::string_view content, bool firstLine) {
  if (firstLine && content.starts_with(kUtf8Bom)) content.remove_prefix(kUtf8Bom.size());
  Parsed p;
  size_t indent = 0;
  while (indent < content.size() && IsBlank(content[indent])) ++indent;
  std::string_view s = content.substr(indent);
  if (s.empty()) return p;
  if (s.front() == ';' || s.front() == '#') {
    p.Kind = LineKind::Comment;
    return p;
  }
  if (s.front() == '[') {
    // The last "]" closes the name, so a name may itself hold brackets.
    size_t close = s.rfind(']');
    if (close != std::string_view::npos && close > 0) {
      p.Kind = LineKind::Section;
      p.Name = Trim(s.substr(1, close - 1));
    }
    return p;
  }
  size_t eq = s.find('=');
  if (eq == std::string_view::npos) return p;
  p.Kind = LineKind::Key;
  p.Name = Trim(s.substr(0, eq));
  p.Value = Trim(s.substr(eq + 1));
  p.Indent = indent;
  return p;
}

std::string_view Unquote(std::string_view v) {
  if (v.size() >= 2 && v.front() == v.back() && (v.front() == '"' || v.front() == '\'')) return v.substr(1, v.size() - 2);
  return v;
}

bool HasLineBreakOrNul(std::string_view s) { return s.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos; }

// Reads a whole file. Missing is not an error: it is an empty settings file.
enum class ReadResult { Ok, Missing, Error };

ReadResult ReadWholeFile(const std::string& path, std::string& out) {
  out.clear();
  // Non-blocking open: a FIFO in the file's place must not hang the host.
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return errno == ENOENT ? ReadResult::Missing : ReadResult::Error;
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    return ReadResult::Error;
  }
  char buf[8192];
  ReadResult result = ReadResult::Ok;
  for (;;) {
    ssize_t n = ::read(fd, buf, sizeof buf);
    if (n > 0) {
      out.append(buf, static_cast<size_t>(n));
    } else if (n == 0) {
      break;
    } else if (errno != EINTR) {
      result = ReadResult::Error;
      break;
    }
  }
  ::close(fd);
  return result;
}

bool WriteAll(int fd, std::string_view data) {
  while (!data.empty()) {
    ssize_t n = ::write(fd, data.data(), data.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

class FdCloser {
 public:
  explicit FdCloser(int fd) : fd_(fd) {}
  FdCloser(const FdCloser&) = delete;
  FdCloser& operator=(const FdCloser&) = delete;
  ~FdCloser() {
    if (fd_ >= 0) ::close(fd_);
  }

 private:
  int fd_;
};

std::atomic<testing::BeforeRenameHook> g_beforeRename{nullptr};

// The file a save replaces: a symbolic link is followed, so the link stays a
// link and its target gets the new contents.
std::string SaveTarget(const std::string& path) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
    if (char* real = ::realpath(path.c_str(), nullptr)) {
      std::string resolved(real);
      std::free(real);
      return resolved;
    }
  }
  return path;
}

void SyncDirectoryOf(const std::string& file) {
  size_t slash = file.rfind('/');
  std::string dir = slash == std::string::npos ? "." : (slash == 0 ? "/" : file.substr(0, slash));
  int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  ::fsync(fd);  // best effort: the rename itself has already succeeded
  ::close(fd);
}

}  // namespace

ProfileText ProfileText::Load(const std::string& path) {
  std::string text;
  if (ReadWholeFile(path, text) != ReadResult::Ok) text.clear();
  return ProfileText(std::move(text));
}

std::optional<std::string> ProfileText::Find(std::string_view section, std::string_view key) const {
  section = Trim(section);
  key = Trim(key);
  bool inSection = false;
  bool seenSection = false;
  bool first = true;
  for (const Line& line : SplitLines(text_)) {
    Parsed p = Classify(line.Content, first);
    first = false;
    if (p.Kind == LineKind::Section) {
      if (seenSection) break;  // only the first section of the name counts
      inSection = EqualsNoCase(p.Name, section);
      seenSection = inSection;
    } else if (inSection && p.Kind == LineKind::Key && EqualsNoCase(p.Name, key)) {
      return std::string(Unquote(p.Value));
    }
  }
  return std::nullopt;
}

int32_t ProfileText::GetInt(std::string_view section, std::string_view key, int32_t defaultValue) const {
  std::optional<std::string> v = Find(section, key);
  if (!v || v->empty()) return defaultValue;
  return ParseProfileInt(*v);
}

int32_t ParseProfileInt(std::string_view text) {
  size_t i = 0;
  while (i < text.size() && (IsBlank(text[i]) || text[i] == '\r' || text[i] == '\n' || text[i] == '\v' || text[i] == '\f'))
    ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  uint32_t value = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i)
    value = value * 10u + static_cast<uint32_t>(text[i] - '0');
  if (negative) value = 0u - value;
  return static_cast<int32_t>(value);  // two's complement, well defined since C++20
}

bool IsStorableName(std::string_view name, bool isKey) {
  name = Trim(name);
  if (name.empty() || HasLineBreakOrNul(name)) return false;
  if (isKey && (name.find('=') != std::string_view::npos || name.front() == '[' || name.front() == ';' ||
                name.front() == '#'))
    return false;
  return true;
}

bool IsStorableValue(std::string_view value) { return !HasLineBreakOrNul(value); }

std::optional<std::string> ApplyProfileWrites(std::string_view text, std::string_view section,
                                              std::span<const ProfileEntry> entries) {
  if (!IsStorableName(section, false)) return std::nullopt;
  for (const ProfileEntry& e : entries)
    if (!IsStorableName(e.Key, true) || !IsStorableValue(e.Value)) return std::nullopt;
  section = Trim(section);

  // Lines are edited as owned strings; untouched ones are copied back verbatim.
  struct EditLine {
    std::string Content;
    std::string Eol;
  };
  std::vector<EditLine> lines;
  std::string_view style = "\n";
  bool styleKnown = false;
  for (const Line& l : SplitLines(text)) {
    if (!styleKnown && !l.Eol.empty()) {
      style = l.Eol;
      styleKnown = true;
    }
    lines.push_back({std::string(l.Content), std::string(l.Eol)});
  }

  for (const ProfileEntry& e : entries) {
    std::string_view key = Trim(e.Key);
    std::string newLine = std::string(key) + "=" + e.Value;

    // Locate the first section of the name and, within it, the key.
    std::optional<size_t> header;
    std::optional<size_t> keyLine;
    size_t lastKeyLine = 0;
    for (size_t i = 0; i < lines.size(); ++i) {
      Parsed p = Classify(lines[i].Content, i == 0);
      if (p.Kind == LineKind::Section) {
        if (header) break;
        if (EqualsNoCase(p.Name, section)) {
          header = i;
          lastKeyLine = i;
        }
      } else if (header && p.Kind == LineKind::Key) {
        lastKeyLine = i;
        if (EqualsNoCase(p.Name, key)) {
          keyLine = i;
          // The key keeps its indentation and its own spelling.
          std::string_view content = lines[i].Content;
          if (i == 0 && content.starts_with(kUtf8Bom)) content.remove_prefix(kUtf8Bom.size());
          newLine = std::string(content.substr(0, p.Indent)) + std::string(p.Name) + "=" + e.Value;
          break;
        }
      }
    }

    if (keyLine) {
      lines[*keyLine].Content = std::move(newLine);
    } else if (header) {
      size_t at = lastKeyLine + 1;
      if (lines[lastKeyLine].Eol.empty()) lines[lastKeyLine].Eol = style;
      lines.insert(lines.begin() + static_cast<std::ptrdiff_t>(at), EditLine{std::move(newLine), std::string(style)});
    } else {
      if (!lines.empty()) {
        if (lines.back().Eol.empty()) lines.back().Eol = style;
        if (!Trim(lines.back().Content).empty()) lines.push_back({"", std::string(style)});
      }
      lines.push_back({"[" + std::string(section) + "]", std::string(style)});
      lines.push_back({std::move(newLine), std::string(style)});
    }
  }

  std::string out;
  out.reserve(text.size() + entries.size() * 32 + section.size() + 8);
  for (const EditLine& l : lines) {
    out += l.Content;
    out += l.Eol;
  }
  return out;
}

std::string ReadProfileString(std::string_view section, std::string_view key, std::string_view defaultValue,
                              const std::string& path) {
  std::optional<std::string> v = ProfileText::Load(path).Find(section, key);
  return v ? std::move(*v) : std::string(defaultValue);
}

int32_t ReadProfileInt(std::string_view section, std::string_view key, int32_t defaultValue,
                       const std::string& path) {
  return ProfileText::Load(path).GetInt(section, key, defaultValue);
}

bool WriteProfileStrings(const std::string& path, std::string_view section, std::span<const ProfileEntry> entries) {
  if (path.empty()) return false;
  if (entries.empty()) return true;
  // Refuse bad names before taking the lock or touching the directory.
  if (!ApplyProfileWrites({}, section, entries)) return false;

  const std::string target = SaveTarget(path);
  const std::string lockPath = target + ".lock";
  const std::string tempPath = target + ".tmp";

  // The lock file stays in place: removing it would let a waiting writer and a
  // new one lock two different files.
  int lockFd = ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0666);
  if (lockFd < 0) return false;
  FdCloser lockCloser(lockFd);  // closing the descriptor releases the lock
  while (::flock(lockFd, LOCK_EX) != 0)
    if (errno != EINTR) return false;

  std::string current;
  ReadResult read = ReadWholeFile(target, current);
  // A file that exists but cannot be read must not be replaced by a new one
  // holding only this section.
  if (read == ReadResult::Error) return false;
  std::optional<std::string> updated = ApplyProfileWrites(current, section, entries);
  if (!updated) return false;
  if (read == ReadResult::Ok && *updated == current) return true;

  struct stat st {};
  bool existed = read == ReadResult::Ok && ::stat(target.c_str(), &st) == 0;

  // A temporary file left by a crashed save is stale; only the lock holder
  // ever writes it.
  ::unlink(tempPath.c_str());
  int tmpFd = ::open(tempPath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0666);
  if (tmpFd < 0) return false;
  bool ok = true;
  if (existed) ok = ::fchmod(tmpFd, st.st_mode & 07777) == 0;
  ok = ok && WriteAll(tmpFd, *updated);
  ok = ok && ::fsync(tmpFd) == 0;
  ok = (::close(tmpFd) == 0) && ok;
  if (!ok) {
    ::unlink(tempPath.c_str());
    return false;
  }

  if (testing::BeforeRenameHook hook = g_beforeRename.load(); hook && !hook(tempPath)) return false;

  if (::rename(tempPath.c_str(), target.c_str()) != 0) {
    ::unlink(tempPath.c_str());
    return false;
  }
  SyncDirectoryOf(target);
  return true;
}

bool WriteProfileString(std::string_view section, std::string_view key, std::string_view value,
                        const std::string& path) {
  ProfileEntry entry{std::string(key), std::string(value)};
  return WriteProfileStrings(path, section, std::span<const ProfileEntry>(&entry, 1));
}

bool WriteProfileInt(std::string_view section, std::string_view key, int32_t value, const std::string& path) {
  char buf[16];
  auto [end, ec] = std::to_chars(buf, buf + sizeof buf, value);
  if (ec != std::errc()) return false;
  return WriteProfileString(section, key, std::string_view(buf, static_cast<size_t>(end - buf)), path);
}

namespace testing {
void SetBeforeRenameHook(BeforeRenameHook hook) { g_beforeRename.store(hook); }
}  // namespace testing

}  // namespace kelvane::settings
