// Lines from many threads never interleave.
#include <gtest/gtest.h>

#include <thread>

#include "core/log.h"
#include "support/test_support.h"

TEST(Output, LinesOfDifferentThreadsStayWhole) {
  constexpr int kThreads = 6, kLines = 500;
  std::vector<std::string> lines;
  {
    StdoutCapture out;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
      threads.emplace_back([t] {
        std::string body(300, static_cast<char>('a' + t));
        for (int i = 0; i < kLines; ++i) log_line("[T%d] %s|%d", t, body.c_str(), i);
      });
    for (auto& th : threads) th.join();
    lines = out.lines();
  }
  ASSERT_EQ(lines.size(), static_cast<size_t>(kThreads * kLines));
  for (const auto& l : lines) {
    ASSERT_GE(l.size(), 305u);
    char c = l[5];
    EXPECT_EQ(l.find_first_not_of(c, 5), l.find('|')) << l.substr(0, 40);
  }
}
