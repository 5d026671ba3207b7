// File names are bytes; JSON and the metrics' labels are UTF-8. A name that
// is not UTF-8 (Latin-1 from a USB stick or an old share) shows with each
// byte that is not part of a valid UTF-8 character as U+FFFD.
#pragma once
#include <nlohmann/json.hpp>
#include <string>

std::string valid_utf8(const std::string& bytes);
// Every text of the value, keys included, made valid so.
void make_valid_utf8(nlohmann::json& value);
// A label value of Prometheus' text format: valid UTF-8, with \, " and the
// line feed escaped.
std::string prometheus_label(const std::string& text);
