"""quaver against `ffmpeg -c copy` and PyAV, in one run, on real-sized inputs.

    python bench/bench.py [--cases ts,unfold,...] [--rounds 5] [--cache DIR]

Makes its inputs with ffmpeg on first use (see inputs.py), then runs every job
(case x tool) once per round, in a new random order each round, and reports
the median of each as MB/s of input. Tools:

  quaver  the `_quaver` function, input and output in memory
  ffmpeg  `ffmpeg -c copy`, a process per job, input and output on tmpfs
  pyav    PyAV stream copy, demuxed from a BytesIO and muxed into one
  floor   the input copied into fresh memory: what writing an output of that
          size costs at the least when every page faults on first touch

Afterwards each case runs quaver once more in a fresh process to measure the
peak resident memory growth of one call. Prints a Markdown table and writes
the per-round figures to a JSON file.
"""
import argparse
import concurrent.futures
import datetime
import hashlib
import json
import os
import pathlib
import platform
import random
import shutil
import statistics
import subprocess
import sys
import tempfile
import threading

from common import (ffmpeg_copy_argv, fresh_copy, peak_growth, pyav_copy, run_child, run_ffmpeg, settle,
                    stdout_to_devnull, timed, warm_copy)
from inputs import (DEFAULT_CACHE, FRAGMENTED, LARGE_SECONDS, RECIPES, SEGMENT_SECONDS, Inputs, ffmpeg_exe,
                    split_fragments)

HERE = pathlib.Path(__file__).resolve().parent
TOOLS = ("quaver", "ffmpeg", "pyav", "floor")
# Jobs that are not tools of their own: each runs whenever the tool it gives
# context to runs.
COMPANIONS = {"warm copy": "floor", "reference": "quaver"}
MIN_ROUNDS = 5


class Row:
    """One line of the table: a job on one input, and the tools that do it.
    Each tool is a callable whose result `settle` can size and let go."""

    def __init__(self, name, label, what, input_bytes, jobs, one_call=None, one_call_input=None, threads=1):
        self.name = name
        self.label = label  # the job, as the table names it
        self.what = what  # the input, as the table describes it
        self.input_bytes = input_bytes
        self.jobs = jobs
        self.one_call = one_call  # one quaver call for the memory measurement, returns bytes
        self.one_call_input = one_call_input or input_bytes  # the bytes that call reads
        self.threads = threads  # how many threads the jobs run on


class Setup:
    """Access to the inputs: in memory for quaver and PyAV, on tmpfs for ffmpeg."""

    def __init__(self, inputs, tmpfs=None):
        self.inputs = inputs
        self.tmpfs = tmpfs
        self.ffmpeg = ffmpeg_exe()
        self._data = {}

    def read(self, name):
        if name not in self._data:
            self._data[name] = self.inputs.path(name).read_bytes()
        return self._data[name]

    def on_tmpfs(self, path):
        """A copy of `path` on tmpfs (the original when there is no tmpfs, in the memory helper)."""
        path = pathlib.Path(path)
        if self.tmpfs is None:
            return path
        copy = self.tmpfs / "in" / path.parent.name / path.name
        if not copy.exists():
            copy.parent.mkdir(parents=True, exist_ok=True)
            shutil.copyfile(path, copy)
        return copy

    def out(self, tag):
        return (self.tmpfs or pathlib.Path(tempfile.gettempdir())) / f"out-{tag}.mp4"

    def ffmpeg_job(self, names, tag, out_args=()):
        paths = [self.on_tmpfs(self.inputs.path(n)) for n in names]
        out = self.out(tag)
        argv = ffmpeg_copy_argv(self.ffmpeg, paths, out, out_args)
        return lambda: run_ffmpeg(argv, out)


def mb(size):
    return f"{size / 1e6:.1f} MB" if size >= 1e6 else f"{size / 1e6:.2f} MB"


# --- the cases ----------------------------------------------------------------

def case_ts(s):
    return [_ts_row(s, "ts", "TS → MP4", "h264_aac_1080p.ts", f"{LARGE_SECONDS} s 1080p30 H.264 High + AAC-LC")]


def case_hevc(s):
    return [_ts_row(s, "hevc", "TS → MP4, HEVC + E-AC-3", "hevc_eac3_1080p.ts",
                    f"{LARGE_SECONDS} s 1080p30 HEVC + E-AC-3")]


def _ts_row(s, name, job, file, what):
    import _quaver
    data = s.read(file)
    return Row(name, job, f"{mb(len(data))} TS, {what}", len(data), {
        "quaver": lambda: _quaver.convert_ts_to_mp4(data),
        "ffmpeg": s.ffmpeg_job([file], name),
        "pyav": lambda: pyav_copy([data], "mpegts"),
        "floor": lambda: fresh_copy(data),
    }, one_call=lambda: _quaver.convert_ts_to_mp4(data))


def case_unfold(s):
    import _quaver
    file = "h264_aac_1080p_frag.mp4"
    data = s.read(file)
    return [Row("unfold", "unfold fMP4", f"{mb(len(data))} fMP4, same stream", len(data), {
        "quaver": lambda: _quaver.defragment_mp4(data),
        "ffmpeg": s.ffmpeg_job([file], "unfold"),
        "pyav": lambda: pyav_copy([data], "mp4"),
        "floor": lambda: fresh_copy(data),
    }, one_call=lambda: _quaver.defragment_mp4(data))]


def case_rebase(s):
    # The peers cannot rebase a fragmented file in place; the nearest they come
    # is writing a new fragmented file, which starts at 0.
    import _quaver
    file = "h264_aac_1080p_frag.mp4"
    data = s.read(file)
    return [Row("rebase", "rebase fMP4", f"{mb(len(data))} fMP4, same stream", len(data), {
        "quaver": lambda: _quaver.reset_mp4_timestamps(data),
        "ffmpeg": s.ffmpeg_job([file], "rebase", ["-movflags", FRAGMENTED]),
        "pyav": lambda: pyav_copy([data], "mp4", movflags=FRAGMENTED),
        "floor": lambda: fresh_copy(data),
    }, one_call=lambda: _quaver.reset_mp4_timestamps(data))]


def case_merge(s):
    import _quaver
    files = ["h264_1080p_video_frag.mp4", "aac_audio_frag.mp4"]
    video, audio = (s.read(f) for f in files)
    both = video + audio
    return [Row("merge", "merge video fMP4 + audio fMP4", f"{mb(len(video))} + {mb(len(audio))}, same stream",
                len(both), {
        "quaver": lambda: _quaver.mux_fmp4_tracks(video, audio),
        "ffmpeg": s.ffmpeg_job(files, "merge"),
        "pyav": lambda: pyav_copy([video, audio], "mp4"),
        "floor": lambda: fresh_copy(both),
    }, one_call=lambda: _quaver.mux_fmp4_tracks(video, audio))]


def case_live(s):
    # No peer: neither ffmpeg nor PyAV rewrites one live segment at a time.
    import _quaver
    init, fragments = split_fragments(s.read("h264_aac_1080p_frag.mp4"))
    largest = max(fragments, key=len)

    def process_all():
        processor = _quaver.FragmentedMP4Processor()
        processor.set_init_segment(init)
        return sum(len(processor.process_segment(f)) for f in fragments)

    size = sum(map(len, fragments))
    return [Row("live", f"live processor, {len(fragments)} fragments in turn",
                f"{mb(size)} of moof+mdat, {mb(size / len(fragments))} each", size, {
        "quaver": process_all,
        "floor": lambda: sum(settle(fresh_copy(f)) for f in fragments),
        "warm copy": lambda: sum(settle(warm_copy(f)) for f in fragments),
    }, one_call=lambda: _quaver.FragmentedMP4Processor().process_segment(largest), one_call_input=len(largest))]


def case_segments(s):
    import _quaver
    import quaver
    paths = sorted(s.inputs.path("segments_360p/").glob("*.ts"))
    segments = [p.read_bytes() for p in paths]
    size = sum(map(len, segments))
    argvs, outs = [], []
    for i, path in enumerate(paths):
        outs.append(s.out(f"segment-{i}"))
        argvs.append(ffmpeg_copy_argv(s.ffmpeg, [s.on_tmpfs(path)], outs[-1]))
    # Each result sized and dropped at once...
    per_segment = {
        "quaver": lambda i: len(_quaver.convert_ts_to_mp4(segments[i])),
        "ffmpeg": lambda i: settle(run_ffmpeg(argvs[i], outs[i])),
        "pyav": lambda i: settle(pyav_copy([segments[i]], "mpegts")),
        "floor": lambda i: settle(fresh_copy(segments[i])),
        "warm copy": lambda i: settle(warm_copy(segments[i])),
        # What the machine and the interpreter allow threads that release the
        # lock for a similar time: the ceiling for the two-thread rows.
        "reference": lambda i: len(hashlib.sha256(segments[i]).digest()),
    }
    # ... or every result kept, as remux_many keeps them: the results of a
    # whole batch land in memory never touched before.
    kept = {
        "quaver": lambda i: quaver.remux(segments[i]),
        "pyav": lambda i: pyav_copy([segments[i]], "mpegts"),
        "reference": lambda i: hashlib.sha256(segments[i]).digest(),
    }
    count = range(len(segments))

    def one_thread(fn):
        return lambda: [fn(i) for i in count]

    def two_threads(fn):
        def job():
            with concurrent.futures.ThreadPoolExecutor(2) as pool:
                return list(pool.map(fn, count))
        return job

    def two_workers(fn):
        # Two threads, each taking the next segment until none is left: no
        # executor, whose bookkeeping per item holds the interpreter lock for
        # about as long as a whole conversion of a segment this small takes.
        def job():
            items, lock, results = iter(count), threading.Lock(), [None] * len(count)

            def worker():
                while True:
                    with lock:
                        i = next(items, None)
                    if i is None:
                        return
                    results[i] = fn(i)
            threads = [threading.Thread(target=worker) for _ in range(2)]
            for t in threads:
                t.start()
            for t in threads:
                t.join()
            return results
        return job

    def batch_dropped(workers):
        def job():
            total = 0
            for result in quaver.remux_iter(segments, workers=workers):
                total += len(result)
                del result  # dropped before the next one is made, as in the single-call loop
            return total
        return job

    median_segment = sorted(segments, key=len)[len(segments) // 2]
    what = f"{len(segments)} × {mb(size / len(segments))} TS, {SEGMENT_SECONDS} s 360p H.264 + AAC"
    peers = ("quaver", "ffmpeg", "pyav", "reference")
    return [
        Row("segments", f"{len(segments)} TS segments → MP4, one call each, 1 thread", what, size,
            {tool: one_thread(fn) for tool, fn in per_segment.items()},
            one_call=lambda: _quaver.convert_ts_to_mp4(median_segment), one_call_input=len(median_segment)),
        Row("segments-2t", "the same, 2 threads (a worker loop each)", what, size,
            {tool: two_workers(fn) for tool, fn in per_segment.items() if tool in peers}, threads=2),
        Row("segments-pool", "the same, 2 threads (`ThreadPoolExecutor.map`)", what, size,
            {tool: two_threads(fn) for tool, fn in per_segment.items() if tool in peers}, threads=2),
        Row("segments-iter1", "the same, `quaver.remux_iter`, 1 worker", what, size,
            {"quaver": batch_dropped(1)}),
        Row("segments-iter2", "the same, `quaver.remux_iter`, 2 workers", what, size,
            {"quaver": batch_dropped(2)}, threads=2),
        Row("segments-list", "300 TS segments → a list of MP4s, `quaver.remux` each, 1 thread", what, size,
            {tool: one_thread(fn) for tool, fn in kept.items()}),
        Row("segments-many1", "the same, `quaver.remux_many`, 1 worker", what, size,
            {"quaver": lambda: quaver.remux_many(segments, workers=1)}),
        Row("segments-many2", "the same, `quaver.remux_many`, 2 workers (peers: a worker loop each)", what, size,
            {"quaver": lambda: quaver.remux_many(segments, workers=2),
             **{tool: two_workers(fn) for tool, fn in kept.items() if tool != "quaver"}}, threads=2),
    ]


CASES = {
    "ts": case_ts,
    "unfold": case_unfold,
    "rebase": case_rebase,
    "merge": case_merge,
    "live": case_live,
    "segments": case_segments,
    "hevc": case_hevc,
}


# --- running ------------------------------------------------------------------

def run_rounds(rows, tools, rounds, rng):
    """Every job once per round, shuffled anew each round. A job that fails is
    not run again; its message is kept instead of times."""
    record = {row.name: {tool: {"seconds": [], "cpu_seconds": [], "output_bytes": [], "error": None}
                         for tool in row.jobs if tool in tools or COMPANIONS.get(tool) in tools}
              for row in rows}
    jobs = [(row, tool) for row in rows for tool in record[row.name]]
    orders = []
    for n in range(rounds):
        rng.shuffle(jobs)
        orders.append([f"{row.name}/{tool}" for row, tool in jobs])
        print(f"round {n + 1}/{rounds}: {len(jobs)} jobs", file=sys.stderr, flush=True)
        with stdout_to_devnull():
            for row, tool in jobs:
                entry = record[row.name][tool]
                if entry["error"]:
                    continue
                try:
                    seconds, cpu, result = timed(row.jobs[tool])
                    size = settle(result)
                except Exception as exc:  # a peer or quaver refusing an input is a result too
                    entry["error"] = f"{type(exc).__name__}: {exc}"
                    continue
                entry["seconds"].append(seconds)
                entry["cpu_seconds"].append(cpu)
                entry["output_bytes"].append(size)
    return record, orders


def memory_child(case, cache):
    """In a fresh process: the peak memory growth of the case's one quaver call."""
    setup = Setup(Inputs(cache))
    row = next(r for r in CASES[case](setup) if r.one_call)
    try:
        with stdout_to_devnull():
            growth, output = peak_growth(row.one_call)
        result = {"row": row.name, "growth_bytes": growth, "output_bytes": output, "input_bytes": row.one_call_input}
    except Exception as exc:
        result = {"row": row.name, "error": f"{type(exc).__name__}: {exc}"}
    print(json.dumps(result))


def measure_memory(cases, cache):
    found = {}
    for case in cases:
        print(f"memory: {case}", file=sys.stderr, flush=True)
        try:
            got = run_child([sys.executable, str(HERE / "bench.py"), "--memory-child", case, "--cache", str(cache)])
        except RuntimeError as exc:
            got = {"row": case, "error": str(exc)}
        found[got.pop("row")] = got
    return found


# --- reporting ----------------------------------------------------------------

def rate(value):
    if value is None:
        return "—"
    return f"{value:.0f}" if value >= 100 else f"{value:.1f}" if value >= 10 else f"{value:.2f}"


def summarise(rows, record, memory):
    """Medians and ratios per row."""
    summary = {}
    for row in rows:
        line = {"input_bytes": row.input_bytes, "median_seconds": {}, "mb_per_s": {}, "cpu_per_wall": {},
                "errors": {}}
        for tool, entry in record[row.name].items():
            if entry["seconds"]:
                median = statistics.median(entry["seconds"])
                line["median_seconds"][tool] = median
                line["mb_per_s"][tool] = row.input_bytes / 1e6 / median
                line["cpu_per_wall"][tool] = sum(entry["cpu_seconds"]) / sum(entry["seconds"])
                fastest = min(entry["seconds"])
                line.setdefault("fastest_mb_per_s", {})[tool] = row.input_bytes / 1e6 / fastest
                line.setdefault("stalled_rounds", {})[tool] = sum(t > 3 * fastest for t in entry["seconds"])
                line.setdefault("rounds_run", {})[tool] = len(entry["seconds"])
            if entry["error"]:
                line["errors"][tool] = entry["error"]
        if row.name in memory:
            line["memory"] = memory[row.name]
        summary[row.name] = line
    return summary


def cell(line, tool):
    if tool in line["errors"]:
        return f"error: {line['errors'][tool]}"
    return rate(line["mb_per_s"].get(tool))


def ratio(line, peer):
    q, p = line["median_seconds"].get("quaver"), line["median_seconds"].get(peer)
    return f"{p / q:.1f}×" if q and p else "—"


def memory_cell(line):
    m = line.get("memory")
    if not m:
        return "—"
    if "error" in m:
        return f"error: {m['error']}"
    over = (m["growth_bytes"] - m["output_bytes"]) / m["input_bytes"] * 100
    return f"{mb(m['growth_bytes'])} = output {mb(m['output_bytes'])} {over:+.0f} % of input"


def markdown(rows, summary):
    lines = ["| job | input | `ffmpeg -c copy` | PyAV | quaver | fresh-memory floor | quaver/ffmpeg | quaver/PyAV "
             "| peak memory growth of one call |",
             "|---|---|---|---|---|---|---|---|---|"]
    for row in rows:
        line = summary[row.name]
        lines.append(f"| {row.label} | {row.what} | {cell(line, 'ffmpeg')} | {cell(line, 'pyav')} "
                     f"| {cell(line, 'quaver')} | {cell(line, 'floor')} | {ratio(line, 'ffmpeg')} "
                     f"| {ratio(line, 'pyav')} | {memory_cell(line)} |")
    notes = ["", "MB/s of input, median of each job over the rounds. "
             "ffmpeg runs as one process per job with input and output on tmpfs."]
    notes += batch_notes(summary)
    one = summary.get("segments")
    for name, how in (("segments-2t", "with a worker loop each"), ("segments-pool", "through ThreadPoolExecutor.map")):
        two = summary.get(name)
        if not (one and two):
            continue
        ups = [f"{label} {one['median_seconds'][tool] / two['median_seconds'][tool]:.2f}×"
               for tool, label in (("quaver", "quaver"), ("ffmpeg", "ffmpeg"), ("pyav", "PyAV"),
                                   ("reference", "hashlib.sha256 of each segment (the ceiling)"))
               if tool in one["median_seconds"] and tool in two["median_seconds"]]
        if ups:
            notes.append(f"Two threads {how} against one over the segments: {', '.join(ups)}.")
    busy = [summary[row.name]["cpu_per_wall"]["quaver"] for row in rows
            if row.threads == 1 and "quaver" in summary[row.name]["cpu_per_wall"]]
    if busy:
        notes.append(f"The one-thread quaver jobs had a core for {statistics.median(busy) * 100:.0f} % of their time "
                     "(about 100 % on an idle machine; much less means other work took the CPU).")
    # A round three times slower than the job's fastest is a stall, not noise:
    # on a VM whose host takes back free guest memory, a large result that
    # lands in such memory is written several times slower.
    stalls = [f"{row.label} {summary[row.name]['stalled_rounds']['quaver']} of "
              f"{summary[row.name]['rounds_run']['quaver']} (fastest round "
              f"{rate(summary[row.name]['fastest_mb_per_s']['quaver'])} MB/s)"
              for row in rows if summary[row.name].get("stalled_rounds", {}).get("quaver")]
    if stalls:
        notes.append(f"quaver rounds over three times slower than the job's fastest: {'; '.join(stalls)}.")
    # Outputs of a few MB or less mostly land in heap memory the allocator has
    # touched before, which a fresh-memory floor does not show.
    warm = [f"{row.label}: {rate(summary[row.name]['mb_per_s']['warm copy'])} MB/s" for row in rows
            if "warm copy" in summary[row.name]["mb_per_s"]]
    if warm:
        notes.append(f"The same inputs copied into reused heap memory instead of fresh memory: {'; '.join(warm)}.")
    return "\n".join(lines + notes)


def batch_notes(summary):
    """remux_many and remux_iter against their targets: one worker no slower than the single calls
    making the same results, two workers at least 0.95 of what two threads give hashlib.sha256."""
    def seconds(row, tool="quaver"):
        return summary.get(row, {}).get("median_seconds", {}).get(tool)

    notes = []
    for kind, single, one, two, sha_one, sha_two in (
            ("remux_many (results kept)", "segments-list", "segments-many1", "segments-many2",
             "segments-list", "segments-many2"),
            ("remux_iter (each result dropped)", "segments", "segments-iter1", "segments-iter2",
             "segments", "segments-2t")):
        times = [seconds(single), seconds(one), seconds(two),
                 seconds(sha_one, "reference"), seconds(sha_two, "reference")]
        if None in times:
            continue
        single_t, one_t, two_t, sha_one_t, sha_two_t = times
        sha = sha_one_t / sha_two_t
        notes.append(f"{kind}: 1 worker {single_t / one_t:.2f}× the single calls (target ≥ 1); "
                     f"2 workers {one_t / two_t:.2f}× 1 worker ({single_t / two_t:.2f}× the single calls), "
                     f"hashlib.sha256 2 threads {sha:.2f}× 1 thread, so "
                     f"{one_t / two_t / sha:.2f} of its ratio (target ≥ 0.95).")
    return notes


def machine():
    def cpu_model():
        try:
            return next(l.split(":", 1)[1].strip() for l in open("/proc/cpuinfo") if l.startswith("model name"))
        except (OSError, StopIteration):
            return platform.processor()

    def read(path):
        try:
            return pathlib.Path(path).read_text().strip()
        except OSError:
            return None

    def git_head():
        try:
            return subprocess.run(["git", "-C", str(HERE), "describe", "--always", "--dirty"],
                                  capture_output=True, text=True, check=True).stdout.strip()
        except (OSError, subprocess.CalledProcessError):
            return None

    import av
    import _quaver
    ffmpeg = ffmpeg_exe()
    version = subprocess.run([ffmpeg, "-version"], capture_output=True, text=True).stdout.splitlines()
    return {
        "date": datetime.datetime.now().isoformat(timespec="seconds"),
        "cpu": cpu_model(), "cpus": os.cpu_count(), "load_average": os.getloadavg(),
        "kernel": platform.release(), "transparent_hugepage": read("/sys/kernel/mm/transparent_hugepage/enabled"),
        "python": sys.version.split()[0],
        "quaver": getattr(_quaver, "__version__", None), "quaver_module": _quaver.__file__, "git": git_head(),
        "ffmpeg": version[0].split(" Copyright")[0] if version else ffmpeg, "pyav": av.__version__,
        "pyav_libavformat": ".".join(map(str, av.library_versions["libavformat"])),
    }


def filesystem_type(path):
    best, kind = "", None
    for line in open("/proc/mounts"):
        mount, fstype = line.split()[1:3]
        if str(path).startswith(mount) and len(mount) > len(best):
            best, kind = mount, fstype
    return kind


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--cases", default=",".join(CASES), help=f"comma-separated subset of: {', '.join(CASES)}")
    ap.add_argument("--tools", default=",".join(TOOLS), help=f"comma-separated subset of: {', '.join(TOOLS)}")
    ap.add_argument("--rounds", type=int, default=MIN_ROUNDS, help="rounds per job (default and minimum for "
                    f"figures worth quoting: {MIN_ROUNDS})")
    ap.add_argument("--cache", type=pathlib.Path, default=DEFAULT_CACHE,
                    help="where the inputs are made and kept (default %(default)s, or $QUAVER_BENCH_CACHE)")
    ap.add_argument("--tmpfs", type=pathlib.Path, default=pathlib.Path("/dev/shm"),
                    help="tmpfs directory for ffmpeg's input and output files (default %(default)s)")
    ap.add_argument("--json", type=pathlib.Path, help="raw results file (default: CACHE/results/DATE.json)")
    ap.add_argument("--seed", type=int, help="seed of the job order (default: random, recorded in the JSON)")
    ap.add_argument("--no-memory", action="store_true", help="skip the peak-memory measurement")
    ap.add_argument("--inputs-only", action="store_true", help="make the inputs and stop")
    ap.add_argument("--memory-child", help=argparse.SUPPRESS)
    args = ap.parse_args()

    if args.memory_child:
        return memory_child(args.memory_child, args.cache)
    cases = [c for c in args.cases.split(",") if c]
    tools = [t for t in args.tools.split(",") if t]
    unknown = [c for c in cases if c not in CASES] + [t for t in tools if t not in TOOLS]
    if unknown:
        ap.error(f"unknown case or tool: {', '.join(unknown)}")
    inputs = Inputs(args.cache)
    if args.inputs_only:
        for name in RECIPES:
            print(inputs.path(name))
        return
    if args.rounds < MIN_ROUNDS:
        print(f"note: {args.rounds} rounds; quote only medians of {MIN_ROUNDS} or more", file=sys.stderr)
    if "ffmpeg" in tools and filesystem_type(args.tmpfs) != "tmpfs":
        print(f"note: {args.tmpfs} is not tmpfs; ffmpeg's file I/O is not free there", file=sys.stderr)
    seed = args.seed if args.seed is not None else random.SystemRandom().randrange(2**32)

    tmp = pathlib.Path(tempfile.mkdtemp(prefix="quaver-bench-", dir=args.tmpfs))
    try:
        setup = Setup(inputs, tmp)
        rows = [row for case in cases for row in CASES[case](setup)]
        info = machine()
        record, orders = run_rounds(rows, tools, args.rounds, random.Random(seed))
    finally:
        shutil.rmtree(tmp, ignore_errors=True)
    memory = {} if args.no_memory or "quaver" not in tools else measure_memory(cases, args.cache)
    info["load_average_after"] = os.getloadavg()
    summary = summarise(rows, record, memory)
    table = markdown(rows, summary)

    out = args.json or args.cache / "results" / f"{datetime.datetime.now():%Y%m%d-%H%M%S}.json"
    out.parent.mkdir(parents=True, exist_ok=True)
    out.write_text(json.dumps({
        "machine": info, "rounds": args.rounds, "seed": seed, "cases": cases, "tools": tools,
        "inputs": {name: entry.get("argv") for name, entry in inputs.describe().items()},
        "rows": {row.name: {"job": row.label, "input": row.what, "input_bytes": row.input_bytes,
                            "rounds": record[row.name], **summary[row.name]} for row in rows},
        "round_orders": orders, "markdown": table,
    }, indent=1))
    print(table)
    print(f"\n{info['date']}, {info['cpus']} × {info['cpu']}, load {info['load_average'][0]:.1f} before and "
          f"{info['load_average_after'][0]:.1f} after; {info['ffmpeg']}; PyAV {info['pyav']} "
          f"(libavformat {info['pyav_libavformat']}); quaver {info['quaver']} ({info['git']}) from "
          f"{info['quaver_module']}; {args.rounds} rounds, seed {seed}.\nRaw figures: {out}")


if __name__ == "__main__":
    main()
