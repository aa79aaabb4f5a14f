#include "common/controller_file.h"

#include "common/helpers.h"
#include "common/hex_record.h"

namespace qdqm {

namespace {

constexpr const char* kVersionCaption = "Version conflict";
constexpr const char* kOlderQuestion =
    "The selected software version is older\nthan the one already programmed to the controller "
    "flash.\n Do you whish to overwrite the newer version ?";
constexpr const char* kSameQuestion =
    "This software version is already\nprogrammed to the controller flash.\nDo you want to "
    "overwrite it ?";

constexpr const char* kCorruptText = "Data file %s is corrupt in line %u !\nError Code: 44";

// Header lines: the type line is read with room for 98 characters, the FPGA and MPEG lines with
// room for 259, the line end included; a longer header line is read in pieces.
constexpr size_t kTypeLineRoom = 98;
constexpr size_t kPathLineRoom = 259;
constexpr size_t kTypeLength = 5;

}  // namespace

bool confirmVersion(UpdateDialog& dlg, unsigned installed, unsigned selected) {
  if (installed > selected && !dlg.host.ask(kVersionCaption, kOlderQuestion, Icon::Exclamation))
    return false;
  return installed != selected || dlg.host.ask(kVersionCaption, kSameQuestion, Icon::Exclamation);
}

bool recordsAreWhole(UpdateDialog& dlg, DataFile& file, const std::string& fileName) {
  const DataFile::Mark start = file.mark();
  std::string line;
  RecordImage image;
  bool whole = true;
  for (;;) {
    const unsigned number = file.lineNumber();
    if (!file.readLine(line)) {
      dlg.showError(formatMessage(kUnexpectedEndText, fileName.c_str()));
      whole = false;
      break;
    }
    const std::string record = withoutLineEnd(line);
    // The end line counts by its first 11 characters; nothing behind it is read.
    if (isEndRecord(record)) break;
    // A record that rewrites another's bytes is named: it is the one that would spoil them.
    if (!isWellFormedRecord(record) || !image.take(record)) {
      dlg.showError(formatMessage(kCorruptText, fileName.c_str(), number));
      whole = false;
      break;
    }
  }
  file.seek(start);
  return whole;
}

bool readTypeLine(UpdateDialog& dlg, DataFile& file, const std::string& fileName,
                  const std::string& moduleType) {
  std::string typeLine;
  if (!file.readPiece(typeLine, kTypeLineRoom)) {
    dlg.showError(formatMessage(kUnexpectedEndText, fileName.c_str()));
    return false;
  }
  if (typeLine.size() < kTypeLength || moduleType.size() < kTypeLength ||
      typeLine.compare(0, kTypeLength, moduleType, 0, kTypeLength) != 0) {
    dlg.showError(kWrongTypeText);
    return false;
  }
  return true;
}

bool readPathLine(UpdateDialog& dlg, DataFile& file, const std::string& fileName,
                  std::string& line) {
  if (file.readPiece(line, kPathLineRoom)) return true;
  dlg.showError(formatMessage(kUnexpectedEndText, fileName.c_str()));
  return false;
}

bool namesFile(const std::string& line) {
  // A line of 3 characters or fewer, its line end included, names no file.
  constexpr size_t kNoFileLength = 3;
  return line.size() > kNoFileLength;
}

}  // namespace qdqm
