#include "manager/secret.h"

#include <cctype>
#include <fstream>
#include <sstream>

std::optional<std::string> read_token_file(const std::string& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  if (!in) return std::nullopt;
  std::string s = text.str();
  while (!s.empty() && isspace(static_cast<unsigned char>(s.back()))) s.pop_back();
  size_t start = 0;
  while (start < s.size() && isspace(static_cast<unsigned char>(s[start]))) ++start;
  s = s.substr(start);
  if (s.size() < 16) return std::nullopt;
  return s;
}
