#pragma once
// The DeviceFile's elements as kestrel-check names them in its findings:
// "Device #2 (DeviceId "heat2")", "Object #5 (DeviceId "heat2", ObjectId "1")",
// numbered in document order, and attributes as Name="value" or
// Name (missing).
#include <string>

#include "meter/device_file.h"

// Every Object in document order, whatever its DeviceId.
Element FirstObjectOfAny(const DeviceTree& tree);
Element NextObjectOfAny(const DeviceTree& tree, Element after);

bool HasAttribute(Element element, const char* name);
std::string AttributeValue(Element element, const char* name);  // "" when missing

std::string DescribeDevice(const DeviceTree& tree, Element device);
std::string DescribeObject(const DeviceTree& tree, Element object);
std::string DescribeAttribute(Element element, const char* name);
