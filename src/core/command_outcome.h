// What handling one command line means for the reader: shared by the command
// reader (player/) and the commands it hands over (switching/).
#pragma once

enum class CommandOutcome {
  Processed,  // the iteration's one command; reading stops
  Rejected,   // the next pending line is read at once
};
