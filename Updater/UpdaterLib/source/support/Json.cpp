#include "support/Json.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace Json {

// ---- values -----------------------------------------------------------------------------------

Value Value::Bool(bool value) {
  Value made;
  made.type_ = Type::Bool;
  made.bool_ = value;
  return made;
}

Value Value::Integer(int64_t value) {
  Value made;
  made.type_ = Type::Integer;
  made.integer_ = value;
  return made;
}

Value Value::Number(double value) {
  Value made;
  made.type_ = Type::Number;
  made.number_ = value;
  return made;
}

Value Value::String(std::string value) {
  Value made;
  made.type_ = Type::String;
  made.string_ = std::move(value);
  return made;
}

Value Value::Array() {
  Value made;
  made.type_ = Type::Array;
  return made;
}

Value Value::Object() {
  Value made;
  made.type_ = Type::Object;
  return made;
}

Value Value::IntegerOrNull(bool known, int64_t value) { return known ? Integer(value) : Null(); }

Value Value::StringOrNull(const std::string& value) { return value.empty() ? Null() : String(value); }

int64_t Value::asInteger() const {
  if (type_ == Type::Integer) return integer_;
  return 0;
}

double Value::asNumber() const {
  if (type_ == Type::Integer) return static_cast<double>(integer_);
  if (type_ == Type::Number) return number_;
  return 0;
}

const std::string& Value::asString() const {
  static const std::string kEmpty;
  return type_ == Type::String ? string_ : kEmpty;
}

void Value::become(Type type) {
  if (type_ == type) return;
  *this = Value();
  type_ = type;
}

Value& Value::Append(Value item) {
  become(Type::Array);
  items_.push_back(std::move(item));
  return *this;
}

Value& Value::Set(const std::string& key, Value member) {
  become(Type::Object);
  if (Value* existing = Find(key)) {
    *existing = std::move(member);
  } else {
    keys_.push_back(key);
    items_.push_back(std::move(member));
  }
  return *this;
}

const Value* Value::Find(const std::string& key) const {
  if (type_ != Type::Object) return nullptr;
  for (size_t i = 0; i < keys_.size(); ++i) {
    if (keys_[i] == key) return &items_[i];
  }
  return nullptr;
}

Value* Value::Find(const std::string& key) {
  return const_cast<Value*>(static_cast<const Value&>(*this).Find(key));
}

bool Value::operator==(const Value& other) const {
  if (type_ != other.type_) return false;
  switch (type_) {
    case Type::Null: return true;
    case Type::Bool: return bool_ == other.bool_;
    case Type::Integer: return integer_ == other.integer_;
    case Type::Number: return number_ == other.number_;
    case Type::String: return string_ == other.string_;
    case Type::Array: return items_ == other.items_;
    case Type::Object: return keys_ == other.keys_ && items_ == other.items_;
  }
  return false;
}

// ---- UTF-8 ------------------------------------------------------------------------------------

namespace {

// The length of the valid UTF-8 sequence at text[at] (1 to 4), or 0 when the bytes there are not
// one: stray continuation bytes, overlong forms, surrogates, code points above U+10FFFF, and
// sequences cut short.
size_t utf8SequenceLength(const std::string& text, size_t at) {
  const auto byte = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = byte(at);
  if (lead < 0x80) return 1;
  size_t length;
  unsigned char low = 0x80, high = 0xBF;  // the range of the second byte
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return 0;
  }
  if (at + length > text.size()) return 0;
  if (byte(at + 1) < low || byte(at + 1) > high) return 0;
  for (size_t i = 2; i < length; ++i) {
    if ((byte(at + i) & 0xC0) != 0x80) return 0;
  }
  return length;
}

void appendUtf8(std::string& out, uint32_t code) {
  if (code < 0x80) {
    out += static_cast<char>(code);
  } else if (code < 0x800) {
    out += static_cast<char>(0xC0 | (code >> 6));
    out += static_cast<char>(0x80 | (code & 0x3F));
  } else if (code < 0x10000) {
    out += static_cast<char>(0xE0 | (code >> 12));
    out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (code & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (code >> 18));
    out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (code & 0x3F));
  }
}

constexpr const char* kReplacementCharacter = "\xEF\xBF\xBD";

// ---- writing ----------------------------------------------------------------------------------

void writeString(std::string& out, const std::string& text) {
  out += '"';
  for (size_t at = 0; at < text.size();) {
    const unsigned char c = static_cast<unsigned char>(text[at]);
    const size_t length = utf8SequenceLength(text, at);
    if (length == 0) {
      out += kReplacementCharacter;
      ++at;
      continue;
    }
    if (length > 1) {
      out.append(text, at, length);
      at += length;
      continue;
    }
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      case '\b': out += "\\b"; break;
      case '\f': out += "\\f"; break;
      default:
        if (c < 0x20 || c == 0x7F) {
          char escaped[8];
          snprintf(escaped, sizeof escaped, "\\u%04x", c);
          out += escaped;
        } else {
          out += static_cast<char>(c);
        }
    }
    ++at;
  }
  out += '"';
}

void writeNumber(std::string& out, double number) {
  if (!std::isfinite(number)) {
    out += "null";
    return;
  }
  char text[32];
  snprintf(text, sizeof text, "%.17g", number);
  // Shortest text that reads back the same double.
  for (int digits = 1; digits < 17; ++digits) {
    char shorter[32];
    snprintf(shorter, sizeof shorter, "%.*g", digits, number);
    if (strtod(shorter, nullptr) == number) {
      snprintf(text, sizeof text, "%s", shorter);
      break;
    }
  }
  out += text;
}

void writeValue(std::string& out, const Value& value) {
  switch (value.type()) {
    case Value::Type::Null: out += "null"; break;
    case Value::Type::Bool: out += value.asBool() ? "true" : "false"; break;
    case Value::Type::Integer: out += std::to_string(value.asInteger()); break;
    case Value::Type::Number: writeNumber(out, value.asNumber()); break;
    case Value::Type::String: writeString(out, value.asString()); break;
    case Value::Type::Array:
      out += '[';
      for (size_t i = 0; i < value.size(); ++i) {
        if (i != 0) out += ',';
        writeValue(out, value[i]);
      }
      out += ']';
      break;
    case Value::Type::Object:
      out += '{';
      for (size_t i = 0; i < value.size(); ++i) {
        if (i != 0) out += ',';
        writeString(out, value.keys()[i]);
        out += ':';
        writeValue(out, value.items()[i]);
      }
      out += '}';
      break;
  }
}

// ---- reading ----------------------------------------------------------------------------------

class Reader {
 public:
  Reader(const std::string& text, const Limits& limits) : text_(text), limits_(limits) {}

  bool document(Value* out) {
    skipSpace();
    if (!value(out, 0)) return false;
    skipSpace();
    if (at_ != text_.size()) return fail("text after the document");
    return true;
  }

  std::string why() const { return why_ + " at byte " + std::to_string(failedAt_); }

 private:
  bool fail(const char* what) {
    if (why_.empty()) {
      why_ = what;
      failedAt_ = at_;
    }
    return false;
  }

  bool atEnd() const { return at_ >= text_.size(); }
  char peek() const { return atEnd() ? '\0' : text_[at_]; }

  void skipSpace() {
    while (!atEnd() && (peek() == ' ' || peek() == '\t' || peek() == '\n' || peek() == '\r')) ++at_;
  }

  bool literal(const char* word) {
    const size_t length = strlen(word);
    if (text_.compare(at_, length, word) != 0) return fail("unknown word");
    at_ += length;
    return true;
  }

  bool value(Value* out, size_t depth) {
    if (atEnd()) return fail("document cut short");
    switch (peek()) {
      case '{': return object(out, depth + 1);
      case '[': return array(out, depth + 1);
      case '"': {
        std::string text;
        if (!string(&text)) return false;
        *out = Value::String(std::move(text));
        return true;
      }
      case 't':
        *out = Value::Bool(true);
        return literal("true");
      case 'f':
        *out = Value::Bool(false);
        return literal("false");
      case 'n':
        *out = Value::Null();
        return literal("null");
      default:
        return number(out);
    }
  }

  bool object(Value* out, size_t depth) {
    if (depth > limits_.maxDepth) return fail("nested too deep");
    ++at_;
    *out = Value::Object();
    skipSpace();
    if (peek() == '}') {
      ++at_;
      return true;
    }
    for (;;) {
      skipSpace();
      if (peek() != '"') return fail(atEnd() ? "document cut short" : "member name expected");
      std::string key;
      if (!string(&key)) return false;
      if (out->Find(key) != nullptr) return fail("member named twice");
      skipSpace();
      if (peek() != ':') return fail(atEnd() ? "document cut short" : "':' expected");
      ++at_;
      skipSpace();
      Value member;
      if (!value(&member, depth)) return false;
      out->Set(key, std::move(member));
      skipSpace();
      if (peek() == ',') {
        ++at_;
        continue;
      }
      if (peek() == '}') {
        ++at_;
        return true;
      }
      return fail(atEnd() ? "document cut short" : "',' or '}' expected");
    }
  }

  bool array(Value* out, size_t depth) {
    if (depth > limits_.maxDepth) return fail("nested too deep");
    ++at_;
    *out = Value::Array();
    skipSpace();
    if (peek() == ']') {
      ++at_;
      return true;
    }
    for (;;) {
      skipSpace();
      Value item;
      if (!value(&item, depth)) return false;
      out->Append(std::move(item));
      skipSpace();
      if (peek() == ',') {
        ++at_;
        continue;
      }
      if (peek() == ']') {
        ++at_;
        return true;
      }
      return fail(atEnd() ? "document cut short" : "',' or ']' expected");
    }
  }

  bool hex4(uint32_t* code) {
    if (at_ + 4 > text_.size()) return fail("document cut short");
    uint32_t value = 0;
    for (int i = 0; i < 4; ++i) {
      const char c = text_[at_++];
      value <<= 4;
      if (c >= '0' && c <= '9') {
        value |= static_cast<uint32_t>(c - '0');
      } else if (c >= 'a' && c <= 'f') {
        value |= static_cast<uint32_t>(c - 'a' + 10);
      } else if (c >= 'A' && c <= 'F') {
        value |= static_cast<uint32_t>(c - 'A' + 10);
      } else {
        return fail("bad \\u escape");
      }
    }
    *code = value;
    return true;
  }

  bool escapedCodePoint(std::string* out) {
    uint32_t code = 0;
    if (!hex4(&code)) return false;
    if (code >= 0xDC00 && code <= 0xDFFF) return fail("lone low surrogate");
    if (code >= 0xD800 && code <= 0xDBFF) {
      if (text_.compare(at_, 2, "\\u") != 0) return fail("lone high surrogate");
      at_ += 2;
      uint32_t low = 0;
      if (!hex4(&low)) return false;
      if (low < 0xDC00 || low > 0xDFFF) return fail("lone high surrogate");
      code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
    }
    appendUtf8(*out, code);
    return true;
  }

  bool string(std::string* out) {
    ++at_;  // the opening quote
    for (;;) {
      if (atEnd()) return fail("document cut short");
      const unsigned char c = static_cast<unsigned char>(text_[at_]);
      if (c == '"') {
        ++at_;
        return true;
      }
      if (c < 0x20) return fail("control byte in text");
      if (c == '\\') {
        ++at_;
        if (atEnd()) return fail("document cut short");
        const char escape = text_[at_++];
        switch (escape) {
          case '"': *out += '"'; break;
          case '\\': *out += '\\'; break;
          case '/': *out += '/'; break;
          case 'b': *out += '\b'; break;
          case 'f': *out += '\f'; break;
          case 'n': *out += '\n'; break;
          case 'r': *out += '\r'; break;
          case 't': *out += '\t'; break;
          case 'u':
            if (!escapedCodePoint(out)) return false;
            break;
          default: --at_; return fail("bad escape");
        }
        continue;
      }
      const size_t length = utf8SequenceLength(text_, at_);
      if (length == 0) return fail("invalid UTF-8");
      out->append(text_, at_, length);
      at_ += length;
    }
  }

  static bool isDigit(char c) { return c >= '0' && c <= '9'; }

  bool digits() {
    if (!isDigit(peek())) return fail(atEnd() ? "document cut short" : "digit expected");
    while (isDigit(peek())) ++at_;
    return true;
  }

  bool number(Value* out) {
    const size_t start = at_;
    bool integral = true;
    if (peek() == '-') ++at_;
    if (peek() == '0') {
      ++at_;
      if (isDigit(peek())) return fail("leading zero");
    } else if (!isDigit(peek())) {
      return fail(atEnd() ? "document cut short" : "unexpected character");
    } else if (!digits()) {
      return false;
    }
    if (peek() == '.') {
      integral = false;
      ++at_;
      if (!digits()) return false;
    }
    if (peek() == 'e' || peek() == 'E') {
      integral = false;
      ++at_;
      if (peek() == '+' || peek() == '-') ++at_;
      if (!digits()) return false;
    }
    const std::string text = text_.substr(start, at_ - start);
    errno = 0;
    if (integral) {
      const long long whole = strtoll(text.c_str(), nullptr, 10);
      if (errno == 0) {
        *out = Value::Integer(whole);
        return true;
      }
      errno = 0;
    }
    const double value = strtod(text.c_str(), nullptr);
    if (errno == ERANGE && std::isinf(value)) return fail("number too large");
    *out = Value::Number(value);
    return true;
  }

  const std::string& text_;
  const Limits& limits_;
  size_t at_ = 0;
  std::string why_;
  size_t failedAt_ = 0;
};

}  // namespace

std::string Write(const Value& value) {
  std::string out;
  writeValue(out, value);
  return out;
}

std::string Quote(const std::string& text) {
  std::string out;
  writeString(out, text);
  return out;
}

bool Parse(const std::string& text, Value* out, std::string* why, const Limits& limits) {
  if (text.size() > limits.maxBytes) {
    if (why != nullptr) *why = "document longer than " + std::to_string(limits.maxBytes) + " bytes";
    return false;
  }
  Reader reader(text, limits);
  Value parsed;
  if (!reader.document(&parsed)) {
    if (why != nullptr) *why = reader.why();
    return false;
  }
  if (out != nullptr) *out = std::move(parsed);
  return true;
}

}  // namespace Json
