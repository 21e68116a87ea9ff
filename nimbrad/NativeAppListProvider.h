#pragma once

// The native app list, delivered as the MAGPIE asset (type nativeApps): a
// property-list dictionary from bundle identifier to {"actionURL": <text>}.
// Entries without a valid action URL are skipped and counted; Fennix content
// that is unusable as a whole keeps the previous list; an unusable built-in
// default is a broken installation and ends the process.
//
// Threads: as AssetBackedProvider; actionURL() from any thread.

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "nimbrad/AssetBackedProvider.h"
#include "nimbrad/NativeAppListProviding.h"

namespace nimbra {

class NativeAppListProvider final : public AssetBackedProvider<NativeAppList>, public NativeAppListProviding {
 public:
  static constexpr const char* kNotificationName = "com.corvane.nimbra.NativeAppList.didChange";
  static constexpr const char* kDarwinNotificationName = "com.corvane.nimbra.nativeapps.changed";

  // Loads the current MAGPIE asset of `assetProvider` and follows its
  // changes; without an asset provider (null) the list stays empty for ever.
  static std::shared_ptr<NativeAppListProvider> create(std::shared_ptr<AssetProvider> assetProvider);

  // Public for make<>(); use create().
  explicit NativeAppListProvider(std::shared_ptr<AssetProvider> assetProvider);

  std::optional<std::string> actionURL(std::string_view bundleID) const override;
  std::optional<platform::ObserverToken> addObserver(ListHandler handler) override {
    return AssetBackedProvider::addObserver(std::move(handler));
  }
  void removeObserver(platform::ObserverToken token) override { AssetBackedProvider::removeObserver(token); }

  // The URL to store for an action URL text, or nullopt when it is not a
  // valid one: with surrounding white space and newlines removed, an
  // absolute URL of only URL characters (well-formed %-escapes) whose scheme,
  // in any letter case, is "https", "http" (both with a non-empty host) or
  // "x-corvane.systempreferences".
  static std::optional<std::string> validatedActionURL(std::string_view text);

  // The MAGPIE parsing step; the reason for Fennix content that is unusable
  // as a whole. Public so that the format can be checked without an asset
  // manager.
  LoadResult loadFromAsset(const Asset& asset) override;
};

}  // namespace nimbra
