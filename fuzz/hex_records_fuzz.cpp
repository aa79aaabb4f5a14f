// The controller data file as the update reads it: line pieces and CR LF, the record checks made
// before anything is erased, and the packing of records into 64-byte blocks. Records are decoded
// here on their own to judge what the tool accepted and what it sends.
#include <cstdint>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "app/update_dialog.h"
#include "common/controller_file.h"
#include "common/data_file.h"
#include "common/hex_record.h"
#include "fuzz/support/fuzz_input.h"
#include "fuzz/support/hex_model.h"
#include "fuzz/support/quiet_host.h"
#include "fuzz/support/script_line.h"
#include "fuzz/support/temp_dir.h"
#include "procedures/procedures.h"

namespace qdqm::fuzz {
namespace {

bool upperHex(std::string_view s) {
  return s.find_first_not_of("0123456789ABCDEF") == std::string_view::npos;
}

void checkPacking(std::string_view line) {
  const std::optional<Record> r = decode(line);
  FUZZ_EXPECT(isWellFormedRecord(line) == r.has_value());
  if (!r) return;
  FUZZ_EXPECT(hasRecordType(line, line.substr(7, 2)));
  const std::vector<std::string> pieces = packIntoBlocks(line);
  const size_t off = r->address % kFlashBlock;
  // One record per 64-byte block the data touch; the line itself when they stay in one.
  const size_t blocks = r->count == 0 ? 1 : (off + r->count + kFlashBlock - 1) / kFlashBlock;
  FUZZ_EXPECT(pieces.size() == blocks);
  if (blocks == 1) {
    FUZZ_EXPECT(pieces[0] == line);
    return;
  }
  std::vector<uint8_t> data;
  for (size_t k = 0; k < pieces.size(); ++k) {
    const std::string& p = pieces[k];
    const std::optional<Record> q = decode(p);
    FUZZ_EXPECT(q.has_value());
    FUZZ_EXPECT(q->count > 0);
    FUZZ_EXPECT(q->address % kFlashBlock + q->count <= kFlashBlock);
    FUZZ_EXPECT(q->address == static_cast<uint16_t>(r->address + data.size()));
    // The first keeps the line's address and type characters as read; the others are data
    // records whose count, address, type and checksum are written in upper case.
    if (k == 0) {
      FUZZ_EXPECT(p.substr(3, 6) == line.substr(3, 6));
      FUZZ_EXPECT(q->type == r->type);
    } else {
      FUZZ_EXPECT(q->type == 0);
      FUZZ_EXPECT(upperHex(p.substr(1, 8)));
    }
    FUZZ_EXPECT(upperHex(p.substr(1, 2)) && upperHex(p.substr(p.size() - 2)));
    // Data characters keep their case.
    FUZZ_EXPECT(p.substr(9, 2 * q->count) == line.substr(9 + 2 * data.size(), 2 * q->count));
    data.insert(data.end(), q->data.begin(), q->data.end());
  }
  FUZZ_EXPECT(data == r->data);
}

// Reads the whole file in pieces of `room` and checks what came out.
void checkPieces(DataFile& file, const std::string& expected, size_t room, FuzzInput& in) {
  std::string all, piece;
  unsigned lines = 1;
  const size_t markAt = in.below(8);
  std::optional<DataFile::Mark> mark;
  std::string afterMark;
  for (size_t k = 0;; ++k) {
    if (k == markAt) mark = file.mark();
    if (!file.readPiece(piece, room)) break;
    FUZZ_EXPECT(!piece.empty() && piece.size() <= room);
    const size_t lf = piece.find('\n');
    FUZZ_EXPECT(lf == std::string::npos || lf == piece.size() - 1);
    lines += lf != std::string::npos;
    FUZZ_EXPECT(file.lineNumber() == lines);
    all += piece;
    if (mark) afterMark += piece;
  }
  FUZZ_EXPECT(piece.empty());
  FUZZ_EXPECT(all == expected);
  FUZZ_EXPECT(file.position() == file.length());
  if (!mark) return;
  // Going back to a mark reads the same again.
  FUZZ_EXPECT(file.seek(*mark));
  FUZZ_EXPECT(file.lineNumber() == mark->line);
  std::string again;
  while (file.readPiece(piece, room)) again += piece;
  FUZZ_EXPECT(again == afterMark);
}

}  // namespace
}  // namespace qdqm::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace qdqm;
  using namespace qdqm::fuzz;
  FuzzInput in(data, size);
  const uint8_t roomChoice = in.byte();
  const size_t room = roomChoice == 0 ? std::string::npos : roomChoice % 120 + 1;
  const size_t markChoice = in.byte();
  const std::string content = in.rest();

  const std::filesystem::path path = processTempDir() / "data.hex";
  {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
  }
  const std::string text = normalised(content);

  DataFile file;
  FUZZ_EXPECT(file.open(path.string()));
  FUZZ_EXPECT(file.length() == static_cast<long>(content.size()));
  FuzzInput markInput(reinterpret_cast<const uint8_t*>(&markChoice), 1);
  checkPieces(file, text, room, markInput);

  // Every line: the record checks and the packing.
  FUZZ_EXPECT(file.seek({}));
  std::string line;
  while (file.readLine(line)) {
    const std::string record = withoutLineEnd(line);
    checkPacking(record);
    FUZZ_EXPECT(isEndRecord(record) == isEnd(record));
  }

  // The check before the erase: true exactly when every line up to an end record is a record and
  // no record rewrites another's bytes with different ones.
  VirtualClock clock;
  QuietHost host;
  ScriptOpener opener(clock);
  UpdateDialog dlg(opener, clock, host, windowProcedures());
  FUZZ_EXPECT(file.seek({}));
  const bool whole = recordsAreWhole(dlg, file, "data.hex");
  FUZZ_EXPECT(whole == wholeUpToEnd(text));
  FUZZ_EXPECT(host.boxes == (whole ? 0 : 1));
  FUZZ_EXPECT(file.position() == 0 && file.lineNumber() == 1);
  return 0;
}
