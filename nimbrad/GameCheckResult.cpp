#include "nimbrad/GameCheckResult.h"

namespace nimbra {

std::string GameCheckResult::text() const {
  switch (kind_) {
    case Kind::isGame:
      return "isGame";
    case Kind::notGame:
      return "notGame";
    case Kind::undeterminedGame:
      return "undeterminedGame(reason: " + reason_ + ")";
  }
  return {};
}

int GameCheckResult::decisionCode() const {
  switch (kind_) {
    case Kind::isGame:
      return 1;
    case Kind::notGame:
      return 2;
    case Kind::undeterminedGame:
      return 3;
  }
  return 3;
}

}  // namespace nimbra
