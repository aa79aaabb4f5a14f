#include "gui/settings.h"

#include <QSettings>
#include <QString>

namespace qdqm::gui {
namespace {

constexpr const char* kOrganisation = "qdqm-update";
constexpr const char* kApplication = "qdqm-update";
constexpr const char* kFolderKey = "updateFolder";

}  // namespace

std::string rememberedFolder() {
  return QSettings(kOrganisation, kApplication).value(kFolderKey).toString().toStdString();
}

void rememberFolder(const std::string& folder) {
  QSettings(kOrganisation, kApplication).setValue(kFolderKey, QString::fromStdString(folder));
}

}  // namespace qdqm::gui
