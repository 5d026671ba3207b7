#!/usr/bin/env bash
# Makes every clip the tests and the demo use, with ffmpeg, into DIR.
#   scripts/make-clips.sh DIR
# Solid colours let a test tell on screen which file is showing.
set -euo pipefail
out="${1:?usage: make-clips.sh DIR}"
here="$(cd "$(dirname "$0")" && pwd)"
mkdir -p "$out"
cd "$out"
CLIPS_VERSION=14
[ "$(cat .complete 2>/dev/null)" = "$CLIPS_VERSION" ] && exit 0

ff() { ffmpeg -nostdin -hide_banner -loglevel error -y "$@"; }
V264=(-c:v libx264 -preset ultrafast -tune zerolatency -g 25 -pix_fmt yuv420p)
AAC=(-c:a aac -b:a 64k)

# name colour size seconds audio(stereo|mono|51|none)
clip() {
  local name=$1 colour=$2 size=$3 secs=$4 audio=$5
  local args=(-f lavfi -i "color=c=${colour}:s=${size}:r=25:d=${secs}")
  case "$audio" in
    none)   ff "${args[@]}" "${V264[@]}" -an "$name" ;;
    stereo) ff "${args[@]}" -f lavfi -i "sine=frequency=440:sample_rate=48000:duration=${secs}" \
               "${V264[@]}" "${AAC[@]}" -ac 2 -shortest "$name" ;;
    mono)   ff "${args[@]}" -f lavfi -i "sine=frequency=660:sample_rate=48000:duration=${secs}" \
               "${V264[@]}" "${AAC[@]}" -ac 1 -shortest "$name" ;;
    51)     ff "${args[@]}" -f lavfi -i "sine=frequency=550:sample_rate=48000:duration=${secs}" \
               "${V264[@]}" "${AAC[@]}" -ac 6 -channel_layout 5.1 -shortest "$name" ;;
  esac
}

clip red.mp4      red     320x180 4 stereo
clip green.mp4    lime    320x180 4 stereo
clip blue.mp4     blue    320x180 4 stereo
clip yellow.mp4   yellow  320x180 4 stereo
clip white.mp4    white   320x180 4 stereo
clip silent.mp4   cyan    320x180 4 none
clip mono.mp4     magenta 320x180 4 mono
clip surround.mp4 orange  320x180 4 51
clip square.mp4   purple  320x240 4 stereo
clip square2.mp4  teal    320x240 4 stereo
clip silent_square.mp4 navy 320x240 4 none
clip long.mp4     gray    320x180 20 stereo
# One-second files, for switching soaks that reach every moment of a file fast.
clip short_green.mp4    lime    320x180 1 stereo
clip short_mono.mp4     magenta 320x180 1 mono
clip short_surround.mp4 orange  320x180 1 51
clip short_silent.mp4   cyan    320x180 1 none
clip short_blue.mp4     blue    320x180 1 stereo

# Beyond what a board's decoder takes: a picture wider than 1920 (its level
# kept at 4.1), and the High 4:4:4 profile.
ff -f lavfi -i "color=c=white:s=2560x1440:r=25:d=1" "${V264[@]}" -level 4.1 -an big_picture.mp4
ff -f lavfi -i "color=c=white:s=320x180:r=25:d=1" "${V264[@]}" -pix_fmt yuv444p -an high444.mp4

# Sound and picture of different lengths: the file ends with the longer one.
ff -f lavfi -i "color=c=white:s=320x180:r=25:d=4" -f lavfi -i "sine=frequency=440:sample_rate=48000:duration=3" \
   "${V264[@]}" "${AAC[@]}" -ac 2 sound_ends_first.mp4
ff -f lavfi -i "color=c=yellow:s=320x180:r=25:d=3" -f lavfi -i "sine=frequency=440:sample_rate=48000:duration=4" \
   "${V264[@]}" "${AAC[@]}" -ac 2 sound_ends_last.mp4

# Four quarters of four colours (red, lime / blue, yellow): a turned picture shows where they went.
ff -f lavfi -i "color=c=red:s=160x90:r=25:d=4" -f lavfi -i "color=c=lime:s=160x90:r=25:d=4" \
   -f lavfi -i "color=c=blue:s=160x90:r=25:d=4" -f lavfi -i "color=c=yellow:s=160x90:r=25:d=4" \
   -filter_complex "[0][1]hstack[t];[2][3]hstack[b];[t][b]vstack" "${V264[@]}" -an quarters.mp4

# Two video streams (red then blue) and one audio stream.
ff -f lavfi -i "color=c=red:s=320x180:r=25:d=4" -f lavfi -i "color=c=blue:s=320x180:r=25:d=4" \
   -f lavfi -i "sine=frequency=440:sample_rate=48000:duration=4" \
   -map 0:v -map 1:v -map 2:a "${V264[@]}" "${AAC[@]}" -ac 2 -shortest two_video.mp4

# A subtitle stream beside video and audio (without -shortest, which leaves
# the demuxer seeing the subtitle track alone).
cat > subs.srt <<'SRT'
1
00:00:00,000 --> 00:00:03,000
hello
SRT
ff -f lavfi -i "color=c=lime:s=320x180:r=25:d=4" -f lavfi -i "sine=frequency=440:sample_rate=48000:duration=4" \
   -i subs.srt -map 0:v -map 1:a -map 2:s "${V264[@]}" "${AAC[@]}" -ac 2 -c:s mov_text subtitle.mp4
rm -f subs.srt

# Matroska and WebM.
ff -f lavfi -i "color=c=red:s=320x180:r=25:d=4" -f lavfi -i "sine=frequency=440:sample_rate=48000:duration=4" \
   "${V264[@]}" "${AAC[@]}" -ac 2 -shortest clip.mkv
ff -f lavfi -i "color=c=lime:s=320x180:r=25:d=4" -f lavfi -i "sine=frequency=440:sample_rate=48000:duration=4" \
   "${V264[@]}" "${AAC[@]}" -ac 2 -shortest clip2.mkv
ff -f lavfi -i "color=c=blue:s=320x180:r=25:d=4" "${V264[@]}" -an silent.mkv
ff -f lavfi -i "color=c=blue:s=320x180:r=25:d=4" -f lavfi -i "sine=frequency=440:sample_rate=48000:duration=4" \
   -c:v libvpx -deadline realtime -cpu-used 8 -b:v 200k -c:a libvorbis -ac 2 -shortest clip.webm

# HTTP live stream: a playlist with MPEG-TS segments.
mkdir -p hls
ff -f lavfi -i "color=c=lime:s=320x180:r=25:d=6" -f lavfi -i "sine=frequency=440:sample_rate=48000:duration=6" \
   "${V264[@]}" "${AAC[@]}" -ac 2 -shortest -f hls -hls_time 2 -hls_list_size 0 \
   -hls_segment_filename "hls/seg%d.ts" hls/playlist.m3u8

# Pictures, made with GStreamer. poster.jpg: four quarters as quarters.mp4
# (red, lime / blue, yellow); turned.jpg: the same stored turned a quarter
# left, with the EXIF tag that says to turn it right to show it.
gst() { gst-launch-1.0 -q "$@" >/dev/null; }
quarter() { echo "videotestsrc pattern=solid-color foreground-color=$1 num-buffers=1 ! video/x-raw,width=160,height=90 ! m."; }
gst compositor name=m sink_1::xpos=160 sink_2::ypos=90 sink_3::xpos=160 sink_3::ypos=90 ! \
    video/x-raw,width=320,height=180 ! videoconvert ! jpegenc quality=95 ! filesink location=poster.jpg \
    $(quarter 0xffff0000) $(quarter 0xff00ff00) $(quarter 0xff0000ff) $(quarter 0xffffff00)
gst filesrc location=poster.jpg ! jpegdec ! videoflip video-direction=90l ! jpegenc quality=95 ! \
    filesink location=turned_plain.jpg
python3 "$here/make-pictures.py" orient turned_plain.jpg turned.jpg 6
rm -f turned_plain.jpg
python3 "$here/make-pictures.py" png-alpha overlay.png
gst videotestsrc pattern=solid-color foreground-color=0xff00ffff num-buffers=1 ! video/x-raw,width=320,height=180 ! \
    videoconvert ! pngenc ! filesink location=cyan.png
echo "this is not a picture" > not_a_picture.png
head -c 600 poster.jpg > cut_short.jpg

# Broken inputs.
: > empty.mp4
head -c 3000 red.mp4 > truncated.mp4
echo "this is not a video" > text.mp4
head -c 200000 /dev/urandom > random.mp4
ff -f lavfi -i "color=c=red:s=320x180:r=25:d=2" -c:v libx265 -preset ultrafast -x265-params log-level=none \
   -pix_fmt yuv420p hevc.mp4
ff -f lavfi -i "color=c=red:s=320x180:r=25:d=2" -c:v mpeg4 mpeg4_part2.mp4
# H.265 with sound: the sound streams while the video is refused.
ff -f lavfi -i "color=c=red:s=320x180:r=25:d=3" -f lavfi -i "sine=frequency=440:sample_rate=48000:duration=3" \
   -c:v libx265 -preset ultrafast -x265-params log-level=none -pix_fmt yuv420p "${AAC[@]}" -ac 2 -shortest hevc_aac.mp4
# Plays for about five seconds, then its demuxer fails: the queues read 30 s
# ahead, so the broken sample, at 35 s, is reached five seconds in.
clip breaks_late_src.mp4 lime 320x180 40 stereo
python3 "$here/break-sample.py" breaks_late_src.mp4 breaks_late.mp4 0.875
rm -f breaks_late_src.mp4
rm -rf dir.mp4 && mkdir dir.mp4
rm -f fifo.mp4 && mkfifo fifo.mp4
# Names that a shell or a pipeline description would misread.
cp red.mp4 "with space.mp4"
cp green.mp4 UPPER.MP4
# Played through playbin, whose address must keep the # and % as they are.
cp red.mp4 'hash#and%41.mov'
cp green.mp4 "it's.mp4"
cp blue.mp4 'quote".mp4'
# Read with its quote as the description's own, this one names red.mp4.
cp yellow.mp4 'red.mp4" name="x.mp4'
cp white.mp4 'back\slash.mp4'

echo "$CLIPS_VERSION" > .complete
