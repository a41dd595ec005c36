#!/bin/sh
# Makes the fixtures of the transport-stream file tools with Debian's ffmpeg
# (5.1) and records where ffprobe finds each I picture.
#
# cut_three_1.ts .. cut_three_3.ts: one 3-program stream (MPEG-2 video with
#   an MP2 and an AC-3 sound each, fixed mux rate) cut at packet boundaries
#   into three files; cut_three_ipos.txt lists the byte offsets in the whole
#   stream of the TS packets that begin the I pictures of the first video.
# cut_pillar.ts: 1920x1080, full-width and pillarboxed (black bars of 240
#   pixels) segments of 6 pictures in turn, a GOP of 3; cut_pillar_ipos.txt.
# cut_still.ts: 176x144, changing pictures, then a long stretch whose
#   borders stand still while the middle moves, then changing pictures
#   again, then a short still stretch; cut_still_ipos.txt.
set -e
cd "$(dirname "$0")"
Q="-hide_banner -loglevel error -y"

ffmpeg $Q \
  -f lavfi -i testsrc=size=176x144:rate=25:duration=3 \
  -f lavfi -i testsrc2=size=176x144:rate=25:duration=3 \
  -f lavfi -i smptebars=size=176x144:rate=25:duration=3 \
  -f lavfi -i sine=frequency=440:sample_rate=48000:duration=3 \
  -map 0:v -map 3:a -map 3:a -map 1:v -map 3:a -map 3:a -map 2:v -map 3:a -map 3:a \
  -c:v mpeg2video -b:v 120k -g 12 -bf 2 \
  -c:a:0 mp2 -c:a:1 ac3 -c:a:2 mp2 -c:a:3 ac3 -c:a:4 mp2 -c:a:5 ac3 -b:a 64k \
  -program program_num=1:st=0:st=1:st=2 \
  -program program_num=2:st=3:st=4:st=5 \
  -program program_num=3:st=6:st=7:st=8 \
  -mpegts_pmt_start_pid 0x100 -mpegts_start_pid 0x200 -muxrate 1400000 \
  -f mpegts cut_three.ts
size=$(stat -c %s cut_three.ts)
packets=$((size / 188))
third=$((packets / 3))
dd if=cut_three.ts of=cut_three_1.ts bs=188 count=$third status=none
dd if=cut_three.ts of=cut_three_2.ts bs=188 skip=$third count=$third status=none
dd if=cut_three.ts of=cut_three_3.ts bs=188 skip=$((2 * third)) status=none
ffprobe -v error -select_streams v:0 -show_entries packet=pos,flags -of csv=p=0 cut_three.ts |
  awk -F, '$2 ~ /K/ {print $1}' > cut_three_ipos.txt
rm cut_three.ts

ffmpeg $Q \
  -f lavfi -i color=c=0xC08040:size=1920x1080:rate=25:duration=0.24 \
  -f lavfi -i color=c=0xC08040:size=1440x1080:rate=25:duration=0.24 \
  -filter_complex "[1]pad=1920:1080:240:0:black[p];[0]split[f1][f2];[p]split[p1][p2];[f1][p1][f2][p2]concat=n=4[v]" \
  -map "[v]" -c:v mpeg2video -g 3 -bf 0 -qscale:v 20 -pix_fmt yuv420p \
  -muxrate 600000 -f mpegts cut_pillar.ts
ffprobe -v error -select_streams v:0 -show_entries packet=pos,flags -of csv=p=0 cut_pillar.ts |
  awk -F, '$2 ~ /K/ {print $1}' > cut_pillar_ipos.txt

ffmpeg $Q \
  -f lavfi -i "life=size=176x144:rate=25:mold=10:ratio=0.5:death_color=#204060:life_color=#E0C080:seed=7" \
  -f lavfi -i color=c=0x3060A0:size=176x144:rate=25 \
  -f lavfi -i testsrc=size=80x60:rate=25 \
  -filter_complex "[0]split[a][b];[1][2]overlay=48:42[s];[s]split[s1][s2];\
[a]trim=duration=1.2,setpts=PTS-STARTPTS[c1];[s1]trim=duration=2.4,setpts=PTS-STARTPTS[st];\
[b]trim=start=1.2:duration=1.2,setpts=PTS-STARTPTS[c2];[s2]trim=duration=0.48,setpts=PTS-STARTPTS[sh];\
[c1][st][c2][sh]concat=n=4[v]" \
  -map "[v]" -c:v mpeg2video -g 6 -bf 0 -qscale:v 24 -pix_fmt yuv420p \
  -f mpegts cut_still.ts
ffprobe -v error -select_streams v:0 -show_entries packet=pos,flags -of csv=p=0 cut_still.ts |
  awk -F, '$2 ~ /K/ {print $1}' > cut_still_ipos.txt
