#pragma once
// The version the program reports, as the package carries it ("1.01.04");
// made from the project's version by cmake/version.cmake.

namespace kestrel {

constexpr const char* kVersionText = KESTREL_VERSION_TEXT;

}  // namespace kestrel
