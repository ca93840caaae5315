#include "history/json.h"

#include <cmath>
#include <cstdlib>
#include <cstring>

namespace {

void append_utf8(std::string* out, unsigned code) {
  if (code < 0x80) {
    *out += static_cast<char>(code);
  } else if (code < 0x800) {
    *out += static_cast<char>(0xC0 | code >> 6);
    *out += static_cast<char>(0x80 | (code & 0x3F));
  } else if (code < 0x10000) {
    *out += static_cast<char>(0xE0 | code >> 12);
    *out += static_cast<char>(0x80 | (code >> 6 & 0x3F));
    *out += static_cast<char>(0x80 | (code & 0x3F));
  } else {
    *out += static_cast<char>(0xF0 | code >> 18);
    *out += static_cast<char>(0x80 | (code >> 12 & 0x3F));
    *out += static_cast<char>(0x80 | (code >> 6 & 0x3F));
    *out += static_cast<char>(0x80 | (code & 0x3F));
  }
}

// The length of the valid UTF-8 sequence at `s` (of `left` bytes), 0 when
// there is none.
size_t utf8_length(const unsigned char* s, size_t left) {
  size_t n;
  unsigned code, lowest;
  if (s[0] < 0x80) return 1;
  if ((s[0] & 0xE0) == 0xC0) n = 2, code = s[0] & 0x1F, lowest = 0x80;
  else if ((s[0] & 0xF0) == 0xE0) n = 3, code = s[0] & 0x0F, lowest = 0x800;
  else if ((s[0] & 0xF8) == 0xF0) n = 4, code = s[0] & 0x07, lowest = 0x10000;
  else return 0;
  if (left < n) return 0;
  for (size_t k = 1; k < n; k++) {
    if ((s[k] & 0xC0) != 0x80) return 0;
    code = code << 6 | (s[k] & 0x3F);
  }
  if (code < lowest || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return 0;
  return n;
}

class parser {
 public:
  explicit parser(const std::string& text) : p_(text.c_str()), end_(p_ + text.size()) {}

  bool whole(json_value* value) {
    if (!parse(value, 0)) return false;
    blanks();
    return p_ == end_;
  }

 private:
  void blanks() {
    while (p_ < end_ && (*p_ == ' ' || *p_ == '\t' || *p_ == '\n' || *p_ == '\r')) p_++;
  }
  bool literal(const char* word) {
    const size_t n = strlen(word);
    if (size_t(end_ - p_) < n || memcmp(p_, word, n) != 0) return false;
    p_ += n;
    return true;
  }

  bool parse(json_value* v, int depth) {
    blanks();
    if (p_ == end_ || depth >= JSON_MAX_DEPTH) return false;
    switch (*p_) {
      case '{': return object(v, depth);
      case '[': return array(v, depth);
      case '"': v->type = json_value::kind::string; return string(&v->text);
      case 't': v->type = json_value::kind::boolean; v->boolean = true; return literal("true");
      case 'f': v->type = json_value::kind::boolean; return literal("false");
      case 'n': v->type = json_value::kind::null; return literal("null");
      default: return number(v);
    }
  }

  bool object(json_value* v, int depth) {
    v->type = json_value::kind::object;
    p_++;
    blanks();
    if (p_ < end_ && *p_ == '}') return ++p_, true;
    for (;;) {
      blanks();
      std::pair<std::string, json_value> member;
      if (p_ == end_ || *p_ != '"' || !string(&member.first)) return false;
      blanks();
      if (p_ == end_ || *p_++ != ':' || !parse(&member.second, depth + 1)) return false;
      v->members.push_back(std::move(member));
      blanks();
      if (p_ == end_) return false;
      if (*p_ == '}') return ++p_, true;
      if (*p_++ != ',') return false;
    }
  }

  bool array(json_value* v, int depth) {
    v->type = json_value::kind::array;
    p_++;
    blanks();
    if (p_ < end_ && *p_ == ']') return ++p_, true;
    for (;;) {
      v->items.emplace_back();
      if (!parse(&v->items.back(), depth + 1)) return false;
      blanks();
      if (p_ == end_) return false;
      if (*p_ == ']') return ++p_, true;
      if (*p_++ != ',') return false;
    }
  }

  bool hex4(unsigned* code) {
    if (end_ - p_ < 4) return false;
    *code = 0;
    for (int k = 0; k < 4; k++) {
      const char c = *p_++;
      const int digit = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10
                        : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
      if (digit < 0) return false;
      *code = *code << 4 | digit;
    }
    return true;
  }

  bool string(std::string* out) {
    p_++;
    while (p_ < end_) {
      const unsigned char c = *p_++;
      if (c == '"') return true;
      if (c < 0x20) return false;
      if (c >= 0x80) {
        // JSON text is UTF-8: a byte that is not part of it ends the parse.
        const size_t n = utf8_length(reinterpret_cast<const unsigned char*>(p_ - 1), end_ - p_ + 1);
        if (n == 0) return false;
        out->append(p_ - 1, n);
        p_ += n - 1;
        continue;
      }
      if (c != '\\') {
        *out += static_cast<char>(c);
        continue;
      }
      if (p_ == end_) return false;
      const char e = *p_++;
      const char* simple = strchr("\"\\/bfnrt", e);
      if (simple && e != '\0') {
        *out += "\"\\/\b\f\n\r\t"[simple - "\"\\/bfnrt"];
        continue;
      }
      unsigned code;
      if (e != 'u' || !hex4(&code)) return false;
      if (code >= 0xD800 && code <= 0xDBFF) {
        unsigned low;
        if (!literal("\\u") || !hex4(&low) || low < 0xDC00 || low > 0xDFFF) return false;
        code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
      } else if (code >= 0xDC00 && code <= 0xDFFF) {
        return false;
      }
      append_utf8(out, code);
    }
    return false;
  }

  bool number(json_value* v) {
    const char* start = p_;
    if (p_ < end_ && *p_ == '-') p_++;
    auto digits = [this] {
      const char* from = p_;
      while (p_ < end_ && *p_ >= '0' && *p_ <= '9') p_++;
      return p_ > from;
    };
    if (p_ < end_ && *p_ == '0') p_++;
    else if (!digits()) return false;
    if (p_ < end_ && *p_ == '.' && (++p_, !digits())) return false;
    if (p_ < end_ && (*p_ == 'e' || *p_ == 'E')) {
      p_++;
      if (p_ < end_ && (*p_ == '+' || *p_ == '-')) p_++;
      if (!digits()) return false;
    }
    v->type = json_value::kind::number;
    v->number = strtod(std::string(start, p_).c_str(), nullptr);
    return true;
  }

  const char* p_;
  const char* end_;
};

}  // namespace

const json_value* json_value::member(const std::string& name) const {
  for (const auto& m : members)
    if (m.first == name) return &m.second;
  return nullptr;
}

std::string json_value::string_member(const std::string& name) const {
  const json_value* m = member(name);
  return m && m->type == kind::string ? m->text : std::string();
}

long json_value::integer_member(const std::string& name, long low, long high, long otherwise) const {
  const json_value* m = member(name);
  if (!m || m->type != kind::number || m->number != std::floor(m->number) || m->number < low ||
      m->number > high)
    return otherwise;
  return static_cast<long>(m->number);
}

bool parse_json(const std::string& text, json_value* value) {
  *value = json_value();
  return parser(text).whole(value);
}

void append_json_string(std::string* out, const std::string& text) {
  static const char HEX[] = "0123456789abcdef";
  *out += '"';
  const auto* s = reinterpret_cast<const unsigned char*>(text.data());
  for (size_t i = 0; i < text.size();) {
    const unsigned char c = s[i];
    const size_t n = c >= 0x20 ? utf8_length(s + i, text.size() - i) : 0;
    if (c == '"' || c == '\\') {
      *out += '\\';
      *out += static_cast<char>(c);
    } else if (n > 0) {
      out->append(text, i, n);
      i += n;
      continue;
    } else if (c == '\n') {
      *out += "\\n";
    } else {
      *out += "\\u00";
      *out += HEX[c >> 4];
      *out += HEX[c & 15];
    }
    i++;
  }
  *out += '"';
}

std::string json_string(const std::string& text) {
  std::string out;
  append_json_string(&out, text);
  return out;
}

std::string json_number_or_null(long long value) { return value < 0 ? "null" : std::to_string(value); }
