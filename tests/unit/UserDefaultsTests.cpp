#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform/Log.h"
#include "platform/PropertyList.h"
#include "platform/UserDefaults.h"
#include "tests/support/LogCapture.h"
#include "tests/support/ScopedEnv.h"
#include "tests/support/TempDirectory.h"

using namespace platform;
using nimbra::test::TempDirectory;

namespace {

class UserDefaultsTest : public ::testing::Test {
 protected:
  std::string contents(const std::string& path) const {
    std::ifstream in(path, std::ios::binary);
    std::stringstream buffer;
    buffer << in.rdbuf();
    return buffer.str();
  }

  TempDirectory dir_;
  UserDefaults defaults_{dir_.path(), "com.corvane.test"};
  nimbra::test::LogCapture capture_{LogLevel::Default};
};

}  // namespace

TEST(UserDefaultsConversion, ReadersConvertAsDocumented) {
  const double nan = std::nan("");
  const struct {
    Value value;
    std::optional<std::int64_t> integer;
    std::optional<bool> boolean;
  } table[] = {
      {7, 7, true},
      {0, 0, false},
      {-3, -3, true},
      {true, 1, true},
      {false, 0, false},
      {2.9, 2, true},
      {-2.9, -2, true},
      {0.0, 0, false},
      {1e19, std::nullopt, true},
      {-9223372036854775808.0, std::numeric_limits<std::int64_t>::min(), true},
      {nan, std::nullopt, std::nullopt},
      {" 42\n", 42, std::nullopt},
      {"+5", 5, std::nullopt},
      {"-5", -5, std::nullopt},
      {"+-5", std::nullopt, std::nullopt},
      {"9223372036854775808", std::nullopt, std::nullopt},
      {"12abc", std::nullopt, std::nullopt},
      {"", std::nullopt, std::nullopt},
      {"1", 1, true},
      {"0", 0, false},
      {"yes", std::nullopt, true},
      {"No", std::nullopt, false},
      {"TRUE", std::nullopt, true},
      {"fAlSe", std::nullopt, false},
      {"y", std::nullopt, std::nullopt},
      {Date{5}, std::nullopt, std::nullopt},
      {Array{1}, std::nullopt, std::nullopt},
      {Data{1}, std::nullopt, std::nullopt},
  };
  for (const auto& row : table) {
    EXPECT_EQ(UserDefaults::integerFrom(row.value), row.integer) << row.value.description();
    EXPECT_EQ(UserDefaults::booleanFrom(row.value), row.boolean) << row.value.description();
  }
}

TEST_F(UserDefaultsTest, MissingFileIsAnEmptyDomainWithoutComplaint) {
  EXPECT_EQ(defaults_.path(), dir_.path() + "/com.corvane.test.plist");
  EXPECT_TRUE(defaults_.dictionaryRepresentation().empty());
  EXPECT_EQ(defaults_.integer("dbSyncInterval"), std::nullopt);
  EXPECT_TRUE(UserDefaults(dir_.file("absent"), "x").dictionaryRepresentation().empty());
  EXPECT_TRUE(capture_->messages().empty());
}

TEST_F(UserDefaultsTest, CorruptFileReadsAsEmptyAndLogsOneLine) {
  for (const std::string& bytes : {std::string("<plist><dict><key>a</key>"), std::string("garbage"),
                                   PropertyList::encodeBinary(Array{1})}) {
    capture_->clear();
    dir_.write("com.corvane.test.plist", bytes);
    EXPECT_TRUE(defaults_.dictionaryRepresentation().empty());
    ASSERT_EQ(capture_->lines().size(), 1u);
    EXPECT_EQ(capture_->lines()[0].level, LogLevel::Error);
    EXPECT_TRUE(capture_->lines()[0].message.starts_with("<UserDefaults> cannot read " + defaults_.path() + ": "))
        << capture_->lines()[0].message;
  }
  // Writing would replace what the administrator may still want to repair.
  auto result = defaults_.set("a", 1);
  ASSERT_FALSE(result);
  EXPECT_NE(result.error().find(defaults_.path()), std::string::npos);
  EXPECT_EQ(contents(defaults_.path()), PropertyList::encodeBinary(Array{1}));
}

TEST_F(UserDefaultsTest, WritesAreAtomicXmlAndReadsSeeEveryEdit) {
  ASSERT_TRUE(defaults_.set("dbSyncInterval", 60));
  ASSERT_TRUE(defaults_.set("logLevel", "debug"));
  EXPECT_EQ(defaults_.integer("dbSyncInterval"), 60);
  EXPECT_EQ(*defaults_.object("logLevel"), Value("debug"));
  EXPECT_TRUE(contents(defaults_.path()).starts_with("<?xml"));
  struct stat info;
  ASSERT_EQ(stat(defaults_.path().c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0644u);

  // An administrator's edit is seen by the next read.
  dir_.write("com.corvane.test.plist", *PropertyList::encodeXml(Dictionary{{"dbSyncInterval", "120"}}));
  EXPECT_EQ(defaults_.integer("dbSyncInterval"), 120);

  ASSERT_TRUE(defaults_.remove("dbSyncInterval"));
  ASSERT_TRUE(defaults_.remove("never-set"));
  EXPECT_TRUE(defaults_.dictionaryRepresentation().empty());

  // A failed write keeps the old file.
  ASSERT_TRUE(defaults_.set("kept", true));
  const std::string before = contents(defaults_.path());
  auto failed = defaults_.set("null", Value());
  ASSERT_FALSE(failed);
  EXPECT_TRUE(failed.error().starts_with("cannot write " + defaults_.path())) << failed.error();
  EXPECT_EQ(contents(defaults_.path()), before);
  EXPECT_FALSE(UserDefaults(dir_.file("absent"), "x").set("a", 1));
}

TEST_F(UserDefaultsTest, StandardDomainsLiveInTheConfigurationDirectory) {
  const auto standard = [&] {
    nimbra::test::ScopedEnv configuration("CONFIGURATION_DIRECTORY", dir_.path());
    return UserDefaults::standard("com.corvane.nimbrad");
  }();
  EXPECT_EQ(standard.path(), dir_.path() + "/com.corvane.nimbrad.plist");
  EXPECT_EQ(standard.domain(), "com.corvane.nimbrad");
}
