// The event-driven HTTP servers considered for the manager's API, serving
// what the API serves from memory (/healthz, a 1 KB /status and a 500 KB
// /snapshot.png) with the bounds each offers, so that api_load --port can
// measure them as it measures the manager (docs/PERFORMANCE.md, "The API
// under load", "Choosing the front").
//   http_candidates microhttpd|soup PORT
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

#ifdef HAVE_MICROHTTPD
#include <microhttpd.h>
#endif
#ifdef HAVE_SOUP
#include <libsoup/soup.h>
#endif

namespace {

const std::string HEALTHZ = R"({"healthy":true})";
const std::string STATUS = "{\"status\":\"" + std::string(1000, 's') + "\"}";
const std::string PICTURE(500 * 1024, 'p');

const std::string& body_for(const char* path, const char** type) {
  *type = "application/json";
  if (strcmp(path, "/status") == 0) return STATUS;
  if (strcmp(path, "/snapshot.png") == 0) {
    *type = "image/png";
    return PICTURE;
  }
  return HEALTHZ;
}

volatile sig_atomic_t stopping = 0;
void on_signal(int) { stopping = 1; }

#ifdef HAVE_MICROHTTPD
// Its own bounds, set as the manager's front sets them: connections, per
// address, and a time-out of inactivity (it has none for a whole request or answer).
MHD_Result answer(void*, MHD_Connection* connection, const char* url, const char*, const char*, const char*,
                  size_t* upload_size, void** state) {
  static int first;
  if (!*state) {  // the head is in; the body, if any, comes in later calls
    *state = &first;
    return MHD_YES;
  }
  if (*upload_size) {
    *upload_size = 0;
    return MHD_YES;
  }
  const char* type;
  const std::string& body = body_for(url, &type);
  MHD_Response* response =
      MHD_create_response_from_buffer(body.size(), const_cast<char*>(body.data()), MHD_RESPMEM_PERSISTENT);
  MHD_add_response_header(response, "Content-Type", type);
  MHD_Result queued = MHD_queue_response(connection, MHD_HTTP_OK, response);
  MHD_destroy_response(response);
  return queued;
}

int run_microhttpd(int port) {
  MHD_Daemon* daemon = MHD_start_daemon(
      MHD_USE_EPOLL_INTERNAL_THREAD, static_cast<uint16_t>(port), nullptr, nullptr, &answer, nullptr,
      MHD_OPTION_CONNECTION_LIMIT, 256u, MHD_OPTION_PER_IP_CONNECTION_LIMIT, 128u, MHD_OPTION_CONNECTION_TIMEOUT,
      2u, MHD_OPTION_END);
  if (!daemon) return 1;
  while (!stopping) pause();
  MHD_stop_daemon(daemon);
  return 0;
}
#endif

#ifdef HAVE_SOUP
// No bounds to set: SoupServer limits neither connections nor the time a
// request may take to come.
void answer_soup(SoupServer*, SoupServerMessage* msg, const char* path, GHashTable*, gpointer) {
  const char* type;
  const std::string& body = body_for(path, &type);
  soup_server_message_set_status(msg, 200, nullptr);
  soup_server_message_set_response(msg, type, SOUP_MEMORY_STATIC, body.data(), body.size());
}

gboolean quit_on_stop(gpointer loop) {
  if (stopping) g_main_loop_quit(static_cast<GMainLoop*>(loop));
  return G_SOURCE_CONTINUE;
}

int run_soup(int port) {
  SoupServer* server = soup_server_new(nullptr, nullptr);
  soup_server_add_handler(server, nullptr, answer_soup, nullptr, nullptr);
  GError* error = nullptr;
  if (!soup_server_listen_local(server, static_cast<guint>(port), SOUP_SERVER_LISTEN_IPV4_ONLY, &error)) return 1;
  GMainLoop* loop = g_main_loop_new(nullptr, FALSE);
  g_timeout_add(200, quit_on_stop, loop);
  g_main_loop_run(loop);
  g_main_loop_unref(loop);
  g_object_unref(server);
  return 0;
}
#endif

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    fprintf(stderr, "usage: %s microhttpd|soup PORT\n", argv[0]);
    return 2;
  }
  signal(SIGINT, on_signal);
  signal(SIGTERM, on_signal);
  signal(SIGPIPE, SIG_IGN);
  int port = atoi(argv[2]);
#ifdef HAVE_MICROHTTPD
  if (strcmp(argv[1], "microhttpd") == 0) return run_microhttpd(port);
#endif
#ifdef HAVE_SOUP
  if (strcmp(argv[1], "soup") == 0) return run_soup(port);
#endif
  fprintf(stderr, "%s: not built with %s\n", argv[0], argv[1]);
  return 2;
}
