// Small owners for GStreamer and GLib references, so that early returns
// cannot leak them, and the walk over a bin's elements.
#pragma once
#include <gst/gst.h>
#include <utility>

template <typename T>
class GstRef {
 public:
  GstRef() = default;
  explicit GstRef(T* p) : p_(p) {}  // adopts a reference
  GstRef(const GstRef&) = delete;
  GstRef& operator=(const GstRef&) = delete;
  GstRef(GstRef&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
  GstRef& operator=(GstRef&& o) noexcept {
    if (this != &o) reset(std::exchange(o.p_, nullptr));
    return *this;
  }
  ~GstRef() { reset(); }

  T* get() const { return p_; }
  T* release() { return std::exchange(p_, nullptr); }
  void reset(T* p = nullptr) {
    if (p_) gst_object_unref(p_);
    p_ = p;
  }
  explicit operator bool() const { return p_ != nullptr; }
  // For g_object_get of an object property: the holder adopts what is stored.
  T** out_ptr() {
    reset();
    return &p_;
  }

 private:
  T* p_ = nullptr;
};

using ElementRef = GstRef<GstElement>;
using PadRef = GstRef<GstPad>;

class GStr {
 public:
  GStr() = default;
  explicit GStr(gchar* s) : s_(s) {}  // adopts
  GStr(const GStr&) = delete;
  GStr& operator=(const GStr&) = delete;
  ~GStr() { g_free(s_); }
  const gchar* get() const { return s_; }
  const gchar* or_null_text() const { return s_ ? s_ : "(null)"; }
  gchar** out() {
    g_free(s_);
    s_ = nullptr;
    return &s_;
  }
  explicit operator bool() const { return s_ != nullptr; }

 private:
  gchar* s_ = nullptr;
};

class MessageRef {
 public:
  explicit MessageRef(GstMessage* m) : m_(m) {}
  MessageRef(const MessageRef&) = delete;
  MessageRef& operator=(const MessageRef&) = delete;
  ~MessageRef() {
    if (m_) gst_message_unref(m_);
  }
  GstMessage* get() const { return m_; }

 private:
  GstMessage* m_;
};

// Calls `use` with each element the iterator gives, then frees it.
template <typename Use>
void for_each_element(GstIterator* it, Use use) {
  GValue item = G_VALUE_INIT;
  while (gst_iterator_next(it, &item) == GST_ITERATOR_OK) {
    use(GST_ELEMENT(g_value_get_object(&item)));
    g_value_reset(&item);
  }
  g_value_unset(&item);
  gst_iterator_free(it);
}

// The name of the factory that made the element ("glimagesink"), "" when none.
inline const char* factory_name(GstElement* element) {
  GstElementFactory* factory = gst_element_get_factory(element);
  return factory ? gst_plugin_feature_get_name(GST_PLUGIN_FEATURE(factory)) : "";
}
