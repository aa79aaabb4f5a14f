// A coprocessor image (FPGA or MPEG decoder file): opaque bytes, read once from the front in
// blocks. The file is closed when the object goes, so every way out of a stage closes it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

namespace qdqm {

class ImageFile {
 public:
  // Opens a regular file read-only; false when it is missing, unreadable or not a file.
  bool open(const std::string& path);
  void close() { file_.reset(); }
  bool isOpen() const { return file_ != nullptr; }
  long length() const { return length_; }
  // Up to n bytes from where the last read ended; 0 at the end of the file.
  size_t read(uint8_t* buffer, size_t n);

 private:
  struct Closer {
    void operator()(std::FILE* f) const { std::fclose(f); }
  };
  std::unique_ptr<std::FILE, Closer> file_;
  long length_ = 0;
};

class UpdateDialog;
// True when the file `name` (in the working directory) opens for reading and holds at least
// `headerBytes` bytes (a stage's image header).
bool fileReadable(const UpdateDialog& dlg, const std::string& name, size_t headerBytes);

}  // namespace qdqm
