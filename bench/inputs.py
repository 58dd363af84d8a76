"""The benchmark's inputs, made once with ffmpeg and kept in a cache directory.

Every file is made from lavfi sources with per-frame noise, so the encoder
spends a realistic number of bytes on every frame (a clean test pattern
compresses to almost nothing between key frames). Key frames come every 2 s,
so the fragmented files have one fragment per 2 s and the segments are cut
exactly at key frames.

The cache directory holds a manifest with the command line behind each file;
a file whose recipe changed is made again. Encoders run on one thread at a
low priority: other people share the machine while this runs.
"""
import hashlib
import json
import os
import pathlib
import shutil
import struct
import subprocess
import sys
import time

DEFAULT_CACHE = pathlib.Path(os.environ.get("QUAVER_BENCH_CACHE", pathlib.Path.home() / ".cache" / "quaver-bench"))

LARGE_SECONDS = 60
SEGMENT_COUNT = 300
SEGMENT_SECONDS = 2
FPS = 30
GOP = SEGMENT_SECONDS * FPS

# A stereo tone with a little noise, so the audio encoders do real work too.
AUDIO_SOURCE = ("aevalsrc=0.3*sin(2*PI*440*t)+0.03*(random(0)-0.5)|"
                "0.3*sin(2*PI*660*t)+0.03*(random(1)-0.5):s=48000:d={seconds}")
VIDEO_SOURCE = "testsrc2=size={size}:rate={fps}:duration={seconds},noise=alls=8:allf=t+u,format=yuv420p"
FRAGMENTED = "frag_keyframe+empty_moov+default_base_moof"


def ffmpeg_exe():
    exe = os.environ.get("FFMPEG")
    if exe:
        return exe
    try:
        import imageio_ffmpeg
        return imageio_ffmpeg.get_ffmpeg_exe()
    except ImportError:
        found = shutil.which("ffmpeg")
        if not found:
            sys.exit("no ffmpeg: install imageio-ffmpeg or set FFMPEG")
        return found


def _sources(size, seconds):
    return ["-f", "lavfi", "-i", VIDEO_SOURCE.format(size=size, fps=FPS, seconds=seconds),
            "-f", "lavfi", "-i", AUDIO_SOURCE.format(seconds=seconds)]


def _x264(bitrate_k):
    return ["-c:v", "libx264", "-preset", "veryfast", "-profile:v", "high", "-pix_fmt", "yuv420p",
            "-b:v", f"{bitrate_k}k", "-maxrate", f"{bitrate_k}k", "-bufsize", f"{2 * bitrate_k}k",
            "-g", str(GOP), "-keyint_min", str(GOP), "-sc_threshold", "0", "-bf", "3", "-threads", "1"]


# The fragmenting muxer writes its moov before the first packet, so AAC copied
# out of a TS needs its configuration from aac_adtstoasc up front.
#
# name -> (what it is, ffmpeg arguments after the program name with {out} for the
# output path and {name} for another target's path, the targets it is made from).
# A name ending in "/" is a directory of files.
RECIPES = {
    "h264_aac_1080p.ts": (
        f"{LARGE_SECONDS} s 1080p30 H.264 High 7.5 Mb/s + AAC-LC 128 kb/s, MPEG-TS",
        _sources("1920x1080", LARGE_SECONDS) + ["-map", "0:v", "-map", "1:a"] + _x264(7500)
        + ["-c:a", "aac", "-b:a", "128k", "-f", "mpegts", "{out}"],
        ()),
    "h264_aac_1080p_frag.mp4": (
        "the same stream as fragmented MP4, one fragment per key frame",
        ["-i", "{h264_aac_1080p.ts}", "-map", "0", "-c", "copy", "-bsf:a", "aac_adtstoasc", "-movflags", FRAGMENTED,
         "-f", "mp4", "{out}"],
        ("h264_aac_1080p.ts",)),
    "h264_1080p_video_frag.mp4": (
        "its video alone as fragmented MP4 (track ID 1)",
        ["-i", "{h264_aac_1080p.ts}", "-map", "0:v", "-c", "copy", "-movflags", FRAGMENTED, "-f", "mp4", "{out}"],
        ("h264_aac_1080p.ts",)),
    "aac_audio_frag.mp4": (
        "its audio alone as fragmented MP4, 2 s fragments, track ID 2 so that it merges with the video",
        ["-i", "{h264_aac_1080p.ts}", "-map", "0:a", "-c", "copy", "-bsf:a", "aac_adtstoasc", "-streamid", "0:2",
         "-use_stream_ids_as_track_ids", "1", "-frag_duration", str(SEGMENT_SECONDS * 1_000_000),
         "-movflags", "empty_moov+default_base_moof", "-f", "mp4", "{out}"],
        ("h264_aac_1080p.ts",)),
    "hevc_eac3_1080p.ts": (
        f"{LARGE_SECONDS} s 1080p30 HEVC 7.5 Mb/s + E-AC-3 192 kb/s, MPEG-TS",
        _sources("1920x1080", LARGE_SECONDS) + ["-map", "0:v", "-map", "1:a",
         "-c:v", "libx265", "-preset", "ultrafast", "-pix_fmt", "yuv420p", "-b:v", "7500k",
         "-x265-params", f"pools=none:frame-threads=1:keyint={GOP}:min-keyint={GOP}:scenecut=0:log-level=error",
         "-c:a", "eac3", "-b:a", "192k", "-f", "mpegts", "{out}"],
        ()),
    "segments_360p/": (
        f"{SEGMENT_COUNT} MPEG-TS segments of {SEGMENT_SECONDS} s, 360p30 H.264 800 kb/s + AAC-LC 96 kb/s,"
        " cut from one encode by the segment muxer",
        _sources("640x360", SEGMENT_COUNT * SEGMENT_SECONDS) + ["-map", "0:v", "-map", "1:a"] + _x264(800)
        + ["-c:a", "aac", "-b:a", "96k", "-f", "segment", "-segment_time", str(SEGMENT_SECONDS), "-segment_time_delta", "0.05",
           "-segment_format", "mpegts", "{out}/seg%03d.ts"],
        ()),
}


def _recipe_key(name):
    """A digest of the command line behind `name` and of everything it is made from."""
    _, args, deps = RECIPES[name]
    text = json.dumps([args] + [_recipe_key(d) for d in deps])
    return hashlib.sha256(text.encode()).hexdigest()[:16]


class Inputs:
    """Paths of the cached inputs, made on first use."""

    def __init__(self, cache=DEFAULT_CACHE):
        self.cache = pathlib.Path(cache).expanduser()
        self.manifest_path = self.cache / "manifest.json"

    def _manifest(self):
        try:
            return json.loads(self.manifest_path.read_text())
        except (OSError, ValueError):
            return {}

    def path(self, name):
        """The path of input `name`, made now if the cache lacks it or holds an older recipe."""
        target = self.cache / name.rstrip("/")
        key = _recipe_key(name)
        if self._manifest().get(name, {}).get("key") == key and target.exists():
            return target
        deps = {d: str(self.path(d)) for d in RECIPES[name][2]}
        self._make(name, target, key, deps)
        return target

    def _make(self, name, target, key, deps):
        self.cache.mkdir(parents=True, exist_ok=True)
        partial = target.with_name(target.name + ".partial")
        shutil.rmtree(partial, ignore_errors=True) if partial.is_dir() else partial.unlink(missing_ok=True)
        if name.endswith("/"):
            partial.mkdir()
        what, args, _ = RECIPES[name]
        # Encoders get one thread from their own options (x264 from -threads as an
        # output option, x265 from its pools); the filters get one here.
        argv = [ffmpeg_exe(), "-hide_banner", "-loglevel", "error", "-nostdin", "-y", "-filter_threads", "1"]
        for a in args:
            for placeholder, value in [("out", str(partial))] + list(deps.items()):
                a = a.replace("{" + placeholder + "}", value)
            argv.append(a)
        print(f"making {name}: {what} ...", file=sys.stderr, flush=True)
        start = time.monotonic()
        subprocess.run(["nice", "-n", "10"] + argv, check=True)
        if target.is_dir():
            shutil.rmtree(target)
        os.replace(partial, target)
        manifest = self._manifest()
        manifest[name] = {"key": key, "what": what, "argv": argv[1:], "seconds_to_make": round(time.monotonic() - start)}
        self.manifest_path.write_text(json.dumps(manifest, indent=1))
        print(f"made {name} in {time.monotonic() - start:.0f} s", file=sys.stderr, flush=True)

    def describe(self):
        return self._manifest()


def top_level_boxes(data):
    """(type, start, size) of each top-level box of an MP4 file in memory."""
    pos, boxes = 0, []
    while pos + 8 <= len(data):
        size, kind = struct.unpack_from(">I4s", data, pos)
        if size == 1:
            size = struct.unpack_from(">Q", data, pos + 8)[0]
        elif size == 0:
            size = len(data) - pos
        if size < 8:
            raise ValueError(f"bad box size {size} at {pos}")
        boxes.append((kind.decode("latin-1"), pos, size))
        pos += size
    return boxes


def split_fragments(data):
    """The initialisation segment (everything before the first moof) and one media
    segment per moof with the boxes that follow it up to the next moof."""
    boxes = top_level_boxes(data)
    starts = [start for kind, start, _ in boxes if kind == "moof"]
    if not starts:
        raise ValueError("no moof")
    # A trailing fragment random-access index (mfra) is not part of any fragment.
    end = next((start for kind, start, _ in boxes if kind == "mfra"), len(data))
    bounds = starts + [end]
    return data[:starts[0]], [data[a:b] for a, b in zip(bounds, bounds[1:])]


if __name__ == "__main__":
    inputs = Inputs(sys.argv[1] if len(sys.argv) > 1 else DEFAULT_CACHE)
    for n in RECIPES:
        print(inputs.path(n))
