#pragma once
// Command-line option parser over a table of options.
//
// Rules:
// - Scanning starts at the second element; the program name is never an option.
// - An element beginning with "-" is an option candidate; "name=argument" is split at the first "=".
// - Matching is case-sensitive and the number of leading hyphens must equal the table text's. An
//   exact match selects a row at once (table order); otherwise the name must be a proper prefix of
//   exactly one row (abbreviation). A name made only of hyphens names no option.
// - No clumping (-DU is unknown) and no attached argument (-d1 is unknown; -d=1 is fine).
// - Elements not beginning with "-" are skipped and moved behind the options, keeping their order.
// - A row that requires an argument takes the "=" argument, else the next element; a next element
//   that begins with "-" is refused and left to be parsed as the next option, unless it is a
//   negative number ("-1"): no option is named by digits, so it is the argument, for the row to
//   judge.
#include <cstddef>

// Argument type of a table row.
enum OptionArgType { kOptionNoArg = 0, kOptionRequiredArg = 1 };

// Errors reported by LastError() for the option just returned by Next().
enum OptionError {
  kOptionOk = 0,
  kOptionUnknown = -1,       // matches no row
  kOptionAmbiguous = -2,     // abbreviation of two or more rows
  kOptionUnexpectedArg = -3,  // "=argument" on a row that takes none
  kOptionMissingArg = -5,    // required argument absent
  kOptionDashArg = -6,       // the next element begins with "-"
};

template <class SOCHAR>
struct SOptionTempl {
  int id;              // -1 ends the table
  const SOCHAR* text;  // e.g. "-d"
  int argType;         // OptionArgType
};
typedef SOptionTempl<char> SOption;

template <class SOCHAR>
class CSimpleOptTempl {
 public:
  CSimpleOptTempl(int argc, SOCHAR** argv, const SOptionTempl<SOCHAR>* options, int flags = 0)
      : argc_(argc < 0 ? 0 : argc), argv_(argv), options_(options), flags_(flags), next_(1), last_(argc_) {}

  // Advances to the next option; false when none is left.
  bool Next() {
    clearCurrent();
    while (next_ < last_ && !isOption(argv_[next_])) moveBehind(next_);
    if (next_ >= last_) return false;
    SOCHAR* element = argv_[next_++];
    size_t nameLength = 0;
    while (element[nameLength] != 0 && element[nameLength] != '=') ++nameLength;
    const SOCHAR* equalsArg = element[nameLength] == '=' ? element + nameLength + 1 : nullptr;
    int match = findRow(element, nameLength);
    if (match < 0) {
      error_ = match == kAmbiguousMatch ? kOptionAmbiguous : kOptionUnknown;
      text_ = element;
      return true;
    }
    const SOptionTempl<SOCHAR>& row = options_[match];
    id_ = row.id;
    text_ = row.text;
    if (row.argType == kOptionNoArg) {
      if (equalsArg != nullptr) error_ = kOptionUnexpectedArg;
      return true;
    }
    takeArgument(equalsArg);
    return true;
  }

  int LastError() const { return error_; }
  int OptionId() const { return id_; }
  // The table row's text (what was typed for an unknown or ambiguous option).
  const SOCHAR* OptionText() const { return text_; }
  const SOCHAR* OptionArg() const { return arg_; }
  int Flags() const { return flags_; }

  // Elements that were not options, in their order; valid once Next() has returned false.
  int NonOptionCount() const { return argc_ - last_; }
  const SOCHAR* NonOption(int index) const {
    return index >= 0 && index < NonOptionCount() ? argv_[last_ + index] : nullptr;
  }

 private:
  static constexpr int kNoMatch = -1;
  static constexpr int kAmbiguousMatch = -2;

  static bool isOption(const SOCHAR* element) { return element != nullptr && element[0] == '-'; }

  static bool isNegativeNumber(const SOCHAR* element) {
    if (element[0] != '-' || element[1] == 0) return false;
    for (const SOCHAR* at = element + 1; *at != 0; ++at) {
      if (*at < '0' || *at > '9') return false;
    }
    return true;
  }

  static size_t hyphens(const SOCHAR* text, size_t length) {
    size_t count = 0;
    while (count < length && text[count] == '-') ++count;
    return count;
  }

  static size_t length(const SOCHAR* text) {
    size_t count = 0;
    while (text[count] != 0) ++count;
    return count;
  }

  static bool samePrefix(const SOCHAR* a, const SOCHAR* b, size_t count) {
    for (size_t i = 0; i < count; ++i) {
      if (a[i] != b[i]) return false;
    }
    return true;
  }

  // Index of the selected row, kNoMatch or kAmbiguousMatch.
  int findRow(const SOCHAR* name, size_t nameLength) const {
    size_t nameHyphens = hyphens(name, nameLength);
    if (nameHyphens == nameLength) return kNoMatch;
    for (int i = 0; options_[i].id != -1; ++i) {
      const SOCHAR* text = options_[i].text;
      if (length(text) == nameLength && samePrefix(text, name, nameLength)) return i;
    }
    int found = kNoMatch;
    for (int i = 0; options_[i].id != -1; ++i) {
      const SOCHAR* text = options_[i].text;
      size_t textLength = length(text);
      if (textLength <= nameLength || hyphens(text, textLength) != nameHyphens) continue;
      if (!samePrefix(text, name, nameLength)) continue;
      if (found != kNoMatch) return kAmbiguousMatch;
      found = i;
    }
    return found;
  }

  void takeArgument(const SOCHAR* equalsArg) {
    if (equalsArg != nullptr) {
      arg_ = equalsArg;
    } else if (next_ >= last_) {
      error_ = kOptionMissingArg;
    } else if (isOption(argv_[next_]) && !isNegativeNumber(argv_[next_])) {
      error_ = kOptionDashArg;
    } else {
      arg_ = argv_[next_++];
    }
  }

  // Moves the element at index to the end of the vector; earlier moved elements keep their order.
  void moveBehind(int index) {
    SOCHAR* element = argv_[index];
    for (int i = index; i + 1 < argc_; ++i) argv_[i] = argv_[i + 1];
    argv_[argc_ - 1] = element;
    --last_;
  }

  void clearCurrent() {
    error_ = kOptionOk;
    id_ = -1;
    text_ = nullptr;
    arg_ = nullptr;
  }

  int argc_;
  SOCHAR** argv_;
  const SOptionTempl<SOCHAR>* options_;
  int flags_;
  int next_;
  int last_;
  int error_ = kOptionOk;
  int id_ = -1;
  const SOCHAR* text_ = nullptr;
  const SOCHAR* arg_ = nullptr;
};
