#pragma once

// How the providers reach the asset manager: the current asset of a type and
// a callback on every store of a new one. An interface so that provider tests
// can drive asset changes without Fennix.

#include <cstdint>
#include <functional>
#include <optional>

#include "nimbrad/Asset.h"

namespace nimbra {

struct AssetObserverToken {
  std::uint64_t id = 0;
  bool operator==(const AssetObserverToken&) const = default;
  explicit operator bool() const { return id != 0; }
};

class AssetProvider {
 public:
  // Receives the new asset and the one it replaced (nullopt if none was cached).
  using Observer = std::function<void(const Asset& newAsset, const std::optional<Asset>& previousAsset)>;

  virtual ~AssetProvider() = default;

  // The current asset of `type`; never fails (falls back to the built-in default).
  virtual Asset asset(AssetType type) const = 0;

  // The built-in default of `type`, whatever is current. A missing file is a
  // broken installation and ends the process.
  virtual Asset builtInDefault(AssetType type) const = 0;

  // Registers `observer` for every store of an asset of any type; callbacks
  // run one at a time on the provider's own queue, never on the caller's
  // thread. Returns a token unique for this provider.
  virtual AssetObserverToken addObserver(Observer observer) = 0;

  // Unregisters asynchronously: a callback already under way may still run.
  virtual void removeObserver(AssetObserverToken token) = 0;
};

}  // namespace nimbra
