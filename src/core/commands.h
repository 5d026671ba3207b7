// The manager's command channel on standard input, and the transport commands.
#pragma once
#include <string>

#include "core/player_state.h"

constexpr size_t COMMAND_LINE_MAX = 511;  // characters of one line; longer lines come in pieces

enum class CommandOutcome {
  Processed,  // the iteration's one command; reading stops
  Rejected,   // the next pending line is read at once
};

// Reads lines from a descriptor without ever blocking.
class LineReader {
 public:
  explicit LineReader(int fd) : fd_(fd) {}
  // A whole line (or a full piece) is already buffered.
  bool has_buffered_line() const;
  // New data or end of input can be read now.
  bool readable_now() const;
  // Takes the next line without its line feed; false when none can be had now.
  bool next_line(std::string& line);

 private:
  bool take_buffered(std::string& line);
  int fd_;
  std::string buffer_;
};

// Step 3 of every iteration: acknowledgements, then at most one command.
void read_and_handle_stdin(PlayerState& st);
// Routes one input line: acknowledgements, empty lines and commands.
// Returns true when reading must stop for this iteration.
bool handle_input_line(PlayerState& st, const std::string& line);
CommandOutcome dispatch_command(PlayerState& st, const char* line);
// On the way out: an event written just before the exit still gets its
// answer (only answers are read), so a manager that answers at once never
// sees its exit fail for it. An unanswered event still ends the player.
void take_answers_before_exit(double seconds);

void command_play(PlayerState& st);
void command_pause(PlayerState& st);
void command_restart(PlayerState& st);
void command_tempo(PlayerState& st);
void command_stop(PlayerState& st);
void command_status(PlayerState& st);
// "Tempo: MM:SS / MM:SS" for a position and duration in nanoseconds.
std::string format_tempo(gint64 position, gint64 duration);
