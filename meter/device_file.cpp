#include "meter/device_file.h"

#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr const char* kDeviceElement = "Device";
constexpr const char* kObjectElement = "Object";
constexpr const char* kDeviceIdAttribute = "DeviceId";
constexpr const char* kPrimaryAddressAttribute = "PrimaryAddress";

// Only a regular file of at least one byte is a device description: a
// directory opens fine with fopen but reads as nothing.
bool IsNonEmptyRegularFile(FILE* file) {
  struct stat info {};
  if (fstat(fileno(file), &info) != 0) return false;
  return S_ISREG(info.st_mode) && info.st_size >= 1;
}

// The next element with this name after `after`, depth first, below the top
// node (never the top node itself).
Element NextElementNamed(const DeviceTree& tree, Element after, const char* name) {
  if (tree.top == nullptr || after == nullptr) return nullptr;
  return mxmlFindElement(after, tree.top, name, nullptr, nullptr, MXML_DESCEND);
}

// A missing DeviceId counts as empty text on both sides, like every other
// missing attribute.
Element NextObjectOf(const DeviceTree& tree, Element after, const char* deviceId) {
  const char* wanted = deviceId != nullptr ? deviceId : "";
  Element object = NextElementNamed(tree, after, kObjectElement);
  while (object != nullptr && std::strcmp(AttributeText(object, kDeviceIdAttribute), wanted) != 0) {
    object = NextElementNamed(tree, object, kObjectElement);
  }
  return object;
}

int Base(bool hex) { return hex ? 16 : 10; }

}  // namespace

bool LoadDeviceFile(const std::string& path, DeviceTree& tree) {
  tree.top = nullptr;
  FILE* file = std::fopen(path.c_str(), "r");
  if (file == nullptr) return false;
  if (!IsNonEmptyRegularFile(file)) {
    std::fclose(file);
    return false;
  }
  // No type callback: element text stays text and is never looked at. A file
  // that does not parse leaves top null, which is a gateway without meters.
  tree.top = mxmlLoadFile(nullptr, file, MXML_NO_CALLBACK);
  std::fclose(file);
  return true;
}

void FreeDeviceTree(DeviceTree& tree) {
  if (tree.top != nullptr) mxmlDelete(tree.top);
  tree.top = nullptr;
}

Element FirstDevice(const DeviceTree& tree) { return NextElementNamed(tree, tree.top, kDeviceElement); }

Element NextDevice(const DeviceTree& tree, Element after) {
  return NextElementNamed(tree, after, kDeviceElement);
}

Element FirstObject(const DeviceTree& tree, const char* deviceId) {
  return NextObjectOf(tree, tree.top, deviceId);
}

Element NextObject(const DeviceTree& tree, Element after, const char* deviceId) {
  return NextObjectOf(tree, after, deviceId);
}

Element FindDeviceByPrimaryAddress(const DeviceTree& tree, uint8_t address) {
  for (Element device = FirstDevice(tree); device != nullptr; device = NextDevice(tree, device)) {
    if (ReadAttribute8(device, kPrimaryAddressAttribute, false) == address) return device;
  }
  return nullptr;
}

const char* AttributeText(Element element, const char* name) {
  if (element == nullptr || name == nullptr) return "";
  const char* text = mxmlElementGetAttr(element, name);
  return text != nullptr ? text : "";
}

uint8_t ReadAttribute8(Element element, const char* name, bool hex) {
  return static_cast<uint8_t>(std::strtoull(AttributeText(element, name), nullptr, Base(hex)));
}

uint16_t ReadAttribute16(Element element, const char* name, bool hex) {
  return static_cast<uint16_t>(std::strtoull(AttributeText(element, name), nullptr, Base(hex)));
}

uint64_t ReadAttribute64(Element element, const char* name, bool hex) {
  const char* text = AttributeText(element, name);
  if (hex) return std::strtoull(text, nullptr, 16);
  return static_cast<uint64_t>(std::strtoll(text, nullptr, 10));
}

void WriteAttribute(Element element, const char* name, uint32_t value, int width, bool hex) {
  if (element == nullptr || name == nullptr) return;
  const char* format = hex ? "%0*X" : "%0*u";
  const int length = std::snprintf(nullptr, 0, format, width, static_cast<unsigned>(value));
  if (length < 0) return;
  std::string text(static_cast<size_t>(length) + 1, '\0');
  std::snprintf(&text[0], text.size(), format, width, static_cast<unsigned>(value));
  text.resize(static_cast<size_t>(length));
  mxmlElementSetAttr(element, name, text.c_str());
}
