#include <windows.h>

#include "config/file_io.h"
#include "config/ini_file.h"

namespace vr {
namespace {

// ANSI code page text (paths) to UTF-8 (messages).
std::string AnsiToUtf8(const std::string& s) {
  if (s.empty()) return s;
  int wn = MultiByteToWideChar(CP_ACP, 0, s.data(), static_cast<int>(s.size()), nullptr, 0);
  std::wstring w(static_cast<size_t>(wn), L'\0');
  MultiByteToWideChar(CP_ACP, 0, s.data(), static_cast<int>(s.size()), w.data(), wn);
  int n = WideCharToMultiByte(CP_UTF8, 0, w.data(), wn, nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, w.data(), wn, out.data(), n, nullptr, nullptr);
  return out;
}

std::string ErrorText(DWORD err) {
  wchar_t* buf = nullptr;
  DWORD n = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, err, 0, reinterpret_cast<wchar_t*>(&buf), 0, nullptr);
  std::string out;
  if (n > 0 && buf) {
    while (n > 0 && (buf[n - 1] == L'\r' || buf[n - 1] == L'\n' || buf[n - 1] == L' ')) --n;
    int len =
        WideCharToMultiByte(CP_UTF8, 0, buf, static_cast<int>(n), nullptr, 0, nullptr, nullptr);
    out.resize(static_cast<size_t>(len));
    WideCharToMultiByte(CP_UTF8, 0, buf, static_cast<int>(n), out.data(), len, nullptr, nullptr);
  }
  if (buf) LocalFree(buf);
  if (out.empty()) out = "код ошибки " + std::to_string(err);
  return out;
}

}  // namespace

FileRead ReadFileBytes(const std::string& path, std::string& out) {
  out.clear();
  HANDLE h = CreateFileA(path.c_str(), GENERIC_READ,
                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                         OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    DWORD err = GetLastError();
    return (err == ERROR_FILE_NOT_FOUND || err == ERROR_PATH_NOT_FOUND) ? FileRead::kMissing
                                                                        : FileRead::kUnreadable;
  }
  char buf[65536];
  for (;;) {
    DWORD n = 0;
    if (!ReadFile(h, buf, sizeof buf, &n, nullptr)) {
      CloseHandle(h);
      out.clear();
      return FileRead::kUnreadable;
    }
    if (n == 0) break;
    out.append(buf, n);
  }
  CloseHandle(h);
  return FileRead::kOk;
}

bool ReadWholeFile(const std::string& path, std::string& out) {
  return ReadFileBytes(path, out) == FileRead::kOk;
}

bool FileExists(const std::string& path) {
  DWORD attr = GetFileAttributesA(path.c_str());
  return attr != INVALID_FILE_ATTRIBUTES && !(attr & FILE_ATTRIBUTE_DIRECTORY);
}

void WriteFileAtomically(const std::string& path, std::string_view data) {
  auto fail = [&](DWORD err) {
    throw EIniWrite(IniWriteMessage(AnsiToUtf8(path), ErrorText(err)));
  };
  size_t slash = path.find_last_of("\\/");
  std::string dir = slash == std::string::npos ? "." : path.substr(0, slash + 1);

  // GetTempFileNameA creates the (empty) temporary file in the same directory.
  char tmp[MAX_PATH];
  if (GetTempFileNameA(dir.c_str(), "cnf", 0, tmp) == 0) fail(GetLastError());
  HANDLE h = CreateFileA(tmp, GENERIC_WRITE, 0, nullptr, TRUNCATE_EXISTING, FILE_ATTRIBUTE_NORMAL,
                         nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    DWORD err = GetLastError();
    DeleteFileA(tmp);
    fail(err);
  }
  const char* p = data.data();
  size_t left = data.size();
  DWORD err = 0;
  while (left > 0 && err == 0) {
    DWORD chunk = left > 0x10000000 ? 0x10000000 : static_cast<DWORD>(left);
    DWORD n = 0;
    if (!WriteFile(h, p, chunk, &n, nullptr) || n == 0) {
      err = GetLastError();
      if (err == 0) err = ERROR_WRITE_FAULT;
    }
    p += n;
    left -= n;
  }
  if (err == 0 && !FlushFileBuffers(h)) err = GetLastError();
  if (!CloseHandle(h) && err == 0) err = GetLastError();
  // ReplaceFileA keeps the old file's attributes and security; a new file (or
  // a volume where it fails) is moved into place.
  if (err == 0 &&
      !(FileExists(path) && ReplaceFileA(path.c_str(), tmp, nullptr,
                                         REPLACEFILE_IGNORE_MERGE_ERRORS, nullptr, nullptr)) &&
      !MoveFileExA(tmp, path.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
    err = GetLastError();
  if (err != 0) {
    DeleteFileA(tmp);
    fail(err);
  }
}

}  // namespace vr
