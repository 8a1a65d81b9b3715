#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <system_error>

#include "config/file_io.h"
#include "config/ini_file.h"

namespace vr {
namespace {

std::string ErrorText(int err) {
  return std::system_category().message(err);
}

// Closes a descriptor and removes the temporary file unless released.
class TempFile {
 public:
  explicit TempFile(std::string name, int fd) : name_(std::move(name)), fd_(fd) {}
  ~TempFile() {
    if (fd_ >= 0) ::close(fd_);
    if (!name_.empty()) ::unlink(name_.c_str());
  }
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;
  int fd() const { return fd_; }
  const std::string& name() const { return name_; }
  int Close() {
    int rc = ::close(fd_);
    fd_ = -1;
    return rc;
  }
  void Release() { name_.clear(); }

 private:
  std::string name_;
  int fd_;
};

// The process umask, read without changing it (Linux); 022 where unknown.
mode_t CurrentUmask() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("Umask:", 0) == 0)
      return static_cast<mode_t>(std::strtoul(line.c_str() + 6, nullptr, 8));
  }
  return 022;
}

}  // namespace

FileRead ReadFileBytes(const std::string& path, std::string& out) {
  out.clear();
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0)
    return (errno == ENOENT || errno == ENOTDIR) ? FileRead::kMissing : FileRead::kUnreadable;
  char buf[65536];
  for (;;) {
    ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      ::close(fd);
      out.clear();
      return FileRead::kUnreadable;
    }
    if (n == 0) break;
    out.append(buf, static_cast<size_t>(n));
  }
  ::close(fd);
  return FileRead::kOk;
}

bool ReadWholeFile(const std::string& path, std::string& out) {
  return ReadFileBytes(path, out) == FileRead::kOk;
}

bool FileExists(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && !S_ISDIR(st.st_mode);
}

void WriteFileAtomically(const std::string& path, std::string_view data) {
  auto fail = [&](int err) { throw EIniWrite(IniWriteMessage(path, ErrorText(err))); };

  // A symbolic link stays a link: the file it points to is replaced.
  std::string target = path;
  struct stat st;
  if (::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
    if (char* real = ::realpath(path.c_str(), nullptr)) {
      target = real;
      std::free(real);
    }
  }
  bool existed = ::stat(target.c_str(), &st) == 0;

  size_t slash = target.rfind('/');
  std::string dir = slash == std::string::npos ? "." : target.substr(0, slash + 1);
  std::string base = slash == std::string::npos ? target : target.substr(slash + 1);
  std::string tmpl = (slash == std::string::npos ? "" : dir) + "." + base + ".XXXXXX";
  int fd = ::mkstemp(tmpl.data());
  if (fd < 0) fail(errno);
  TempFile tmp(tmpl, fd);

  // Keep the old file's permissions (and owner, where allowed); a new file
  // gets the usual 0666 less the umask rather than mkstemp's 0600.
  mode_t mode = existed ? (st.st_mode & 07777) : (0666 & ~CurrentUmask());
  if (::fchmod(fd, mode) != 0) fail(errno);
  if (existed && ::fchown(fd, st.st_uid, st.st_gid) != 0) {
    // Not being allowed to give the file away is not a reason to fail.
  }

  const char* p = data.data();
  size_t left = data.size();
  while (left > 0) {
    ssize_t n = ::write(fd, p, left);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) fail(errno);
    if (n == 0) fail(EIO);
    p += n;
    left -= static_cast<size_t>(n);
  }
  if (::fsync(fd) != 0) fail(errno);
  if (tmp.Close() != 0) fail(errno);
  if (::rename(tmp.name().c_str(), target.c_str()) != 0) fail(errno);
  tmp.Release();

  // Make the rename itself durable.
  int dfd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dfd >= 0) {
    ::fsync(dfd);
    ::close(dfd);
  }
}

}  // namespace vr
