// The manager's command channel on standard input, and the transport commands.
#pragma once
#include <limits.h>

#include <string>

#include "core/command_outcome.h"
#include "core/player_state.h"

// Characters of one line: a command word and any path the system can open.
// A longer line is dropped whole.
constexpr size_t COMMAND_LINE_MAX = PATH_MAX + 16;

// One line of input, or what is left of one that cannot be handled.
struct InputLine {
  enum class Kind {
    Text,     // the line, without its line feed
    TooLong,  // over COMMAND_LINE_MAX: text holds its first characters only
    HasNul,   // a NUL byte inside: text holds what came before it
  };
  Kind kind = Kind::Text;
  std::string text;
  size_t length = 0;  // of the whole line
};

// Reads lines from a descriptor without ever blocking. A line is handed over
// whole or not at all: nothing is ever taken from a fragment.
class LineReader {
 public:
  explicit LineReader(int fd) : fd_(fd) {}
  // A whole line is already buffered.
  bool has_buffered_line() const;
  // New data or end of input can be read now.
  bool readable_now() const;
  // Takes the next line; false when none can be had now.
  bool next_line(InputLine& line);
  // The end of the input has been read.
  bool ended() const { return ended_; }

 private:
  bool take_buffered(InputLine& line);
  void take_dropped(InputLine& line);
  int fd_;
  std::string buffer_;
  bool dropping_ = false;  // inside a line too long to keep, until its line feed
  std::string dropped_head_;
  size_t dropped_length_ = 0;
  bool ended_ = false;
};

// What the loop's wait does about standard input.
enum class InputWait {
  Now,    // a whole line is already buffered: do not wait
  Watch,  // wait for more
  Ended,  // the input has ended: nothing will come
};
InputWait stdin_wait();

// Every iteration: acknowledgements, then at most one command.
void read_and_handle_stdin(PlayerState& st);
// Routes one input line: acknowledgements, empty lines and commands; a line
// that cannot be handled is dropped with an error line. Returns true when
// reading must stop for this iteration.
bool handle_input_line(PlayerState& st, const InputLine& line);
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
