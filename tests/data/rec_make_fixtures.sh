#!/bin/sh
# Makes the recorder's fixtures with Debian's ffmpeg (5.1).
# rec_three_programs.ts: three programs of 720x576 MPEG-2 video with B frames
# (program 1 with MP2 audio, program 2 with AC-3, program 3 video only) in a
# constant-rate multiplex (-muxrate).
# rec_twelve_programs.ts: twelve programs of small 29.97 Hz pictures, every
# fourth one with MP2 audio.
set -e
cd "$(dirname "$0")"
ffmpeg -hide_banner -loglevel error -y \
  -f lavfi -i smptebars=size=720x576:rate=25:duration=1.2 \
  -f lavfi -i rgbtestsrc=size=720x576:rate=25:duration=1.2 \
  -f lavfi -i pal75bars=size=720x576:rate=25:duration=1.2 \
  -f lavfi -i sine=frequency=440:sample_rate=48000:duration=1.2 \
  -f lavfi -i sine=frequency=660:sample_rate=48000:duration=1.2 \
  -map 0:v -map 3:a -map 1:v -map 4:a -map 2:v \
  -c:v mpeg2video -b:v 200k -g 12 -bf 2 \
  -c:a:0 mp2 -c:a:1 ac3 -b:a 64k \
  -program program_num=1:title=RecOne:st=0:st=1 \
  -program program_num=2:title=RecTwo:st=2:st=3 \
  -program program_num=3:title=RecThree:st=4 \
  -mpegts_pmt_start_pid 0x100 -mpegts_start_pid 0x200 \
  -muxrate 2400000 \
  -f mpegts rec_three_programs.ts

set --
progs=""
i=0
while [ $i -lt 12 ]; do
  set -- "$@" -f lavfi -i "smptebars=size=96x64:rate=30000/1001:duration=1.2"
  i=$((i + 1))
done
set -- "$@" -f lavfi -i "sine=frequency=500:sample_rate=48000:duration=1.2"
i=0
st=0
while [ $i -lt 12 ]; do
  set -- "$@" -map $i:v
  if [ $((i % 4)) -eq 0 ]; then
    set -- "$@" -map 12:a
    progs="$progs -program program_num=$((i + 11)):st=$st:st=$((st + 1))"
    st=$((st + 2))
  else
    progs="$progs -program program_num=$((i + 11)):st=$st"
    st=$((st + 1))
  fi
  i=$((i + 1))
done
# shellcheck disable=SC2086
ffmpeg -hide_banner -loglevel error -y "$@" \
  -c:v mpeg2video -b:v 20k -g 15 -bf 2 -c:a mp2 -b:a 32k \
  $progs \
  -mpegts_pmt_start_pid 0x100 -mpegts_start_pid 0x200 \
  -muxrate 3000000 \
  -f mpegts rec_twelve_programs.ts
