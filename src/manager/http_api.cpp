#include "manager/http_api.h"

#include <arpa/inet.h>

#include <chrono>
#include <fstream>
#include <set>
#include <sstream>

#include "manager/http_front.h"
#include "manager/text.h"

namespace {

constexpr size_t MAX_BODY_BYTES = 16 * 1024;
constexpr size_t MAX_QUEUED_CALLS = 32;
// The loop takes calls at least every 200 ms; a switch answers within this.
constexpr auto CALL_WAIT = std::chrono::seconds(5);

// Texts that may hold file names are made valid UTF-8 before they get here
// (publish, call); the dump's own replacement is the last guard.
void send_json(httplib::Response& res, int status, const nlohmann::json& body) {
  res.status = status;
  res.set_content(body.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace), "application/json");
}

nlohmann::json error(const std::string& text) { return {{"error", text}}; }

std::string trimmed(std::string s) {
  while (!s.empty() && isspace(static_cast<unsigned char>(s.back()))) s.pop_back();
  size_t start = 0;
  while (start < s.size() && isspace(static_cast<unsigned char>(s[start]))) ++start;
  return s.substr(start);
}

}  // namespace

bool parse_http_address(const std::string& text, HttpOptions& out) {
  size_t colon = text.rfind(':');
  if (colon == std::string::npos || colon == 0 || colon + 1 >= text.size()) return false;
  std::string host = text.substr(0, colon);
  if (host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
  std::string port = text.substr(colon + 1);
  if (port.find_first_not_of("0123456789") != std::string::npos || port.size() > 5) return false;
  int n = std::stoi(port);
  unsigned char buf[sizeof(struct in6_addr)];
  if (n > 65535 || (inet_pton(AF_INET, host.c_str(), buf) != 1 && inet_pton(AF_INET6, host.c_str(), buf) != 1))
    return false;
  out.host = host;
  out.port = n;
  return true;
}

bool is_loopback(const std::string& host) {
  unsigned char v4[4];
  if (inet_pton(AF_INET, host.c_str(), v4) == 1) return v4[0] == 127;
  return host == "::1";
}

bool same_secret(const std::string& a, const std::string& b) {
  size_t n = std::max(a.size(), b.size());
  unsigned char diff = a.size() == b.size() ? 0 : 1;
  for (size_t i = 0; i < n; ++i) {
    unsigned char x = i < a.size() ? a[i] : 0, y = i < b.size() ? b[i] : 0;
    diff |= x ^ y;
  }
  return diff == 0;
}

HttpApi::HttpApi(HttpOptions options) : options_(std::move(options)) {}

HttpApi::~HttpApi() { stop(); }  // the router outlives the front's threads

std::optional<std::string> HttpApi::start() {
  if (!options_.token_file.empty()) {
    std::ifstream in(options_.token_file);
    std::stringstream text;
    text << in.rdbuf();
    token_ = trimmed(text.str());
    if (!in || token_.size() < 16) return "the token file " + options_.token_file + " cannot be read or holds under 16 characters";
  } else if (!is_loopback(options_.host)) {
    return "listening on " + options_.host + " needs --http-token-file: without a token only loopback is allowed";
  }
  router_ = std::make_unique<HttpRouter>();
  httplib::Server& s = *router_;
  HttpFront::Limits limits;
  limits.max_body_bytes = MAX_BODY_BYTES;
  s.set_payload_max_length(MAX_BODY_BYTES);
  // Only the controls and the picture wait for the manager's loop; the reads
  // are answered from the last published picture at once.
  router_->waits = [](const std::string& method, const std::string& path) {
    return (method != "GET" && method != "HEAD") || path == "/snapshot.png";
  };
  // Only for the Keep-Alive header it writes: the front keeps the connections.
  s.set_keep_alive_timeout(std::chrono::duration_cast<std::chrono::seconds>(limits.idle).count());
  s.set_keep_alive_max_count(limits.max_requests);
  static const std::set<std::string> actions = {"next", "previous", "goto", "reload", "pause", "play", "screen"};
  auto post = [this](const std::string& action, const std::string& text, httplib::Response& res) {
    nlohmann::json body = nlohmann::json::object();
    if (!text.empty()) {
      body = nlohmann::json::parse(text, nullptr, false);
      if (body.is_discarded() || !body.is_object()) return send_json(res, 400, error("the body is not a JSON object"));
    }
    ApiReply reply = call(action, std::move(body));
    send_json(res, reply.status, reply.body);
  };
  s.set_pre_routing_handler([this, post](const httplib::Request& req, httplib::Response& res) {
    std::string auth = req.get_header_value("Authorization");
    const std::string bearer = "Bearer ";
    if (!token_.empty() &&
        !(auth.compare(0, bearer.size(), bearer) == 0 && same_secret(auth.substr(bearer.size()), token_))) {
      res.set_header("WWW-Authenticate", "Bearer");
      send_json(res, 401, error("a valid bearer token is required"));
      return httplib::Server::HandlerResponse::Handled;
    }
    // "curl -X POST" sends no length: the server would wait for a body until the client gave up.
    if (req.method == "POST" && !req.has_header("Content-Length") && !req.has_header("Transfer-Encoding")) {
      std::string action = req.path.substr(1);
      if (!actions.count(action)) return httplib::Server::HandlerResponse::Unhandled;
      post(action, "", res);
      return httplib::Server::HandlerResponse::Handled;
    }
    return httplib::Server::HandlerResponse::Unhandled;
  });
  s.set_error_handler([](const httplib::Request&, httplib::Response& res) {
    if (!res.body.empty()) return;
    const char* text = res.status == 404   ? "no such endpoint"
                       : res.status == 413 ? "the request body is too large"
                                           : "bad request";
    send_json(res, res.status, error(text));
  });
  auto read = [this](std::function<void(const ApiSnapshot&, httplib::Response&)> answer) {
    return [this, answer](const httplib::Request&, httplib::Response& res) {
      std::lock_guard<std::mutex> lock(mutex_);
      answer(snapshot_, res);
    };
  };
  s.Get("/status", read([](const ApiSnapshot& snap, httplib::Response& res) { send_json(res, 200, snap.status); }));
  s.Get("/playlist", read([](const ApiSnapshot& snap, httplib::Response& res) { send_json(res, 200, snap.playlist); }));
  s.Get("/metrics", read([](const ApiSnapshot& snap, httplib::Response& res) {
    res.set_content(snap.metrics, "text/plain; version=0.0.4");
  }));
  s.Get("/snapshot.png", [this](const httplib::Request&, httplib::Response& res) {
    ApiReply reply = call("snapshot", nlohmann::json::object());
    if (reply.content_type.empty()) return send_json(res, reply.status, reply.body);
    res.status = reply.status;
    res.set_header("Cache-Control", "no-store");
    res.set_content(reply.content, reply.content_type.c_str());
  });
  s.Get("/healthz", read([](const ApiSnapshot& snap, httplib::Response& res) {
    send_json(res, snap.healthy ? 200 : 503, {{"healthy", snap.healthy}});
  }));
  s.Get("/audio", read([](const ApiSnapshot& snap, httplib::Response& res) { send_json(res, 200, snap.audio); }));
  s.Put("/audio", [post](const httplib::Request& req, httplib::Response& res) {
    if (req.body.empty()) return send_json(res, 400, error("the body is not a JSON object"));
    post("audio", req.body, res);
  });
  for (const std::string& action : actions)
    s.Post("/" + action, [post, action](const httplib::Request& req, httplib::Response& res) { post(action, req.body, res); });
  front_ = std::make_unique<HttpFront>(*router_, limits);
  if (auto failed = front_->start(options_.host, options_.port)) {
    front_.reset();
    return failed;
  }
  port_ = front_->port();
  return std::nullopt;
}

void HttpApi::stop() {
  {
    // Handlers waiting for the loop are answered first, so that the front's
    // workers can end.
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
    for (auto& c : calls_) c->reply.set_value({503, error("the manager is stopping")});
    calls_.clear();
  }
  if (front_) front_->stop();
  front_.reset();
}

void HttpApi::publish(ApiSnapshot snapshot) {
  make_valid_utf8(snapshot.status);
  make_valid_utf8(snapshot.playlist);
  std::lock_guard<std::mutex> lock(mutex_);
  snapshot_ = std::move(snapshot);
}

std::deque<std::unique_ptr<ApiCall>> HttpApi::take_calls() {
  std::lock_guard<std::mutex> lock(mutex_);
  std::deque<std::unique_ptr<ApiCall>> taken;
  taken.swap(calls_);
  return taken;
}

ApiReply HttpApi::call(const std::string& action, nlohmann::json body) {
  auto c = std::make_unique<ApiCall>();
  c->action = action;
  c->body = std::move(body);
  std::future<ApiReply> reply = c->reply.get_future();
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (stopping_) return {503, error("the manager is stopping")};
    if (calls_.size() >= MAX_QUEUED_CALLS) return {503, error("too many requests at once")};
    calls_.push_back(std::move(c));
  }
  if (wake_) wake_();
  if (reply.wait_for(CALL_WAIT) != std::future_status::ready) return {503, error("the manager did not answer in time")};
  try {
    ApiReply answer = reply.get();
    make_valid_utf8(answer.body);
    return answer;
  } catch (const std::future_error&) {  // the manager ended with the call in hand
    return {503, error("the manager is stopping")};
  }
}
