// A profile (INI) file engine with the semantics of the classic profile-file
// functions: read a string, read an integer, write a string.
//
// Text rules:
// - A section starts at a line "[name]" (leading blanks allowed; the name runs
//   to the last "]" of the line and is trimmed). A key line is "key=value";
//   key and value are trimmed of blanks. Lines starting with ";" or "#" are
//   comments. Any other line is kept as it stands and otherwise ignored.
// - Section and key names compare without ASCII letter case; requested names
//   are trimmed of blanks first. The first section of a name is the one used,
//   and within it the first line of a key.
// - A value read is trimmed of blanks; a value wrapped in a matching pair of
//   double or single quotes loses the quotes.
// - LF and CRLF files read alike. A rewrite keeps every line it does not change
//   byte for byte, with its own line ending; new lines take the file's style
//   (that of its first line ending; LF for a new file).
//
// Writes are transactions: under an exclusive flock on "<file>.lock" the
// current file is read, changed in memory, written to "<file>.tmp", fsync'd
// and renamed over the file. A crash at any point leaves the previous file or
// the new one, never a torn one, and concurrent writers from several processes
// never lose each other's keys. Reads take no lock: the rename is atomic.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace kelvane::settings {

// One key and its value text, for batch writes.
struct ProfileEntry {
  std::string Key;
  std::string Value;
};

// The parsed text of a profile file, for lookups (one load, many keys: a
// consistent view of one version of the file).
class ProfileText {
 public:
  ProfileText() = default;
  explicit ProfileText(std::string text) : text_(std::move(text)) {}

  // Loads the file; a missing or unreadable file gives an empty text.
  static ProfileText Load(const std::string& path);

  // The trimmed value of the key, or nullopt when section or key is absent.
  std::optional<std::string> Find(std::string_view section, std::string_view key) const;
  // As the platform's integer read: the default when the key is absent or its
  // value is empty; otherwise ParseProfileInt of the value.
  int32_t GetInt(std::string_view section, std::string_view key, int32_t defaultValue) const;

  const std::string& Text() const { return text_; }

 private:
  std::string text_;
};

// Integer text as the platform's profile integer read takes it: leading blanks,
// an optional sign, then the decimal digits up to the first non-digit (none
// gives 0). Digits beyond 32 bits wrap modulo 2^32 as the platform's does, so
// a flag word written unsigned reads back with the same bits.
int32_t ParseProfileInt(std::string_view text);

// Applies writes of one section to a file's text and returns the new text:
// a present key's line is rewritten in place (its value only), a new key goes
// after the last key line of the section, a new section is appended at the
// end. Returns nullopt for names or values that cannot be stored (see
// IsStorableName, IsStorableValue).
std::optional<std::string> ApplyProfileWrites(std::string_view text, std::string_view section,
                                              std::span<const ProfileEntry> entries);

// A section or key name is storable when, trimmed, it is not empty and holds no
// line break or NUL; a key also holds no "=" and does not begin with "[", ";"
// or "#" (it would read back as something else).
bool IsStorableName(std::string_view name, bool isKey);
// A value is storable when it holds no line break or NUL.
bool IsStorableValue(std::string_view value);

// Platform-style reads. A missing file, section or key gives the default.
std::string ReadProfileString(std::string_view section, std::string_view key, std::string_view defaultValue,
                              const std::string& path);
int32_t ReadProfileInt(std::string_view section, std::string_view key, int32_t defaultValue,
                       const std::string& path);

// Writes several keys of one section in one transaction (one lock, one
// rename). The file is created on first write. False when a name or value is
// not storable, or the file cannot be read, written or replaced; the previous
// file then stands unchanged.
bool WriteProfileStrings(const std::string& path, std::string_view section, std::span<const ProfileEntry> entries);
bool WriteProfileString(std::string_view section, std::string_view key, std::string_view value,
                        const std::string& path);
// Writes one integer key as signed decimal text.
bool WriteProfileInt(std::string_view section, std::string_view key, int32_t value, const std::string& path);

namespace testing {
// Called during a save after the temporary file is complete and fsync'd, just
// before it is renamed over the settings file. Returning false abandons the
// save there, as a crash at that moment would. Null (the default) for none.
using BeforeRenameHook = bool (*)(const std::string& tempPath);
void SetBeforeRenameHook(BeforeRenameHook hook);
}  // namespace testing

}  // namespace kelvane::settings
