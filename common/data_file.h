// A controller data file as the update reads it: a type line, the FPGA and MPEG lines, then one
// Intel-HEX record per line. Files from the original platform end lines in CR LF; they are read as
// LF, so every line ends in a single LF as the header checks and the raw boot loader expect.
#pragma once

#include <cstdio>
#include <memory>
#include <string>

namespace qdqm {

class DataFile {
 public:
  bool open(const std::string& path);
  void close() { file_.reset(); }
  bool isOpen() const { return file_ != nullptr; }
  // Bytes in the file as stored.
  long length() const { return length_; }
  // Bytes of the stored file consumed so far.
  long position() const;
  // The number of the line the next read starts in (1 for the first line).
  unsigned lineNumber() const { return lineNumber_; }

  // The next piece of at most `room` characters, its LF included when the line ends within it;
  // a longer line is read in several pieces. False at the end of the file.
  bool readPiece(std::string& piece, size_t room);
  // The next line whatever its length, LF included. False at the end of the file.
  bool readLine(std::string& line) { return readPiece(line, std::string::npos); }

  // Where the next read starts, and going back there.
  struct Mark {
    long offset = 0;
    unsigned line = 1;
  };
  Mark mark() const { return {position(), lineNumber_}; }
  bool seek(const Mark& m);

 private:
  struct Closer {
    void operator()(std::FILE* f) const { std::fclose(f); }
  };
  std::unique_ptr<std::FILE, Closer> file_;
  long length_ = 0;
  unsigned lineNumber_ = 1;
};

// A record line without its line end.
std::string withoutLineEnd(const std::string& line);

}  // namespace qdqm
