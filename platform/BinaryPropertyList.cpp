#include "platform/BinaryPropertyList.h"

#include <bit>
#include <cstdint>
#include <cstring>
#include <vector>

#include "platform/Utf8.h"

namespace platform {

namespace {

constexpr std::string_view kMagic = "bplist00";
constexpr std::size_t kTrailerSize = 32;
// Binary dates count seconds from 2001-01-01 00:00:00 UTC.
constexpr double kSecondsFrom1970To2001 = 978307200.0;

// Object markers: the high nibble is the kind, the low nibble a size or count.
enum Kind : std::uint8_t {
  kSimple = 0x0,
  kInteger = 0x1,
  kReal = 0x2,
  kDate = 0x3,
  kData = 0x4,
  kAsciiString = 0x5,
  kUtf16String = 0x6,
  kArray = 0xA,
  kSet = 0xC,
  kDictionary = 0xD,
};
constexpr std::uint8_t kNull = 0x00, kFalse = 0x08, kTrue = 0x09;
constexpr std::uint8_t kExtendedCount = 0x0F;

std::uint64_t readBigEndian(const std::uint8_t* p, std::size_t n) {
  std::uint64_t v = 0;
  for (std::size_t i = 0; i < n; ++i) v = (v << 8) | p[i];
  return v;
}

// ---------------------------------------------------------------- decoding

class Decoder {
 public:
  Decoder(std::string_view bytes, const PropertyListLimits& limits)
      : data_(reinterpret_cast<const std::uint8_t*>(bytes.data())),
        size_(bytes.size()),
        limits_(limits),
        maxValues_(limits.valueBudget(bytes.size())),
        budget_(limits.decodedByteBudget(bytes.size())) {}

  Expected<Value, PropertyListError> run() {
    if (size_ < kMagic.size() + kTrailerSize || std::memcmp(data_, kMagic.data(), kMagic.size()) != 0)
      return failure("truncated binary property list");
    const std::uint8_t* trailer = data_ + size_ - kTrailerSize;
    offsetSize_ = trailer[6];
    refSize_ = trailer[7];
    objectCount_ = readBigEndian(trailer + 8, 8);
    const std::uint64_t top = readBigEndian(trailer + 16, 8);
    const std::uint64_t tableOffset = readBigEndian(trailer + 24, 8);
    const std::size_t trailerStart = size_ - kTrailerSize;

    if (offsetSize_ < 1 || offsetSize_ > 8) return failure("invalid offset size in trailer");
    if (refSize_ < 1 || refSize_ > 8) return failure("invalid reference size in trailer");
    if (objectCount_ == 0 || top >= objectCount_) return failure("invalid top object in trailer");
    if (tableOffset < kMagic.size() || tableOffset > trailerStart) return failure("offset table out of range");
    // Division instead of multiplication: the count comes from the file and may be huge.
    if (objectCount_ > (trailerStart - tableOffset) / offsetSize_) return failure("offset table out of range");
    table_ = data_ + tableOffset;
    // Objects lie between the magic and the offset table.
    end_ = static_cast<std::size_t>(tableOffset);

    Value root;
    if (!object(top, 0, nullptr, root)) return failure(error_);
    return root;
  }

 private:
  // The containers being decoded, innermost first: meeting one of them again
  // is a reference cycle. Lives on the stack, so decoding allocates nothing
  // for it.
  struct Frame {
    std::uint64_t ref;
    const Frame* parent;
  };

  static Unexpected<PropertyListError> failure(std::string_view why) {
    return unexpected(PropertyListError{"invalid binary property list: " + std::string(why)});
  }

  bool fail(const char* why) {
    error_ = why;
    return false;
  }

  // REQUIRES: pos <= end_.
  bool has(std::size_t pos, std::uint64_t n) const { return n <= end_ - pos; }

  std::uint64_t refAt(std::size_t pos) const { return readBigEndian(data_ + pos, refSize_); }

  bool locate(std::uint64_t ref, std::size_t& pos) {
    if (ref >= objectCount_) return fail("object reference out of range");
    const std::uint64_t offset = readBigEndian(table_ + ref * offsetSize_, offsetSize_);
    if (offset < kMagic.size() || offset >= end_) return fail("object offset out of range");
    pos = static_cast<std::size_t>(offset);
    return true;
  }

  bool countValue() {
    if (values_ >= maxValues_) return fail("too many values");
    ++values_;
    return true;
  }

  // Charged before the copy is made, so a refused input never allocates it.
  bool chargeBytes(std::uint64_t n) {
    if (n > budget_ - decoded_) return fail("decoded strings and data exceed the size limit");
    decoded_ += static_cast<std::size_t>(n);
    return true;
  }

  // Reads the count of a marker whose low nibble is `low`; 0xF means an
  // integer object follows with the real count.
  bool count(std::uint8_t low, std::size_t& pos, std::uint64_t& out) {
    if (low != kExtendedCount) {
      out = low;
      return true;
    }
    if (!has(pos, 1)) return fail("count beyond end of data");
    const std::uint8_t marker = data_[pos];
    if ((marker >> 4) != kInteger || (marker & 0x0F) > 3) return fail("invalid count");
    const std::size_t width = std::size_t{1} << (marker & 0x0F);
    if (!has(pos + 1, width)) return fail("count beyond end of data");
    out = readBigEndian(data_ + pos + 1, width);
    pos += 1 + width;
    return true;
  }

  bool string(std::uint8_t marker, std::size_t pos, std::string& out) {
    std::uint64_t length;
    if (!count(marker & 0x0F, pos, length)) return false;
    const char* bytes = reinterpret_cast<const char*>(data_ + pos);
    if ((marker >> 4) == kAsciiString) {
      if (!has(pos, length)) return fail("string beyond end of data");
      if (!chargeBytes(length)) return false;
      std::string_view text(bytes, static_cast<std::size_t>(length));
      bool ascii = true;
      for (char c : text) ascii &= static_cast<std::uint8_t>(c) < 0x80;
      if (ascii) {
        out.assign(text);
      } else {
        utf8::appendLatin1(out, text);
      }
      return true;
    }
    if (length > (end_ - pos) / 2) return fail("string beyond end of data");
    if (!chargeBytes(length * 2)) return false;
    out.reserve(static_cast<std::size_t>(length));
    utf8::appendUtf16(out, std::string_view(bytes, static_cast<std::size_t>(length) * 2), true);
    return true;
  }

  bool key(std::uint64_t ref, std::string& out) {
    std::size_t pos;
    if (!countValue() || !locate(ref, pos)) return false;
    const std::uint8_t marker = data_[pos];
    if ((marker >> 4) != kAsciiString && (marker >> 4) != kUtf16String) return fail("dictionary key is not a string");
    return string(marker, pos + 1, out);
  }

  // `depth` is the depth of the enclosing container (0 for the root).
  bool object(std::uint64_t ref, std::size_t depth, const Frame* parent, Value& out) {
    std::size_t pos;
    if (!countValue() || !locate(ref, pos)) return false;
    const std::uint8_t marker = data_[pos++];
    const std::uint8_t low = marker & 0x0F;
    switch (marker >> 4) {
      case kSimple:
        if (marker == kNull) {
          out = Value();
        } else if (marker == kFalse || marker == kTrue) {
          out = Value(marker == kTrue);
        } else {
          return fail("unknown object marker");
        }
        return true;
      case kInteger: {
        if (low > 4) return fail("invalid integer size");
        const std::size_t width = std::size_t{1} << low;
        if (!has(pos, width)) return fail("integer beyond end of data");
        // 16-byte integers keep their low 64 bits; 8-byte ones are signed.
        const std::uint64_t bits = width == 16 ? readBigEndian(data_ + pos + 8, 8) : readBigEndian(data_ + pos, width);
        out = Value(static_cast<std::int64_t>(bits));
        return true;
      }
      case kReal:
        if (low == 2 && has(pos, 4)) {
          const auto bits = static_cast<std::uint32_t>(readBigEndian(data_ + pos, 4));
          out = Value(static_cast<double>(std::bit_cast<float>(bits)));
        } else if (low == 3 && has(pos, 8)) {
          out = Value(std::bit_cast<double>(readBigEndian(data_ + pos, 8)));
        } else {
          return fail(low == 2 || low == 3 ? "real beyond end of data" : "invalid real size");
        }
        return true;
      case kDate:
        if (low != 3) return fail("invalid date size");
        if (!has(pos, 8)) return fail("date beyond end of data");
        out = Value(Date{std::bit_cast<double>(readBigEndian(data_ + pos, 8)) + kSecondsFrom1970To2001});
        return true;
      case kData: {
        std::uint64_t length;
        if (!count(low, pos, length)) return false;
        if (!has(pos, length)) return fail("data beyond end of data");
        if (!chargeBytes(length)) return false;
        out = Value(Data(data_ + pos, data_ + pos + length));
        return true;
      }
      case kAsciiString:
      case kUtf16String: {
        std::string text;
        if (!string(marker, pos, text)) return false;
        out = Value(std::move(text));
        return true;
      }
      case kArray:
      case kSet:
      case kDictionary:
        return container(marker, pos, ref, depth + 1, parent, out);
      default:
        return fail("unknown object marker");
    }
  }

  bool container(std::uint8_t marker, std::size_t pos, std::uint64_t ref, std::size_t depth, const Frame* parent,
                 Value& out) {
    if (depth > limits_.maxDepth) return fail("nested too deeply");
    for (const Frame* frame = parent; frame != nullptr; frame = frame->parent) {
      if (frame->ref == ref) return fail("reference cycle");
    }
    std::uint64_t n;
    if (!count(marker & 0x0F, pos, n)) return false;
    const bool isDictionary = (marker >> 4) == kDictionary;
    const std::uint64_t refsPerEntry = isDictionary ? 2 : 1;
    if (n > (end_ - pos) / refSize_ / refsPerEntry) return fail("container beyond end of data");
    // Checked before reserving, so a claimed count cannot allocate beyond the limit.
    if (n * refsPerEntry > maxValues_ - values_) return fail("too many values");
    const Frame frame{ref, parent};
    const auto entries = static_cast<std::size_t>(n);

    if (!isDictionary) {
      out = Value(Array{});
      Array& array = *out.asArray();
      array.reserve(entries);
      for (std::size_t i = 0; i < entries; ++i) {
        array.emplace_back();
        if (!object(refAt(pos + i * refSize_), depth, &frame, array.back())) return false;
      }
      return true;
    }
    out = Value(Dictionary{});
    Dictionary& dictionary = *out.asDictionary();
    for (std::size_t i = 0; i < entries; ++i) {
      std::string name;
      Value value;
      if (!key(refAt(pos + i * refSize_), name)) return false;
      if (!object(refAt(pos + (entries + i) * refSize_), depth, &frame, value)) return false;
      // Writers emit keys sorted, so the end hint makes each insertion O(1).
      dictionary.insert_or_assign(dictionary.end(), std::move(name), std::move(value));
    }
    return true;
  }

  const std::uint8_t* data_;
  std::size_t size_;
  const PropertyListLimits& limits_;
  std::size_t offsetSize_ = 0;
  std::size_t refSize_ = 0;
  std::uint64_t objectCount_ = 0;
  const std::uint8_t* table_ = nullptr;
  std::size_t end_ = 0;
  const std::size_t maxValues_;
  std::size_t values_ = 0;
  const std::size_t budget_;
  std::size_t decoded_ = 0;
  const char* error_ = "";
};

// ---------------------------------------------------------------- encoding

// One object of the output, in object-number order. Dictionary keys are
// objects of their own but not Values, hence the second pointer.
struct Item {
  const Value* value;
  const std::string* key;
  std::uint64_t offset;
};

std::vector<Item>& scratchItems() {
  thread_local std::vector<Item> items;
  return items;
}

std::size_t widthFor(std::uint64_t v) {
  if (v <= 0xFF) return 1;
  if (v <= 0xFFFF) return 2;
  if (v <= 0xFFFFFFFF) return 4;
  return 8;
}

void appendBigEndian(std::string& out, std::uint64_t v, std::size_t width) {
  char bytes[8];
  for (std::size_t i = 0; i < width; ++i) bytes[i] = static_cast<char>(v >> (8 * (width - 1 - i)));
  out.append(bytes, width);
}

void appendInteger(std::string& out, std::int64_t v) {
  // Negative integers only fit the signed 8-byte form.
  const std::size_t width = v < 0 ? 8 : widthFor(static_cast<std::uint64_t>(v));
  out.push_back(static_cast<char>((kInteger << 4) | std::countr_zero(width)));
  appendBigEndian(out, static_cast<std::uint64_t>(v), width);
}

void appendHeader(std::string& out, std::uint8_t kind, std::size_t n) {
  if (n < kExtendedCount) {
    out.push_back(static_cast<char>((kind << 4) | n));
  } else {
    out.push_back(static_cast<char>((kind << 4) | kExtendedCount));
    appendInteger(out, static_cast<std::int64_t>(n));
  }
}

void appendString(std::string& out, std::string_view text) {
  bool ascii = true;
  for (char c : text) ascii &= static_cast<std::uint8_t>(c) < 0x80;
  if (ascii) {
    appendHeader(out, kAsciiString, text.size());
    out.append(text);
    return;
  }
  std::size_t units = 0;
  for (std::size_t pos = 0; pos < text.size();) units += utf8::next(text, pos) >= 0x10000 ? 2 : 1;
  appendHeader(out, kUtf16String, units);
  for (std::size_t pos = 0; pos < text.size();) {
    const char32_t cp = utf8::next(text, pos);
    if (cp >= 0x10000) {
      const char32_t v = cp - 0x10000;
      appendBigEndian(out, 0xD800 + (v >> 10), 2);
      appendBigEndian(out, 0xDC00 + (v & 0x3FF), 2);
    } else {
      appendBigEndian(out, cp, 2);
    }
  }
}

void appendDouble(std::string& out, std::uint8_t marker, double v) {
  out.push_back(static_cast<char>(marker));
  appendBigEndian(out, std::bit_cast<std::uint64_t>(v), 8);
}

}  // namespace

bool BinaryPropertyList::hasMagic(std::string_view bytes) { return bytes.starts_with(kMagic); }

Expected<Value, PropertyListError> BinaryPropertyList::decode(std::string_view bytes,
                                                              const PropertyListLimits& limits) {
  return Decoder(bytes, limits).run();
}

void BinaryPropertyList::encode(const Value& root, std::string& out) {
  // Objects are numbered breadth first: the children of each container get
  // the next free numbers, so one pass lists every object in order and a
  // second pass writes them without knowing subtree sizes.
  std::vector<Item>& items = scratchItems();
  items.clear();
  items.push_back({&root, nullptr, 0});
  std::size_t estimate = kMagic.size() + kTrailerSize;
  for (std::size_t i = 0; i < items.size(); ++i) {
    if (items[i].key != nullptr) {
      estimate += 2 + items[i].key->size();
      continue;
    }
    const Value& value = *items[i].value;
    if (const auto* array = value.asArray()) {
      for (const auto& element : *array) items.push_back({&element, nullptr, 0});
      estimate += 3;
    } else if (const auto* dictionary = value.asDictionary()) {
      for (const auto& entry : *dictionary) items.push_back({nullptr, &entry.first, 0});
      for (const auto& entry : *dictionary) items.push_back({&entry.second, nullptr, 0});
      estimate += 3;
    } else if (const auto* text = value.asString()) {
      estimate += 3 + text->size();
    } else if (const auto* data = value.asData()) {
      estimate += 3 + data->size();
    } else {
      estimate += 9;
    }
  }
  const std::size_t objectCount = items.size();
  const std::size_t refSize = widthFor(objectCount - 1);
  estimate += objectCount * (refSize + 4);

  const std::size_t base = out.size();
  out.reserve(base + estimate);
  out.append(kMagic);
  std::uint64_t nextChild = 1;
  for (Item& item : items) {
    item.offset = out.size() - base;
    if (item.key != nullptr) {
      appendString(out, *item.key);
      continue;
    }
    const Value& value = *item.value;
    switch (value.type()) {
      case Value::Type::Null: out.push_back(static_cast<char>(kNull)); break;
      case Value::Type::Bool: out.push_back(static_cast<char>(*value.asBool() ? kTrue : kFalse)); break;
      case Value::Type::Integer: appendInteger(out, *value.asInteger()); break;
      case Value::Type::Real: appendDouble(out, (kReal << 4) | 3, *value.asReal()); break;
      case Value::Type::Date:
        appendDouble(out, (kDate << 4) | 3, value.asDate()->secondsSince1970 - kSecondsFrom1970To2001);
        break;
      case Value::Type::String: appendString(out, *value.asString()); break;
      case Value::Type::Data: {
        const Data& data = *value.asData();
        appendHeader(out, kData, data.size());
        out.append(reinterpret_cast<const char*>(data.data()), data.size());
        break;
      }
      case Value::Type::Array: {
        const std::size_t n = value.asArray()->size();
        appendHeader(out, kArray, n);
        for (std::size_t k = 0; k < n; ++k) appendBigEndian(out, nextChild++, refSize);
        break;
      }
      case Value::Type::Dictionary: {
        const std::size_t n = value.asDictionary()->size();
        appendHeader(out, kDictionary, n);
        for (std::size_t k = 0; k < 2 * n; ++k) appendBigEndian(out, nextChild++, refSize);
        break;
      }
    }
  }

  const std::uint64_t tableOffset = out.size() - base;
  const std::size_t offsetSize = widthFor(items.back().offset);
  for (const Item& item : items) appendBigEndian(out, item.offset, offsetSize);
  out.append(6, '\0');
  out.push_back(static_cast<char>(offsetSize));
  out.push_back(static_cast<char>(refSize));
  appendBigEndian(out, objectCount, 8);
  appendBigEndian(out, 0, 8);
  appendBigEndian(out, tableOffset, 8);

  // Keep the scratch for the next message, but not the memory of a rare huge one.
  if (items.capacity() > 65536) std::vector<Item>().swap(items);
}

}  // namespace platform
