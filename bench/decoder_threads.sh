#!/usr/bin/env bash
# The software H.264 decoder on every core against one thread: CPU time and
# dropped frames of a 1080p30 and a 1080p60 file decoded at the clock's pace
# (fpsdisplaysink over a fakesink: what the decoder costs, without drawing).
#   bench/decoder_threads.sh [RUNS] [SECONDS]
# Makes its clips (ffmpeg, testsrc2 in motion, High profile) in a temporary
# directory. See docs/PERFORMANCE.md, "The software decoder's threads".
set -euo pipefail
runs=${1:-3}
secs=${2:-10}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
for fps in 30 60; do
  ffmpeg -nostdin -hide_banner -loglevel error -f lavfi -i "testsrc2=s=1920x1080:r=$fps:d=$secs" \
    -c:v libx264 -preset veryfast -profile:v high -pix_fmt yuv420p -g $((fps * 2)) "$work/p$fps.mp4"
done
cores=$(nproc)
printf '%-8s %-8s %-4s %-10s %-9s %-9s %s\n' clip threads run "cpu s" rendered dropped load
for fps in 30 60; do
  for run in $(seq 1 "$runs"); do
    for threads in "$cores" 1; do
      out=$( { /usr/bin/time -f 'TIME %U %S' gst-launch-1.0 -v filesrc location="$work/p$fps.mp4" ! qtdemux ! \
        h264parse ! avdec_h264 max-threads="$threads" ! \
        fpsdisplaysink video-sink=fakesink sync=true text-overlay=false fps-update-interval=1000 ; } 2>&1 )
      cpu=$(sed -n 's/^TIME \([0-9.]*\) \([0-9.]*\)$/\1 \2/p' <<<"$out" | awk '{printf "%.2f", $1 + $2}')
      last=$(grep -o 'rendered: [0-9]*, dropped: [0-9]*' <<<"$out" | tail -1)
      rendered=$(sed 's/rendered: \([0-9]*\),.*/\1/' <<<"$last")
      dropped=$(sed 's/.*dropped: \([0-9]*\)/\1/' <<<"$last")
      printf '%-8s %-8s %-4s %-10s %-9s %-9s %s\n' "1080p$fps" "$threads" "$run" "$cpu" "$rendered" "$dropped" \
        "$(cut -d' ' -f1 /proc/loadavg)"
    done
  done
done
