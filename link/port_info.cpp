#include "link/port_info.h"

namespace qdqm {

std::string PortInfo::adapter() const {
  std::string text = manufacturer;
  if (!product.empty()) text += (text.empty() ? "" : " ") + product;
  std::string ids;
  if (!vendorId.empty()) ids = vendorId + ":" + productId;
  if (!serial.empty()) ids += (ids.empty() ? "" : ", ") + std::string("serial ") + serial;
  if (!ids.empty()) text += (text.empty() ? "(" : " (") + ids + ")";
  return text;
}

std::string deviceNote(const std::string& name, const std::string& devicePath) {
  const std::string adapter = describeDevice(devicePath).adapter();
  return adapter.empty() ? name : name + "  " + adapter;
}

}  // namespace qdqm
