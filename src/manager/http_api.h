// The manager's HTTP API: a bounded server on threads of its own
// (http_front.h). Reads are
// answered from the last picture the manager's loop published; control
// requests are handed to that loop as calls and answered once it has acted,
// so no request ever touches the manager's state or slows the player's answers.
#pragma once
#include <condition_variable>
#include <deque>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>

class HttpRouter;
class HttpFront;

struct HttpOptions {
  bool enabled = true;
  std::string host = "127.0.0.1";
  int port = 8080;  // 0: any free port, said in the manager's line
  std::string token_file;
};

// "ADDR:PORT" (or "[v6]:PORT") into the options; false when it is not one.
bool parse_http_address(const std::string& text, HttpOptions& out);
bool is_loopback(const std::string& host);
// Equal texts, in a time that depends on their lengths only.
bool same_secret(const std::string& a, const std::string& b);

struct ApiReply {
  ApiReply() = default;
  ApiReply(int code, nlohmann::json json) : status(code), body(std::move(json)) {}
  int status = 200;
  nlohmann::json body;
  std::string content, content_type;  // instead of the body, when set
};

// {"error": text} with its status.
inline ApiReply api_refusal(int status, const std::string& text) { return {status, {{"error", text}}}; }

// A control request for the manager's loop.
struct ApiCall {
  std::string action;  // next, previous, goto, reload, pause, play, snapshot, audio
  nlohmann::json body;
  std::promise<ApiReply> reply;
};

// What the loop publishes for the reads.
struct ApiSnapshot {
  nlohmann::json status = nlohmann::json::object();
  nlohmann::json playlist = nlohmann::json::object();
  std::string metrics;
  nlohmann::json audio = nlohmann::json::object();
  bool healthy = false;
};

class HttpApi {
 public:
  explicit HttpApi(HttpOptions options);
  ~HttpApi();
  HttpApi(const HttpApi&) = delete;
  HttpApi& operator=(const HttpApi&) = delete;

  // Binds and starts serving; an error text when it cannot.
  std::optional<std::string> start();
  int port() const { return port_; }
  void stop();

  // The manager's loop.
  void publish(ApiSnapshot snapshot);
  std::deque<std::unique_ptr<ApiCall>> take_calls();
  // Called when a call is queued, to wake the loop. Set before start(): the
  // API's threads read it without a lock.
  void set_waker(std::function<void()> wake) { wake_ = std::move(wake); }

 private:
  ApiReply call(const std::string& action, nlohmann::json body);

  HttpOptions options_;
  std::string token_;
  std::unique_ptr<HttpRouter> router_;
  std::unique_ptr<HttpFront> front_;
  int port_ = 0;
  std::function<void()> wake_;

  std::mutex mutex_;  // guards the three below
  ApiSnapshot snapshot_;
  std::deque<std::unique_ptr<ApiCall>> calls_;
  bool stopping_ = false;
};
