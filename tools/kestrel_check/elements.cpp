#include "tools/kestrel_check/elements.h"

namespace {

constexpr const char* kObjectElement = "Object";

int Position(Element element, Element first, Element (*next)(const DeviceTree&, Element),
             const DeviceTree& tree) {
  int position = 1;
  for (Element e = first; e != nullptr && e != element; e = next(tree, e)) ++position;
  return position;
}

std::string Quoted(Element element, const char* name) {
  return HasAttribute(element, name) ? "\"" + AttributeValue(element, name) + "\"" : "missing";
}

}  // namespace

// Same walk as the gateway's searches: the descendants of the top node.
Element FirstObjectOfAny(const DeviceTree& tree) {
  if (tree.top == nullptr) return nullptr;
  return mxmlFindElement(tree.top, tree.top, kObjectElement, nullptr, nullptr, MXML_DESCEND);
}

Element NextObjectOfAny(const DeviceTree& tree, Element after) {
  return mxmlFindElement(after, tree.top, kObjectElement, nullptr, nullptr, MXML_DESCEND);
}

bool HasAttribute(Element element, const char* name) {
  return mxmlElementGetAttr(element, name) != nullptr;
}

std::string AttributeValue(Element element, const char* name) {
  const char* value = mxmlElementGetAttr(element, name);
  return value == nullptr ? "" : value;
}

std::string DescribeDevice(const DeviceTree& tree, Element device) {
  return "Device #" + std::to_string(Position(device, FirstDevice(tree), NextDevice, tree)) +
         " (DeviceId " + Quoted(device, "DeviceId") + ")";
}

std::string DescribeObject(const DeviceTree& tree, Element object) {
  return "Object #" +
         std::to_string(Position(object, FirstObjectOfAny(tree), NextObjectOfAny, tree)) +
         " (DeviceId " + Quoted(object, "DeviceId") + ", ObjectId " + Quoted(object, "ObjectId") +
         ")";
}

std::string DescribeAttribute(Element element, const char* name) {
  if (!HasAttribute(element, name)) return std::string(name) + " (missing)";
  return std::string(name) + "=\"" + AttributeValue(element, name) + "\"";
}
