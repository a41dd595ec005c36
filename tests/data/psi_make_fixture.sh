#!/bin/sh
# Makes psi_three_programs.ts, the PSI/SI parser's multi-program fixture, with
# Debian's ffmpeg (5.1): three programs, each an MPEG-2 video stream (PCR)
# with an MP2 and an AC-3 audio stream, and service and provider names set
# per program. Two seconds at a small picture size keep it small.
set -e
cd "$(dirname "$0")"
ffmpeg -hide_banner -loglevel error -y \
  -f lavfi -i testsrc=size=160x120:rate=25:duration=2 \
  -f lavfi -i testsrc2=size=160x120:rate=25:duration=2 \
  -f lavfi -i smptebars=size=160x120:rate=25:duration=2 \
  -f lavfi -i sine=frequency=440:sample_rate=48000:duration=2 \
  -f lavfi -i sine=frequency=660:sample_rate=48000:duration=2 \
  -f lavfi -i sine=frequency=880:sample_rate=48000:duration=2 \
  -map 0:v -map 3:a -map 3:a \
  -map 1:v -map 4:a -map 4:a \
  -map 2:v -map 5:a -map 5:a \
  -c:v mpeg2video -b:v 150k -g 12 \
  -c:a:0 mp2 -c:a:1 ac3 -c:a:2 mp2 -c:a:3 ac3 -c:a:4 mp2 -c:a:5 ac3 -b:a 64k \
  -program program_num=101:title=PsiOne:st=0:st=1:st=2 \
  -program program_num=202:title=PsiTwo:st=3:st=4:st=5 \
  -program program_num=303:title=PsiThree:st=6:st=7:st=8 \
  -metadata:p:0 "service_name=Psi Fixture One" -metadata:p:0 "service_provider=Velmora Lab" \
  -metadata:p:1 "service_name=Psi Fixture Two" -metadata:p:1 "service_provider=Velmora Lab" \
  -metadata:p:2 "service_name=Psi Fixture Three" -metadata:p:2 "service_provider=Other Provider" \
  -mpegts_transport_stream_id 0x2A -mpegts_pmt_start_pid 0x200 -mpegts_start_pid 0x300 \
  -muxrate 1200000 \
  -f mpegts psi_three_programs.ts

# psi_names.ts: two programs whose names ffmpeg writes with character-table
# selectors: program 1 in UTF-8 (0x15, for any name that is not ASCII),
# program 2 a GB-2312 name given with its selector 0x13, which ffmpeg keeps.
gb2312="$(printf '\023'; printf '中央电视台' | iconv -f UTF-8 -t GB2312)"
ffmpeg -hide_banner -loglevel error -y \
  -f lavfi -i testsrc=size=64x48:rate=25:duration=0.5 \
  -f lavfi -i smptebars=size=64x48:rate=25:duration=0.5 \
  -map 0:v -map 1:v -c:v mpeg2video -b:v 100k -g 12 \
  -program program_num=1:st=0 -program program_num=2:st=1 \
  -metadata:p:0 "service_name=Télé 5 €uro" \
  -metadata:p:0 "service_provider=Société Générale Diffusion" \
  -metadata:p:1 "service_name=$gb2312" -metadata:p:1 "service_provider=Velmora" \
  -mpegts_transport_stream_id 0x2B -mpegts_pmt_start_pid 0x200 -mpegts_start_pid 0x300 \
  -muxrate 600000 \
  -f mpegts psi_names.ts
