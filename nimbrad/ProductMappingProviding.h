#pragma once

// How the rest of the daemon reaches the product mapping rules: the rule a
// launch event matches, the rule of a product key (for its display name),
// and the product key of a launch.

#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "nimbrad/LaunchBundle.h"
#include "nimbrad/PathParsers.h"
#include "nimbrad/ProductRule.h"
#include "nimbrad/VelmoraEventData.h"
#include "platform/NotificationCenter.h"

namespace nimbra {

class ProductMappingProviding {
 public:
  // Receives the rules before the change (nullopt if unknown) and after it.
  using RulesHandler = std::function<void(const std::optional<ProductRuleSet>& oldRules,
                                          const ProductRuleSet& newRules)>;

  virtual ~ProductMappingProviding() = default;

  // The first rule, in file order, one of whose condition sets matches
  // `event`; nullopt when none does. Any thread.
  virtual std::optional<ProductMatch> matchingRule(const VelmoraEventData& event) const = 0;

  // The first rule whose product key is exactly `productKey`. Any thread.
  virtual std::optional<ProductMatch> rule(std::string_view productKey) const = 0;

  // Calls `handler` after each change of the rules, on the thread that ran
  // the reload. nullopt when the rules can never change (no asset source).
  virtual std::optional<platform::ObserverToken> addObserver(RulesHandler handler) = 0;
  virtual void removeObserver(platform::ObserverToken token) = 0;

  // The product key of a launch. The candidate is `bundle` when it is an
  // app, framework, bundle, component, XPC service or library, else the
  // event's responsible process. Its bundle root is the default key. With a
  // provider, the event with the candidate as responsible process is matched
  // against the rules, then (no match) once more with the bundle identifier
  // of the bundle containing the default key; a match gives its product key.
  // `provider` may be null (the default key). Any thread; reads bundles on
  // disk for the second try, with `files`' rights.
  static std::string productKey(const ProductMappingProviding* provider, const VelmoraEventData& event,
                                const std::optional<LaunchBundle>& bundle, const platform::UserFileReader& files,
                                const PathParsersConfiguration& paths = PathParsersConfiguration::standard());
};

}  // namespace nimbra
