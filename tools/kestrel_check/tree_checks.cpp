#include "tools/kestrel_check/tree_checks.h"

#include <strings.h>

#include <cstring>

#include "meter/rsp_ud.h"
#include "tools/kestrel_check/elements.h"
#include "tools/kestrel_check/record_layout.h"

namespace {

bool IsMeterElement(Element node) {
  const char* name = mxmlGetElement(node);
  return name != nullptr && (std::strcmp(name, "Device") == 0 || std::strcmp(name, "Object") == 0);
}

// The first earlier Device whose attribute has the same text, or none.
Element EarlierWithSame(const DeviceTree& tree, Element device, const char* name) {
  for (Element other = FirstDevice(tree); other != device; other = NextDevice(tree, other)) {
    if (HasAttribute(other, name) && AttributeValue(other, name) == AttributeValue(device, name)) {
      return other;
    }
  }
  return nullptr;
}

Element DeviceWithIdIgnoringCase(const DeviceTree& tree, const std::string& deviceId) {
  for (Element device = FirstDevice(tree); device != nullptr; device = NextDevice(tree, device)) {
    if (strcasecmp(AttributeText(device, "DeviceId"), deviceId.c_str()) == 0) return device;
  }
  return nullptr;
}

}  // namespace

void CheckTreeShape(const DeviceTree& tree, const std::string& file, Report& report) {
  if (tree.top == nullptr) {
    AddError(report, file, "document", "does not parse as XML: the gateway has no meters");
    return;
  }
  // Searches start below the top node: without an XML declaration the first
  // element is that node, and a Device or Object there is never found.
  if (IsMeterElement(tree.top)) {
    AddError(report, file, std::string("top element <") + mxmlGetElement(tree.top) + ">",
             "is never found: start the file with <?xml version=\"1.0\"?> or wrap it in another "
             "element");
  }
  if (FirstDevice(tree) == nullptr) {
    AddWarning(report, file, "document", "holds no Device: the gateway answers no meter");
  }
}

void CheckDuplicateMeters(const DeviceTree& tree, const std::string& file, Report& report) {
  for (Element device = FirstDevice(tree); device != nullptr; device = NextDevice(tree, device)) {
    const uint8_t address = ReadAttribute8(device, "PrimaryAddress", false);
    const Element first = FindDeviceByPrimaryAddress(tree, address);
    if (HasAttribute(device, "PrimaryAddress") && first != device) {
      AddError(report, file,
               DescribeDevice(tree, device) + " " + DescribeAttribute(device, "PrimaryAddress"),
               "primary address " + std::to_string(address) + " is " +
                   DescribeDevice(tree, first) + "'s already: this meter is never read by it");
    }
    const Element sameId = EarlierWithSame(tree, device, "IdNumber");
    if (sameId != nullptr) {
      AddError(report, file,
               DescribeDevice(tree, device) + " " + DescribeAttribute(device, "IdNumber"),
               "also the IdNumber of " + DescribeDevice(tree, sameId) +
                   ": selection by secondary address always finds that one");
    }
  }
}

void CheckObjectOwners(const DeviceTree& tree, const std::string& file, Report& report) {
  for (Element object = FirstObjectOfAny(tree); object != nullptr;
       object = NextObjectOfAny(tree, object)) {
    if (!HasAttribute(object, "DeviceId")) continue;  // reported as missing
    const std::string deviceId = AttributeValue(object, "DeviceId");
    bool owned = false;
    for (Element device = FirstDevice(tree); device != nullptr && !owned;
         device = NextDevice(tree, device)) {
      owned = HasAttribute(device, "DeviceId") && AttributeValue(device, "DeviceId") == deviceId;
    }
    if (owned) continue;
    const std::string where = DescribeObject(tree, object) + " " + DescribeAttribute(object, "DeviceId");
    const Element nearly = DeviceWithIdIgnoringCase(tree, deviceId);
    if (nearly != nullptr) {
      AddError(report, file, where,
               "differs from " + DescribeDevice(tree, nearly) +
                   " only in letter case: DeviceIds must match exactly, the record is never sent");
    } else {
      AddWarning(report, file, where, "matches no Device: the record is never sent");
    }
  }
}

void CheckTelegramLength(const DeviceTree& tree, Element device, const std::string& file,
                         Report& report) {
  int total = 0;
  const char* deviceId = AttributeText(device, "DeviceId");
  for (Element object = FirstObject(tree, deviceId); object != nullptr;
       object = NextObject(tree, object, deviceId)) {
    total += RecordLength(LayOutRecord(object));
  }
  if (total > kMaxRecordBytes) {
    AddError(report, file, DescribeDevice(tree, device),
             "its records take " + std::to_string(total) + " bytes, more than the " +
                 std::to_string(kMaxRecordBytes) + " of one RSP_UD: the meter cannot answer");
  }
}
