#include "common/image_file.h"

#include <sys/stat.h>

#include "app/catalogue.h"

namespace qdqm {

bool ImageFile::open(const std::string& path) {
  close();
  length_ = 0;
  if (path.empty()) return false;
  std::unique_ptr<std::FILE, Closer> f(std::fopen(path.c_str(), "rb"));
  struct stat st {};
  if (!f || fstat(fileno(f.get()), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  file_ = std::move(f);
  length_ = static_cast<long>(st.st_size);
  return true;
}

size_t ImageFile::read(uint8_t* buffer, size_t n) {
  return file_ ? std::fread(buffer, 1, n, file_.get()) : 0;
}

bool fileReadable(const UpdateDialog& dlg, const std::string& name, size_t headerBytes) {
  ImageFile file;
  return file.open(resolveInWorkingDir(dlg, name)) &&
         file.length() >= static_cast<long>(headerBytes);
}

}  // namespace qdqm
