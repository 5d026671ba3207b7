#include <gst/gst.h>
#include <gtest/gtest.h>

#include "platform/decoder_standin.h"

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  gst_init(&argc, &argv);
  ensure_h264_decoder_available();
  return RUN_ALL_TESTS();
}
