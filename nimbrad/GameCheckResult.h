#pragma once

// Whether an application is a game, as the installed-games cache answers it.
// An undetermined answer carries the reason; callers treat it as "not a game"
// so that a missing or slow games library never hides a launch.

#include <string>

namespace nimbra {

class GameCheckResult {
 public:
  enum class Kind { isGame, notGame, undeterminedGame };

  static GameCheckResult isGame() { return GameCheckResult(Kind::isGame, {}); }
  static GameCheckResult notGame() { return GameCheckResult(Kind::notGame, {}); }
  static GameCheckResult undeterminedGame(std::string reason) {
    return GameCheckResult(Kind::undeterminedGame, std::move(reason));
  }
  // isGame or notGame from a flag.
  static GameCheckResult fromFlag(bool game) { return game ? isGame() : notGame(); }

  Kind kind() const { return kind_; }
  // Empty unless undeterminedGame.
  const std::string& reason() const { return reason_; }

  // "isGame", "notGame", "undeterminedGame(reason: <reason>)".
  std::string text() const;
  // 1 for isGame, 2 for notGame, 3 for undeterminedGame (analytics).
  int decisionCode() const;

  bool operator==(const GameCheckResult&) const = default;

 private:
  GameCheckResult(Kind kind, std::string reason) : kind_(kind), reason_(std::move(reason)) {}
  Kind kind_;
  std::string reason_;
};

}  // namespace nimbra
