#include "messaging/ack_delivery.h"

#include <glib.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <system_error>
#include <thread>

#include "core/log.h"
#include "core/player_state.h"
#include "protocol/protocol.h"

MessageQueue msg_queue;
AckState ack_state;

namespace {

// A thread still running at exit is left to end with the process: a joinable
// std::thread would abort it instead.
struct DeliveryThread {
  std::thread thread;
  ~DeliveryThread() {
    if (thread.joinable()) thread.detach();
  }
};
DeliveryThread delivery;
std::thread& ack_thread = delivery.thread;

void copy_text(char* dest, size_t size, const char* src) {
  if (!src) src = "";
  size_t n = strnlen(src, size - 1);
  memcpy(dest, src, n);
  dest[n] = '\0';
}

// An event taken from the queue whose answer has not come yet.
std::atomic<bool> delivery_in_flight{false};

}  // namespace

void message_queue_init(MessageQueue* q) {
  q->head = 0;
  q->tail = 0;
  q->count = 0;
}

int message_queue_push(MessageQueue* q, const char* message, const char* ack_name) {
  std::lock_guard<std::mutex> lock(q->mutex);
  if (q->count >= MESSAGE_QUEUE_CAPACITY) {
    log_raw("[ACK QUEUE] ERROR: Queue full (%d messages)!\n", MESSAGE_QUEUE_CAPACITY);
    return 0;
  }
  QueuedMessage& slot = q->messages[q->head];
  copy_text(slot.message, sizeof slot.message, message);
  copy_text(slot.ack_name, sizeof slot.ack_name, ack_name);
  q->head = (q->head + 1) % MESSAGE_QUEUE_CAPACITY;
  q->count++;
  q->cond.notify_one();
  return 1;
}

int message_queue_pop(MessageQueue* q, QueuedMessage* out) {
  std::unique_lock<std::mutex> lock(q->mutex);
  q->cond.wait(lock, [q] { return q->count != 0 || !ack_system_running; });
  if (!ack_system_running) return 0;
  *out = q->messages[q->tail];
  delivery_in_flight = true;
  q->tail = (q->tail + 1) % MESSAGE_QUEUE_CAPACITY;
  q->count--;
  return 1;
}

void send_with_ack(const char* message, const char* ack_name) {
  if (!ack_system_running) {
    log_line("%s", message);
    return;
  }
  if (!message_queue_push(&msg_queue, message, ack_name))
    log_raw("[ACK ERROR] Failed to queue message: %s\n", message);
}

void signal_ack_received(const char* line) {
  std::lock_guard<std::mutex> lock(ack_state.mutex);
  if (strcmp(line, ack_state.awaited_ack) == 0) {
    ack_state.received = 1;
    ack_state.cond.notify_one();
  }
}

void ack_thread_func() {
  log_line("[ACK THREAD] Started - processing messages with ACK confirmation");
  while (ack_system_running) {
    QueuedMessage entry;
    if (!message_queue_pop(&msg_queue, &entry)) break;

    bool delivered = false;
    // The awaited answer is set once, before the event first leaves: an answer
    // that comes back at once, or between two attempts, is matched. The lock
    // is not held across the write, so a manager that stops reading never
    // blocks whoever answers.
    {
      std::lock_guard<std::mutex> lock(ack_state.mutex);
      copy_text(ack_state.awaited_ack, sizeof ack_state.awaited_ack, entry.ack_name);
      ack_state.received = 0;
    }
    for (int attempt = 1; attempt <= ACK_MAX_ATTEMPTS && !delivered; ++attempt) {
      gint64 start = g_get_monotonic_time();
      log_line("%s", entry.message);

      auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(1);
      {
        std::unique_lock<std::mutex> lock(ack_state.mutex);
        ack_state.cond.wait_until(lock, deadline, [] { return ack_state.received != 0; });
        delivered = ack_state.received != 0;
      }

      if (delivered) {
        long elapsed_ms = static_cast<long>((g_get_monotonic_time() - start) / G_TIME_SPAN_MILLISECOND);
        log_raw("[ACK TIMING] ✅ ACK '%s' received in %ld ms\n", entry.ack_name, elapsed_ms);
      } else {
        log_raw("[ACK RETRY] No ACK for '%s' (attempt %d/%d)\n", entry.ack_name, attempt, ACK_MAX_ATTEMPTS);
      }
    }
    delivery_in_flight = false;
    if (!delivered) {
      log_line_if_room("%s%s' after %d retries - TERMINATING!", protocol::ACK_GAVE_UP, entry.ack_name,
                       ACK_MAX_ATTEMPTS);
      terminate_process(1);
    }
  }
  log_line("[ACK THREAD] Stopped");
}

bool delivery_pending() {
  if (!ack_system_running) return false;
  std::lock_guard<std::mutex> lock(msg_queue.mutex);
  return msg_queue.count > 0 || delivery_in_flight;
}

void start_ack_system() {
  message_queue_init(&msg_queue);
  {
    std::lock_guard<std::mutex> lock(ack_state.mutex);
    ack_state.received = 0;
    ack_state.awaited_ack[0] = '\0';
  }
  ack_system_running = 1;
  try {
    if (!ack_thread.joinable()) ack_thread = std::thread(ack_thread_func);
  } catch (const std::system_error&) {
    // No thread: events stay in the queue.
  }
  log_line("[ACK SYSTEM] Thread started - guaranteed message delivery");
}

void stop_ack_system() {
  {
    std::lock_guard<std::mutex> lock(msg_queue.mutex);
    ack_system_running = 0;
  }
  msg_queue.cond.notify_all();
  if (ack_thread.joinable()) ack_thread.join();
  log_line("[ACK SYSTEM] Thread stopped and resources cleaned");
}
