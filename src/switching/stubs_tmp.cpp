#include "core/log.h"
#include "restart/pipeline_restart.h"
#include "switching/video_command.h"

CommandOutcome handle_video_command(PlayerState&, const char*) { return CommandOutcome::Processed; }
gboolean perform_complete_pipeline_restart(PlayerState&, gboolean) { return TRUE; }
