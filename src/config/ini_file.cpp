#include "config/ini_file.h"

#include <algorithm>
#include <utility>

#include "config/file_io.h"

namespace vr {
namespace {

constexpr std::string_view kBom = "\xEF\xBB\xBF";
constexpr std::string_view kListCount = "Count";
constexpr std::string_view kListItem = "Item";
constexpr std::string_view kListEscaped = "Escaped";
constexpr size_t npos = std::string::npos;

#ifdef _WIN32
constexpr std::string_view kNativeEol = "\r\n";
#else
constexpr std::string_view kNativeEol = "\n";
#endif

bool IsBlank(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f';
}

std::string_view Trim(std::string_view s) {
  while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
  while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
  return s;
}

char FoldAscii(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool SameName(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (FoldAscii(a[i]) != FoldAscii(b[i])) return false;
  return true;
}

enum class LineKind { kOther, kSection, kKey };

struct ParsedLine {
  LineKind kind = LineKind::kOther;
  std::string_view name;
  std::string_view value;  // raw (trimmed, still quoted)
};

ParsedLine ParseLine(std::string_view text) {
  text = Trim(text);
  if (text.empty()) return {};
  if (text.front() == '[') {
    size_t close = text.rfind(']');
    if (close != npos) return {LineKind::kSection, Trim(text.substr(1, close - 1)), {}};
  }
  if (text.front() == ';') return {};
  size_t eq = text.find('=');
  if (eq == npos) return {};
  std::string_view name = Trim(text.substr(0, eq));
  if (name.empty()) return {};
  return {LineKind::kKey, name, Trim(text.substr(eq + 1))};
}

// A value in a matching pair of quotes loses them, as GetPrivateProfileString does.
std::string_view Unquote(std::string_view v) {
  if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front())
    return v.substr(1, v.size() - 2);
  return v;
}

// StrToIntDef: optional sign, then decimal digits, or hex after "$" or "0x".
// Hex takes up to 32 bits ("$FFFFFFFF" is -1); decimal must fit int32.
int32_t ParseInt(std::string_view s, int32_t def) {
  while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
  bool negative = false;
  if (!s.empty() && (s.front() == '+' || s.front() == '-')) {
    negative = s.front() == '-';
    s.remove_prefix(1);
  }
  bool hex = false;
  if (!s.empty() && s.front() == '$') {
    hex = true;
    s.remove_prefix(1);
  } else if (s.size() >= 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
    hex = true;
    s.remove_prefix(2);
  }
  if (s.empty()) return def;
  const uint64_t limit = hex ? 0xFFFFFFFFull : (negative ? 0x80000000ull : 0x7FFFFFFFull);
  uint64_t v = 0;
  for (char c : s) {
    int d;
    if (c >= '0' && c <= '9') {
      d = c - '0';
    } else if (hex && c >= 'a' && c <= 'f') {
      d = c - 'a' + 10;
    } else if (hex && c >= 'A' && c <= 'F') {
      d = c - 'A' + 10;
    } else {
      return def;
    }
    v = v * (hex ? 16 : 10) + static_cast<uint64_t>(d);
    if (v > limit) return def;
  }
  uint32_t bits = static_cast<uint32_t>(v);
  if (negative) bits = 0u - bits;
  return static_cast<int32_t>(bits);
}

void CheckNoLineBreak(std::string_view what, std::string_view s) {
  if (s.find_first_of("\r\n") != npos)
    throw std::invalid_argument(std::string(what) + " contains a line break");
}

std::string_view CheckedSection(std::string_view section) {
  CheckNoLineBreak("INI section name", section);
  section = Trim(section);
  if (section.empty()) throw std::invalid_argument("empty INI section name");
  return section;
}

std::string_view CheckedKey(std::string_view key) {
  CheckNoLineBreak("INI key", key);
  key = Trim(key);
  if (key.empty() || key.front() == ';' || key.front() == '[' || key.find('=') != npos)
    throw std::invalid_argument("invalid INI key \"" + std::string(key) + "\"");
  return key;
}

std::string EscapeItem(std::string_view s) {
  std::string out;
  out.reserve(s.size());
  for (char c : s) {
    switch (c) {
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      default:
        out += c;
    }
  }
  return out;
}

std::string UnescapeItem(std::string_view s) {
  std::string out;
  out.reserve(s.size());
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] != '\\' || i + 1 == s.size()) {
      out += s[i];
      continue;
    }
    char c = s[++i];
    if (c == 'n') {
      out += '\n';
    } else if (c == 'r') {
      out += '\r';
    } else if (c == '\\') {
      out += '\\';
    } else {
      out += '\\';
      out += c;
    }
  }
  return out;
}

// Quotes what the reader would otherwise trim or unquote.
std::string EncodeItem(std::string_view item, bool escaped) {
  std::string s = escaped ? EscapeItem(item) : std::string(item);
  if (!s.empty() &&
      (IsBlank(s.front()) || IsBlank(s.back()) || s.front() == '"' || s.front() == '\''))
    s = '"' + s + '"';
  return s;
}

// The index n of a key named "Item<n>" (canonical decimal), or -1.
int64_t ListItemIndex(std::string_view name) {
  if (name.size() <= kListItem.size() || name.size() > kListItem.size() + 10) return -1;
  if (!SameName(name.substr(0, kListItem.size()), kListItem)) return -1;
  std::string_view digits = name.substr(kListItem.size());
  if (digits.size() > 1 && digits.front() == '0') return -1;
  int64_t n = 0;
  for (char c : digits) {
    if (c < '0' || c > '9') return -1;
    n = n * 10 + (c - '0');
  }
  return n;
}

}  // namespace

std::vector<IniLine> SplitIniLines(std::string_view bytes) {
  std::vector<IniLine> lines;
  size_t pos = 0;
  while (pos < bytes.size()) {
    size_t nl = bytes.find('\n', pos);
    if (nl == npos) {
      lines.push_back({std::string(bytes.substr(pos)), {}});
      break;
    }
    size_t end = (nl > pos && bytes[nl - 1] == '\r') ? nl - 1 : nl;
    lines.push_back(
        {std::string(bytes.substr(pos, end - pos)), std::string(bytes.substr(end, nl + 1 - end))});
    pos = nl + 1;
  }
  return lines;
}

IniFile::IniFile(std::string path) : path_(std::move(path)) {
  std::string bytes;
  switch (ReadFileBytes(path_, bytes)) {
    case FileRead::kOk:
      existed_ = on_disk_ = true;
      break;
    case FileRead::kMissing:
      break;
    case FileRead::kUnreadable:
      unreadable_ = on_disk_ = true;
      bytes.clear();
      break;
  }
  Load(bytes);
}

IniFile IniFile::FromText(std::string_view text, std::string path) {
  IniFile f;
  f.path_ = std::move(path);
  f.Load(text);
  return f;
}

void IniFile::Load(std::string_view bytes) {
  lines_ = SplitIniLines(bytes);
  if (!lines_.empty() && !lines_.front().eol.empty())
    eol_ = lines_.front().eol;
  else
    eol_ = kNativeEol;
}

namespace {
// A line's text as the parser sees it: the byte order mark is not part of it.
std::string_view LineText(const std::vector<IniLine>& lines, size_t i) {
  std::string_view t = lines[i].text;
  if (i == 0 && t.starts_with(kBom)) t.remove_prefix(kBom.size());
  return t;
}
}  // namespace

size_t IniFile::FindSection(std::string_view section) const {
  section = Trim(section);
  for (size_t i = 0; i < lines_.size(); ++i) {
    ParsedLine p = ParseLine(LineText(lines_, i));
    if (p.kind == LineKind::kSection && SameName(p.name, section)) return i;
  }
  return npos;
}

size_t IniFile::SectionEnd(size_t header) const {
  for (size_t i = header + 1; i < lines_.size(); ++i)
    if (ParseLine(lines_[i].text).kind == LineKind::kSection) return i;
  return lines_.size();
}

size_t IniFile::FindKey(size_t header, std::string_view key) const {
  key = Trim(key);
  for (size_t i = header + 1; i < lines_.size(); ++i) {
    ParsedLine p = ParseLine(lines_[i].text);
    if (p.kind == LineKind::kSection) break;
    if (p.kind == LineKind::kKey && SameName(p.name, key)) return i;
  }
  return npos;
}

void IniFile::InsertLines(size_t at, const std::vector<std::string>& texts) {
  if (at > 0 && lines_[at - 1].eol.empty()) lines_[at - 1].eol = eol_;
  std::vector<IniLine> added;
  added.reserve(texts.size());
  for (const std::string& t : texts) added.push_back({t, eol_});
  lines_.insert(lines_.begin() + static_cast<std::ptrdiff_t>(at), added.begin(), added.end());
  dirty_ = true;
}

bool IniFile::SectionExists(std::string_view section) const {
  size_t h = FindSection(section);
  if (h == npos) return false;
  for (size_t i = h + 1; i < SectionEnd(h); ++i)
    if (ParseLine(lines_[i].text).kind == LineKind::kKey) return true;
  return false;
}

bool IniFile::ValueExists(std::string_view section, std::string_view key) const {
  size_t h = FindSection(section);
  return h != npos && FindKey(h, key) != npos;
}

std::string IniFile::ReadString(std::string_view section, std::string_view key,
                                std::string_view def) const {
  size_t h = FindSection(section);
  size_t k = h == npos ? npos : FindKey(h, key);
  if (k == npos) return std::string(def);
  return std::string(Unquote(ParseLine(lines_[k].text).value));
}

int32_t IniFile::ReadInteger(std::string_view section, std::string_view key, int32_t def) const {
  size_t h = FindSection(section);
  size_t k = h == npos ? npos : FindKey(h, key);
  if (k == npos) return def;
  return ParseInt(Unquote(ParseLine(lines_[k].text).value), def);
}

std::vector<std::string> IniFile::ReadSection(std::string_view section) const {
  std::vector<std::string> keys;
  size_t h = FindSection(section);
  if (h == npos) return keys;
  for (size_t i = h + 1; i < lines_.size(); ++i) {
    ParsedLine p = ParseLine(lines_[i].text);
    if (p.kind == LineKind::kSection) break;
    if (p.kind == LineKind::kKey) keys.emplace_back(p.name);
  }
  return keys;
}

void IniFile::WriteString(std::string_view section, std::string_view key, std::string_view value) {
  section = CheckedSection(section);
  key = CheckedKey(key);
  CheckNoLineBreak("INI value", value);
  size_t h = FindSection(section);
  if (h == npos) {
    InsertLines(lines_.size(),
                {"[" + std::string(section) + "]", std::string(key) + "=" + std::string(value)});
    return;
  }
  size_t k = FindKey(h, key);
  if (k != npos) {
    ParsedLine p = ParseLine(lines_[k].text);
    if (p.value == value) return;
    lines_[k].text = std::string(p.name) + "=" + std::string(value);
    dirty_ = true;
    return;
  }
  // A new key goes after the section's last key line (or right after its header).
  size_t at = h + 1;
  for (size_t i = h + 1; i < lines_.size(); ++i) {
    LineKind kind = ParseLine(lines_[i].text).kind;
    if (kind == LineKind::kSection) break;
    if (kind == LineKind::kKey) at = i + 1;
  }
  InsertLines(at, {std::string(key) + "=" + std::string(value)});
}

void IniFile::WriteInteger(std::string_view section, std::string_view key, int32_t value) {
  WriteString(section, key, std::to_string(value));
}

void IniFile::EraseSection(std::string_view section) {
  size_t h = FindSection(section);
  if (h == npos) return;
  size_t end = SectionEnd(h);
  // The byte order mark stays at the start of the file.
  std::string bom;
  if (h == 0 && lines_[0].text.starts_with(kBom)) bom = kBom;
  lines_.erase(lines_.begin() + static_cast<std::ptrdiff_t>(h),
               lines_.begin() + static_cast<std::ptrdiff_t>(end));
  if (!bom.empty()) {
    if (lines_.empty())
      lines_.push_back({bom, {}});
    else
      lines_.front().text.insert(0, bom);
  }
  dirty_ = true;
}

void IniFile::ReadClearList(std::string_view section, std::vector<std::string>& list) const {
  list.clear();
  size_t h = FindSection(section);
  if (h == npos) return;
  // Items missing below Count read as empty, but a damaged Count must not make
  // us allocate without bound: beyond the file's line count (or 65536) it is
  // cut down.
  const int64_t cap = std::max<int64_t>(static_cast<int64_t>(lines_.size()), 65536);
  int64_t count = std::clamp<int64_t>(ReadInteger(section, kListCount, 0), 0, cap);
  bool escaped = ReadInteger(section, kListEscaped, 0) != 0;
  std::vector<bool> seen(static_cast<size_t>(count), false);
  list.resize(static_cast<size_t>(count));
  for (size_t i = h + 1; i < lines_.size(); ++i) {
    ParsedLine p = ParseLine(lines_[i].text);
    if (p.kind == LineKind::kSection) break;
    if (p.kind != LineKind::kKey) continue;
    int64_t n = ListItemIndex(p.name);
    if (n < 0 || n >= count || seen[static_cast<size_t>(n)]) continue;
    seen[static_cast<size_t>(n)] = true;
    std::string_view v = Unquote(p.value);
    list[static_cast<size_t>(n)] = escaped ? UnescapeItem(v) : std::string(v);
  }
}

void IniFile::WriteList(std::string_view section, const std::vector<std::string>& list) {
  section = CheckedSection(section);
  bool escaped = std::any_of(list.begin(), list.end(),
                             [](const std::string& s) { return s.find_first_of("\r\n") != npos; });
  std::vector<std::string> texts;
  texts.reserve(list.size() + 2);
  texts.push_back(std::string(kListCount) + "=" + std::to_string(list.size()));
  if (escaped) texts.push_back(std::string(kListEscaped) + "=1");
  for (size_t i = 0; i < list.size(); ++i)
    texts.push_back(std::string(kListItem) + std::to_string(i) + "=" +
                    EncodeItem(list[i], escaped));

  size_t h = FindSection(section);
  if (h == npos) {
    texts.insert(texts.begin(), "[" + std::string(section) + "]");
    InsertLines(lines_.size(), texts);
    return;
  }
  // Replace the section's lines, keeping the blank lines that end it.
  size_t end = SectionEnd(h);
  while (end > h + 1 && Trim(lines_[end - 1].text).empty()) --end;
  std::vector<IniLine> repl;
  repl.reserve(texts.size());
  for (std::string& t : texts) repl.push_back({std::move(t), eol_});
  if (end == lines_.size() && end > h + 1 && lines_[end - 1].eol.empty()) repl.back().eol.clear();
  if (std::equal(repl.begin(), repl.end(), lines_.begin() + static_cast<std::ptrdiff_t>(h + 1),
                 lines_.begin() + static_cast<std::ptrdiff_t>(end)))
    return;
  if (lines_[h].eol.empty()) lines_[h].eol = eol_;
  lines_.erase(lines_.begin() + static_cast<std::ptrdiff_t>(h + 1),
               lines_.begin() + static_cast<std::ptrdiff_t>(end));
  lines_.insert(lines_.begin() + static_cast<std::ptrdiff_t>(h + 1), repl.begin(), repl.end());
  dirty_ = true;
}

void IniFile::UpdateFile() {
  if (!dirty_) return;
  // Writing over a file we could not read would lose its content.
  if (unreadable_) throw EIniWrite(IniWriteMessage(path_, "файл существует, но не читается"));
  WriteFileAtomically(path_, Text());
  dirty_ = false;
  on_disk_ = true;
}

std::string IniFile::Text() const {
  std::string out;
  for (const IniLine& l : lines_) {
    out += l.text;
    out += l.eol;
  }
  return out;
}

void IniFile::Clear() {
  if (!lines_.empty() || !on_disk_ || unreadable_) dirty_ = true;
  lines_.clear();
  eol_ = kNativeEol;
  unreadable_ = false;
}

std::string IniWriteMessage(const std::string& path, const std::string& reason) {
  return "Невозможно записать файл " + path + ": " + reason;
}

}  // namespace vr
