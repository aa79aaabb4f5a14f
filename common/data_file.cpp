#include "common/data_file.h"

namespace qdqm {

bool DataFile::open(const std::string& path) {
  close();
  lineNumber_ = 1;
  if (path.empty()) return false;
  file_.reset(std::fopen(path.c_str(), "rb"));
  if (!file_) return false;
  if (std::fseek(file_.get(), 0, SEEK_END) != 0) return false;
  length_ = std::ftell(file_.get());
  std::rewind(file_.get());
  return length_ >= 0;
}

long DataFile::position() const {
  return file_ ? std::ftell(file_.get()) : 0;
}

bool DataFile::readPiece(std::string& piece, size_t room) {
  piece.clear();
  if (!file_) return false;
  std::FILE* f = file_.get();
  while (piece.size() < room) {
    int c = std::getc(f);
    if (c == EOF) break;
    if (c == '\r') {
      const int next = std::getc(f);
      if (next == '\n') {
        c = '\n';
      } else if (next != EOF) {
        std::ungetc(next, f);
      }
    }
    piece.push_back(static_cast<char>(c));
    if (c == '\n') {
      ++lineNumber_;
      break;
    }
  }
  return !piece.empty();
}

bool DataFile::seek(const Mark& m) {
  if (!file_ || std::fseek(file_.get(), m.offset, SEEK_SET) != 0) return false;
  lineNumber_ = m.line;
  return true;
}

std::string withoutLineEnd(const std::string& line) {
  return line.ends_with('\n') ? line.substr(0, line.size() - 1) : line;
}

}  // namespace qdqm
