// The player's only scheduler: an iteration whenever a bus message or input
// arrives, and at least every 100 ms.
#pragma once
#include "core/player_state.h"

constexpr int BUS_STATE_CHANGE_LIMIT = 50;  // element state changes handled per iteration
constexpr gint64 POSITION_JUMP_LIMIT = 10 * GST_SECOND;
constexpr gulong MAIN_LOOP_SLEEP_US = 100000;  // longest wait between two iterations

void run_main_loop(PlayerState& st);
void main_loop_iteration(PlayerState& st);
// Handles the messages waiting on the bus (at most BUS_STATE_CHANGE_LIMIT element state changes).
void drain_bus(PlayerState& st);
void apply_position_guard(PlayerState& st);
// Waits until a bus message or a line of input is there, at most
// MAIN_LOOP_SLEEP_US.
void wait_for_work(PlayerState& st);
