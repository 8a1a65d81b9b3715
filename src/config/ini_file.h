#pragma once
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace vr {

// Raised when an INI file cannot be written; the message names the file.
class EIniWrite : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// One line of an INI file as it is on disk: its bytes and its own line end
// ("\r\n", "\n", or "" for a last line without one).
struct IniLine {
  std::string text;
  std::string eol;
  bool operator==(const IniLine&) const = default;
};

// Splits bytes into lines at '\n' (a '\r' right before it belongs to the line
// end). Pure; joining text + eol of all lines gives the bytes back exactly.
std::vector<IniLine> SplitIniLines(std::string_view bytes);

// An INI file read whole into memory, behaving like the Win32 private-profile
// functions: section and key names compare case-insensitively, blanks around
// names and values are ignored, the first occurrence of a section or key wins.
// Changes are made in memory and written by UpdateFile(), which keeps every
// other byte of the file as it was and replaces the file atomically.
//
// Reading rules:
//  - "[name]" (blanks around it allowed; the name ends at the last ']') starts
//    a section; a UTF-8 byte order mark before the first line is skipped.
//  - "key=value" lines; the key ends at the first '='. Lines starting with ';'
//    are comments; other lines without '=' are ignored. Keys before the first
//    section belong to no section.
//  - Name comparison folds ASCII letters only; other bytes (UTF-8 or
//    Windows-1251 Cyrillic) compare as they are.
//  - A value enclosed in a matching pair of '"' or '\'' is returned without
//    them.
class IniFile {
 public:
  // Reads the file; a missing or unreadable file reads as empty.
  explicit IniFile(std::string path);
  // An object over the given bytes, without reading path (nothing is read
  // from disk; UpdateFile still writes to path). Pure apart from the copy.
  static IniFile FromText(std::string_view text, std::string path = {});

  const std::string& Path() const { return path_; }
  // Whether the file existed (and could be read) when this object was made.
  bool Existed() const { return existed_; }
  // Whether there are changes that UpdateFile() has not written yet.
  bool Modified() const { return dirty_; }

  // True when the section holds at least one key (as TIniFile.SectionExists).
  bool SectionExists(std::string_view section) const;
  bool ValueExists(std::string_view section, std::string_view key) const;
  std::string ReadString(std::string_view section, std::string_view key,
                         std::string_view def) const;
  // An absent or non-numeric value (or one outside 32 bits) gives def.
  // Accepts an optional sign and decimal digits, or hex as "$1F" / "0x1F".
  int32_t ReadInteger(std::string_view section, std::string_view key, int32_t def) const;
  // Key names of a section, in file order.
  std::vector<std::string> ReadSection(std::string_view section) const;

  // Section, key and value must not contain line breaks; the key must not
  // contain '=' nor start with ';' or '['. Violations throw
  // std::invalid_argument. Writing the value a key already holds (same bytes
  // after the '=', blanks aside) changes nothing.
  void WriteString(std::string_view section, std::string_view key, std::string_view value);
  void WriteInteger(std::string_view section, std::string_view key, int32_t value);
  // Removes the first section of that name with all its lines.
  void EraseSection(std::string_view section);

  // Lists are stored as "Count" and "Item0", "Item1", ... in their own section.
  // An item that the plain form cannot carry is quoted: items with blanks
  // at either end or starting with a quote are written in double quotes
  // (which the reader strips, as Windows does). If any item holds a line break,
  // the section also gets "Escaped=1" and every item of it is written with
  // "\\", "\n", "\r" escapes. ReadClearList undoes exactly that, so any list
  // written is read back as it was.
  // ReadClearList clears list, then fills it from the section (empty when absent).
  // Items below Count that are missing read as empty; Count is capped at the
  // larger of the file's line count and 65536.
  void ReadClearList(std::string_view section, std::vector<std::string>& list) const;
  // Replaces the section's content with the list (in place, so the other
  // sections keep their order; a new section goes to the end).
  void WriteList(std::string_view section, const std::vector<std::string>& list);

  // Writes the file if anything changed: a temporary file in the same
  // directory, then an atomic rename over the old one. Throws EIniWrite.
  void UpdateFile();

  // The raw text as it would be written (for tests and tools).
  std::string Text() const;
  // Replaces the whole content (used by files that are rewritten from scratch).
  void Clear();

 private:
  IniFile() = default;
  void Load(std::string_view bytes);
  // Index of the first line of the section's header, or npos.
  size_t FindSection(std::string_view section) const;
  // Index of the first key line of that name in the section, or npos.
  size_t FindKey(size_t header, std::string_view key) const;
  // One past the last line of the section that starts at header.
  size_t SectionEnd(size_t header) const;
  void InsertLines(size_t at, const std::vector<std::string>& texts);

  std::string path_;
  bool existed_ = false;
  bool unreadable_ = false;  // the file is there but could not be read
  bool on_disk_ = false;     // the file is known to exist on disk
  bool dirty_ = false;
  std::string eol_;  // line end for new lines
  std::vector<IniLine> lines_;
};

// Writes data to path atomically: temporary file beside it, flushed, renamed
// over the old file. Throws EIniWrite naming path.
void WriteFileAtomically(const std::string& path, std::string_view data);
// Reads a whole file; false when it is missing or unreadable.
bool ReadWholeFile(const std::string& path, std::string& out);
bool FileExists(const std::string& path);

}  // namespace vr
