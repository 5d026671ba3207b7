// Tokens: the API's bearer token and the wall's shared secret follow one rule.
#pragma once
#include <optional>
#include <string>

// The text of a token file, without surrounding white space; nothing when
// the file cannot be read or holds under 16 characters.
std::optional<std::string> read_token_file(const std::string& path);
