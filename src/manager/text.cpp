#include "manager/text.h"

namespace {

// Length of the valid UTF-8 character at `at`, or 0.
size_t character_length(const std::string& s, size_t at) {
  auto byte = [&](size_t i) { return i < s.size() ? static_cast<unsigned char>(s[i]) : 0u; };
  unsigned lead = byte(at);
  if (lead < 0x80) return 1;
  size_t length = lead >= 0xc2 && lead <= 0xdf ? 2 : lead >= 0xe0 && lead <= 0xef ? 3 : lead >= 0xf0 && lead <= 0xf4 ? 4 : 0;
  if (length == 0) return 0;
  // The second byte's range rules out overlong forms, surrogates and code points past U+10FFFF.
  unsigned low = lead == 0xe0 ? 0xa0 : lead == 0xf0 ? 0x90 : 0x80;
  unsigned high = lead == 0xed ? 0x9f : lead == 0xf4 ? 0x8f : 0xbf;
  if (byte(at + 1) < low || byte(at + 1) > high) return 0;
  for (size_t i = 2; i < length; ++i)
    if (byte(at + i) < 0x80 || byte(at + i) > 0xbf) return 0;
  return length;
}

}  // namespace

std::string valid_utf8(const std::string& bytes) {
  std::string out;
  out.reserve(bytes.size());
  for (size_t at = 0; at < bytes.size();) {
    size_t n = character_length(bytes, at);
    if (n == 0) {
      out += "\xef\xbf\xbd";
      ++at;
    } else {
      out.append(bytes, at, n);
      at += n;
    }
  }
  return out;
}

void make_valid_utf8(nlohmann::json& value) {
  if (value.is_string()) {
    value = valid_utf8(value.get_ref<const std::string&>());
  } else if (value.is_array()) {
    for (auto& item : value) make_valid_utf8(item);
  } else if (value.is_object()) {
    nlohmann::json valid = nlohmann::json::object();
    for (auto& [key, item] : value.items()) {
      make_valid_utf8(item);
      valid[valid_utf8(key)] = std::move(item);
    }
    value = std::move(valid);
  }
}

std::string prometheus_label(const std::string& text) {
  std::string out;
  for (char c : valid_utf8(text)) {
    if (c == '\\' || c == '"') out += '\\';
    if (c == '\n') {
      out += "\\n";
      continue;
    }
    out += c;
  }
  return out;
}
