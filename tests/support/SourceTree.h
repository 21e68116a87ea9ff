#pragma once

#include <string>

namespace nimbra::test {

// The checkout the tests were built from (its resources/ holds the shipped assets).
std::string sourceDirectory();

}  // namespace nimbra::test
