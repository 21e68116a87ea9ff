#pragma once

// The exclusion rules, delivered as the CORAL asset (type exclusionRules): a
// property list whose root is an array of string-to-string dictionaries, one
// rule each. Fennix content that is unusable as a whole keeps the previous
// rules; empty rule dictionaries are dropped; an unusable built-in default is
// a broken installation and ends the process.
//
// Threads: as AssetBackedProvider; currentRules() from any thread.

#include <memory>
#include <optional>

#include "nimbrad/AssetBackedProvider.h"
#include "nimbrad/ExclusionRulesProviding.h"

namespace nimbra {

class ExclusionRulesProvider final : public AssetBackedProvider<ExclusionRuleList>, public ExclusionRulesProviding {
 public:
  static constexpr const char* kNotificationName = "com.corvane.nimbra.ExclusionRules.didChange";
  static constexpr const char* kDarwinNotificationName = "com.corvane.nimbra.exclusionrules.changed";

  // Loads the current CORAL asset of `assetProvider` and follows its changes;
  // without an asset provider (null) the rule list stays empty for ever.
  static std::shared_ptr<ExclusionRulesProvider> create(std::shared_ptr<AssetProvider> assetProvider);

  // Public for make<>(); use create().
  explicit ExclusionRulesProvider(std::shared_ptr<AssetProvider> assetProvider);

  ExclusionRuleList currentRules() const override { return currentData(); }
  std::shared_ptr<const ExclusionRuleList> currentRulesSnapshot() const override { return currentDataSnapshot(); }
  std::optional<platform::ObserverToken> addObserver(RulesHandler handler) override {
    return AssetBackedProvider::addObserver(std::move(handler));
  }
  void removeObserver(platform::ObserverToken token) override { AssetBackedProvider::removeObserver(token); }

  // The CORAL parsing step; the reason for Fennix content that is unusable
  // as a whole. Public so that the format can be checked without an asset
  // manager.
  LoadResult loadFromAsset(const Asset& asset) override;
};

}  // namespace nimbra
