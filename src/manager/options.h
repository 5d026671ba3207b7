// Command line of the manager.
#pragma once
#include <string>
#include <vector>

#include "manager/manager.h"

struct ParsedOptions {
  ManagerConfig config;
  bool help = false;
  std::string error;  // set when the command line is wrong
};

ParsedOptions parse_manager_options(const std::vector<std::string>& args);
std::string manager_usage(const std::string& program);
// video_player beside the running program when there is one, else the bare
// name for a search of PATH.
std::string default_player_binary();
