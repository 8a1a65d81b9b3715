// The INI layer on any bytes: parse, read, write our key, read it back, and
// check that nothing else of the file changed; write a list and read it back
// as it was.
//
// Input: byte 0 what to do (bit 0 write "ConnectionType", bit 1 write a list),
// bytes 1..4 the integer to write, then the file's bytes. The list's items are
// the first lines of the file's bytes.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "config/ini_file.h"

namespace {

[[noreturn]] void Finding(const char* what, const std::string& detail = {}) {
  std::fprintf(stderr, "ini_fuzzer: %s\n", what);
  std::fwrite(detail.data(), 1, detail.size(), stderr);
  std::fputc('\n', stderr);
  abort();
}

struct Line {
  std::string text, eol;
  bool operator==(const Line&) const = default;
};

// Lines split at '\n'; a '\r' before it belongs to the line end.
std::vector<Line> Split(std::string_view bytes) {
  std::vector<Line> lines;
  size_t pos = 0;
  while (pos < bytes.size()) {
    size_t nl = bytes.find('\n', pos);
    if (nl == std::string_view::npos) {
      lines.push_back({std::string(bytes.substr(pos)), {}});
      break;
    }
    size_t end = nl > pos && bytes[nl - 1] == '\r' ? nl - 1 : nl;
    lines.push_back(
        {std::string(bytes.substr(pos, end - pos)), std::string(bytes.substr(end, nl + 1 - end))});
    pos = nl + 1;
  }
  return lines;
}

bool Blank(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f';
}

std::string_view Trim(std::string_view s) {
  while (!s.empty() && Blank(s.front())) s.remove_prefix(1);
  while (!s.empty() && Blank(s.back())) s.remove_suffix(1);
  return s;
}

bool SameName(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    auto fold = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
    if (fold(a[i]) != fold(b[i])) return false;
  }
  return true;
}

// The name of a "name=value" line (trimmed), or empty.
std::string_view KeyName(std::string_view text) {
  std::string_view t = Trim(text);
  if (t.empty() || t.front() == ';' || t.front() == '[') return {};
  size_t eq = t.find('=');
  return eq == std::string_view::npos ? std::string_view{} : Trim(t.substr(0, eq));
}

bool IsEol(const std::string& eol) {
  return eol == "\n" || eol == "\r\n";
}

// Whether `after` is `before` with exactly our key written: one key line
// replaced in place (same name as written, same line end), or the key line
// inserted, with the section header before it when the section was new; the
// old last line may have gained a line end.
bool OnlyTheKeyChanged(const std::string& before, const std::string& after,
                       const std::string& value) {
  const std::vector<Line> a = Split(before), b = Split(after);
  size_t p = 0;
  while (p < a.size() && p < b.size() && a[p] == b[p]) ++p;
  size_t s = 0;
  while (s < a.size() - p && s < b.size() - p && a[a.size() - 1 - s] == b[b.size() - 1 - s]) ++s;
  const std::vector<Line> ma(a.begin() + p, a.end() - s), mb(b.begin() + p, b.end() - s);
  auto isKey = [&](const Line& l, std::string_view name) {
    return l.text == std::string(name) + "=" + value;
  };
  auto isHeader = [](const Line& l) { return l.text == "[VeederRoot]" && IsEol(l.eol); };
  auto inserted = [&](size_t from) {
    const size_t n = mb.size() - from;
    if (n == 1) return isKey(mb[from], "ConnectionType");
    return n == 2 && isHeader(mb[from]) && isKey(mb[from + 1], "ConnectionType");
  };
  if (ma.empty() && mb.empty()) return true;  // the value was there already
  if (ma.empty()) return inserted(0);
  if (ma.size() != 1) return false;
  const Line& x = ma[0];
  const std::string_view name = KeyName(x.text);
  if (mb.size() == 1 && !name.empty() && SameName(name, "ConnectionType") && isKey(mb[0], name) &&
      mb[0].eol == x.eol)
    return true;  // replaced
  // The old last line got a line end so that a line can follow it (its bytes
  // stay; a '\r' it ended with becomes part of "\r\n").
  const std::string grown = mb.empty() ? std::string() : mb[0].text + mb[0].eol;
  return p + 1 == a.size() && x.eol.empty() && mb.size() >= 2 && grown.starts_with(x.text) &&
         (grown.substr(x.text.size()) == "\n" || grown.substr(x.text.size()) == "\r\n") &&
         inserted(1);
}

void WriteTheKey(const std::string& text, int32_t v) {
  vr::IniFile ini = vr::IniFile::FromText(text);
  ini.WriteInteger("VeederRoot", "ConnectionType", v);
  const std::string after = ini.Text();
  if (ini.ReadInteger("VeederRoot", "ConnectionType", v == 0 ? 1 : 0) != v)
    Finding("the written key does not read back", after);
  if (!OnlyTheKeyChanged(text, after, std::to_string(v)))
    Finding("writing the key changed other content", after);
  if (after == text && ini.Modified()) Finding("an unchanged file counts as modified");
  // Writing the same value again changes nothing.
  vr::IniFile again = vr::IniFile::FromText(after);
  again.WriteInteger("VeederRoot", "ConnectionType", v);
  if (again.Modified() || again.Text() != after) Finding("writing the same value changed the file");
}

void WriteAList(const std::string& text) {
  std::vector<std::string> items;
  for (const Line& l : Split(text)) {
    if (items.size() == 6) break;
    items.push_back(l.text + (l.eol == "\r\n" ? "\r" : ""));  // a '\r' may stay inside an item
  }
  vr::IniFile ini = vr::IniFile::FromText(text);
  ini.WriteList("SiloItem7", items);
  std::vector<std::string> back;
  ini.ReadClearList("SiloItem7", back);
  if (back != items) Finding("a list did not read back as written", ini.Text());
  // Without such a section before, the old bytes stay in front, untouched.
  std::string lower = text;
  for (char& c : lower)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  if (lower.find("siloitem7") == std::string::npos && ini.Text().compare(0, text.size(), text) != 0)
    Finding("writing a new list section changed the content before it", ini.Text());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 5) return 0;
  const uint8_t what = data[0];
  int32_t v;
  std::memcpy(&v, data + 1, 4);
  const std::string text(reinterpret_cast<const char*>(data) + 5, size - 5);

  // Parsing keeps every byte.
  vr::IniFile ini = vr::IniFile::FromText(text);
  if (ini.Text() != text) Finding("parsing changed the bytes");
  // Reads of our keys and of a section named by the input itself.
  (void)ini.ReadInteger("VeederRoot", "ConnectionType", 0);
  (void)ini.ReadString("VeederRoot", "CriticalUpdateTime", "");
  (void)ini.SectionExists("VeederRoot");
  const std::string_view first = std::string_view(text).substr(0, text.find('\n'));
  try {
    (void)ini.ReadSection(first);
    std::vector<std::string> list;
    ini.ReadClearList(first, list);
    (void)ini.ValueExists(first, first);
  } catch (const std::invalid_argument&) {
  }

  if (what & 1) WriteTheKey(text, v);
  if (what & 2) WriteAList(text);
  return 0;
}
