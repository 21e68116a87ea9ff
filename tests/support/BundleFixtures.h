#pragma once

// Bundles on disk for tests: application, plug-in and framework layouts with
// an Info.plist, localized strings and executables.

#include <string>
#include <utility>
#include <vector>

#include "platform/UserFileReader.h"
#include "tests/support/TempDirectory.h"

namespace nimbra::test {

// Reads with root's rights, for tests about what is read rather than whose
// rights it is read with.
const platform::UserFileReader& rootFiles();

// "<key>k</key><string>v</string>" with XML escaping of both.
std::string plistString(const std::string& key, const std::string& value);
// "<key>k</key><array><string>..</string>...</array>"
std::string plistStringArray(const std::string& key, const std::vector<std::string>& values);
// "<key>k</key><true/>" or "<false/>"
std::string plistBool(const std::string& key, bool value);
// A complete XML property list whose root dictionary holds `entries`.
std::string plistDictionary(const std::string& entries);

struct AppFixture {
  std::string bundle;      // the .app (or other) directory
  std::string executable;  // Contents/MacOS/<name>
};

// Writes <relative>/Contents/Info.plist (with CFBundleExecutable = name and
// `entries`) and <relative>/Contents/MacOS/<name> holding `executable`.
AppFixture writeApp(const TempDirectory& dir, const std::string& relative, const std::string& name,
                    const std::string& entries, const std::string& executable);

// Writes <bundle>/Contents/Resources/<language>.lproj/InfoPlist.strings.
void writeLocalizedStrings(const TempDirectory& dir, const std::string& relativeBundle, const std::string& language,
                           const std::string& content);

}  // namespace nimbra::test
