#include "tools/kestrel_check/elements.h"

namespace kestrel {
namespace {

std::string Quoted(const WrittenElement& element, const char* name) {
  return element.Has(name) ? "\"" + element.Text(name) + "\"" : "missing";
}

}  // namespace

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
