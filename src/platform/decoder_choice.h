// Which H.264 decoder the board has. The stateless V4L2 element (Rockchip,
// i.MX8M, Allwinner on mainline kernels) is chosen first, then the stateful
// one (Raspberry Pi 4, NXP's and Qualcomm's kernels), then the software
// decoder on every core.
#pragma once
#include <string>
#include <vector>

// Chooses by what is registered, or takes `forced` (--decoder) when it is;
// says the choice in a line, and at WARNING when it decodes in software on a
// board that has V4L2 devices. Runs once after gst_init, before any pipeline.
void choose_video_decoder(const char* forced);
// The V4L2 device nodes (video*) in a directory, in name order.
std::vector<std::string> v4l2_devices(const std::string& dev_dir = "/dev");
