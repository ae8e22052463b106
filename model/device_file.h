#pragma once
// Loading the DeviceFile: streamed once through Mini-XML's SAX parser into
// the meter model; the document itself is never held.
//
// Which elements count is what a search of the whole parsed tree would find:
// every Device and Object element at any depth, nested in each other or not,
// in document order, below the document's top node. With an XML declaration
// the declaration is that node; without one the first element is, and a
// Device or Object that is itself the first element is never seen.
#include <string>
#include <utility>
#include <vector>

#include "model/meter_model.h"

namespace kestrel {

// One Device or Object as written: every attribute's name and text.
struct WrittenElement {
  std::vector<std::pair<std::string, std::string>> attributes;

  bool Has(const char* name) const;
  std::string Text(const char* name) const;  // "" when missing
};

// The document as written, for kestrel-check's findings; the gateway does
// not keep it.
struct WrittenDocument {
  std::string topElement;               // name of the top node, which no search sees
  std::vector<WrittenElement> devices;  // as MeterModel::meters
  std::vector<WrittenElement> objects;  // as MeterModel::records
};

// false when the file cannot be opened, is empty or is not a regular file.
// A file that does not parse loads as no meters (parsed false), whatever
// the parser saw before it gave up. written, when given, receives the texts.
bool LoadDeviceFile(const std::string& path, MeterModel& model, WrittenDocument* written = nullptr);

}  // namespace kestrel
