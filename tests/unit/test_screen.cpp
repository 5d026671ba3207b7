// Where the picture goes and how it is turned, chosen from options and the environment.
#include <gtest/gtest.h>

#include "player/lifecycle.h"
#include "platform/screen.h"

TEST(Screen, OutputIsTheOneNamedElseTheSessionsElseTheDrmDevice) {
  const char* x = ":0";
  const char* wl = "wayland-0";
  EXPECT_EQ(choose_video_output("auto", nullptr, wl, x), VideoOutput::Wayland);  // as GStreamer's GL would
  EXPECT_EQ(choose_video_output("auto", nullptr, "", x), VideoOutput::X11);
  EXPECT_EQ(choose_video_output("auto", nullptr, nullptr, nullptr), VideoOutput::Kms);
  EXPECT_EQ(choose_video_output("auto", "x11", wl, x), VideoOutput::X11);
  EXPECT_EQ(choose_video_output("auto", "gbm", wl, x), VideoOutput::Kms);
  EXPECT_EQ(choose_video_output("x11", nullptr, wl, nullptr), VideoOutput::X11);
  EXPECT_EQ(choose_video_output("kms", nullptr, wl, x), VideoOutput::Kms);
  EXPECT_FALSE(choose_video_output("drm", nullptr, wl, x).has_value());
}

TEST(Screen, ScreenOptionsAreNeverTakenForTheLocationWhereverTheyStandAndBadValuesAreLeftAtDefault) {
  auto parse = [](std::vector<const char*> args) {
    args.insert(args.begin(), "video_player");
    return parse_arguments(static_cast<int>(args.size()), const_cast<char**>(args.data()));
  };
  StartupOptions o = parse({"/a.mp4", "--no_sound", "--rotate", "270", "--window", "--output", "x11"});
  EXPECT_STREQ(o.location, "/a.mp4");
  EXPECT_TRUE(o.no_sound);
  EXPECT_EQ(o.screen.rotate_method, 3);
  EXPECT_TRUE(o.screen.window);
  EXPECT_EQ(o.screen.output, "x11");
  o = parse({"--rotate", "90"});  // the idle picture, turned
  EXPECT_EQ(o.location, nullptr);
  EXPECT_EQ(o.screen.rotate_method, 1);
  o = parse({"--rotate", "90", "--window", "--output", "wayland", "/a.mp4", "--no_sound"});  // options first
  EXPECT_STREQ(o.location, "/a.mp4");
  EXPECT_TRUE(o.no_sound);
  EXPECT_EQ(o.screen.rotate_method, 1);
  EXPECT_TRUE(o.screen.window);
  EXPECT_EQ(o.screen.output, "wayland");
  o = parse({"--window", "--no_sound", "/a.mp4"});  // a flag first is still the location, as it always was
  EXPECT_STREQ(o.location, "--no_sound");
  EXPECT_TRUE(o.no_sound);
  o = parse({"/a.mp4", "--rotate", "45"});
  EXPECT_EQ(o.screen.rotate_method, 0);
  EXPECT_EQ(rotate_method_from_text("horizontal-flip"), 4);
  EXPECT_EQ(rotate_method_from_text("vertical-flip"), 5);
  EXPECT_FALSE(rotate_method_from_text("").has_value());
}
