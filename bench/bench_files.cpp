#include "bench/bench_files.h"

#include <cstdio>

namespace {

constexpr int kMostPrimaryAddresses = 250;  // 1 to 250; the rest are the bus's own
constexpr int kFirstIdNumber = 10000000;    // eight digits, as the metrics label them

}  // namespace

int BenchPrimaryAddress(int number) { return (number - 1) % kMostPrimaryAddresses + 1; }

std::string BenchIdNumber(int number) { return std::to_string(kFirstIdNumber + number); }

std::string BenchDevice(int number, int objects, const std::string& extra) {
  char line[320];
  std::snprintf(line, sizeof line,
                "  <Device DeviceId=\"M%d\" PrimaryAddress=\"%d\" IdNumber=\"%s\" Medium=\"02\" "
                "AccessNumber=\"00\" Status=\"00\" SlaveAddress=\"1\" Base=\"0\" FloatMode=\"0\" "
                "IntReverse=\"0\" ComSettings=\"N\" %s/>\n",
                number, BenchPrimaryAddress(number), BenchIdNumber(number).c_str(), extra.c_str());
  std::string text = line;
  for (int i = 0; i < objects; ++i) {
    std::snprintf(line, sizeof line,
                  "  <Object DeviceId=\"M%d\" RegisterRead=\"%d\" ModbusFunction=\"3\" ModbusDT=\"INT16\" "
                  "Function=\"0\" MBusDT=\"2\" Storage=\"0\" Tariff=\"0\" SubUnit=\"0\" Vib=\"03\"/>\n",
                  number, 100 + i);
    text += line;
  }
  return text;
}

std::string BenchDeviceFile(const std::string& devices) {
  return "<?xml version=\"1.0\"?>\n<Meters>\n" + devices + "</Meters>\n";
}

std::string LargeDeviceFile(int meters, int objects, const std::string& extra) {
  std::string devices;
  for (int m = 1; m <= meters; ++m) devices += BenchDevice(m, objects, extra);
  return BenchDeviceFile(devices);
}
