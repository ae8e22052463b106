#include "checks/elements.h"

#include <cctype>

#include "links/link_settings.h"

namespace kestrel {
namespace {

std::string Quoted(const WrittenElement& element, const char* name) {
  return element.Has(name) ? "\"" + element.Text(name) + "\"" : "missing";
}

}  // namespace

std::string LinkNameOf(const Meter& meter) {
  std::string name = meter.modbusPort;
  for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return name;
}

const LinkModel* LinkOf(const CheckedFile& file, const Meter& meter) {
  const std::string name = LinkNameOf(meter);
  for (const LinkModel& link : file.links) {
    if (link.name == name) return &link;
  }
  return nullptr;
}

std::string OnLinkText(const Meter& meter) {
  return meter.modbusPort.empty() ? "" : " on [" + LinkSectionOf(LinkNameOf(meter)) + "]";
}

std::string DescribeDevice(const CheckedFile& file, size_t meter) {
  return "Device #" + std::to_string(meter + 1) + " (DeviceId " +
         Quoted(file.written.devices[meter], "DeviceId") + ")";
}

std::string DescribeObject(const CheckedFile& file, size_t record) {
  const WrittenElement& object = file.written.objects[record];
  return "Object #" + std::to_string(record + 1) + " (DeviceId " + Quoted(object, "DeviceId") +
         ", ObjectId " + Quoted(object, "ObjectId") + ")";
}

std::string DescribeAttribute(const WrittenElement& element, const char* name) {
  if (!element.Has(name)) return std::string(name) + " (missing)";
  return std::string(name) + "=\"" + element.Text(name) + "\"";
}

}  // namespace kestrel
