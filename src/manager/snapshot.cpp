// /snapshot.png: a picture of the screen, asked of the player with its
// opt-in "snapshot" command and answered when its line says the file is
// written. Main thread only.
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

#include "manager/manager.h"
#include "protocol/protocol.h"

void Manager::take_snapshot(std::unique_ptr<ApiCall> call) {
  if (!process_.running() || !run_.phase.running()) {
    call->reply.set_value(api_refusal(503, "no player is playing now; try again shortly"));
    return;
  }
  snapshot_.waiting.push_back(std::move(call));
  if (!snapshot_.path.empty()) return;  // the one asked for answers them all
  const char* tmp = getenv("TMPDIR");
  snapshot_.path = std::string(tmp && *tmp ? tmp : "/tmp") + "/signage-snapshot-" + std::to_string(getpid()) + "-" +
                   std::to_string(++snapshot_.count) + ".png";
  snapshot_.deadline = Clock::now() + std::chrono::seconds(4);
  send(protocol::CMD_SNAPSHOT + snapshot_.path);
}

void Manager::on_snapshot_line(const std::string& line, bool written) {
  const char* head = written ? protocol::SNAPSHOT_WRITTEN : protocol::SNAPSHOT_FAILED;
  std::string rest = line.substr(strlen(head));
  bool ours = !snapshot_.path.empty() && rest.compare(0, snapshot_.path.size(), snapshot_.path) == 0;
  if (!ours) {
    // Written after its time ran out: nobody reads it.
    if (written) remove(rest.substr(0, rest.rfind(" (")).c_str());
    return;
  }
  if (!written) {
    answer_snapshot(
        api_refusal(503, "the player could not take a picture: " + rest.substr(snapshot_.path.size() + 2)));
    return;
  }
  std::ifstream in(snapshot_.path, std::ios::binary);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  remove(snapshot_.path.c_str());
  ApiReply reply;
  reply.content = bytes.str();
  reply.content_type = "image/png";
  answer_snapshot(reply.content.empty() ? api_refusal(503, "the picture could not be read") : reply);
}

void Manager::answer_snapshot(const ApiReply& reply) {
  for (auto& call : snapshot_.waiting) call->reply.set_value(reply);
  snapshot_.waiting.clear();
  snapshot_.path.clear();
}
