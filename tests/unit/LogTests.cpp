#include <gtest/gtest.h>

#include <string>

#include "platform/Log.h"
#include "tests/support/LogCapture.h"

using namespace std::string_literals;
using nimbra::test::LogCapture;
using platform::LogLines;

namespace {

// A type with a formatter of its own whose text spans two lines.
struct TwoLines {};

}  // namespace

template <>
struct fmt::formatter<TwoLines> {
  constexpr auto parse(format_parse_context& ctx) -> decltype(ctx.begin()) { return ctx.begin(); }
  auto format(const TwoLines&, format_context& ctx) const -> decltype(ctx.out()) {
    return fmt::format_to(ctx.out(), "first\nsecond");
  }
};

namespace {

const platform::Logger& logger() {
  static const platform::Logger log("com.corvane.nimbrad", "LogTests");
  return log;
}

// The one message that `body` logged.
template <typename Body>
std::string logged(Body body) {
  LogCapture capture;
  body();
  auto messages = capture->messages();
  EXPECT_EQ(messages.size(), 1u);
  return messages.empty() ? std::string() : messages.front();
}

TEST(Log, ValuesAreEscapedAndTheFormatTextIsKept) {
  const char* const nullText = nullptr;
  const char array[] = "arr\nay";
  const struct {
    const char* label;
    std::string message;
    std::string expected;
  } cases[] = {
      {"newline in a string", logged([] { logger().notice("name: {}", "a\nb"s); }), "name: a\\nb"},
      {"forged daemon line",
       logged([] { logger().error("<nimbrad> Failed to extract event data: {}", "x\n<3><nimbrad> forged"s); }),
       "<nimbrad> Failed to extract event data: x\\n<3><nimbrad> forged"},
      {"other controls and DEL", logged([] { logger().notice("{}", "\x01\t\r\x1b\x7f|"s); }),
       "\\x01\\x09\\x0d\\x1b\\x7f|"},
      {"NUL inside a string", logged([] { logger().notice("{}", "a\0b"s); }), "a\\x00b"},
      {"UTF-8 and backslashes kept", logged([] { logger().notice("{}", "caf\xC3\xA9 \\n"s); }), "caf\xC3\xA9 \\n"},
      {"string view", logged([] { logger().notice("{}", std::string_view("v\nw")); }), "v\\nw"},
      {"C string", logged([] { logger().notice("{}", static_cast<const char*>("c\nd")); }), "c\\nd"},
      {"null C string", logged([&] { logger().notice("[{}]", nullText); }), "[(null)]"},
      {"character array", logged([&] { logger().notice("{}", array); }), "arr\\nay"},
      {"a single character", logged([] { logger().notice("<{}>", '\n'); }), "<\\n>"},
      {"own formatter", logged([] { logger().notice("{}", TwoLines{}); }), "first\\nsecond"},
      {"line breaks of the format", logged([] { logger().notice("a\n b: {}\n c", "x"); }), "a\n b: x\n c"},
      {"width applies to the escaped text", logged([] { logger().notice("[{:>6}]", "a\n"s); }), "[   a\\n]"},
      {"numbers keep their specifications", logged([] { logger().notice("{:03d} {:.1f} {}", 7, 2.25, true); }),
       "007 2.2 true"},
      {"dynamic width", logged([] { logger().notice("[{:>{}}]", "x", 4); }), "[   x]"},
      {"lines keep their breaks, values in them do not",
       logged([] { logger().notice("entry [{}]", LogLines().add("first").add("").add("se\ncond")); }),
       "entry [first\n\nse\\ncond]"},
      {"an already formatted message is one value",
       logged([] { logger().write(platform::LogLevel::Error, "one\ntwo"); }), "one\\ntwo"},
  };
  for (const auto& c : cases) EXPECT_EQ(c.message, c.expected) << c.label;
}

TEST(Log, LinesJoinWithoutEscapingForTextsThatAreNotLogged) {
  EXPECT_EQ(LogLines().add("a\tb").add("").add("c").joined(), "a\tb\n\nc");
  EXPECT_EQ(LogLines().joined(), "");
}

}  // namespace
