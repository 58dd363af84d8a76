"""Throughput and memory of convert_ts_to_mp4 against a peer remuxer (PyAV).

    python bench/bench_convert.py [--repeat N] [--rounds N]

The input is tests/data/sample.ts repeated N times, a long valid stream.
Reports the best time of each, MB/s of input, and the peak resident memory
growth of one quaver conversion measured in a fresh process.
"""
import argparse
import os
import pathlib
import subprocess
import sys

from common import best_of, pyav_remux

ROOT = pathlib.Path(__file__).resolve().parent.parent
SAMPLE = ROOT / "tests" / "data" / "sample.ts"


def quiet_fd1():
    saved = os.dup(1)
    devnull = os.open(os.devnull, os.O_WRONLY)
    os.dup2(devnull, 1)
    os.close(devnull)
    return saved


def peak_rss_child(repeat):
    code = (
        "import sys,os,_quaver;"
        # VmHWM, unlike ru_maxrss, is not inherited from the forking parent.
        "hwm=lambda:int([l for l in open('/proc/self/status') if l.startswith('VmHWM')][0].split()[1]);"
        f"d=open({str(SAMPLE)!r},'rb').read()*{repeat};"
        "os.dup2(os.open(os.devnull,os.O_WRONLY),1);"
        "before=hwm();"
        "o=_quaver.convert_ts_to_mp4(d);"
        "after=hwm();"
        "sys.stderr.write('%d %d %d'%(len(d),len(o),(after-before)*1024))"
    )
    r = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    return [int(x) for x in r.stderr.split()]


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--repeat", type=int, default=300)
    ap.add_argument("--rounds", type=int, default=5)
    args = ap.parse_args()
    import _quaver

    data = SAMPLE.read_bytes() * args.repeat
    mb = len(data) / 1e6
    saved = quiet_fd1()
    try:
        t_quaver = best_of(args.rounds, lambda: _quaver.convert_ts_to_mp4(data))
        try:
            t_pyav = best_of(max(1, args.rounds // 2), lambda: pyav_remux(data, "mpegts"))
        except Exception as exc:  # the peer is optional
            t_pyav = None
            print(f"pyav: {exc}", file=sys.stderr)
    finally:
        os.dup2(saved, 1)
        os.close(saved)
    print(f"input {mb:.1f} MB")
    print(f"quaver convert_ts_to_mp4: {t_quaver * 1e3:8.1f} ms  {mb / t_quaver:8.0f} MB/s")
    if t_pyav:
        print(f"PyAV remux (peer):        {t_pyav * 1e3:8.1f} ms  {mb / t_pyav:8.0f} MB/s")
    size_in, size_out, grown = peak_rss_child(args.repeat)
    print(f"peak RSS growth of one conversion: {grown / 1e6:.1f} MB "
          f"(input {size_in / 1e6:.1f} MB, output {size_out / 1e6:.1f} MB)")


if __name__ == "__main__":
    main()
