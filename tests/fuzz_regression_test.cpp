// Inputs the fuzz targets found, kept as regression cases (the files live in
// the fuzz corpus so that the fuzzers start from them too).
#include <gtest/gtest.h>

#include <string>

#include "model/device_file.h"

using namespace kestrel;

namespace {

// A second XML declaration inside an unterminated attribute: Mini-XML gives
// up (and leaks a half-built element of its own, which the sanitizer runs
// suppress), and the gateway is left with no meters rather than half a file.
TEST(FuzzRegression, MalformedDeviceFileLeavesNoMeters) {
  MeterModel model;
  EXPECT_TRUE(LoadDeviceFile(std::string(KESTREL_SOURCE_DIR) + "/fuzz/corpus/device_file/malformed_leaks_in_mxml.xml", model));
  EXPECT_FALSE(model.parsed);
  EXPECT_TRUE(model.meters.empty() && model.records.empty());
}

}  // namespace
