// Inputs the fuzz targets found, kept as regression cases (the files live in
// the fuzz corpus so that the fuzzers start from them too).
#include <gtest/gtest.h>

#include <string>

#include "meter/device_file.h"

namespace {

std::string CorpusFile(const std::string& name) { return std::string(KESTREL_SOURCE_DIR) + "/fuzz/corpus/" + name; }

// A second XML declaration inside an unterminated attribute: Mini-XML gives
// up (and leaks a half-built element of its own, which the sanitizer runs
// suppress), and the gateway is left with no meters rather than half a file.
TEST(FuzzRegression, MalformedDeviceFileLeavesNoMeters) {
  DeviceTree tree;
  EXPECT_TRUE(LoadDeviceFile(CorpusFile("device_file/malformed_leaks_in_mxml.xml"), tree));
  EXPECT_EQ(tree.top, nullptr);
  EXPECT_EQ(FirstDevice(tree), nullptr);
  EXPECT_EQ(FindDeviceByPrimaryAddress(tree, 1), nullptr);
  FreeDeviceTree(tree);
}

}  // namespace
