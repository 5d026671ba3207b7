#include "manager/player_errors.h"

#include <algorithm>
#include <cctype>
#include <vector>

namespace {

bool contains_any(const std::string& text, std::initializer_list<const char*> words) {
  for (const char* w : words)
    if (text.find(w) != std::string::npos) return true;
  return false;
}

}  // namespace

ErrorOrigin error_origin(const std::string& debug_text) {
  ErrorOrigin out;
  // The path follows the function name; without one, the first word that starts with '/'.
  size_t start = debug_text.find("(): /");
  if (start != std::string::npos) {
    start += 4;
  } else {
    start = debug_text.find(" /");
    if (start == std::string::npos) return out;
    ++start;
  }
  size_t end = debug_text.find_first_of(" \t\r\n", start);
  std::string path = debug_text.substr(start, end == std::string::npos ? std::string::npos : end - start);
  while (!path.empty() && path.back() == ':') path.pop_back();
  if (path.find(':') == std::string::npos) return out;
  out.element = path;

  std::vector<std::string> parts;  // "type:name" of each element from the pipeline down
  for (size_t at = 0; at < path.size();) {
    size_t slash = path.find('/', at);
    if (slash == std::string::npos) slash = path.size();
    if (slash > at) parts.push_back(path.substr(at, slash - at));
    at = slash + 1;
  }
  bool output = false, data = false;
  for (std::string part : parts) {
    size_t colon = part.find(':');
    if (colon != std::string::npos && part.compare(colon + 1, 8, "preload_") == 0) out.preload_branch = true;
    std::transform(part.begin(), part.end(), part.begin(), [](unsigned char c) { return std::tolower(c); });
    // Whatever shows the picture or plays the sound, and the links to them,
    // fails for reasons of its own (a display not there yet, a sound server).
    if (contains_any(part, {"sink", "gstgl", ":gl", "egl", "display", "alsa", "pulse", "audio_output", "selector",
                            "audioconvert", "audioresample"}))
      output = true;
    if (contains_any(part, {"filesrc", "demux", "parse", "dec", "typefind"})) data = true;
  }
  out.file_part = data && !output;
  return out;
}
