#include <windows.h>

#include <filesystem>

#include "app/service_record.h"

namespace qdqm {

bool appendHistoryLine(const std::string& path, const std::string& line, std::string& error) {
  std::error_code ec;
  const std::filesystem::path file(path);
  std::filesystem::create_directories(file.parent_path(), ec);
  // Appending only (no other write access), shared with other writers, locked while writing.
  const HANDLE h =
      CreateFileW(file.wstring().c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                  nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    error = "error " + std::to_string(GetLastError());
    return false;
  }
  const std::string whole = line + "\n";
  OVERLAPPED all{};
  bool ok = LockFileEx(h, LOCKFILE_EXCLUSIVE_LOCK, 0, MAXDWORD, MAXDWORD, &all) != 0;
  DWORD written = 0;
  ok = ok && WriteFile(h, whole.data(), static_cast<DWORD>(whole.size()), &written, nullptr) &&
       written == whole.size();
  if (!ok) error = "error " + std::to_string(GetLastError());
  UnlockFileEx(h, 0, MAXDWORD, MAXDWORD, &all);
  CloseHandle(h);
  return ok;
}

}  // namespace qdqm
