#pragma once
// DeviceFiles for the benchmarks: meters whose Objects are all INT16 reads of
// consecutive holding registers, so any slave that answers 03h requests with
// zeros serves them.
#include <string>

// Device number `number` (1 and up) with the given Object count: DeviceId
// "M<number>", IdNumber 10000000 + number, primary address number modulo 250
// (1 to 250), so that files of more than 250 meters still tell each meter by
// its DeviceId and IdNumber; extra: more attributes of the Device, written as
// they are.
std::string BenchDevice(int number, int objects, const std::string& extra = "");

// The primary address and the IdNumber BenchDevice gives device number `number`.
int BenchPrimaryAddress(int number);
std::string BenchIdNumber(int number);

// A whole DeviceFile holding the given Device elements.
std::string BenchDeviceFile(const std::string& devices);

// meters Devices (primary addresses 1..meters, modulo 250) of objects Objects each,
// with every Device's Objects right after it.
std::string LargeDeviceFile(int meters, int objects, const std::string& extra = "");
