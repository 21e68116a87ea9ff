#include "platform/Base64.h"

#include <gtest/gtest.h>

namespace {

using platform::Data;
namespace base64 = platform::base64;

TEST(Base64, EncodesEveryPaddingCaseAndDecodesItBack) {
  struct Case {
    Data bytes;
    std::string text;
  };
  const Case cases[] = {
      {{}, ""},
      {{0x00}, "AA=="},
      {{0xff, 0xfe}, "//4="},
      {{0xfb, 0xef, 0xbe}, "++++"},
      {{'h', 'i', '!', '?'}, "aGkhPw=="},
      {{0x00, 0x10, 0x83, 0x10, 0x51}, "ABCDEFE="},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(base64::encode(c.bytes), c.text);
    EXPECT_EQ(base64::decode(c.text), std::string(c.bytes.begin(), c.bytes.end())) << c.text;
  }
}

TEST(Base64, DecodingStopsAtPaddingAndRefusesOtherCharacters) {
  EXPECT_EQ(base64::decode("c29tZQ==garbage"), "some");
  EXPECT_EQ(base64::decode("c29tZQ"), "some");
  for (const char* bad : {"c29t ZQ==", "c29t\nZQ==", "c29-ZQ==", "c29_ZQ=="}) {
    EXPECT_FALSE(base64::decode(bad).has_value()) << bad;
  }
}

}  // namespace
