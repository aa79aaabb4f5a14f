#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

#include "app/service_record.h"

namespace qdqm {

bool appendHistoryLine(const std::string& path, const std::string& line, std::string& error) {
  std::error_code ec;
  std::filesystem::create_directories(std::filesystem::path(path).parent_path(), ec);
  const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) {
    error = std::strerror(errno);
    return false;
  }
  // One write of the whole line, under the file's lock: lines of stations and other processes
  // never interleave (O_APPEND alone does not promise that for every file system).
  const std::string whole = line + "\n";
  bool ok = flock(fd, LOCK_EX) == 0;
  ssize_t written = -1;
  if (ok) written = ::write(fd, whole.data(), whole.size());
  ok = ok && written == static_cast<ssize_t>(whole.size());
  if (!ok) error = written < 0 ? std::strerror(errno) : "the line was cut short";
  ::close(fd);  // releases the lock
  return ok;
}

}  // namespace qdqm
