// The manager's decisions against a scripted stand-in for the player: every
// event, every way the player ends, and what the manager answers with, in
// seconds. The stand-in writes each line it reads as "[STANDIN] < LINE", so
// the player's side of the conversation, as the manager passes it on, is one
// ordered transcript; its scripts wait for each answer they expect before
// they go on, which keeps the transcript the same from run to run.
#include <sys/stat.h>

#include "standin_fixture.h"

// With the switch armed in advance the player switches by itself as the file
// ends: the manager sends no switch then, finishes the file once, whichever
// of its end and the switch's outcome comes first, and announces the next.
// A refused arming leaves the switch to be sent on the end, and the next
// file is armed again.
TEST_F(ManagerDecisions, ArmedSwitchHappensAtTheEndWithoutASwitchCommand) {
  const Lines f = files({"a", "b", "c", "d"});
  run(Lines{"run 1"} + start_steps(f[0]) +
          Lines{await(CMD_PRELOAD + f[1]), emit(PRELOAD_COMPLETE), await(CMD_SWITCH_AT_END), say(ARMED), "sleep 0.3",
                say(ARMED_SWITCH_TAKEN), emit(END_OF_VIDEO), say(SWITCH_DONE),
                // The outcome first, then the end (the next preload is asked
                // for on the outcome: awaited first, so that the order is fixed).
                await(CMD_PRELOAD + f[2]), emit(PRELOAD_COMPLETE), await(CMD_SWITCH_AT_END), say(ARMED), "sleep 0.3",
                say(ARMED_SWITCH_TAKEN), say(SWITCH_DONE), await(CMD_PRELOAD + f[3]), emit(END_OF_VIDEO),
                // Refused: the switch follows the end.
                emit(PRELOAD_COMPLETE), await(CMD_SWITCH_AT_END),
                say(SWITCH_REJECTED_CLEANUP), "sleep 0.3", emit(END_OF_VIDEO), await(CMD_SWITCH),
                say(SWITCH_DONE), await(CMD_PRELOAD + f[0]),
                // One refusal is not for good: the next file is armed again.
                emit(PRELOAD_COMPLETE), await(CMD_SWITCH_AT_END), say(ARMED)},
      f, {}, true);
  wait_player_line(ARMED, 3);
  stop_manager();

  const Lines want = start_transcript(f[0]) + Lines{got(CMD_PRELOAD + f[1])} +
                     event(PRELOAD_COMPLETE, ACK_PRELOAD_COMPLETE) +
                     Lines{got(CMD_SWITCH_AT_END), ARMED, ARMED_SWITCH_TAKEN} + event(END_OF_VIDEO, ACK_END) +
                     Lines{SWITCH_DONE, got(CMD_PRELOAD + f[2])} + event(PRELOAD_COMPLETE, ACK_PRELOAD_COMPLETE) +
                     Lines{got(CMD_SWITCH_AT_END), ARMED, ARMED_SWITCH_TAKEN, SWITCH_DONE, got(CMD_PRELOAD + f[3])} +
                     event(END_OF_VIDEO, ACK_END) + event(PRELOAD_COMPLETE, ACK_PRELOAD_COMPLETE) +
                     Lines{got(CMD_SWITCH_AT_END), SWITCH_REJECTED_CLEANUP} +
                     event(END_OF_VIDEO, ACK_END) + Lines{got(CMD_SWITCH), SWITCH_DONE, got(CMD_PRELOAD + f[0])} +
                     event(PRELOAD_COMPLETE, ACK_PRELOAD_COMPLETE) + Lines{got(CMD_SWITCH_AT_END), ARMED} +
                     STOPPED_BY_MANAGER;
  EXPECT_EQ(transcript(), want) << dump();
  EXPECT_EQ(own_lines("now playing "), (Lines{now_playing(1, 4, f[0]), now_playing(2, 4, f[1]),
                                              now_playing(3, 4, f[2]), now_playing(4, 4, f[3])}))
      << dump();
  auto finished = own_lines("finished ");
  ASSERT_EQ(finished.size(), 3u) << dump();
  for (int i = 0; i < 3; ++i) EXPECT_EQ(finished[i].rfind("[manager] finished " + std::to_string(i + 1) + "/4: " + f[i], 0), 0u) << finished[i];
  EXPECT_EQ(endings(), Lines{"exited with status 0"}) << dump();
}

// An arming the player answers with its ignore line took the part of the
// switch it ignores after a rebuild: the switch is sent at the end instead,
// and the next file is armed again.
TEST_F(ManagerDecisions, ArmingTakenAsTheIgnoredSwitchLeavesTheSwitchToTheEnd) {
  const Lines f = files({"a", "b", "c"});
  run(Lines{"run 1"} + start_steps(f[0]) +
          Lines{await(CMD_PRELOAD + f[1]), emit(PRELOAD_COMPLETE), await(CMD_SWITCH_AT_END), say(SWITCH_IGNORED),
                emit(END_OF_VIDEO), await(CMD_SWITCH), say(SWITCH_DONE), await(CMD_PRELOAD + f[2]),
                emit(PRELOAD_COMPLETE), await(CMD_SWITCH_AT_END), say(ARMED)},
      f, {}, true);
  wait_player_line(ARMED);
  stop_manager();
  const Lines want = start_transcript(f[0]) + Lines{got(CMD_PRELOAD + f[1])} +
                     event(PRELOAD_COMPLETE, ACK_PRELOAD_COMPLETE) + Lines{got(CMD_SWITCH_AT_END), SWITCH_IGNORED} +
                     event(END_OF_VIDEO, ACK_END) + Lines{got(CMD_SWITCH), SWITCH_DONE, got(CMD_PRELOAD + f[2])} +
                     event(PRELOAD_COMPLETE, ACK_PRELOAD_COMPLETE) + Lines{got(CMD_SWITCH_AT_END), ARMED} +
                     STOPPED_BY_MANAGER;
  EXPECT_EQ(transcript(), want) << dump();
}

// The switch goes out on "end of video!" when the preload is ready then, and
// on "Preload complete" when the file ended before it; each file is announced
// when its switch is done.
TEST_F(ManagerDecisions, SwitchesOnTheEndOrOnTheLaterPreloadComplete) {
  const Lines f = files({"a", "b", "c"});
  // The pauses give a switch sent too early the time to arrive first.
  run(Lines{"run 1"} + start_steps(f[0]) +
          Lines{await(CMD_PRELOAD + f[1]), emit(PRELOAD_COMPLETE), "sleep 0.5", emit(END_OF_VIDEO), await(CMD_SWITCH),
                say(SWITCH_DONE), await(CMD_PRELOAD + f[2]), emit(END_OF_VIDEO), "sleep 0.5",
                emit(PRELOAD_COMPLETE), await(CMD_SWITCH), say(SWITCH_DONE), await(CMD_PRELOAD + f[0])},
      f);
  wait_player_line(got(CMD_PRELOAD + f[0]), 2);
  stop_manager();

  const Lines want = start_transcript(f[0]) + Lines{got(CMD_PRELOAD + f[1])} +
                     event(PRELOAD_COMPLETE, ACK_PRELOAD_COMPLETE) + event(END_OF_VIDEO, ACK_END) +
                     Lines{got(CMD_SWITCH), SWITCH_DONE, got(CMD_PRELOAD + f[2])} + event(END_OF_VIDEO, ACK_END) +
                     event(PRELOAD_COMPLETE, ACK_PRELOAD_COMPLETE) +
                     Lines{got(CMD_SWITCH), SWITCH_DONE, got(CMD_PRELOAD + f[0])} + STOPPED_BY_MANAGER;
  EXPECT_EQ(transcript(), want) << dump();
  EXPECT_EQ(own_lines("now playing "), (Lines{now_playing(1, 3, f[0]), now_playing(2, 3, f[1]), now_playing(3, 3, f[2])}))
      << dump();
  EXPECT_EQ(own_lines("finished ").size(), 2u) << dump();
  EXPECT_EQ(endings(), Lines{"exited with status 0"}) << dump();
}

// A refused preload is asked for again; a file the player cannot preload
// (its failure line, or a missing file) is not, and the same player goes on
// with the next file. The broken file is skipped in the next round too.
TEST_F(ManagerDecisions, RefusedPreloadIsRepeatedAndAFailedOneSkippedByTheSamePlayer) {
  const Lines f = files({"a", "b", "c", "d", "e"});
  run(Lines{"run 1"} + start_steps(f[0]) +
          Lines{await(CMD_PRELOAD + f[1]), "say [PRELOAD] ⛔ REJECTED - Cleanup in progress, wait...",
                emit(PRELOAD_ERROR), await(CMD_PRELOAD + f[1]), emit(PRELOAD_COMPLETE), emit(END_OF_VIDEO),
                await(CMD_SWITCH), say(SWITCH_DONE), await(CMD_PRELOAD + f[2]),
                say(PRELOAD_FAILED + f[2] + ": Could not demultiplex stream."), emit(PRELOAD_ERROR),
                await(CMD_PRELOAD + f[3]), say(PRELOAD_MISSING + f[3]), emit(PRELOAD_ERROR), await(CMD_PRELOAD + f[4]), emit(PRELOAD_COMPLETE), emit(END_OF_VIDEO),
                await(CMD_SWITCH), say(SWITCH_DONE), await(CMD_PRELOAD + f[0]), emit(PRELOAD_COMPLETE),
                emit(END_OF_VIDEO), await(CMD_SWITCH), say(SWITCH_DONE), await(CMD_PRELOAD + f[1]),
                emit(PRELOAD_COMPLETE), emit(END_OF_VIDEO), await(CMD_SWITCH), say(SWITCH_DONE),
                await(CMD_PRELOAD + std::string("*"))},
      f);
  wait_player_line(got(CMD_PRELOAD + f[3]), 2);
  stop_manager();

  // Asked again after the refusal, not after the failures; round two goes
  // from b past the broken c to d, which was only missing for a moment.
  Lines preloads;
  for (const auto& l : transcript())
    if (l.rfind(got(CMD_PRELOAD), 0) == 0) preloads.push_back(l.substr(got(CMD_PRELOAD).size()));
  EXPECT_EQ(preloads, (Lines{f[0], f[1], f[1], f[2], f[3], f[4], f[0], f[1], f[3]})) << dump();
  EXPECT_EQ(own_lines("started the player").size(), 1u) << dump();
  EXPECT_EQ(own_lines("the player refused the preload of " + f[1] + "; asking again in 0.5 s").size(), 1u) << dump();
  Lines skipped = own_lines("skipping ");
  ASSERT_EQ(skipped.size(), 2u) << dump();
  EXPECT_EQ(skipped[0], "[manager] skipping " + f[2] + ": the player could not preload it: Could not demultiplex stream.");
  EXPECT_EQ(skipped[1].rfind("[manager] skipping " + f[2] + ": the player could not preload it: ", 0), 0u) << dump();
  EXPECT_EQ(own_lines("now playing "), (Lines{now_playing(1, 5, f[0]), now_playing(2, 5, f[1]), now_playing(5, 5, f[4]),
                                             now_playing(1, 5, f[0]), now_playing(2, 5, f[1])}))
      << dump();
}

// "reset" without an end is a rebuild for the preload, which is then on
// screen; after an end it shows the preload if that was ready, else the file
// on screen starts again and the preload is repeated. The player ignores the
// first switch after a rebuild: the manager sends one for that, unless its
// switch is still on the way, and preloads on only once it was ignored.
TEST_F(ManagerDecisions, ResetShowsTheReadyPreloadAndSpendsOneSwitchOnTheRebuild) {
  const Lines f = files({"a", "b", "c", "d"});
  run(Lines{"run 1"} + start_steps(f[0]) +
          Lines{// A rebuild for b's picture shape.
                await(CMD_PRELOAD + f[1]), emit(RESET), await(CMD_SWITCH), emit(PLAYING), emit(PRELOAD_COMPLETE),
                say(SWITCH_IGNORED),
                // b ends with c ready; the rebuild comes before the switch is read.
                await(CMD_PRELOAD + f[2]), emit(PRELOAD_COMPLETE), emit(END_OF_VIDEO), "peek switch", emit(RESET),
                emit(PLAYING), await(CMD_SWITCH), say(SWITCH_IGNORED),
                // c ends before d is ready, and the rebuild plays c again.
                await(CMD_PRELOAD + f[3]), emit(END_OF_VIDEO), emit(RESET), await(CMD_SWITCH), emit(PLAYING),
                say(SWITCH_IGNORED), await(CMD_PRELOAD + f[3])},
      f);
  wait_player_line(got(CMD_PRELOAD + f[3]), 2);
  stop_manager();

  const Lines want =
      start_transcript(f[0]) + Lines{got(CMD_PRELOAD + f[1])} + event(RESET, ACK_RESET) + Lines{got(CMD_SWITCH)} +
      event(PLAYING, ACK_PLAYING) + event(PRELOAD_COMPLETE, ACK_PRELOAD_COMPLETE) +
      Lines{SWITCH_IGNORED, got(CMD_PRELOAD + f[2])} + event(PRELOAD_COMPLETE, ACK_PRELOAD_COMPLETE) +
      event(END_OF_VIDEO, ACK_END) + Lines{got(CMD_SWITCH)} + event(RESET, ACK_RESET) +
      event(PLAYING, ACK_PLAYING) + Lines{SWITCH_IGNORED, got(CMD_PRELOAD + f[3])} +
      event(END_OF_VIDEO, ACK_END) + event(RESET, ACK_RESET) + Lines{got(CMD_SWITCH)} +
      event(PLAYING, ACK_PLAYING) + Lines{SWITCH_IGNORED, got(CMD_PRELOAD + f[3])} + STOPPED_BY_MANAGER;
  EXPECT_EQ(transcript(), want) << dump();
  EXPECT_EQ(own_lines("now playing "), (Lines{now_playing(1, 4, f[0]), now_playing(2, 4, f[1]), now_playing(3, 4, f[2])}))
      << dump();
  EXPECT_EQ(own_lines("cut short by the rebuild after ").size(), 1u) << dump();
  EXPECT_EQ(own_lines("playing again from its start: 3/4: " + f[2]).size(), 1u) << dump();
}

// "stopped" is answered with "play"; "crash" with a fresh player, told to
// exit first, that resumes after the file on screen.
TEST_F(ManagerDecisions, StoppedIsAnsweredWithPlayAndCrashWithAFreshPlayer) {
  const Lines f = files({"a", "b", "c"});
  run(Lines{"run 1"} + start_steps(f[0]) +
          Lines{await(CMD_PRELOAD + f[1]), emit(STOPPED), await(CMD_PLAY), emit(CRASH), await(CMD_EXIT), "run 2",
                say(READY), await(CMD_PLAY), emit(PLAYING), await(CMD_PRELOAD + f[1])},
      f);
  wait_player_line(got(CMD_PRELOAD + f[1]), 2);
  stop_manager();

  const Lines want = start_transcript(f[0]) + Lines{got(CMD_PRELOAD + f[1])} + event(STOPPED, ACK_STOPPED) +
                     Lines{got(CMD_PLAY)} + event(CRASH, ACK_CRASH) + STOPPED_BY_MANAGER +
                     Lines{READY, got(CMD_PLAY)} + event(PLAYING, ACK_PLAYING) +
                     Lines{got(CMD_PRELOAD + f[1])} + STOPPED_BY_MANAGER;
  EXPECT_EQ(transcript(), want) << dump();
  EXPECT_EQ(start_arguments(), (Lines{f[0], f[1]})) << dump();
  EXPECT_EQ(own_lines("the player reports it stopped; resuming playback").size(), 1u) << dump();
  EXPECT_EQ(endings(), (Lines{"exited with status 0", "exited with status 0"})) << dump();
}

// However the player ends while it plays (its own exit, a fatal error that
// names no file, the memory guard's status 2, a signal), a fresh one starts
// after the file on screen, and no file is skipped.
TEST_F(ManagerDecisions, EveryEndOfThePlayerResumesAfterTheFileOnScreen) {
  const Lines f = files({"a", "b", "c", "d", "e"});
  Lines script;
  const Lines ends = {"exit 0", "exit 2", "say [HEARTBEAT] 💀 FATAL: Main loop stalled for 2 consecutive checks (6s) - TERMINATING PROCESS!",
                      "signal 9"};
  for (size_t i = 0; i < ends.size(); ++i) {
    script = script + Lines{"run " + std::to_string(i + 1)} + start_steps(f[i]) + Lines{await(CMD_PRELOAD + f[i + 1])};
    script.push_back(ends[i]);
    if (i == 2) script.push_back("exit 1");
  }
  script = script + Lines{"run 5", say(READY), await(CMD_PLAY), emit(PLAYING), await(CMD_PRELOAD + f[4])};
  run(script, f);
  wait_player_line(got(CMD_PRELOAD + f[4]), 2);
  stop_manager();

  EXPECT_EQ(start_arguments(), f) << dump();
  EXPECT_EQ(endings(), (Lines{"exited with status 0", "exited with status 2", "exited with status 1",
                              "was killed by signal 9 (Killed)", "exited with status 0"}))
      << dump();
  EXPECT_TRUE(own_lines("skipping ").empty()) << dump();
  Lines want_playing;
  for (int i = 0; i < 4; ++i) want_playing.push_back(now_playing(i + 1, 5, f[i]));
  EXPECT_EQ(own_lines("now playing "), want_playing) << dump();
}

// A display or sound server that is not there yet at boot, or any other end
// before playback that no error of a file explains, says nothing about the
// file: the player is started with it again until it plays.
TEST_F(ManagerDecisions, FailureAtStartThatNamesNoFileSkipsNoFile) {
  const Lines f = files({"a", "b"});
  run(Lines{"run 1, 2", say(READY), say(EGL_ERROR), say(EGL_ERROR_DEBUG),
            "say [BUS] ❌ ERROR message processed, quit flag set - APPLICATION WILL EXIT (exit code 1)", "exit 1",
            "run 3", say(READY), say(BUS_ERROR + std::string("Could not open audio device for playback.")),
            say(BUS_ERROR_DEBUG + std::string("../ext/alsa/gstalsasink.c(889): gst_alsasink_open (): "
                                              "/GstPipeline:pipeline0/GstAlsaSink:alsasink0:")),
            "say Playback open error on device 'default': No such file or directory", "exit 1", "run 4", say(READY),
            emit(PLAYING), say(ACK_GAVE_UP + std::string(ACK_PLAYING) + "' after 3 retries - TERMINATING!"),
            "exit 1", "run 5"} +
          start_steps(f[0]) + Lines{await(CMD_PRELOAD + f[1])},
      f);
  wait_player_line(got(CMD_PRELOAD + f[1]));
  stop_manager();

  EXPECT_EQ(start_arguments(), Lines(5, f[0])) << dump();
  EXPECT_TRUE(own_lines("skipping ").empty()) << dump();
  EXPECT_EQ(own_lines("now playing "), Lines{now_playing(1, 2, f[0])}) << dump();
  EXPECT_EQ(own_lines("no file is blamed for its error (Failed to initialize egl: EGL_NOT_INITIALIZED), which came "
                      "from /GstPipeline:pipeline0/GstGLImageSinkBin:videosink/GstGLImageSink:sink")
                .size(),
            2u)
      << dump();
}

// The pause before each start doubles while the player keeps failing at once,
// up to its cap, and is the shortest again after a run long enough to count
// as good: a burst of failures at boot does not slow every later restart.
TEST_F(ManagerDecisions, RestartPauseGrowsWithQuickFailuresAndResetsAfterAGoodRun) {
  const Lines f = files({"a", "b"});
  run(Lines{"run 1, 2, 3, 5", "exit 1", "run 4", "sleep 2.5", "exit 1", "run 6"} + start_steps(f[0]) +
          Lines{await(CMD_PRELOAD + f[1])},
      f, {"--max-backoff", "2", "--stable-after", "2"});
  wait_player_line(got(CMD_PRELOAD + f[1]));
  stop_manager();
  Lines pauses;
  const std::string head = "starting the player again in ";
  for (const auto& l : own_lines(head)) pauses.push_back(l.substr(strlen("[manager] ") + head.size()));
  EXPECT_EQ(pauses, (Lines{"1 s", "2 s", "2 s", "1 s", "2 s"})) << dump();
  EXPECT_EQ(start_arguments(), Lines(6, f[0])) << dump();
}

// An error from a file's own demuxer is that file's doing: the start-up file
// after a second such end in a row, a loading preload's at once, and the
// file on screen's at once. Each is skipped; the others play on.
TEST_F(ManagerDecisions, ErrorFromAFilesDemuxerSkipsThatFile) {
  const Lines f = files({"a", "b", "c", "d"});
  auto error = [](const std::string& demuxer) {
    return Lines{say(BUS_ERROR + std::string("Internal data stream error.")),
                 say(BUS_ERROR_DEBUG + std::string("../gst/isomp4/qtdemux.c(6966): gst_qtdemux_loop (): "
                                                   "/GstPipeline:pipeline0/GstQTDemux:") +
                     demuxer + ":"),
                 "say streaming stopped, reason error (-5)"};
  };
  run(Lines{"run 1, 2", say(READY)} + error("demux0") + Lines{"exit 1", "run 3"} + start_steps(f[1]) +
          Lines{await(CMD_PRELOAD + f[2])} + error("preload_demux2") + Lines{"exit 1", "run 4"} + start_steps(f[3]) +
          Lines{await(CMD_PRELOAD + f[1]), emit(PRELOAD_COMPLETE)} + error("preload_demux1") +
          Lines{"exit 1", "run 5"} + start_steps(f[1]) + Lines{await(CMD_PRELOAD + f[1])},
      f);
  wait_player_line(got(CMD_PRELOAD + f[1]), 4);
  stop_manager();

  EXPECT_EQ(start_arguments(), (Lines{f[0], f[0], f[1], f[3], f[1]})) << dump();
  // When each was found out; later rounds pass them by with a longer note.
  Lines marked;
  for (const auto& l : own_lines("skipping "))
    if (l.find(" (skipped until it changes, or for 3600 s)") == std::string::npos) marked.push_back(l);
  EXPECT_EQ(marked, (Lines{"[manager] skipping " + f[0] + ": the player failed twice when started with it",
                           "[manager] skipping " + f[2] + ": the player failed while loading it",
                           "[manager] skipping " + f[3] + ": the player failed while playing it"}))
      << dump();
}

// Blame is never allowed to leave nothing to play: when every file that
// could play is marked as failed, they are all tried again.
TEST_F(ManagerDecisions, AllFilesMarkedAsFailedAreTriedAgain) {
  const Lines f = files({"a", "b"});
  run(Lines{"run 1"} + start_steps(f[0]) +
          Lines{await(CMD_PRELOAD + f[1]), say(PRELOAD_FAILED + f[1] + ": no video stream"), emit(PRELOAD_ERROR),
                await(CMD_PRELOAD + f[0]), say(PRELOAD_FAILED + f[0] + ": no video stream"), emit(PRELOAD_ERROR),
                await(CMD_PRELOAD + f[1])},
      f);
  wait_player_line(got(CMD_PRELOAD + f[1]), 2);
  stop_manager();

  EXPECT_EQ(own_lines("every playable file is marked as failed; trying them again").size(), 1u) << dump();
  EXPECT_EQ(own_lines("started the player").size(), 1u) << dump();
}

// A stop while the player is writing an event: "exit" goes out only once the
// event is answered, so the player can end normally, with status 0.
TEST_F(ManagerDecisions, StopAnswersTheEventBeingWrittenBeforeExit) {
  const Lines f = files({"a", "b"});
  run(Lines{"run 1"} + start_steps(f[0]) +
          Lines{await(CMD_PRELOAD + f[1]), emit(PRELOAD_COMPLETE), "raw end of vid", "touch half-written", "sleep 0.6",
                emit(END_OF_VIDEO)},
      f);
  wait_file("half-written");
  stop_manager();

  const Lines want = start_transcript(f[0]) + Lines{got(CMD_PRELOAD + f[1])} +
                     event(PRELOAD_COMPLETE, ACK_PRELOAD_COMPLETE) + event(END_OF_VIDEO, ACK_END) +
                     STOPPED_BY_MANAGER;
  EXPECT_EQ(transcript(), want) << dump();
  EXPECT_EQ(endings(), Lines{"exited with status 0"}) << dump();
}

// Programs the player starts end with it, whether it ends on its own or is
// stopped, and it holds none of the manager's descriptors, such as its log.
TEST_F(ManagerDecisions, PlayerLeavesNothingBehindAndGetsNoDescriptorOfTheManager) {
  const Lines f = files({"a", "b"});
  const std::string log = dir + "/player.log";
  run(Lines{"run 1", "fds", "child", say(READY), await(CMD_PLAY), emit(PLAYING), await(CMD_PRELOAD + f[0]), "exit 1",
            "run 2", "child", say(READY), await(CMD_PLAY), emit(PLAYING), await(CMD_PRELOAD + f[0]), "touch second"},
      f, {"--player-log", log});
  wait_file("second");
  // The player's lines go to the log; the manager's to both.
  auto log_lines = [&] {
    Lines out;
    std::ifstream in(log);
    for (std::string l; std::getline(in, l);) out.push_back(l);
    return out;
  };
  Lines children, descriptors;
  for (const auto& l : log_lines()) {
    if (l.find("[STANDIN] child ") != std::string::npos) children.push_back(l.substr(l.rfind(' ') + 1));
    if (l.find("[STANDIN] fd ") != std::string::npos) descriptors.push_back(l.substr(l.find("[STANDIN] fd ")));
  }
  ASSERT_EQ(children.size(), 2u) << dump();
  EXPECT_TRUE(wait_process_gone(std::atoi(children[0].c_str()), 10)) << "left behind by a player that ended";
  stop_manager();
  EXPECT_TRUE(wait_process_gone(std::atoi(children[1].c_str()), 10)) << "left behind by a player told to exit";

  ASSERT_GE(descriptors.size(), 3u) << dump();
  for (const auto& d : descriptors) EXPECT_EQ(d.find(log), std::string::npos) << d;
}

// A playlist file that is a FIFO is refused at once, at the start and when it
// is read again later, instead of blocking the manager.
TEST_F(ManagerDecisions, PlaylistThatIsAFifoIsRefusedNotWaitedFor) {
  const Lines f = files({"a"});
  const std::string fifo = dir + "/fifo.txt";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  start({"--player", STANDIN_PLAYER, fifo});
  auto status = manager->wait_exit(20);
  ASSERT_TRUE(status.has_value()) << dump();
  EXPECT_EQ(*status, 1);
  EXPECT_EQ(own_lines("cannot read the playlist " + fifo + ": not a regular file or a directory").size(), 1u) << dump();

  // Replaced by a FIFO while it plays: the previous list is kept.
  run(Lines{"run 1", say(READY), await(CMD_PLAY), emit(PLAYING), await(CMD_PRELOAD + f[0]), "touch asked",
            "wait-file replaced", emit(PRELOAD_COMPLETE), await(CMD_SWITCH), say(SWITCH_DONE),
            await(CMD_PRELOAD + f[0])},
      f);
  wait_file("asked");
  const std::string playlist = dir + "/playlist.txt";
  ASSERT_EQ(rename(fifo.c_str(), playlist.c_str()), 0);
  std::ofstream(dir + "/replaced").close();
  wait_player_line(got(CMD_PRELOAD + f[0]), 2);
  stop_manager();
  EXPECT_EQ(own_lines("cannot read the playlist " + playlist +
                      ": not a regular file or a directory; keeping the previous one")
                .size(),
            1u)
      << dump();
}
