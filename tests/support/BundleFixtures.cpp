#include "tests/support/BundleFixtures.h"

namespace nimbra::test {

const platform::UserFileReader& rootFiles() {
  static const platform::UserFileReader files(platform::UserIdentity::root());
  return files;
}

namespace {

std::string escape(const std::string& text) {
  std::string out;
  for (char c : text) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      default: out.push_back(c);
    }
  }
  return out;
}

}  // namespace

std::string plistString(const std::string& key, const std::string& value) {
  return "<key>" + escape(key) + "</key><string>" + escape(value) + "</string>";
}

std::string plistStringArray(const std::string& key, const std::vector<std::string>& values) {
  std::string out = "<key>" + escape(key) + "</key><array>";
  for (const std::string& value : values) out += "<string>" + escape(value) + "</string>";
  return out + "</array>";
}

std::string plistBool(const std::string& key, bool value) {
  return "<key>" + escape(key) + "</key>" + (value ? "<true/>" : "<false/>");
}

std::string plistDictionary(const std::string& entries) {
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
         "<plist version=\"1.0\"><dict>" +
         entries + "</dict></plist>\n";
}

AppFixture writeApp(const TempDirectory& dir, const std::string& relative, const std::string& name,
                    const std::string& entries, const std::string& executable) {
  dir.write(relative + "/Contents/Info.plist", plistDictionary(plistString("CFBundleExecutable", name) + entries));
  std::string exe = dir.write(relative + "/Contents/MacOS/" + name, executable);
  return {dir.file(relative), exe};
}

void writeLocalizedStrings(const TempDirectory& dir, const std::string& relativeBundle, const std::string& language,
                           const std::string& content) {
  dir.write(relativeBundle + "/Contents/Resources/" + language + ".lproj/InfoPlist.strings", content);
}

}  // namespace nimbra::test
