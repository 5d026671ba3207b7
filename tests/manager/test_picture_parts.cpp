// Pictures in the playlist, piece by piece: how a list names them and their
// time, which files a directory gives, and the bound of the clips' cache.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "manager/options.h"
#include "manager/picture_clips.h"
#include "manager/playlist.h"
#include "manager_fixture.h"

namespace {

void write_file(const std::string& path, const std::string& text) { std::ofstream(path) << text; }

void set_mtime(const std::string& path, time_t seconds) {
  struct timespec times[2] = {{seconds, 0}, {seconds, 0}};
  utimensat(AT_FDCWD, path.c_str(), times, 0);
}

using PictureParts = TempDirTest;

}  // namespace

TEST_F(PictureParts, ListAndDirectoryGivePicturesWithTheirKindAndTime) {
  const char* jpeg = "\xff\xd8\xff\xe0 rest";
  for (const char* name : {"a.JPG", "b.jpeg", "c.Png", "d.webp", "e.mp4", "f.gif", ".g.png", "h.jpg.txt"})
    write_file(dir + "/" + name, jpeg);
  PlaylistLoad load = load_playlist(dir);
  EXPECT_EQ(load.files, (std::vector<std::string>{dir + "/a.JPG", dir + "/b.jpeg", dir + "/c.Png", dir + "/d.webp",
                                                  dir + "/e.mp4"}));
  EXPECT_EQ(media_kind(dir + "/c.Png"), MediaKind::Picture);
  EXPECT_EQ(media_kind(dir + "/e.mp4"), MediaKind::Video);
  EXPECT_EQ(media_kind("/x.png/clip.mp4"), MediaKind::Video);  // a directory's name is no extension

  write_file(dir + "/list.txt",
             "10s poster.jpg\n"
             "08:00-11:00 15s breakfast.png\n"
             "mon-fri 2.5s /abs/notice.jpeg\n"
             "clip.mp4\n"
             "5s\n"                    // a file named so
             "0s zero.png\n"           // not a time: a file named "0s zero.png"
             "12 twelve.png\n"         // no unit: a file
             "08:00-09:00 clip2.mp4\n");
  load = load_playlist(dir + "/list.txt");
  ASSERT_TRUE(load.error.empty());
  EXPECT_EQ(load.files, (std::vector<std::string>{dir + "/poster.jpg", dir + "/breakfast.png", "/abs/notice.jpeg",
                                                  dir + "/clip.mp4", dir + "/5s", dir + "/0s zero.png",
                                                  dir + "/12 twelve.png", dir + "/clip2.mp4"}));
  EXPECT_EQ(load.seconds, (std::vector<double>{10, 15, 2.5, 0, 0, 0, 0, 0}));
  EXPECT_EQ(load.schedules[1].text, "08:00-11:00");
  EXPECT_EQ(load.schedules[2].text, "mon-fri");
  EXPECT_TRUE(load.schedules[0].always());

  // A picture is told by its first bytes, not its name alone.
  write_file(dir + "/png.png", "\x89PNG\r\n\x1a\n....");
  write_file(dir + "/text.png", "this is not a picture");
  write_file(dir + "/riff.webp", std::string("RIFF\0\0\0\0WEBPVP8 ", 16));
  EXPECT_EQ(unplayable_reason(dir + "/a.JPG"), std::nullopt);
  EXPECT_EQ(unplayable_reason(dir + "/png.png"), std::nullopt);
  EXPECT_EQ(unplayable_reason(dir + "/riff.webp"), std::nullopt);
  EXPECT_EQ(unplayable_reason(dir + "/text.png"), std::optional<std::string>("not a JPEG, PNG or WebP picture"));
  EXPECT_EQ(unplayable_reason(dir + "/e.mp4"), std::optional<std::string>("not an MP4 file"));

  ParsedOptions p = parse_manager_options({"--picture-seconds", "7", "--picture-size", "1280x720",
                                           "--picture-cache-size", "64", "--rotate", "90", "list"});
  ASSERT_EQ(p.error, "");
  EXPECT_EQ(p.config.pictures.seconds, 7);
  EXPECT_EQ(p.config.pictures.width, 1280);
  EXPECT_EQ(p.config.pictures.height, 720);
  EXPECT_EQ(p.config.pictures.max_bytes, 64LL * 1024 * 1024);
  for (const char* wrong : {"1920", "1921x1080", "0x0", "1920x1080x", "axb"})
    EXPECT_NE(parse_manager_options({"--picture-size", wrong, "list"}).error, "") << wrong;
}

TEST_F(PictureParts, ClipNamesFollowThePictureAndHowItIsShownAndTheCacheKeepsItsBound) {
  PictureOptions o;
  FileStamp stamp{100, 5};
  std::string name = picture_clip_name(o, "/p/a.jpg", stamp, 10);
  EXPECT_EQ(name, picture_clip_name(o, "/p/a.jpg", stamp, 10));
  std::vector<std::string> others = {picture_clip_name(o, "/p/b.jpg", stamp, 10),
                                     picture_clip_name(o, "/p/a.jpg", {100, 6}, 10),  // changed in place
                                     picture_clip_name(o, "/p/a.jpg", stamp, 15)};
  for (auto change : {+[](PictureOptions& x) { x.width = 1280; }, +[](PictureOptions& x) { x.rotate = "90"; },
                      +[](PictureOptions& x) { x.fps = 30; }}) {
    PictureOptions changed = o;
    change(changed);
    others.push_back(picture_clip_name(changed, "/p/a.jpg", stamp, 10));
  }
  for (const auto& other : others) EXPECT_NE(other, name);

  // Five clips of 100 bytes, used at times 1000..5000; a bound of 250 bytes
  // removes the three used the longest ago, but never one kept.
  for (int i = 1; i <= 5; ++i) {
    std::string path = dir + "/" + std::to_string(i) + ".mp4";
    write_file(path, std::string(100, 'x'));
    set_mtime(path, 1000 * i);
  }
  write_file(dir + "/other.part", std::string(1000, 'x'));  // not a clip
  EXPECT_EQ(clips_over_bound(dir, 250, {}), (std::vector<std::string>{dir + "/1.mp4", dir + "/2.mp4", dir + "/3.mp4"}));
  EXPECT_EQ(clips_over_bound(dir, 250, {dir + "/1.mp4"}),
            (std::vector<std::string>{dir + "/2.mp4", dir + "/3.mp4", dir + "/4.mp4"}));
  EXPECT_TRUE(clips_over_bound(dir, 500, {}).empty());

  // A clip handed out is marked used: the bound then takes the others first.
  Output::Options quiet;
  quiet.quiet_player = true;
  Output out(quiet);
  o.dir = dir;
  o.max_bytes = 1 << 20;
  PictureClips clips(o, out);
  write_file(dir + "/a.jpg", "\xff\xd8\xff");
  std::string made = dir + "/" + picture_clip_name(o, dir + "/a.jpg", file_stamp(dir + "/a.jpg"), 10);
  write_file(made, std::string(100, 'x'));
  set_mtime(made, 500);
  PictureClips::Answer answer = clips.want(dir + "/a.jpg", 10);
  EXPECT_EQ(answer.state, PictureClips::State::Ready);
  EXPECT_EQ(answer.clip, made);
  EXPECT_EQ(clips_over_bound(dir, 250, {}), (std::vector<std::string>{dir + "/1.mp4", dir + "/2.mp4", dir + "/3.mp4",
                                                                       dir + "/4.mp4"}));
}

// The clip as the player gets it: with --rotate 90 the player turns every
// file a quarter clockwise, so the maker turns the picture back a quarter
// first: the poster, as wide as the turned screen (360 of 360x640) with bars
// above and below, lies on its side in a 640x360 clip. A picture cut short
// is refused with its line.
TEST_F(PictureParts, ClipIsMadeTurnedBackAgainstThePlayersRotation) {
  std::string maker = std::filesystem::path(MANAGER_BINARY).parent_path() / "signage_picture_clip";
  std::string clip_path = dir + "/turned.mp4";
  std::string command = maker + " " + clip("poster.jpg") + " " + clip_path + " 640 360 25 1 90 2>" + dir + "/err";
  ASSERT_EQ(system(command.c_str()), 0) << command;
  std::string frame = dir + "/frame.rgb";
  std::string grab = "ffmpeg -v error -y -i " + clip_path + " -frames:v 1 -f rawvideo -pix_fmt rgb24 " + frame;
  ASSERT_EQ(system(grab.c_str()), 0);
  std::ifstream in(frame, std::ios::binary);
  std::string rgb((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  ASSERT_EQ(rgb.size(), 640u * 360 * 3);
  auto at = [&rgb](int x, int y) {
    size_t i = (static_cast<size_t>(y) * 640 + x) * 3;
    return Rgb{static_cast<unsigned char>(rgb[i]), static_cast<unsigned char>(rgb[i + 1]),
               static_cast<unsigned char>(rgb[i + 2])};
  };
  // Screen (x, y) of the turned 360x640 screen is clip (y, 359 - x).
  const std::vector<std::pair<std::pair<int, int>, Rgb>> spots = {
      {{270, 270}, RED}, {{270, 90}, GREEN}, {{370, 270}, BLUE}, {{370, 90}, YELLOW}, {{100, 180}, BLACK},
      {{540, 180}, BLACK}};
  for (const auto& [xy, colour] : spots) {
    Rgb got = at(xy.first, xy.second);
    EXPECT_TRUE(near_colour(got, colour)) << "(" << xy.first << "," << xy.second << ") is " << got.r << "," << got.g
                                          << "," << got.b;
  }

  std::string refused = maker + " " + clip("cut_short.jpg") + " " + dir + "/cut.mp4 640 360 25 1 0 2>" + dir + "/err";
  EXPECT_NE(system(refused.c_str()), 0);
  std::ifstream err(dir + "/err");
  std::string why;
  std::getline(err, why);
  EXPECT_EQ(why.rfind("not a picture that can be decoded", 0), 0u) << why;
}
