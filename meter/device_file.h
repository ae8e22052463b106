#pragma once
// The DeviceFile: Device elements (emulated meters) and Object elements (their
// data records), linked by equal DeviceId strings, always taken in document
// order and at any depth. Loaded once with Mini-XML and never saved.
#include <mxml.h>

#include <cstdint>
#include <string>

using Element = mxml_node_t*;

// The loaded document. top is null when the file did not parse: such a
// gateway has no meters.
struct DeviceTree {
  mxml_node_t* top = nullptr;
};

// false when the file cannot be opened, is empty, or is not a regular file.
bool LoadDeviceFile(const std::string& path, DeviceTree& tree);
void FreeDeviceTree(DeviceTree& tree);

// Document-order walks; nullptr at the end.
Element FirstDevice(const DeviceTree& tree);
Element NextDevice(const DeviceTree& tree, Element after);
// The Objects whose DeviceId equals deviceId exactly.
Element FirstObject(const DeviceTree& tree, const char* deviceId);
Element NextObject(const DeviceTree& tree, Element after, const char* deviceId);

// The first Device whose PrimaryAddress (decimal, low 8 bits) equals address.
Element FindDeviceByPrimaryAddress(const DeviceTree& tree, uint8_t address);

// The attribute's text; "" when it is missing (no attribute has a default).
const char* AttributeText(Element element, const char* name);

// C conversions (strtoull; strtoll for the 64-bit reader in base 10), cut to
// the reader's width. hex selects base 16 (a 0x prefix is allowed).
uint8_t ReadAttribute8(Element element, const char* name, bool hex);
uint16_t ReadAttribute16(Element element, const char* name, bool hex);
uint64_t ReadAttribute64(Element element, const char* name, bool hex);

// "%0*X" (hex) or "%0*u" with the given width; creates the attribute if missing.
void WriteAttribute(Element element, const char* name, uint32_t value, int width, bool hex);
