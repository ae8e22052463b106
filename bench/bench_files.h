#pragma once
// DeviceFiles for the benchmarks: meters whose Objects are all INT16 reads of
// consecutive holding registers, so any slave that answers 03h requests with
// zeros serves them.
#include <string>

// One Device with the given primary address and Object count; DeviceId
// "M<address>"; extra: more attributes of the Device, written as they are.
std::string BenchDevice(int primaryAddress, int objects, const std::string& extra = "");

// A whole DeviceFile holding the given Device elements.
std::string BenchDeviceFile(const std::string& devices);

// meters Devices (primary addresses 1..meters, modulo 250) of objects Objects each,
// with every Device's Objects right after it.
std::string LargeDeviceFile(int meters, int objects, const std::string& extra = "");
