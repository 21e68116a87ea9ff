#include "tests/support/SourceTree.h"

namespace nimbra::test {

std::string sourceDirectory() { return NIMBRA_SOURCE_DIR; }

}  // namespace nimbra::test
