#include <gst/gst.h>
#include <gtest/gtest.h>

#include "platform/decoder_choice.h"

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  gst_init(&argc, &argv);
  choose_video_decoder(nullptr);
  return RUN_ALL_TESTS();
}
