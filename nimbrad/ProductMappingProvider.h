#pragma once

// The product mapping rules, delivered as the BEACON asset (type
// productMappings): a property list whose root is an array of rule
// dictionaries {"productKey", "displayName", "matchConditions"}. Loading
// validates and normalises every rule; a bad rule, condition set, field or
// pattern is dropped with an error line and the rest still loads. Fennix
// content that is unusable as a whole keeps the previous rules; an unusable
// built-in default (or one holding an unsupported wildcard) is a broken
// installation and ends the process.
//
// Threads: as AssetBackedProvider; the lookups from any thread, each on one
// snapshot of the rules.

#include <memory>
#include <optional>
#include <string_view>

#include "nimbrad/AssetBackedProvider.h"
#include "nimbrad/ProductMappingProviding.h"
#include "nimbrad/ProductRule.h"

namespace nimbra {

class ProductMappingProvider final : public AssetBackedProvider<ProductRuleSet>, public ProductMappingProviding {
 public:
  static constexpr const char* kNotificationName = "com.corvane.nimbrad.asset.productMappings.didChange";
  static constexpr const char* kDarwinNotificationName = "com.corvane.nimbra.productmappings.changed";

  // Loads the current BEACON asset of `assetProvider` and follows its
  // changes; without an asset provider (null) there are no rules for ever.
  static std::shared_ptr<ProductMappingProvider> create(std::shared_ptr<AssetProvider> assetProvider);

  // Public for make<>(); use create().
  explicit ProductMappingProvider(std::shared_ptr<AssetProvider> assetProvider);

  std::optional<ProductMatch> matchingRule(const VelmoraEventData& event) const override;
  std::optional<ProductMatch> rule(std::string_view productKey) const override;
  std::optional<platform::ObserverToken> addObserver(RulesHandler handler) override {
    return AssetBackedProvider::addObserver(std::move(handler));
  }
  void removeObserver(platform::ObserverToken token) override { AssetBackedProvider::removeObserver(token); }

  // The BEACON parsing step; the reason for Fennix content that is unusable
  // as a whole. Public so that the format can be checked without an asset
  // manager.
  LoadResult loadFromAsset(const Asset& asset) override;
};

}  // namespace nimbra
