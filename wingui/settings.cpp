#include "wingui/settings.h"

#include <shlobj.h>

#include "wingui/wide.h"

namespace qdqm::wingui {
namespace {

constexpr const wchar_t* kKey = L"Software\\qdqm-update";
constexpr const wchar_t* kFolderValue = L"UpdateFolder";

// The chooser starts in the folder in use.
int CALLBACK startAt(HWND chooser, UINT msg, LPARAM, LPARAM data) {
  if (msg == BFFM_INITIALIZED) SendMessageW(chooser, BFFM_SETSELECTIONW, TRUE, data);
  return 0;
}

}  // namespace

std::string rememberedFolder() {
  wchar_t text[MAX_PATH * 4] = {};
  DWORD size = sizeof text - sizeof(wchar_t);
  if (RegGetValueW(HKEY_CURRENT_USER, kKey, kFolderValue, RRF_RT_REG_SZ, nullptr, text, &size) !=
      ERROR_SUCCESS)
    return {};
  return narrow(text);
}

void rememberFolder(const std::string& folder) {
  const std::wstring text = widen(folder);
  RegSetKeyValueW(HKEY_CURRENT_USER, kKey, kFolderValue, REG_SZ, text.c_str(),
                  static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
}

std::string askForFolder(HWND owner, const std::string& current) {
  const std::wstring start = widen(current);
  BROWSEINFOW info{};
  info.hwndOwner = owner;
  info.lpszTitle = L"Update folder";
  info.ulFlags = BIF_RETURNONLYFSDIRS | BIF_NEWDIALOGSTYLE;
  info.lpfn = startAt;
  info.lParam = reinterpret_cast<LPARAM>(start.c_str());
  PIDLIST_ABSOLUTE chosen = SHBrowseForFolderW(&info);
  if (chosen == nullptr) return {};
  wchar_t path[MAX_PATH] = {};
  const bool named = SHGetPathFromIDListW(chosen, path);
  CoTaskMemFree(chosen);
  return named ? narrow(path) : std::string();
}

}  // namespace qdqm::wingui
