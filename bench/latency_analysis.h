// What the timeline says about each switch: the old file's last frame and the
// new file's first, at the video sink and on screen, the player's steps in
// between, and whether each file played as it should around the switch.
#pragma once
#include <gst/gst.h>

#include <vector>

#include "latency_types.h"

namespace latency {

// Fills in each record's findings; a record the driver gave up on is left
// unmeasured. The last switch's events run to end_of_run.
void analyse(std::vector<SwitchRecord>& records, gint64 end_of_run);

}  // namespace latency
