"""File to file on large inputs: quaver against a plain copy of the same file and ffmpeg -c copy.

    python bench/bench_files.py [--dir DIR] [--sizes 1,4.6] [--rounds 3]

For each size (in GB) a transport stream is made in DIR by repeating
tests/data/dense.ts (2.4 Mb/s, 640x360 H.264 + AAC) with its clocks and
continuity counters carried on, and a fragmented MP4 of the first one by
ffmpeg -c copy. Then, page cache warm, each round runs in turn, one after
another on the same disk:

- ``cp --reflink=never IN OUT``;
- ``quaver.remux(IN, OUT)`` in a child process, which samples its own
  RssAnon (/proc/self/status) every 10 ms while it converts; only the call is
  timed, not the interpreter's start;
- ``ffmpeg -i IN -map 0 -c copy [-bsf:a aac_adtstoasc] -f mp4 OUT`` (start-up included; the
  filter for a transport stream's AAC).

The best round of each is reported as MB/s of input, quaver's beside the
copy's (the target is at least 0.8 of it), with the least CPU time of a round
(on a machine shared with other work the wall clock moves with the load; the
CPU time much less), and the largest RssAnon any round of quaver saw. Outputs are deleted after every run; the inputs stay in DIR
for the next run (delete them yourself: several GB).
"""
import argparse
import os
import pathlib
import resource
import shutil
import subprocess
import sys
import time

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent / "tests"))

from builders import repeat_ts  # noqa: E402

CHILD = r"""
import os, sys, threading, time, quaver
def anon():
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("RssAnon:"):
                return int(line.split()[1]) * 1024
peak, done = [anon()], threading.Event()
def sample():
    while not done.wait(0.01):
        peak[0] = max(peak[0], anon())
threading.Thread(target=sample, daemon=True).start()
start = time.perf_counter()
quaver.remux(sys.argv[1], sys.argv[2], overwrite=True)
took = time.perf_counter() - start
done.set()
print(took, max(peak[0], anon()))
"""


def ffmpeg_exe():
    if os.environ.get("FFMPEG"):
        return os.environ["FFMPEG"]
    import imageio_ffmpeg

    return imageio_ffmpeg.get_ffmpeg_exe()


def children_cpu():
    usage = resource.getrusage(resource.RUSAGE_CHILDREN)
    return usage.ru_utime + usage.ru_stime


def warm(path):
    with open(path, "rb") as f:
        while f.read(64 << 20):
            pass


def run_cp(src, dst):
    start = time.perf_counter()
    subprocess.run(["cp", "--reflink=never", src, dst], check=True)
    return time.perf_counter() - start, None


def run_quaver(src, dst):
    r = subprocess.run([sys.executable, "-c", CHILD, src, dst], check=True, capture_output=True, text=True)
    took, peak = r.stdout.split()
    return float(took), int(peak)


def run_ffmpeg(src, dst):
    # ffmpeg's MP4 muxer takes AAC from a transport stream only through this filter.
    adts = ["-bsf:a", "aac_adtstoasc"] if src.endswith(".ts") else []
    start = time.perf_counter()
    subprocess.run([ffmpeg_exe(), "-hide_banner", "-loglevel", "error", "-y", "-i", src, "-map", "0", "-c", "copy",
                    *adts, "-f", "mp4", dst], check=True)
    return time.perf_counter() - start, None


def make_inputs(folder, gigabytes):
    clip = (HERE.parent / "tests" / "data" / "dense.ts").read_bytes()
    made = []
    for gb in gigabytes:
        ts = folder / f"dense_{gb:g}GB.ts"
        if not ts.exists():
            partial = ts.with_name(ts.name + ".part")
            repeat_ts(clip, partial, int(gb * 1e9), period=117120)
            partial.rename(ts)
        made.append(("TS -> MP4", ts))
    first = made[0][1]
    frag = folder / f"{first.stem}_frag.mp4"
    if not frag.exists():
        partial = frag.with_name(frag.name + ".part")
        subprocess.run([ffmpeg_exe(), "-hide_banner", "-loglevel", "error", "-y", "-i", str(first), "-map", "0",
                        "-c", "copy", "-bsf:a", "aac_adtstoasc", "-movflags",
                        "frag_keyframe+empty_moov+default_base_moof", "-f", "mp4", str(partial)], check=True)
        partial.rename(frag)
    made.insert(1, ("unfold", frag))
    return made


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--dir", default=os.path.expanduser("~/.cache/quaver-bench/big"))
    parser.add_argument("--sizes", default="1,4.6", help="input sizes in GB, comma-separated")
    parser.add_argument("--rounds", type=int, default=3)
    args = parser.parse_args()
    folder = pathlib.Path(args.dir)
    folder.mkdir(parents=True, exist_ok=True)
    inputs = make_inputs(folder, [float(x) for x in args.sizes.split(",")])
    out = str(folder / f"out.{os.getpid()}.bin")
    print(f"| job | input | cp --reflink=never | quaver file to file | quaver / cp | ffmpeg -c copy | "
          f"quaver peak RssAnon |")
    print("|---|---|---|---|---|---|---|")
    for job, path in inputs:
        src = str(path)
        size = path.stat().st_size
        warm(src)
        best, cpu = {}, {}
        peak = 0
        for _ in range(args.rounds):
            for name, run in (("cp", run_cp), ("quaver", run_quaver), ("ffmpeg", run_ffmpeg)):
                before = children_cpu()
                took, anon = run(src, out)
                used = children_cpu() - before
                os.unlink(out)
                best[name] = min(best.get(name, took), took)
                cpu[name] = min(cpu.get(name, used), used)
                peak = max(peak, anon or 0)
        rate = {name: size / took / 1e6 for name, took in best.items()}
        print(f"| {job} | {size / 1e9:.2f} GB | {rate['cp']:.0f} MB/s ({cpu['cp']:.2f} s) | {rate['quaver']:.0f} MB/s "
              f"({cpu['quaver']:.2f} s) | {rate['quaver'] / rate['cp']:.2f} | {rate['ffmpeg']:.0f} MB/s "
              f"({cpu['ffmpeg']:.2f} s) | {peak / 1e6:.0f} MB |")
    free = shutil.disk_usage(folder).free
    print(f"\nbest of {args.rounds} rounds, page cache warm, in parentheses the least CPU time (user and system) "
          f"of a round, the interpreter's start included for quaver; {folder} ({free / 1e9:.0f} GB free after)")


if __name__ == "__main__":
    main()
