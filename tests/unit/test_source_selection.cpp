// Which pipeline a media location gets, and how locations enter descriptions.
#include <gtest/gtest.h>

#include "player/lifecycle.h"
#include "core/pipeline_setup.h"

TEST(SourceSelection, ChoosesByPrefixThenExtensionInAnyCase) {
  EXPECT_EQ(classify_location(nullptr), SourceKind::Synthetic);
  EXPECT_EQ(classify_location("http://host/live.m3u8"), SourceKind::HttpStream);
  EXPECT_EQ(classify_location("https://host/a.mp4"), SourceKind::HttpStream);
  EXPECT_EQ(classify_location("/dev/video0"), SourceKind::Camera);
  EXPECT_EQ(classify_location("/media/a.mkv"), SourceKind::Matroska);
  EXPECT_EQ(classify_location("/media/a.mp4"), SourceKind::Mp4);
  EXPECT_EQ(classify_location("/media/a.webm"), SourceKind::WebM);
  EXPECT_EQ(classify_location("/media/a.MP4"), SourceKind::Mp4);
  EXPECT_EQ(classify_location("/media/a.Mkv"), SourceKind::Matroska);
  // A trailing suffix or a dot only in a folder name fall through to playbin.
  EXPECT_EQ(classify_location("/media/a.mp4.bak"), SourceKind::Other);
  EXPECT_EQ(classify_location("/media/release.2/clip"), SourceKind::Other);
  EXPECT_EQ(classify_location("--no_sound"), SourceKind::Other);
}

TEST(SourceSelection, PlaybinAddressesKeepEveryCharacterOfTheName) {
  EXPECT_EQ(file_uri_for("/media/a#1%41 b.mov"), "file:///media/a%231%2541%20b.mov");
  gchar* back = g_filename_from_uri(file_uri_for("/media/a#1%41 b.mov").c_str(), nullptr, nullptr);
  EXPECT_STREQ(back, "/media/a#1%41 b.mov");
  g_free(back);
}

TEST(SourceSelection, ExtensionIsTextFromLastDot) {
  EXPECT_EQ(location_extension("/a/b.c/d.mp4"), ".mp4");
  EXPECT_EQ(location_extension("/a/release.2/clip"), ".2/clip");
  EXPECT_EQ(location_extension("noext"), "");
}

TEST(SourceSelection, NoSoundChangesOnlyFileDescriptionsThatHaveSound) {
  EXPECT_EQ(startup_description(SourceKind::Mp4, "/a.mp4", TRUE).find("audio_selector"), std::string::npos);
  EXPECT_NE(startup_description(SourceKind::Mp4, "/a.mp4", FALSE).find("input-selector name=audio_selector"),
            std::string::npos);
  EXPECT_EQ(startup_description(SourceKind::Matroska, "/a.mkv", TRUE).find("alsasink"), std::string::npos);
  EXPECT_NE(startup_description(SourceKind::Matroska, "/a.mkv", FALSE).find("alsasink"), std::string::npos);
  EXPECT_EQ(startup_description(SourceKind::HttpStream, "http://x", TRUE),
            startup_description(SourceKind::HttpStream, "http://x", FALSE));
}

TEST(SourceSelection, LocationsCannotBreakOutOfTheirQuotes) {
  EXPECT_EQ(escape_for_description("plain"), "plain");
  EXPECT_EQ(escape_for_description("a\"b"), "a\\\"b");
  EXPECT_EQ(escape_for_description("a\\b"), "a\\\\b");
  std::string d = startup_description(SourceKind::Mp4, "/x\" ! fakesink name=\"evil.mp4", TRUE);
  EXPECT_NE(d.find("location=\"/x\\\" ! fakesink name=\\\"evil.mp4\""), std::string::npos);
}

TEST(SourceSelection, ArgumentsTakeFirstAsLocationAndFlagsAnywhere) {
  char prog[] = "video_player", flag[] = "--no_sound", file[] = "/a.mp4", maxlog[] = "--maxlog";
  char* argv1[] = {prog, file, flag, nullptr};
  StartupOptions o1 = parse_arguments(3, argv1);
  EXPECT_STREQ(o1.location, "/a.mp4");
  EXPECT_TRUE(o1.no_sound);

  // With the flag first, the flag itself is the location.
  char* argv2[] = {prog, flag, file, maxlog, nullptr};
  StartupOptions o2 = parse_arguments(4, argv2);
  EXPECT_STREQ(o2.location, "--no_sound");
  EXPECT_TRUE(o2.no_sound);
  EXPECT_TRUE(o2.maxlog_flag);

  char* argv3[] = {prog, nullptr};
  EXPECT_EQ(parse_arguments(1, argv3).location, nullptr);
}
