#!/usr/bin/env bash
# Regenerates the small media fixtures in this folder with ffmpeg (see README.md).
# Usage: bash tests/data/make_fixtures.sh   (FFMPEG=/path/to/ffmpeg to override)
set -euo pipefail
FFMPEG=${FFMPEG:-$(python3 -c 'import imageio_ffmpeg;print(imageio_ffmpeg.get_ffmpeg_exe())')}
cd "$(dirname "$0")"

FF="$FFMPEG -hide_banner -loglevel error -y -fflags +bitexact"
# 320x240 25 fps test pattern: 2 s, or 1.2 s for the Layer II files.
V2="-f lavfi -i testsrc2=size=320x240:rate=25:duration=2"
V1="-f lavfi -i testsrc2=size=320x240:rate=25:duration=1.2"
# H.264 High, 2 B-frames, IDR every 25 frames (one per second), single thread.
KEY="keyint=25:min-keyint=25:scenecut=0:bframes=2:b-pyramid=none"
X264="-c:v libx264 -profile:v high -pix_fmt yuv420p -bf 2 -g 25 -b:v 250k -threads 1"
AAC="-c:a aac -b:a 64k -ac 2 -flags:a +bitexact"
MP2="-c:a mp2 -b:a 64k -ac 2 -flags:a +bitexact"
TS="-f mpegts"

# 1. Reference sample: AUDs inserted by the bitstream filter.
$FF $V2 -f lavfi -i sine=frequency=440:sample_rate=48000:duration=2 \
    $X264 -x264-params $KEY -flags:v +bitexact -bsf:v h264_metadata=aud=insert \
    $AAC -ar 48000 $TS sample.ts
# 2. Same content without the bitstream filter.
$FF $V2 -f lavfi -i sine=frequency=440:sample_rate=48000:duration=2 \
    $X264 -x264-params $KEY -flags:v +bitexact $AAC -ar 48000 $TS muxer_aud.ts
# 3. Audio at 44.1 kHz starting 1 s after the video.
$FF $V2 -itsoffset 1 -f lavfi -i sine=frequency=440:sample_rate=44100:duration=1 \
    $X264 -x264-params $KEY -flags:v +bitexact $AAC -ar 44100 $TS late_audio_44k.ts
# 4. Video only.
$FF $V2 $X264 -x264-params $KEY -flags:v +bitexact -an $TS video_only.ts
# 5. Interlaced (frame_mbs_only_flag = 0), 352x288, 10 frames, AAC 48 kHz.
$FF -f lavfi -i testsrc2=size=352x288:rate=25:duration=0.4 \
    -f lavfi -i sine=frequency=440:sample_rate=48000:duration=0.4 \
    $X264 -x264-params $KEY:tff=1 -flags:v +ildct+ilme+bitexact $AAC -ar 48000 $TS interlaced.ts
# 6. MPEG-1 Layer II audio (stream type 0x03), and Layer II + AAC (0x03 listed before 0x0F).
$FF $V1 -f lavfi -i sine=frequency=440:sample_rate=48000:duration=1.2 \
    $X264 -x264-params $KEY -flags:v +bitexact $MP2 -ar 48000 $TS mp2_audio.ts
$FF $V1 -f lavfi -i sine=frequency=440:sample_rate=48000:duration=1.2 \
    -f lavfi -i sine=frequency=880:sample_rate=48000:duration=1.2 \
    -map 0:v -map 1:a -map 2:a $X264 -x264-params $KEY -flags:v +bitexact \
    -c:a:0 mp2 -c:a:1 aac -b:a 64k -ac 2 -ar 48000 -flags:a +bitexact $TS mp2_and_aac.ts
# Regular MP4s for key frames: moov first, moov at the end, and audio as the first track.
A1="-f lavfi -i sine=frequency=440:sample_rate=48000:duration=1"
VS1="-f lavfi -i testsrc2=size=320x240:rate=25:duration=1"
$FF $VS1 $A1 $X264 -x264-params $KEY -flags:v +bitexact $AAC -ar 48000 -movflags +faststart regular_faststart.mp4
$FF $VS1 $A1 $X264 -x264-params $KEY -flags:v +bitexact $AAC -ar 48000 regular_moov_end.mp4
$FF $VS1 $A1 -map 1:a -map 0:v $X264 -x264-params $KEY -flags:v +bitexact $AAC -ar 48000 audio_first.mp4
# Live HLS fMP4 segments whose decode times start at 10,000 s (tfdt 128,000,000 at 12,800 Hz).
HLS=$(mktemp -d)
$FF -f lavfi -i testsrc2=size=320x240:rate=25:duration=3 $X264 -x264-params $KEY -flags:v +bitexact -an \
    -output_ts_offset 10000 -avoid_negative_ts make_non_negative -f hls -hls_time 1 -hls_segment_type fmp4 \
    -hls_fmp4_init_filename live_init.mp4 -hls_segment_filename "$HLS/live_%d.m4s" \
    -hls_segment_options movflags=+frag_discont "$HLS/live.m3u8"
cp "$HLS"/live_init.mp4 "$HLS"/live_*.m4s .
rm -rf "$HLS"

# Fragmented MP4 (moov first, then one moof/mdat pair per fragment).
FRAG="-movflags frag_keyframe+empty_moov+default_base_moof -f mp4"
# 7. Video and audio, one fragment per key frame.
$FF $V2 -f lavfi -i sine=frequency=440:sample_rate=48000:duration=2 \
    $X264 -x264-params $KEY -flags:v +bitexact $AAC -ar 48000 $FRAG frag_av.mp4
# 8. Video only.
$FF $V2 $X264 -x264-params $KEY -flags:v +bitexact -an $FRAG frag_video.mp4
# 9. One fragment per video frame, 0.6 s, with audio.
$FF -f lavfi -i testsrc2=size=320x240:rate=25:duration=0.6 \
    -f lavfi -i sine=frequency=440:sample_rate=48000:duration=0.6 \
    $X264 -x264-params $KEY -flags:v +bitexact $AAC -ar 48000 \
    -movflags frag_keyframe+empty_moov+default_base_moof+frag_every_frame -f mp4 frag_every_frame.mp4
# 10. Init segment followed by two media segments (HLS fMP4), concatenated.
SEG=$(mktemp -d)
$FF $V2 -f lavfi -i sine=frequency=440:sample_rate=48000:duration=2 \
    $X264 -x264-params $KEY -flags:v +bitexact $AAC -ar 48000 \
    -f hls -hls_segment_type fmp4 -hls_time 1 -hls_playlist_type vod \
    -hls_fmp4_init_filename init.mp4 -hls_segment_filename "$SEG/seg%d.m4s" "$SEG/out.m3u8"
cat "$SEG/init.mp4" "$SEG/seg0.m4s" "$SEG/seg1.m4s" > cmaf_segments.mp4
rm -r "$SEG"
# 11. Audio only, fragments of 0.5 s (merged with frag_video.mp4 once its track ID is set to 2).
$FF -f lavfi -i sine=frequency=440:sample_rate=48000:duration=2 $AAC -ar 48000 -frag_duration 500000 \
    $FRAG frag_audio.mp4
# 12. Video and audio whose decode times start at 5,000 s (tfdt 64,000,000 for video).
$FF $V2 -f lavfi -i sine=frequency=440:sample_rate=48000:duration=2 \
    $X264 -x264-params $KEY -flags:v +bitexact $AAC -ar 48000 -output_ts_offset 5000 \
    -avoid_negative_ts make_non_negative \
    -movflags frag_keyframe+empty_moov+default_base_moof+frag_discont -f mp4 frag_late_start.mp4

# Transport streams whose timing real streams get wrong (audio lead, clock wrap, no delimiters).
A2="-f lavfi -i sine=frequency=440:sample_rate=48000"
# 13. The video joins 1 s after the audio.
$FF -itsoffset 1 -f lavfi -i testsrc2=size=320x240:rate=25:duration=1.2 $A2:duration=2.2 \
    $X264 -x264-params $KEY -flags:v +bitexact $AAC -ar 48000 $TS audio_lead.ts
# 14. The second 1 s segment of an HLS TS stream (its audio starts before its first picture).
HLS=$(mktemp -d)
$FF -f lavfi -i testsrc2=size=320x240:rate=25:duration=3 $A2:duration=3 \
    $X264 -x264-params $KEY -flags:v +bitexact $AAC -ar 48000 \
    -f hls -hls_time 1 -hls_segment_type mpegts -hls_segment_filename "$HLS/seg%d.ts" "$HLS/out.m3u8"
cp "$HLS/seg1.ts" hls_segment.ts
rm -rf "$HLS"
# 15. A clock that crosses the 33-bit wrap (2^33 ticks = 95443.7 s) 0.9 s in.
$FF $V2 $A2:duration=2 $X264 -x264-params $KEY -flags:v +bitexact $AAC -ar 48000 \
    -output_ts_offset 95441.4 $TS clock_wrap.ts
# 16. muxer_aud.ts with every access-unit delimiter taken out of the video PES.
python3 -c 'import sys; sys.path.insert(0, ".."); import builders as b
d = open("muxer_aud.ts", "rb").read()
strip = lambda p: p[:4] + b"\0\0" + p[6:9 + p[8]] + p[9 + p[8]:].replace(b"\0\0\0\1\x09\xf0", b"")
open("no_delimiters.ts", "wb").write(b.rewrite_pes(d, 0x100, strip))'
# 17. Every picture coded as four slices.
$FF $V1 $A2:duration=1.2 $X264 -x264-params $KEY:slices=4 -flags:v +bitexact $AAC -ar 48000 $TS multi_slice.ts

# Fragmented MP4s for key frames, track-extends defaults and signed composition offsets.
# 18. B-frames with version-1 truns whose composition offsets go negative.
$FF $V2 $X264 -x264-params $KEY -flags:v +bitexact -an \
    -movflags frag_keyframe+empty_moov+default_base_moof+negative_cts_offsets -f mp4 frag_negative_cts.mp4
# 19. DASH: the init segment and the first media segment, concatenated.
DASH=$(mktemp -d)
$FF $V2 $X264 -x264-params $KEY -flags:v +bitexact -an -f dash -seg_duration 1 \
    -init_seg_name init.m4s -media_seg_name 'chunk-$Number$.m4s' "$DASH/out.mpd"
cat "$DASH/init.m4s" "$DASH/chunk-1.m4s" > dash_init_chunk.mp4
rm -r "$DASH"

# Codecs beyond H.264 and AAC: 1.2 s each (1 s for the MP4s). HEVC: 320x180, so the
# SPS carries a conformance window (180 is not a multiple of the 8-pixel coding
# block), two slices per picture, single-threaded for identical output.
X265="-c:v libx265 -pix_fmt yuv420p -b:v 150k -x265-params $KEY:pools=1:frame-threads=1:slices=2:log-level=error"
HV="-f lavfi -i testsrc2=size=320x180:rate=25:duration=1.2"
S48="-f lavfi -i sine=frequency=440:sample_rate=48000:duration=1.2"
H264="$X264 -x264-params $KEY -flags:v +bitexact"
# 20. HEVC + AAC, HEVC + E-AC-3 stereo.
$FF $HV $S48 $X265 -flags:v +bitexact $AAC -ar 48000 $TS hevc_aac.ts
$FF $HV $S48 $X265 -flags:v +bitexact -c:a eac3 -b:a 192k -ac 2 -flags:a +bitexact $TS hevc_eac3.ts
# 21. H.264 + AC-3 stereo (stream type 0x81), + E-AC-3 5.1 (0x87), + MP3 (MPEG-1 layer III,
#     0x03) and + MP3 at 22.05 kHz mono (MPEG-2 layer III, 576 samples a frame, 0x04).
$FF $V1 $S48 $H264 -c:a ac3 -b:a 192k -ac 2 -flags:a +bitexact $TS h264_ac3.ts
$FF $V1 $S48 $H264 -c:a eac3 -b:a 384k -ac 6 -flags:a +bitexact $TS h264_eac3_51.ts
$FF $V1 -f lavfi -i sine=frequency=440:sample_rate=44100:duration=1.2 $H264 \
    -c:a libmp3lame -b:a 128k -ac 2 -flags:a +bitexact $TS h264_mp3.ts
$FF $V1 -f lavfi -i sine=frequency=440:sample_rate=22050:duration=1.2 $H264 \
    -c:a libmp3lame -b:a 32k -ac 1 -ar 22050 -flags:a +bitexact $TS h264_mp3_lsf.ts
# 22. DVB-style PMT: AC-3 (mono) as stream type 0x06 with an AC-3 descriptor (tag 0x6A).
$FF $V1 $S48 $H264 -c:a ac3 -b:a 96k -ac 1 -flags:a +bitexact -mpegts_flags system_b $TS dvb_ac3.ts
# 23. A PMT listing MP2 (0x03), then AC-3 (0x81), then AAC (0x0F).
$FF $V1 $S48 -f lavfi -i sine=frequency=660:sample_rate=48000:duration=1.2 \
    -f lavfi -i sine=frequency=880:sample_rate=48000:duration=1.2 \
    -map 0:v -map 1:a -map 2:a -map 3:a $H264 -c:a:0 mp2 -b:a:0 64k -c:a:1 ac3 -b:a:1 96k \
    -c:a:2 aac -b:a:2 64k -ac 2 -ar 48000 -flags:a +bitexact $TS mp2_ac3_aac.ts
# 24. HEVC in MP4: regular with hvc1, regular with ffmpeg's default hev1, fragmented (hev1).
HV1="-f lavfi -i testsrc2=size=320x180:rate=25:duration=1"
$FF $HV1 $X265 -flags:v +bitexact -an -tag:v hvc1 hevc_hvc1.mp4
$FF $HV1 $X265 -flags:v +bitexact -an hevc_hev1.mp4
$FF $HV1 $X265 -flags:v +bitexact -an -movflags frag_keyframe+empty_moov+default_base_moof -f mp4 hevc_frag.mp4
# 25. The command line's inputs: 3 s of 160x120 video with AAC, as 1 s HLS TS segments, as HLS fMP4
#     (initialisation segment and media segments), and as an ffmpeg DASH pair (video and audio each
#     in one file, both with track ID 1). Playlists and manifests are not kept.
SMALL="-f lavfi -i testsrc2=size=160x120:rate=25:duration=3 -f lavfi -i sine=frequency=440:sample_rate=48000:duration=3"
X264S="-c:v libx264 -profile:v high -pix_fmt yuv420p -bf 2 -g 25 -b:v 100k -threads 1"
OUT=$(mktemp -d)
rm -rf hls_ts hls_fmp4 dash && mkdir hls_ts hls_fmp4 dash
$FF $SMALL $X264S -x264-params $KEY -flags:v +bitexact $AAC -ar 48000 \
    -f hls -hls_time 1 -hls_playlist_type vod -hls_segment_filename hls_ts/seg%d.ts "$OUT/ts.m3u8"
$FF $SMALL $X264S -x264-params $KEY -flags:v +bitexact $AAC -ar 48000 \
    -f hls -hls_time 1 -hls_playlist_type vod -hls_segment_type fmp4 -hls_fmp4_init_filename init.mp4 \
    -hls_segment_filename hls_fmp4/seg%d.m4s "$OUT/fmp4.m3u8"
mv "$OUT/init.mp4" hls_fmp4/
$FF $SMALL $X264S -x264-params $KEY -flags:v +bitexact $AAC -ar 48000 \
    -f dash -seg_duration 1 -single_file 1 -single_file_name 'stream$RepresentationID$.mp4' \
    -adaptation_sets "id=0,streams=v id=1,streams=a" "$OUT/manifest.mpd"
mv "$OUT/stream0.mp4" dash/video.mp4
mv "$OUT/stream1.mp4" dash/audio.mp4
rm -r "$OUT"

# 26. One time origin for every track: 2 s of 160x120 video with AAC 48 kHz stereo as HLS fMP4 whose
#     clock starts at 1000 s. Without +frag_discont ffmpeg writes the offset into the init segment as
#     leading empty edits (tfdt from 0); with it, into the tfdt of every fragment (the live case).
SMALL2="-f lavfi -i testsrc2=size=160x120:rate=25:duration=2 -f lavfi -i sine=frequency=440:sample_rate=48000:duration=2"
OUT=$(mktemp -d)
mkdir "$OUT/offset"
$FF $SMALL2 $X264S -x264-params $KEY -flags:v +bitexact $AAC -ar 48000 -output_ts_offset 1000 \
    -f hls -hls_time 1 -hls_playlist_type vod -hls_segment_type fmp4 -hls_fmp4_init_filename init.mp4 \
    -hls_segment_filename "$OUT/offset/seg%d.m4s" "$OUT/offset/out.m3u8"
cat "$OUT/offset/init.mp4" "$OUT/offset/seg0.m4s" "$OUT/offset/seg1.m4s" > hls_offset.mp4
rm -rf hls_live && mkdir hls_live
$FF $SMALL2 $X264S -x264-params $KEY -flags:v +bitexact $AAC -ar 48000 -output_ts_offset 1000 \
    -f hls -hls_time 1 -hls_playlist_type vod -hls_segment_type fmp4 -hls_fmp4_init_filename init.mp4 \
    -hls_segment_options movflags=+frag_discont -hls_segment_filename hls_live/seg%d.m4s "$OUT/live.m3u8"
mv "$OUT/init.mp4" hls_live/
rm -r "$OUT"
# Recordings whose clock is not regular: durations, gaps and joins. Tiny pictures, low audio
# rates and tables every 2 s keep long streams small.
X264T="-c:v libx264 -profile:v high -pix_fmt yuv420p -bf 2 -b:v 20k -threads 1 -flags:v +bitexact"
AACT="-c:a aac -b:a 24k -ac 2 -flags:a +bitexact"
TINY="testsrc2=size=64x48"
TST="-pat_period 2 -f mpegts"
K25="-g 25 -x264-params keyint=25:min-keyint=25:scenecut=0:bframes=2:b-pyramid=none"
# 27. 20 s at 59.94 fps: decode times step 1501 and 1502 ticks.
$FF -f lavfi -i $TINY:rate=60000/1001:duration=20 -f lavfi -i sine=frequency=440:sample_rate=48000:duration=20 \
    $X264T -g 60 -x264-params keyint=60:min-keyint=60:scenecut=0:bframes=2:b-pyramid=none \
    $AACT -ar 48000 $TST ntsc_60.ts
# 28. 10 s at 23.976 fps (3753 and 3754 ticks) with B-frames, and AAC at 44.1 kHz.
$FF -f lavfi -i $TINY:rate=24000/1001:duration=10 -f lavfi -i sine=frequency=440:sample_rate=44100:duration=10 \
    $X264T -g 24 -x264-params keyint=24:min-keyint=24:scenecut=0:bframes=2:b-pyramid=none \
    $AACT -ar 44100 $TST film_44k.ts
# 29. Three 2 s recordings joined end to end, each clock starting again: the audio of the first
#     starts 21 ms before its video (the encoder's priming), of the second 0.5 s after it, of the
#     third 0.6 s before it.
V="-f lavfi -i $TINY:rate=25:duration=2"
PARTS=$(mktemp -d)
$FF $V $A2:duration=2 $X264T $K25 $AACT -ar 48000 $TST "$PARTS/a.ts"
$FF $V -itsoffset 0.5 $A2:duration=1.5 $X264T $K25 $AACT -ar 48000 $TST "$PARTS/b.ts"
$FF -itsoffset 0.6 $V $A2:duration=2.6 $X264T $K25 $AACT -ar 48000 $TST "$PARTS/c.ts"
cat "$PARTS/a.ts" "$PARTS/b.ts" "$PARTS/c.ts" > joined.ts
rm -r "$PARTS"
# 30. The frame rate changes mid-stream: 2 s at 25 fps, then 2 s at 50 fps.
$FF -f lavfi -i $TINY:rate=25:duration=4 -f lavfi -i sine=frequency=440:sample_rate=48000:duration=4 \
    -vf "setpts='if(lt(N,50),N/25,2+(N-50)/50)/TB'" -fps_mode passthrough \
    $X264T $K25 $AACT -ar 48000 $TST fps_change.ts
# 31. Programmes and streams, 1.2 s of 160x120 video with AAC 48 kHz stereo: a second audio
#     track (AC-3, marked English), a second programme, audio alone, and M2TS's 192-byte packets
#     with AC-3, as AVCHD cameras write it (ffmpeg's M2TS mode lists AAC as bare private data).
V12="-f lavfi -i testsrc2=size=160x120:rate=25:duration=1.2"
S12="-f lavfi -i sine=frequency=440:sample_rate=48000:duration=1.2"
S12B="-f lavfi -i sine=frequency=660:sample_rate=48000:duration=1.2"
$FF $V12 $S12 $S12B -map 0:v -map 1:a -map 2:a $X264S -x264-params $KEY -flags:v +bitexact \
    -c:a:0 aac -c:a:1 ac3 -b:a 64k -ac 2 -ar 48000 -flags:a +bitexact -metadata:s:a:1 language=eng \
    $TS two_audio.ts
$FF $V12 $S12 -f lavfi -i smptebars=size=160x120:rate=25:duration=1.2 $S12B \
    -map 0:v -map 1:a -map 2:v -map 3:a $X264S -x264-params $KEY -flags:v +bitexact $AAC -ar 48000 \
    -program title=first:st=0:st=1 -program title=second:st=2:st=3 $TS two_programs.ts
$FF -f lavfi -i sine=frequency=440:sample_rate=48000:duration=2 $AAC -ar 48000 $TS audio_only.ts
$FF $V12 $S12 $X264S -x264-params $KEY -flags:v +bitexact -c:a ac3 -b:a 64k -ac 2 -ar 48000 -flags:a +bitexact \
    -f mpegts -mpegts_m2ts_mode 1 sample.m2ts
# MP4s as other tools leave them: 320x240 H.264 (the settings of the first steps) with AAC 48 kHz.
VA="-f lavfi -i sine=frequency=440:sample_rate=48000"
# 32. Partially fragmented: without empty_moov the moov keeps the first fragment's samples in its
#     own tables (the first second), and the rest follows in fragments.
$FF $V1 $VA:duration=1.2 $X264 -x264-params $KEY -flags:v +bitexact $AAC -ar 48000 \
    -movflags frag_keyframe -f mp4 partial_frag.mp4
# 33. Encrypted with AES-CTR ("cenc", key 00112233445566778899aabbccddeeff, KID 000102...0f):
#     fragmented (senc, saiz, saio in each traf) and regular (the same boxes in each stbl).
CENC="-encryption_scheme cenc-aes-ctr -encryption_key 00112233445566778899aabbccddeeff
      -encryption_kid 000102030405060708090a0b0c0d0e0f"
$FF -f lavfi -i testsrc2=size=320x240:rate=25:duration=0.4 $VA:duration=0.4 $X264 -x264-params $KEY \
    -flags:v +bitexact $AAC -ar 48000 $CENC -movflags frag_keyframe+empty_moov+default_base_moof cenc_frag.mp4
$FF -f lavfi -i testsrc2=size=320x240:rate=25:duration=0.4 $VA:duration=0.4 $X264 -x264-params $KEY \
    -flags:v +bitexact $AAC -ar 48000 $CENC cenc_regular.mp4
# 34. A regular file with its moov at the end and signed composition offsets (a version 1 ctts).
$FF $VS1 $A1 $X264 -x264-params $KEY -flags:v +bitexact $AAC -ar 48000 -movflags negative_cts_offsets \
    regular_negative_cts.mp4
# 35. Open GOPs without IDR after the first picture: keyint 24 puts each key frame where a P-frame
#     would stand, so the two B-frames before it in display order follow it in decode order, and
#     x264 marks it with a recovery point SEI instead of making it an IDR.
$FF -f lavfi -i testsrc2=size=320x240:rate=25:duration=2.4 \
    -f lavfi -i sine=frequency=440:sample_rate=48000:duration=2.4 \
    $X264 -g 24 -x264-params keyint=24:min-keyint=24:scenecut=0:bframes=2:b-pyramid=none:open_gop=1 \
    -flags:v +bitexact $AAC -ar 48000 $TS open_gop.ts
# 36. Broadcast codecs, 1.2 s each with a 440 Hz tone at 48 kHz stereo: MPEG-2 video (Main
#     profile, 2 B-frames, a GOP of 12, fixed quantiser) with AAC; H.264 (160x120) with AAC in
#     LATM/LOAS (stream type 0x11); H.264 (160x120) with Opus (private data, registration "Opus").
$FF $V1 $S12 -c:v mpeg2video -bf 2 -g 12 -q:v 10 -flags:v +bitexact $AAC -ar 48000 $TS mpeg2_aac.ts
$FF $V12 $S12 $X264S -x264-params $KEY -flags:v +bitexact $AAC -ar 48000 $TS -mpegts_flags latm h264_latm.ts
$FF $V12 $S12 $X264S -x264-params $KEY -flags:v +bitexact -c:a libopus -b:a 48k -ac 2 -ar 48000 $TS h264_opus.ts
# 37. A dense stream (about 2.4 Mb/s: 640x360 with grain) that the big-file test repeats into gigabytes.
$FF -f lavfi -i testsrc2=size=640x360:rate=25:duration=1.28 -f lavfi -i sine=frequency=440:sample_rate=48000:duration=1.28 \
    -vf noise=alls=12:allf=t -c:v libx264 -profile:v high -pix_fmt yuv420p -bf 2 -g 32 -b:v 2000k -maxrate 2000k \
    -bufsize 1000k -threads 1 -x264-params keyint=32:min-keyint=32:scenecut=0:bframes=2:b-pyramid=none -flags:v +bitexact \
    -c:a aac -b:a 128k -ac 2 -flags:a +bitexact -ar 48000 $TS dense.ts
