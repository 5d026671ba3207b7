// Display aspect ratios: reading them with ffprobe and the decision they lead to.
#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>

#include "aspect/aspect_ratio.h"
#include "core/player_state.h"
#include "protocol/protocol.h"
#include "support/test_support.h"

TEST(AspectRatio, ParsesOnlyWholeRatiosWithAPositiveDenominator) {
  int n = 0, d = 0;
  EXPECT_TRUE(parse_dar_answer("16:9\n", &n, &d));
  EXPECT_EQ(n, 16);
  EXPECT_EQ(d, 9);
  EXPECT_FALSE(parse_dar_answer("N/A", &n, &d));
  EXPECT_FALSE(parse_dar_answer("4:0", &n, &d));
  EXPECT_FALSE(parse_dar_answer("4:-3", &n, &d));
  EXPECT_FALSE(parse_dar_answer("", &n, &d));
  EXPECT_TRUE(parse_dar_answer("0:1", &n, &d));
}

TEST(AspectRatio, ReadsRealFilesWithoutAShell) {
  StdoutCapture out;
  float dar = -1;
  EXPECT_EQ(get_video_dar(clip("red.mp4").c_str(), &dar), 1);
  EXPECT_NEAR(dar, 16.0 / 9.0, 0.001);
  EXPECT_TRUE(out.has_substring("[AR FFPROBE] ✅ " + clip("red.mp4") + " → DAR=16:9 (1.778)"));
  EXPECT_EQ(get_video_dar(clip("square.mp4").c_str(), &dar), 1);
  EXPECT_NEAR(dar, 4.0 / 3.0, 0.001);
  for (const char* name : {"it's.mp4", "quote\".mp4", "with space.mp4"}) {
    EXPECT_EQ(get_video_dar(clip(name).c_str(), &dar), 1) << name;
    EXPECT_NEAR(dar, 16.0 / 9.0, 0.001) << name;
  }
  EXPECT_EQ(get_video_dar("/no/such/file.mp4", &dar), 0);
  EXPECT_EQ(dar, 0.0f);
  EXPECT_EQ(get_video_dar(clip("text.mp4").c_str(), &dar), 0);
  EXPECT_TRUE(out.has_substring("[AR FFPROBE] ❌ Falhou a ler DAR de /no/such/file.mp4"));
  EXPECT_EQ(get_video_dar(nullptr, &dar), 0);
}

TEST(AspectRatio, PathsCannotRunCommands) {
  std::string marker = ::testing::TempDir() + "dar_marker";
  unlink(marker.c_str());
  std::string evil = ::testing::TempDir() + "x'; touch " + marker + "; echo '.mp4";
  { std::ofstream(evil) << "not a video"; }
  StdoutCapture out;
  float dar = 0;
  EXPECT_EQ(get_video_dar(evil.c_str(), &dar), 0);
  EXPECT_EQ(get_video_dar(("$(touch " + marker + ")").c_str(), &dar), 0);
  EXPECT_NE(access(marker.c_str(), F_OK), 0) << "a path ran a command";
  unlink(evil.c_str());
}

TEST(AspectRatio, DecisionRows) {
  StdoutCapture out;
  current_aspect_ratio = 0.0f;
  // Mismatch before any preload completed: rebuild at once.
  EXPECT_EQ(decide_aspect_ratio(16.0f / 9, 4.0f / 3), ArOutcome::Immediate);
  EXPECT_TRUE(out.has_substring("║  ⚠️⚠️⚠️  DAR DIFERENTE! 1.778 ≠ 1.333  ⚠️⚠️⚠️            ║"));
  // Within 0.01: normal.
  EXPECT_EQ(decide_aspect_ratio(1.7778f, 1.7700f), ArOutcome::Normal);
  EXPECT_TRUE(out.has_substring(protocol::RATIO_SAME));
  // Mismatch after a completion: after the current video.
  current_aspect_ratio = 16.0f / 9;
  EXPECT_EQ(decide_aspect_ratio(16.0f / 9, 4.0f / 3), ArOutcome::Scheduled);
  EXPECT_TRUE(out.has_substring(protocol::REBUILD_SCHEDULED));
  // Current ratio unreadable: the first real video, at once.
  EXPECT_EQ(decide_aspect_ratio(0.0f, 16.0f / 9), ArOutcome::Immediate);
  EXPECT_TRUE(out.has_substring("║  ℹ️  Primeiro vídeo real (placeholder → video)           ║"));
  // Negative current ratio, or no preload ratio: normal.
  EXPECT_EQ(decide_aspect_ratio(-1.0f, 16.0f / 9), ArOutcome::Normal);
  EXPECT_EQ(decide_aspect_ratio(16.0f / 9, 0.0f), ArOutcome::Normal);
  EXPECT_EQ(out.count_line("║  ⚠️  Não foi possível determinar DAR                     ║"), 2);
  current_aspect_ratio = 0.0f;
}
