#include <gtest/gtest.h>
#include <plist/plist.h>
#include <pthread.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <cmath>
#include <csignal>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <limits>

#include "platform/PropertyList.h"
#include "platform/XmlPropertyList.h"
#include "tests/support/RawPeer.h"
#include "tests/support/TempDirectory.h"

using namespace platform;
using nimbra::test::TempDirectory;
using namespace std::string_literals;

namespace {

// Hand-built binary property lists for inputs our encoder never writes.
struct Bplist {
  std::size_t refSize = 1;
  std::vector<std::string> objects;

  std::string ref(std::uint64_t index) const { return bigEndian(index, refSize); }

  static std::string bigEndian(std::uint64_t v, std::size_t width) {
    std::string out;
    for (std::size_t i = 0; i < width; ++i) out.push_back(static_cast<char>(v >> (8 * (width - 1 - i))));
    return out;
  }

  std::string build(std::uint64_t top = 0) const {
    std::string out = "bplist00";
    std::vector<std::uint64_t> offsets;
    for (const auto& object : objects) {
      offsets.push_back(out.size());
      out += object;
    }
    const std::size_t offsetSize = out.size() > 0xFFFF ? 4 : out.size() > 0xFF ? 2 : 1;
    const std::uint64_t table = out.size();
    for (auto offset : offsets) out += bigEndian(offset, offsetSize);
    out += std::string(6, '\0');
    out += static_cast<char>(offsetSize);
    out += static_cast<char>(refSize);
    out += bigEndian(objects.size(), 8) + bigEndian(top, 8) + bigEndian(table, 8);
    return out;
  }
};

// Trailer fields, by their offset from the end of the file.
enum TrailerField { kOffsetSize = 26, kRefSize = 25, kObjectCount = 24, kTopObject = 16, kTableOffset = 8 };

std::string patched(std::string bytes, TrailerField field, std::uint64_t value) {
  const std::size_t at = bytes.size() - field;
  if (field == kOffsetSize || field == kRefSize) {
    bytes[at] = static_cast<char>(value);
  } else {
    bytes.replace(at, 8, Bplist::bigEndian(value, 8));
  }
  return bytes;
}

Value sampleDictionary() {
  Data bytes;
  for (int i = 0; i < 256; ++i) bytes.push_back(static_cast<std::uint8_t>(i));
  Array many;
  for (int i = 0; i < 300; ++i) many.emplace_back(i * 1000);
  return Dictionary{
      {"integers", Array{0, 1, 255, 256, 65535, 65536, 4294967295LL, 4294967296LL, -1,
                         std::numeric_limits<std::int64_t>::min(), std::numeric_limits<std::int64_t>::max()}},
      {"reals", Array{0.0, 1.5, -2.25, 1e-300, 1e300, 0.1}},
      {"booleans", Array{true, false}},
      {"strings", Array{"", "plain ascii longer than fifteen bytes", "caf\xC3\xA9", "\xE6\x97\xA5\xE6\x9C\xAC",
                        "astral \xF0\x9F\x98\x80 mixed"}},
      {"dates", Array{Date{0}, Date{-86400 * 365}, Date{978307200}, Date{1700000000}}},
      {"data", Array{Data{}, bytes}},
      {"empty", Array{Array{}, Dictionary{}}},
      {"k\xC3\xA9y \xF0\x9F\x98\x80", Dictionary{{"nested", Dictionary{{"deeper", Array{Dictionary{}}}}}}},
      {"many", many},
  };
}

std::string libplistBinaryFromXml(const std::string& xml) {
  plist_t node = nullptr;
  plist_from_xml(xml.data(), static_cast<std::uint32_t>(xml.size()), &node);
  EXPECT_NE(node, nullptr);
  char* bin = nullptr;
  std::uint32_t length = 0;
  plist_to_bin(node, &bin, &length);
  std::string out(bin, length);
  plist_to_bin_free(bin);
  plist_free(node);
  return out;
}

std::string libplistXmlFromBinary(const std::string& bin) {
  plist_t node = nullptr;
  plist_from_bin(bin.data(), static_cast<std::uint32_t>(bin.size()), &node);
  EXPECT_NE(node, nullptr);
  if (node == nullptr) return {};
  char* xml = nullptr;
  std::uint32_t length = 0;
  plist_to_xml(node, &xml, &length);
  std::string out(xml, length);
  plist_to_xml_free(xml);
  plist_free(node);
  return out;
}

// Runs `body` on a thread with a small stack: a decoder that recursed once
// per nesting level of a hostile file would overflow it. 1 MiB leaves room for
// the bounded recursion even in unoptimised sanitizer builds, whose frames are
// several times larger.
void onSmallStack(std::function<void()> body) {
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setstacksize(&attr, 1024 * 1024);
  pthread_t thread;
  auto run = [](void* arg) -> void* {
    (*static_cast<std::function<void()>*>(arg))();
    return nullptr;
  };
  ASSERT_EQ(pthread_create(&thread, &attr, run, &body), 0);
  pthread_join(thread, nullptr);
  pthread_attr_destroy(&attr);
}

std::string nestedXml(std::size_t levels, std::string_view before = "", std::string_view after = "") {
  std::string xml = "<?xml version=\"1.0\"?><plist>";
  xml += before;
  for (std::size_t i = 0; i < levels; ++i) xml += "<array>";
  for (std::size_t i = 0; i < levels; ++i) xml += "</array>";
  xml += after;
  return xml + "</plist>";
}

Bplist nestedBinary(std::size_t levels) {
  Bplist b;
  b.refSize = 2;
  for (std::size_t i = 0; i + 1 < levels; ++i) b.objects.push_back("\xA1" + b.ref(i + 1));
  b.objects.push_back(std::string("\xA0", 1));
  return b;
}

}  // namespace

TEST(PropertyList, EveryTypeRoundTripsThroughBothFormats) {
  const Value original = sampleDictionary();
  auto fromBinary = PropertyList::decode(PropertyList::encodeBinary(original));
  ASSERT_TRUE(fromBinary) << fromBinary.error().message;
  EXPECT_EQ(*fromBinary, original);

  auto xml = PropertyList::encodeXml(original);
  ASSERT_TRUE(xml) << xml.error().message;
  auto fromXml = PropertyList::decode(*xml);
  ASSERT_TRUE(fromXml) << fromXml.error().message;
  EXPECT_EQ(*fromXml, original);
}

TEST(PropertyList, ScalarRootsAndEdgeValuesRoundTrip) {
  const std::vector<Value> values = {
      Value(0), Value(-1), Value(std::numeric_limits<std::int64_t>::min()), Value(""), Value(std::string("a\0b", 3)),
      Value(HUGE_VAL), Value(-HUGE_VAL), Value(Date{-1.5}), Value(Date{1700000000.25}), Value(Data{0}),
      Value(Array{Value(), Array{Value()}})};
  for (const auto& value : values) {
    auto decoded = PropertyList::decode(PropertyList::encodeBinary(value));
    ASSERT_TRUE(decoded) << value.description() << ": " << decoded.error().message;
    EXPECT_EQ(*decoded, value) << value.description();
  }
}

TEST(PropertyList, XmlKeepsWholeSecondsAndRefusesWhatItCannotHold) {
  const struct {
    double seconds;
    double expected;
  } dates[] = {{1700000000.75, 1700000000}, {-1.5, -2}, {-1e9, -1e9}, {3e9, 3e9}};
  for (const auto& d : dates) {
    auto xml = PropertyList::encodeXml(Value(Date{d.seconds}));
    ASSERT_TRUE(xml) << d.seconds;
    auto back = PropertyList::decode(*xml);
    ASSERT_TRUE(back) << back.error().message;
    EXPECT_EQ(back->asDate()->secondsSince1970, d.expected);
  }
  EXPECT_FALSE(PropertyList::encodeXml(Value()));
  EXPECT_FALSE(PropertyList::encodeXml(Value(Array{1, Value()})));
  EXPECT_FALSE(PropertyList::encodeXml(Value(Date{-3e9})));
  EXPECT_FALSE(PropertyList::encodeXml(Value(Date{5e9})));
  EXPECT_FALSE(PropertyList::decode("<plist><date>2100-01-01T00:00:00Z</date></plist>"));

  auto nul = PropertyList::encodeXml(Value(std::string("a\0b", 3)));
  ASSERT_TRUE(nul);
  EXPECT_EQ(*PropertyList::decode(*nul), Value("a\xEF\xBF\xBD" "b"));
}

TEST(PropertyList, BinaryInteroperatesWithLibplist) {
  const Value original = sampleDictionary();
  // libplist writes the binary form of our XML; we read it.
  auto ours = PropertyList::decode(libplistBinaryFromXml(*PropertyList::encodeXml(original)));
  ASSERT_TRUE(ours) << ours.error().message;
  EXPECT_EQ(*ours, original);
  // libplist reads our binary form; we read its XML.
  auto theirs = PropertyList::decode(libplistXmlFromBinary(PropertyList::encodeBinary(original)));
  ASSERT_TRUE(theirs) << theirs.error().message;
  EXPECT_EQ(*theirs, original);
  // libplist writes integers above INT64_MAX in 16 bytes: we keep the low 64 bits.
  auto big = PropertyList::decode(libplistBinaryFromXml("<plist><integer>18446744073709551615</integer></plist>"));
  ASSERT_TRUE(big);
  EXPECT_EQ(*big, Value(-1));
}

TEST(PropertyList, EncoderUsesCompactForms) {
  // Smallest widths: a one-byte integer, one-byte offsets and references.
  EXPECT_EQ(PropertyList::encodeBinary(Value(1)),
            std::string("bplist00\x10\x01\x08\0\0\0\0\0\0\x01\x01", 19) + Bplist::bigEndian(1, 8) +
                Bplist::bigEndian(0, 8) + Bplist::bigEndian(10, 8));
  const std::string ascii = PropertyList::encodeBinary(Value("abc"));
  EXPECT_EQ(ascii.substr(8, 4), "\x53" "abc");
  const std::string wide = PropertyList::encodeBinary(Value("\xC3\xA9\xF0\x9F\x98\x80"));
  EXPECT_EQ(wide.substr(8, 7), std::string("\x63\x00\xE9\xD8\x3D\xDE\x00", 7));
  EXPECT_EQ(PropertyList::encodeBinary(Value(-1)).substr(8, 9), std::string("\x13") + std::string(8, '\xFF'));
  // Invalid UTF-8 is written as U+FFFD.
  EXPECT_EQ(*PropertyList::decode(PropertyList::encodeBinary(Value("a\xFF"))), Value("a\xEF\xBF\xBD"));
}

TEST(PropertyList, DecodesObjectFormsOtherWritersUse) {
  const struct {
    const char* name;
    std::string object;
    Value expected;
  } cases[] = {
      {"one-byte integers are unsigned", std::string("\x10\xFF"), Value(255)},
      {"eight-byte integers are signed", "\x13" + std::string(8, '\xFF'), Value(-1)},
      {"sixteen-byte integers keep the low half", "\x14" + std::string(8, '\x01') + std::string(7, '\0') + "\x2a",
       Value(42)},
      {"four-byte reals", std::string("\x22\x3F\xC0\x00\x00", 5), Value(1.5)},
      {"dates count from 2001", std::string("\x33\0\0\0\0\0\0\0\0", 9), Value(Date{978307200})},
      {"null", std::string("\x00", 1), Value()},
      {"latin-1 bytes in ascii strings", std::string("\x52\xE9!"), Value("\xC3\xA9!")},
      {"lone surrogates", std::string("\x62\xD8\x00\x00\x41", 5), Value("\xEF\xBF\xBD" "A")},
      {"extended counts", "\x5F\x10\x0F" + std::string(15, 'x'), Value(std::string(15, 'x'))},
  };
  for (const auto& c : cases) {
    auto decoded = PropertyList::decode(Bplist{1, {c.object}}.build());
    ASSERT_TRUE(decoded) << c.name << ": " << decoded.error().message;
    EXPECT_EQ(*decoded, c.expected) << c.name;
  }
  Bplist set{1, {"\xC2\x01\x01", "\x09"}};
  EXPECT_EQ(*PropertyList::decode(set.build()), Value(Array{true, true}));
}

TEST(PropertyList, HostileBinaryInputIsRefused) {
  Bplist dict{1, {"\xD1\x01\x02", "\x51k", "\x10\x07"}};
  const std::string valid = dict.build();
  ASSERT_TRUE(PropertyList::decode(valid));
  for (std::size_t n = 0; n < valid.size(); ++n) {
    EXPECT_FALSE(PropertyList::decode(valid.substr(0, n))) << "prefix " << n;
  }

  const std::uint64_t huge = std::numeric_limits<std::uint64_t>::max();
  const struct {
    std::string bytes;
    const char* reason;
  } cases[] = {
      {patched(valid, kOffsetSize, 0), "invalid offset size"},
      {patched(valid, kOffsetSize, 9), "invalid offset size"},
      {patched(valid, kRefSize, 0), "invalid reference size"},
      {patched(valid, kRefSize, 9), "invalid reference size"},
      {patched(valid, kObjectCount, 0), "invalid top object"},
      {patched(valid, kObjectCount, huge), "offset table out of range"},
      {patched(valid, kTopObject, 3), "invalid top object"},
      {patched(valid, kTableOffset, 2), "offset table out of range"},
      {patched(valid, kTableOffset, huge - 4), "offset table out of range"},
      {Bplist{1, {"\x09"s}}.build().replace(9, 1, "\xF0"), "object offset out of range"},
      {Bplist{1, {"\xA1\x05"s}}.build(), "object reference out of range"},
      {Bplist{1, {"\xA1\x00"s}}.build(), "reference cycle"},
      {Bplist{1, {"\xA1\x01"s, "\xD1\x02\x00"s, "\x51k"s}}.build(), "reference cycle"},
      {Bplist{1, {"\xD1\x01\x01"s, "\x10\x01"s}}.build(), "key is not a string"},
      {Bplist{1, {"\x80\x01"s}}.build(), "unknown object marker"},
      {Bplist{1, {"\x0F"s}}.build(), "unknown object marker"},
      {Bplist{1, {"\x70"s}}.build(), "unknown object marker"},
      {Bplist{1, {"\x15"s + std::string(32, '\0')}}.build(), "invalid integer size"},
      {Bplist{1, {"\x21\x00\x00"s}}.build(), "invalid real size"},
      {Bplist{1, {"\x5F\x13\x40"s + std::string(7, '\0')}}.build(), "string beyond end"},
      {Bplist{1, {"\x6F\x13\x7F"s + std::string(7, '\xFF')}}.build(), "string beyond end"},
      {Bplist{1, {"\x4F\x13"s + std::string(8, '\xFF')}}.build(), "data beyond end"},
      {Bplist{1, {"\xAF\x13\x10"s + std::string(7, '\0')}}.build(), "container beyond end"},
      {Bplist{1, {"\xDF\x13\x08"s + std::string(7, '\0')}}.build(), "container beyond end"},
      {Bplist{1, {"\x5F\x51x"s}}.build(), "invalid count"},
      {Bplist{1, {"\x13\x01"s}}.build(), "integer beyond end"},
  };
  for (const auto& c : cases) {
    auto decoded = PropertyList::decode(c.bytes);
    ASSERT_FALSE(decoded) << c.reason;
    EXPECT_NE(decoded.error().message.find(c.reason), std::string::npos) << decoded.error().message;
  }
}

TEST(PropertyList, LimitsBoundDepthAndExpansion) {
  const PropertyListLimits limits{.maxDepth = 4, .maxValues = 100};
  EXPECT_TRUE(PropertyList::decode(nestedBinary(4).build(), limits));
  EXPECT_FALSE(PropertyList::decode(nestedBinary(5).build(), limits));
  EXPECT_TRUE(PropertyList::decode(nestedXml(4), limits));
  EXPECT_FALSE(PropertyList::decode(nestedXml(5), limits));

  // 40 arrays, each holding the next twice: 2^40 values if expanded.
  Bplist bomb;
  for (int i = 0; i < 40; ++i) bomb.objects.push_back("\xA2" + bomb.ref(i + 1) + bomb.ref(i + 1));
  bomb.objects.push_back("\x09");
  auto decoded = PropertyList::decode(bomb.build(), {.maxDepth = 64, .maxValues = 10'000});
  ASSERT_FALSE(decoded);
  EXPECT_NE(decoded.error().message.find("too many values"), std::string::npos);
  // A value count exactly at the limit passes.
  EXPECT_TRUE(PropertyList::decode(PropertyList::encodeBinary(Array{1, 2, 3}), {.maxValues = 4}));
  EXPECT_FALSE(PropertyList::decode(PropertyList::encodeBinary(Array{1, 2, 3}), {.maxValues = 3}));
  EXPECT_FALSE(PropertyList::decode(*PropertyList::encodeXml(Array{1, 2, 3}), {.maxValues = 3}));
}

TEST(PropertyList, DecodedStringsAndDataAreBoundedByTheInputSize) {
  // A fixed budget, no share of the input: every case below decodes exactly
  // 12 bytes of strings, keys or data, counted at each use of a shared object.
  const PropertyListLimits twelve{.decodedBytesPerInputByte = 0, .decodedBytesAllowance = 12};
  PropertyListLimits eleven = twelve;
  eleven.decodedBytesAllowance = 11;
  const struct {
    const char* label;
    std::string bytes;
  } cases[] = {
      {"ASCII string used three times", Bplist{1, {"\xA3\x01\x01\x01"s, "\x54" "abcd"s}}.build()},
      {"UTF-16 string used three times", Bplist{1, {"\xA3\x01\x01\x01"s, "\x62\x00\xE9\x00\x41"s}}.build()},
      {"data used three times", Bplist{1, {"\xA3\x01\x01\x01"s, "\x44\x01\x02\x03\x04"s}}.build()},
      {"key and value", Bplist{1, {"\xD1\x01\x02"s, "\x53key"s, "\x59" "123456789"s}}.build()},
      {"XML strings", *PropertyList::encodeXml(Array{"abcd", "abcd", "abcd"})},
      {"XML key and data", *PropertyList::encodeXml(Dictionary{{"key", Data(9, 1)}})},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    EXPECT_TRUE(PropertyList::decode(c.bytes, twelve));
    auto refused = PropertyList::decode(c.bytes, eleven);
    ASSERT_FALSE(refused);
    EXPECT_NE(refused.error().message.find("decoded strings and data exceed the size limit"), std::string::npos)
        << refused.error().message;
  }

  // By default the budget is four times the input plus 1 MiB, at most 256 MiB.
  const PropertyListLimits defaults;
  EXPECT_EQ(defaults.decodedByteBudget(1000), 4000u + 1024 * 1024);
  EXPECT_EQ(defaults.decodedByteBudget(std::numeric_limits<std::size_t>::max()), defaults.maxDecodedBytes);
  // A 1 MB list using one 500 KB string 500,000 times would decode into 250 GB.
  auto expanded = PropertyList::decode(nimbra::test::expandingBinaryList(500'000, 500'000));
  ASSERT_FALSE(expanded);
  EXPECT_NE(expanded.error().message.find("exceed the size limit"), std::string::npos) << expanded.error().message;
  // Values are bounded by the input too: shared containers multiply, shared
  // leaves cost a reference byte per use.
  Bplist squared;
  for (int level = 1; level <= 2; ++level) {
    std::string array = "\xAF\x10\xC8";  // 200 references
    for (int i = 0; i < 200; ++i) array += squared.ref(level);
    squared.objects.push_back(array);
  }
  squared.objects.push_back("\x10\x01");
  auto multiplied = PropertyList::decode(squared.build(), {.valuesAllowance = 1000});
  ASSERT_FALSE(multiplied);
  EXPECT_NE(multiplied.error().message.find("too many values"), std::string::npos);
  Bplist leaves{1, {"\xAF\x11\x03\xE8"s + std::string(1000, '\x01'), "\x09"s}};
  auto shared = PropertyList::decode(leaves.build(), {.valuesAllowance = 0});
  ASSERT_TRUE(shared) << shared.error().message;
  EXPECT_EQ(shared->asArray()->size(), 1000u);
  // The same shape within the budget still decodes.
  auto modest = PropertyList::decode(nimbra::test::expandingBinaryList(1000, 1000));
  ASSERT_TRUE(modest) << modest.error().message;
  EXPECT_EQ(modest->find("k")->asArray()->size(), 1000u);
}

TEST(PropertyList, DeepNestingIsRefusedOnASmallStack) {
  const std::string binary = nestedBinary(50'000).build();
  const std::string xml = nestedXml(50'000);
  onSmallStack([&] {
    auto b = PropertyList::decode(binary);
    ASSERT_FALSE(b);
    EXPECT_NE(b.error().message.find("nested too deeply"), std::string::npos);
    auto x = PropertyList::decode(xml);
    ASSERT_FALSE(x);
    EXPECT_NE(x.error().message.find("nested too deeply"), std::string::npos);
  });
  // Markup the parser skips does not count, and is skipped by the parser too.
  for (auto [before, after] : {std::pair{"<!--", "-->"}, {"<?pi ", "?>"}, {"<string><![CDATA[", "]]></string>"}}) {
    auto decoded = PropertyList::decode(nestedXml(10'000, before, std::string(after) + "<true/>"));
    EXPECT_TRUE(decoded) << before;
  }
}

TEST(PropertyList, RecognisesTheFormatFromTheBytes) {
  EXPECT_EQ(*PropertyList::decode("\xEF\xBB\xBF \n<plist><integer>5</integer></plist>"), Value(5));
  for (std::string_view bytes : {"", "   ", "hello", "{}", "bplist01", "\xEF\xBB\xBF"}) {
    auto decoded = PropertyList::decode(bytes);
    ASSERT_FALSE(decoded) << bytes;
    EXPECT_EQ(decoded.error().message, "not a property list");
  }
  EXPECT_FALSE(PropertyList::decode("<plist><dict><key>a</key>"));
  EXPECT_FALSE(PropertyList::decode("<plist><uid>1</uid></plist>"));
  EXPECT_FALSE(XmlPropertyList::scan("<plist><array", {}));
}

TEST(PropertyList, ReadFileRefusesWhatIsNotASmallRegularFile) {
  TempDirectory dir;
  const std::string good = dir.write("good.plist", PropertyList::encodeBinary(Value(Dictionary{{"a", 1}})));
  auto read = PropertyList::readFile(good);
  ASSERT_TRUE(read);
  EXPECT_EQ(*read, Value(Dictionary{{"a", 1}}));

  auto missing = PropertyList::readFile(dir.file("missing.plist"));
  ASSERT_FALSE(missing);
  EXPECT_EQ(missing.error().errorNumber, ENOENT);

  const std::string fifo = dir.file("fifo");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  for (const std::string& path : {dir.makeDirectory("sub"), fifo, std::string("/dev/null")}) {
    auto result = PropertyList::readFile(path);
    ASSERT_FALSE(result) << path;
    EXPECT_EQ(result.error().message, "not a regular file") << path;
  }
  EXPECT_FALSE(PropertyList::readFile(good, {}, 10));
  EXPECT_FALSE(PropertyList::readFile(dir.write("garbage", "not a plist")));
}

TEST(PropertyList, AtomicWriteReplacesOrLeavesTheOldFile) {
  TempDirectory dir;
  const std::string path = dir.file("domain.plist");
  ASSERT_TRUE(PropertyList::writeFileAtomically(path, Dictionary{{"v", 1}}));
  ASSERT_TRUE(PropertyList::writeFileAtomically(path, Dictionary{{"v", 2}}, PropertyListFormat::Binary, 0600));
  EXPECT_EQ(*PropertyList::readFile(path), Value(Dictionary{{"v", 2}}));
  struct stat info;
  ASSERT_EQ(stat(path.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0600u);

  const auto onlyFile = [&] {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(dir.path())) names.push_back(entry.path().filename());
    return names;
  };
  // Encoding fails before anything is touched.
  EXPECT_FALSE(PropertyList::writeFileAtomically(path, Array{Value()}));
  // Writing fails half way: the file size limit makes write() fail.
  {
    struct rlimit saved;
    getrlimit(RLIMIT_FSIZE, &saved);
    auto* previous = std::signal(SIGXFSZ, SIG_IGN);
    struct rlimit small = saved;
    small.rlim_cur = 64;
    setrlimit(RLIMIT_FSIZE, &small);
    auto result = PropertyList::writeFileAtomically(path, Dictionary{{"v", std::string(4096, 'x')}});
    setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, previous);
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error().errorNumber, EFBIG);
  }
  // The target is a directory: rename fails.
  const std::string directory = dir.makeDirectory("taken.plist");
  EXPECT_FALSE(PropertyList::writeFileAtomically(directory, Dictionary{}));
  EXPECT_FALSE(PropertyList::writeFileAtomically(dir.file("missing/x.plist"), Dictionary{}));

  EXPECT_EQ(*PropertyList::readFile(path), Value(Dictionary{{"v", 2}}));
  auto names = onlyFile();
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"domain.plist", "taken.plist"}));
}
