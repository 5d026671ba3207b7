// What the manager plays: a directory of MP4 files or a text file that lists
// them, read again at every round so that new content is picked up.
#pragma once
#include <cstddef>
#include <optional>
#include <string>
#include <vector>

struct PlaylistLoad {
  std::vector<std::string> files;
  std::string error;  // set when the source itself could not be read
};

// A list file larger than this is not read (nor anything but a regular file).
constexpr size_t MAX_PLAYLIST_FILE_BYTES = 1024 * 1024;

// A directory gives its *.mp4 files (any case, no hidden ones) in name order.
// A list file gives one path a line; blank lines and lines starting with '#'
// are skipped, and relative paths are taken from the list file's directory.
PlaylistLoad load_playlist(const std::string& source);

// Why the file cannot be handed to the player, or nullopt when it looks like
// an MP4 file. Cheap checks only: anything subtler is left to the player.
std::optional<std::string> unplayable_reason(const std::string& path);

// Size and modification time, to notice that a file was replaced.
struct FileStamp {
  long long size = -1;
  long long mtime_ns = -1;
  bool operator==(const FileStamp& o) const { return size == o.size && mtime_ns == o.mtime_ns; }
};
FileStamp file_stamp(const std::string& path);
