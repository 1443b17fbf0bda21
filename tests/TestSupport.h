// Small helpers shared by the test programs.
#pragma once

#include <string>

#include "platform/Platform.h"

namespace ovts::test {

// A directory of the test's own on drive C ("C:\ovts-test-<name>\"), created when missing.
inline std::string MakeTestDir(const std::string& name) {
  std::string dir = "C:\\ovts-test-" + name;
  port::MakeDirectory(dir.c_str());
  return dir + "\\";
}

}  // namespace ovts::test
