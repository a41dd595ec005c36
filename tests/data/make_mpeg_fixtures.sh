#!/bin/sh
# Makes the MPEG-2 fixtures of the stream-recording tests with Debian's
# ffmpeg. For each m2v_NAME.m2v (video elementary stream) it writes
#   m2v_NAME.txt  the header values the stream was made with (key=value),
#   m2v_NAME.bgr  ffmpeg's decode of each I picture, reduced to one eighth of
#                 its width and height by area average and converted to BGR
#                 (BT.709 matrix, studio range in, full range out), top-down
#                 rows, pictures one after another.
# ts3_mux.ts is a three-program transport stream at a constant mux rate.
# The tests read only the committed outputs; ffmpeg is not needed to run them.
set -eu
cd "$(dirname "$0")"

SRC="testsrc2=size=%s:rate=%s,gblur=sigma=8"

# make NAME WIDTH HEIGHT RATE FRAMES "ENCODER OPTIONS" "HEADER VALUES"
make() {
    name=$1 w=$2 h=$3 rate=$4 frames=$5 opts=$6 values=$7
    # shellcheck disable=SC2086,SC2059
    ffmpeg -v error -y -f lavfi -i "$(printf "$SRC" "${w}x${h}" "$rate")" -frames:v "$frames" \
        -c:v mpeg2video $opts -f mpeg2video "m2v_$name.m2v"
    ffmpeg -v error -y -i "m2v_$name.m2v" \
        -vf "select=eq(pict_type\,I),scale=trunc(iw/8):trunc(ih/8):flags=area:in_color_matrix=bt709:in_range=tv:out_range=pc,format=bgr24" \
        -fps_mode passthrough -f rawvideo "m2v_$name.bgr"
    printf 'width=%s\nheight=%s\n%s\n' "$w" "$h" "$values" | tr ' ' '\n' > "m2v_$name.txt"
}

# Common header values of ffmpeg's encoder: square-pixel aspect code 1 unless
# given, progressive sequence (not with interlaced coding or the alternate
# scan), 4:2:0, 8-bit DC, linear q scale, zigzag. The source is blurred so
# that the thumbnails' coarser chroma stays close to the averaged picture.
make pal_bframes 720 576 25 7 "-g 6 -bf 2 -b:v 2M -aspect 4:3" \
    "aspect=2 frame_rate_code=3 chroma_format=1 progressive_sequence=1 intra_dc_precision=0 q_scale_type=0 intra_vlc_format=0 alternate_scan=0 picture_structure=3 i_pictures=2 pictures=7"
make ntsc 720 480 30000/1001 3 "-g 3 -bf 0 -b:v 2M -aspect 4:3" \
    "aspect=2 frame_rate_code=4 chroma_format=1 progressive_sequence=1 intra_dc_precision=0 q_scale_type=0 intra_vlc_format=0 alternate_scan=0 picture_structure=3 i_pictures=1 pictures=3"
make interlaced 720 576 25 2 "-g 2 -bf 0 -b:v 3M -aspect 16:9 -flags +ildct+ilme -top 1" \
    "aspect=3 frame_rate_code=3 chroma_format=1 progressive_sequence=0 intra_dc_precision=0 q_scale_type=0 intra_vlc_format=0 alternate_scan=0 picture_structure=3 i_pictures=1 pictures=2"
make intra_vlc 352 288 25 2 "-g 1 -bf 0 -q:v 3 -intra_vlc 1" \
    "aspect=1 frame_rate_code=3 chroma_format=1 progressive_sequence=1 intra_dc_precision=0 q_scale_type=0 intra_vlc_format=1 alternate_scan=0 picture_structure=3 i_pictures=2 pictures=2"
make alt_scan 352 288 25 2 "-g 1 -bf 0 -q:v 3 -alternate_scan 1" \
    "aspect=1 frame_rate_code=3 chroma_format=1 progressive_sequence=0 intra_dc_precision=0 q_scale_type=0 intra_vlc_format=0 alternate_scan=1 picture_structure=3 i_pictures=2 pictures=2"
make nonlinear_q 352 288 25 2 "-g 1 -bf 0 -q:v 5 -qmax 28 -non_linear_quant 1" \
    "aspect=1 frame_rate_code=3 chroma_format=1 progressive_sequence=1 intra_dc_precision=0 q_scale_type=1 intra_vlc_format=0 alternate_scan=0 picture_structure=3 i_pictures=2 pictures=2"
MATRIX="8,17,18,19,21,23,25,27,17,18,19,21,23,25,27,28,20,21,22,23,24,26,28,30,21,22,23,24,26,28,30,32,22,23,24,26,28,30,32,35,23,24,26,28,30,32,35,38,24,26,28,30,32,35,38,41,26,28,30,32,35,38,41,45"
make matrices 352 288 25 2 "-g 1 -bf 0 -q:v 4 -intra_matrix $MATRIX -inter_matrix $MATRIX" \
    "aspect=1 frame_rate_code=3 chroma_format=1 progressive_sequence=1 intra_dc_precision=0 q_scale_type=0 intra_vlc_format=0 alternate_scan=0 picture_structure=3 i_pictures=2 pictures=2 load_intra_quantiser_matrix=1 load_non_intra_quantiser_matrix=1"
make dc9 352 288 25 2 "-g 1 -bf 0 -q:v 3 -dc 9" \
    "aspect=1 frame_rate_code=3 chroma_format=1 progressive_sequence=1 intra_dc_precision=1 q_scale_type=0 intra_vlc_format=0 alternate_scan=0 picture_structure=3 i_pictures=2 pictures=2"
make dc10 352 288 25 2 "-g 1 -bf 0 -q:v 3 -dc 10" \
    "aspect=1 frame_rate_code=3 chroma_format=1 progressive_sequence=1 intra_dc_precision=2 q_scale_type=0 intra_vlc_format=0 alternate_scan=0 picture_structure=3 i_pictures=2 pictures=2"
make dc11 352 288 25 2 "-g 1 -bf 0 -q:v 3 -dc 11 -profile:v 1 -strict -2" \
    "aspect=1 frame_rate_code=3 chroma_format=1 progressive_sequence=1 intra_dc_precision=3 q_scale_type=0 intra_vlc_format=0 alternate_scan=0 picture_structure=3 i_pictures=2 pictures=2"
make yuv422 352 288 25 2 "-g 1 -bf 0 -q:v 3 -pix_fmt yuv422p" \
    "aspect=1 frame_rate_code=3 chroma_format=2 progressive_sequence=1 intra_dc_precision=0 q_scale_type=0 intra_vlc_format=0 alternate_scan=0 picture_structure=3 i_pictures=2 pictures=2"
make hd1080 1920 1080 25 1 "-g 1 -bf 0 -q:v 8 -aspect 16:9" \
    "aspect=3 frame_rate_code=3 chroma_format=1 progressive_sequence=1 intra_dc_precision=0 q_scale_type=0 intra_vlc_format=0 alternate_scan=0 picture_structure=3 i_pictures=1 pictures=1"
make tall 256 2880 25 1 "-g 1 -bf 0 -q:v 8" \
    "aspect=1 frame_rate_code=3 chroma_format=1 progressive_sequence=1 intra_dc_precision=0 q_scale_type=0 intra_vlc_format=0 alternate_scan=0 picture_structure=3 i_pictures=1 pictures=1"

# Three programs: MPEG-2 video in each, MPEG-1 layer II audio in the first
# and AC-3 in the second, one second at a mux rate of 1,000,000 bit/s.
ffmpeg -v error -y \
    -f lavfi -i "testsrc2=size=176x144:rate=25" \
    -f lavfi -i "testsrc2=size=352x288:rate=25" \
    -f lavfi -i "testsrc2=size=176x144:rate=30000/1001" \
    -f lavfi -i "sine=frequency=440:sample_rate=48000" \
    -f lavfi -i "sine=frequency=880:sample_rate=48000" \
    -t 1 -map 0:v -map 1:v -map 2:v -map 3:a -map 4:a \
    -c:v mpeg2video -b:v 150k -g 12 -c:a:0 mp2 -b:a:0 64k -c:a:1 ac3 -b:a:1 64k \
    -program program_num=1:title=One:st=0:st=3 \
    -program program_num=2:title=Two:st=1:st=4 \
    -program program_num=3:title=Three:st=2 \
    -muxrate 1000000 -f mpegts ts3_mux.ts
cat > ts3_mux.txt <<'VALUES'
muxrate=1000000
program=1 video_size=176x144 frame_rate_code=3 audio=mp2
program=2 video_size=352x288 frame_rate_code=3 audio=ac3
program=3 video_size=176x144 frame_rate_code=4 audio=none
VALUES
