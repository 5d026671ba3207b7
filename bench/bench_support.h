// What the benchmarks share: reading their options, and the figures they
// give for a set of timings.
#pragma once
#include <chrono>
#include <cstddef>
#include <functional>
#include <string>
#include <vector>

namespace bench {

double ms_between(std::chrono::steady_clock::time_point a, std::chrono::steady_clock::time_point b);

// Median (the mean of the middle two for an even count), 90th percentile by
// nearest rank, least and greatest; all zero for no values.
struct Stats {
  size_t n = 0;
  double median = 0, p90 = 0, min = 0, max = 0;
};
Stats stats_of(std::vector<double> v);

// Command-line options, each bound to the field it sets. Every option but a
// flag takes the next argument as its value, whatever it looks like; numbers
// are read as atoi/atof/strtoul read them.
class OptionParser {
 public:
  void text(const char* name, std::string& to);
  void number(const char* name, int& to);
  void real(const char* name, double& to);
  void seed(const char* name, unsigned& to);
  void flag(const char* name, bool& to, bool value = true);
  // False at the first option it does not know or that lacks its value;
  // missing_value() then names the latter.
  bool parse(int argc, char** argv);
  const std::string& missing_value() const { return missing_value_; }

 private:
  struct Option {
    std::string name;
    bool takes_value;
    std::function<void(const char*)> set;
  };
  std::vector<Option> options_;
  std::string missing_value_;
};

}  // namespace bench
