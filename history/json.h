// The little JSON the upgrade history needs: values parsed from one line
// of the history file, and strings written into one.
#ifndef HISTORY_JSON_H
#define HISTORY_JSON_H

#include <string>
#include <utility>
#include <vector>

// A parsed JSON value. Numbers are kept as doubles, objects in the order
// written.
struct json_value {
  enum class kind { null, boolean, number, string, array, object };
  kind type = kind::null;
  bool boolean = false;
  double number = 0;
  std::string text;
  std::vector<json_value> items;
  std::vector<std::pair<std::string, json_value>> members;

  // The member called `name`, or null when there is none (or this is not
  // an object).
  const json_value* member(const std::string& name) const;
  // A string member's text, "" when it is missing or not a string.
  std::string string_member(const std::string& name) const;
  // An integral number member in [low, high], `otherwise` when it is
  // missing, not a whole number or out of range.
  long integer_member(const std::string& name, long low, long high, long otherwise) const;
};

// Parses `text`, one JSON value in UTF-8 with nothing but blanks around
// it, nested at most JSON_MAX_DEPTH deep. False when it is not that.
const int JSON_MAX_DEPTH = 16;
bool parse_json(const std::string& text, json_value* value);

// Appends `text` to `out` as a quoted JSON string. Control characters are
// escaped, and so is every byte that is not part of valid UTF-8 (as the
// character of that number), so the output is always valid JSON.
void append_json_string(std::string* out, const std::string& text);
std::string json_string(const std::string& text);

// `value` as a JSON number, or null when it is below 0 (not known).
std::string json_number_or_null(long long value);

#endif
