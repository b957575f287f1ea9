#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// A small JSON facility for the records this program exchanges with programs: a value (null,
// bool, integer, number, text, array, object with its members in the order set), a writer that
// always produces a valid document, and a reader for one document that refuses damaged input.
//
// The writer takes text as bytes from anywhere (devices, servers, file names): control bytes are
// escaped, and a byte that does not belong to valid UTF-8 is written as U+FFFD, so the document
// stays valid whatever the text held. Numbers that are not finite are written as null.
namespace Json {

class Value {
 public:
  enum class Type { Null, Bool, Integer, Number, String, Array, Object };

  Value() = default;
  static Value Null() { return Value(); }
  static Value Bool(bool value);
  static Value Integer(int64_t value);
  static Value Number(double value);
  static Value String(std::string value);
  static Value Array();
  static Value Object();
  // An integer, or null when known is false (a build that was never read).
  static Value IntegerOrNull(bool known, int64_t value);
  // Text, or null when it is empty (a cause on success).
  static Value StringOrNull(const std::string& value);

  Type type() const { return type_; }
  bool isNull() const { return type_ == Type::Null; }
  bool isBool() const { return type_ == Type::Bool; }
  bool isInteger() const { return type_ == Type::Integer; }
  bool isNumber() const { return type_ == Type::Integer || type_ == Type::Number; }
  bool isString() const { return type_ == Type::String; }
  bool isArray() const { return type_ == Type::Array; }
  bool isObject() const { return type_ == Type::Object; }

  // The value as that type; the type's zero (false, 0, empty) for a value of another type.
  bool asBool() const { return type_ == Type::Bool && bool_; }
  int64_t asInteger() const;
  double asNumber() const;
  const std::string& asString() const;

  // Arrays and objects: the number of items or members.
  size_t size() const { return items_.size(); }
  // Arrays: appends an item (a value of another type becomes an empty array first).
  Value& Append(Value item);
  const Value& operator[](size_t index) const { return items_[index]; }
  const std::vector<Value>& items() const { return items_; }

  // Objects: sets the member (replacing one of that name, else added at the end; a value of
  // another type becomes an empty object first), and returns this object for chaining.
  Value& Set(const std::string& key, Value member);
  // The member of that name, or nullptr (also when this is no object).
  const Value* Find(const std::string& key) const;
  Value* Find(const std::string& key);
  const std::vector<std::string>& keys() const { return keys_; }

  bool operator==(const Value& other) const;
  bool operator!=(const Value& other) const { return !(*this == other); }

 private:
  void become(Type type);

  Type type_ = Type::Null;
  bool bool_ = false;
  int64_t integer_ = 0;
  double number_ = 0;
  std::string string_;
  std::vector<Value> items_;       // array items, or object member values
  std::vector<std::string> keys_;  // object member names, parallel to items_
};

// The value as one line of JSON text, without a line end: nothing in it is a raw line end, so a
// document per line can be exchanged.
std::string Write(const Value& value);
// Text as a JSON string, quotes included (the writer's escaping and U+FFFD replacement).
std::string Quote(const std::string& text);

struct Limits {
  size_t maxBytes = 1 << 20;  // longer text is refused unread
  size_t maxDepth = 32;       // arrays and objects nested deeper are refused
};

// Reads exactly one JSON document (surrounding white space allowed): true with *out set, or false
// with *why naming the fault and its byte offset (when given). Refused: anything RFC 8259 does
// not allow (comments, trailing commas, single quotes, leading zeros, lone surrogates), text that
// is not valid UTF-8, duplicate member names, numbers that do not fit a double, input beyond the
// limits, and anything after the document.
bool Parse(const std::string& text, Value* out, std::string* why = nullptr, const Limits& limits = Limits());

}  // namespace Json
