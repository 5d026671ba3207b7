#include "bench_support.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

namespace bench {

double ms_between(std::chrono::steady_clock::time_point a, std::chrono::steady_clock::time_point b) {
  return std::chrono::duration<double, std::milli>(b - a).count();
}

Stats stats_of(std::vector<double> v) {
  Stats s;
  s.n = v.size();
  if (v.empty()) return s;
  std::sort(v.begin(), v.end());
  s.min = v.front();
  s.max = v.back();
  s.median = v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
  s.p90 = v[static_cast<size_t>(std::ceil(0.9 * v.size())) - 1];
  return s;
}

void OptionParser::text(const char* name, std::string& to) {
  options_.push_back({name, true, [&to](const char* v) { to = v; }});
}

void OptionParser::number(const char* name, int& to) {
  options_.push_back({name, true, [&to](const char* v) { to = atoi(v); }});
}

void OptionParser::real(const char* name, double& to) {
  options_.push_back({name, true, [&to](const char* v) { to = atof(v); }});
}

void OptionParser::seed(const char* name, unsigned& to) {
  options_.push_back({name, true, [&to](const char* v) { to = static_cast<unsigned>(strtoul(v, nullptr, 10)); }});
}

void OptionParser::flag(const char* name, bool& to, bool value) {
  options_.push_back({name, false, [&to, value](const char*) { to = value; }});
}

bool OptionParser::parse(int argc, char** argv) {
  missing_value_.clear();
  for (int i = 1; i < argc; ++i) {
    auto it = std::find_if(options_.begin(), options_.end(), [&](const Option& o) { return o.name == argv[i]; });
    if (it == options_.end()) return false;
    if (!it->takes_value) {
      it->set(nullptr);
      continue;
    }
    if (i + 1 >= argc) {
      missing_value_ = it->name;
      return false;
    }
    it->set(argv[++i]);
  }
  return true;
}

}  // namespace bench
