#pragma once

// How the rest of the daemon reaches the native app list: the action URL
// (a link to a native version, or a settings pane) offered for a bundle
// identifier.

#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>

#include "platform/NotificationCenter.h"

namespace nimbra {

// Bundle identifier to action URL.
using NativeAppList = std::map<std::string, std::string>;

class NativeAppListProviding {
 public:
  // Receives the list before the change (nullopt if unknown) and after it.
  using ListHandler = std::function<void(const std::optional<NativeAppList>& oldList, const NativeAppList& newList)>;

  virtual ~NativeAppListProviding() = default;

  // The action URL of `bundleID` with leading and trailing white space
  // removed (exact, case-sensitive key); nullopt when there is none or the
  // identifier is empty. Any thread.
  virtual std::optional<std::string> actionURL(std::string_view bundleID) const = 0;

  // Calls `handler` after each change of the list, on the thread that ran
  // the reload. nullopt when the list can never change (no asset source).
  virtual std::optional<platform::ObserverToken> addObserver(ListHandler handler) = 0;
  virtual void removeObserver(platform::ObserverToken token) = 0;
};

}  // namespace nimbra
