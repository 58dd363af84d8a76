"""quaver.remux, quaver.thumbnail and report sinks: the job chosen by content, quiet by default."""
import io
import pathlib
import subprocess
import sys
import threading

import pytest

import _quaver
import quaver
from quaver import _native
from builders import START, aud, box, nal, pes, pps, sps, ts_stream

TS_REPORT = ["Found PIDs - Video: 256, Audio: 257", "Total audio frames collected: 95",
             "Total video frames collected: 50", "Audio PTS range: 127680 - 281280 (1.42 - 3.13 sec)",
             "Video PTS range: 129600 - 302400 (1.44 - 3.36 sec)"]


@pytest.mark.parametrize("name, kind, exact", [
    ("sample.ts", "ts", lambda d: _quaver.convert_ts_to_mp4(d)),
    # M2TS (192-byte packets) is read in place, by _quaver too.
    ("sample.m2ts", "ts", lambda d: _quaver.convert_ts_to_mp4(d)),
    ("frag_av.mp4", "fmp4", _quaver.defragment_mp4),
    ("cmaf_segments.mp4", "fmp4", _quaver.defragment_mp4),
    ("frag_late_start.mp4", "fmp4", _quaver.defragment_mp4),
    ("regular_faststart.mp4", "mp4", _quaver.convert_mp4_reset_timestamps),
    ("regular_moov_end.mp4", "mp4", _quaver.convert_mp4_reset_timestamps),
    ("partial_frag.mp4", "fmp4", _quaver.defragment_mp4),
    ("co64:nal2:regular_negative_cts.mp4", "mp4", _quaver.convert_mp4_reset_timestamps),
    # An encrypted regular file is rebased with its encryption data where it was.
    ("cenc_regular.mp4", "mp4", _quaver.convert_mp4_reset_timestamps),
    # Refused: a media segment alone, and an initialisation segment alone,
    # whose rebased copy would hold no sample.
    ("live_0.m4s", "segment", (quaver.UnsupportedInput, "without its initialisation segment")),
    ("live_init.mp4", "mp4", (quaver.NothingToDo, "^nothing to write: the result would hold no samples")),
])
def test_the_job_follows_the_content(name, kind, exact, fragmented_fixture, capfd):
    data = fragmented_fixture(name)
    assert _native.detect_format(data) == kind
    # Whatever the input is called, it is recognised by its bytes alone.
    assert _native.detect_format(data + b"\x00" * 3) == kind
    if isinstance(exact, tuple):
        with pytest.raises(exact[0], match=exact[1]):
            quaver.remux(data)
        return
    expected = exact(data)
    capfd.readouterr()
    assert quaver.remux(data) == expected
    assert quaver.remux(bytearray(data)) == expected
    assert quaver.remux(memoryview(data)) == expected
    assert capfd.readouterr() == ("", "")


def test_key_frames_of_every_kind(fixture_bytes, capfd):
    ts, regular, frag = (fixture_bytes(n) for n in ("sample.ts", "regular_faststart.mp4", "frag_av.mp4"))
    assert quaver.thumbnail(ts) == _quaver.extract_thumbnail_from_ts(ts)
    assert quaver.thumbnail(regular) == _quaver.extract_thumbnail_from_mp4(regular)
    assert quaver.thumbnail(frag) == _quaver.extract_thumbnail_from_mp4(frag)
    capfd.readouterr()
    quaver.thumbnail(ts)
    assert capfd.readouterr() == ("", "")


@pytest.mark.parametrize("data, message", [
    (b"", "empty input"),  # NothingToDo; every other one is an UnsupportedInput
    (b"hello world", "not a transport stream or an MP4: unrecognised content, first bytes 68 65 6c 6c 6f 20 77 6f"),
    (b"#EXTM3U\n#EXT-X-VERSION:3\n", "an HLS playlist; give the segments it lists instead"),
    (b"\x1a\x45\xdf\xa3" + bytes(40), "a Matroska or WebM file"),
    (b"RIFF\x00\x00\x00\x00AVI LIST", "a RIFF file"),
    (b"\xff\xf1\x50\x80" + bytes(20), "a raw AAC (ADTS) stream"),
    (b"\x00\x00\x00\x01\x67\x64" + bytes(20), "a raw video elementary stream"),
    (box("ftyp", b"isom\x00\x00\x02\x00") + box("mdat", b"x" * 9), "an MP4 without a moov box"),
    # One sync byte, but not every 188 bytes after it.
    (b"\x47" + bytes(400), "unrecognised content"),
])
def test_unsupported_inputs_say_what_they_look_like(data, message):
    kind = quaver.NothingToDo if not data else quaver.UnsupportedInput
    for call in (_native.detect_format, quaver.remux, quaver.thumbnail):
        with pytest.raises(kind, match=message.replace("(", r"\(").replace(")", r"\)")):
            call(data)


# Junk in front of the first packet: bytes that hold sync bytes, but never
# five a packet apart; zero padding; and the tail of a packet cut short.
JUNK = [bytes((i * 71 + 0x47) % 256 for i in range(300)), bytes(1000), b"\x47" + bytes(100),
        (b"\x47" + bytes(187)) * 4 + bytes(5)]


@pytest.mark.parametrize("junk", JUNK, ids=["300 bytes", "1000 zeros", "cut packet", "four packets apart"])
@pytest.mark.parametrize("name, sniffed", [("sample.ts", "ts"), ("sample.m2ts", "m2ts")])
def test_a_transport_stream_behind_junk_is_read_from_its_first_packet(junk, name, sniffed, fixture_bytes, capfd):
    ts = fixture_bytes(name)
    assert _native.detect_format(junk + ts) == "ts"
    assert _native.sniff((junk + ts)[:_native.SNIFF_LENGTH]) == sniffed
    assert quaver.remux(junk + ts) == _quaver.convert_ts_to_mp4(ts)
    assert quaver.thumbnail(junk + ts) == _quaver.extract_thumbnail_from_ts(ts)
    capfd.readouterr()


def test_junk_is_looked_through_for_64_kib_and_one_packet_only(fixture_bytes):
    ts = fixture_bytes("sample.ts")
    assert quaver.remux(bytes(64 * 1024 + 187) + ts)
    with pytest.raises(quaver.UnsupportedInput, match="unrecognised content, first bytes 00 00"):
        quaver.remux(bytes(64 * 1024 + 188) + ts)
    # Past the first packet's width, a stream needs five packets to be taken.
    short = b"".join(b"\x47" + bytes(187) for _ in range(4))
    assert _native.detect_format(short) == "ts"
    with pytest.raises(quaver.UnsupportedInput):
        _native.detect_format(bytes(188) + short)
    assert _native.sniff(bytes(188) + short + b"\x47" + bytes(187)) == "ts"
    assert _native.sniff(b"\x00\x00\x00\x20ftypisom") == "mp4" and _native.sniff(b"hello") is None
    assert _native.sniff((bytes(4) + b"\x47" + bytes(187)) * 6) == "m2ts"


ENCRYPTED = 'Encrypted track 1 (scheme "cenc"): quaver does not decrypt'


# Each core message reaches _quaver as a plain ValueError and the package as
# the class of its kind, with the same text.
@pytest.mark.parametrize("exact, package, data, kind, message", [
    (_quaver.defragment_mp4, _native.defragment_mp4, "regular_faststart.mp4", quaver.UnsupportedInput,
     "Not a fragmented MP4"),
    (_quaver.defragment_mp4, _native.defragment_mp4, "live_0.m4s", quaver.UnsupportedInput, "moov box not found"),
    (_quaver.reset_mp4_timestamps, _native.reset_mp4_timestamps, "live_0.m4s", quaver.UnsupportedInput,
     "moov box not found"),
    (_quaver.convert_mp4_reset_timestamps, _native.convert_mp4_reset_timestamps, "sample.ts", quaver.DamagedInput,
     "Box size 1195381008 exceeds available data"),
    (_quaver.defragment_mp4, _native.defragment_mp4, b"\x00\x00\x00\x10moof" + bytes(4), quaver.DamagedInput,
     "Box size 16 exceeds available data"),
    (_quaver.convert_ts_to_mp4, quaver.remux, ts_stream([], [pes(b"\xff\xf1", pts=9000, stream_id=0xC0)]),
     quaver.NothingToDo, "No video data found"),
    (_quaver.extract_thumbnail_from_ts, quaver.thumbnail, ts_stream([pes(aud() + START + sps(), pts=9000)]),
     quaver.NothingToDo, "No I-frame found in video stream"),
    (_quaver.extract_thumbnail_from_mp4, lambda d: _native.key_frame(d, kind="mp4"), b"", quaver.NothingToDo,
     'Box "mdat" not found'),
    (_quaver.extract_thumbnail_from_mp4, lambda d: _native.key_frame(d, kind="mp4"), "live_init.mp4",
     quaver.NothingToDo, 'Box "mdat" not found'),
    (_quaver.extract_thumbnail_from_ts, lambda d: _native.key_frame(d, kind="ts"), b"", quaver.UnsupportedInput,
     "No valid TS sync byte found"),
    # quaver does not decrypt: unfolding would drop the encryption data, and
    # encrypted slices are no key frame.
    (_quaver.defragment_mp4, quaver.remux, "cenc_frag.mp4", quaver.UnsupportedInput, ENCRYPTED),
    (lambda d: _quaver.mux_fmp4_tracks(d, d), lambda d: quaver.merge(d, d), "cenc_frag.mp4", quaver.UnsupportedInput,
     ENCRYPTED),
    (_quaver.extract_thumbnail_from_mp4, quaver.thumbnail, "cenc_frag.mp4", quaver.UnsupportedInput, ENCRYPTED),
    (_quaver.extract_thumbnail_from_mp4, quaver.thumbnail, "cenc_regular.mp4", quaver.UnsupportedInput, ENCRYPTED),
])
def test_errors_keep_their_message_and_get_their_kind(exact, package, data, kind, message, fixture_bytes, capfd):
    data = fixture_bytes(data) if isinstance(data, str) else data
    with pytest.raises(ValueError) as plain:
        exact(data)
    assert type(plain.value) is ValueError and str(plain.value) == message
    with pytest.raises(kind) as e:
        package(data)
    assert str(e.value) == message and isinstance(e.value, quaver.Error) and isinstance(e.value, ValueError)
    capfd.readouterr()


def test_a_key_frame_needs_video_and_comes_with_its_codec(fixture_bytes):
    with pytest.raises(quaver.NothingToDo, match="no video track"):
        quaver.thumbnail(fixture_bytes("frag_audio.mp4"))
    for name, codec in [("sample.ts", "h264"), ("hevc_aac.ts", "hevc"), ("hevc_hvc1.mp4", "hevc"),
                        ("hevc_frag.mp4", "hevc"), ("frag_av.mp4", "h264")]:
        assert _native.key_frame(fixture_bytes(name)) == (codec, quaver.thumbnail(fixture_bytes(name)))


def test_a_damaged_mp4_reaches_the_job_that_names_the_damage(fixture_bytes):
    cut = fixture_bytes("frag_av.mp4")[:-3000]
    assert _native.detect_format(cut) == "fmp4"
    with pytest.raises(ValueError) as e:
        quaver.remux(cut)
    with pytest.raises(ValueError) as exact:
        _quaver.defragment_mp4(cut)
    assert str(e.value) == str(exact.value)


def test_streams_chosen_by_pid_or_track_id(fixture_bytes, capfd):
    two = fixture_bytes("two_audio.ts")
    both = quaver.remux(two, audio=[258, 257])
    assert [t["codec"] for t in quaver.probe(both)["tracks"]] == ["h264", "ac3", "aac"]
    # One audio stream named is today's file; none keeps the video alone; a video PID picks the programme.
    assert quaver.remux(two, audio=257) == quaver.remux(two) == _quaver.convert_ts_to_mp4(two)
    assert [t["kind"] for t in quaver.probe(quaver.remux(two, audio="none"))["tracks"]] == ["video"]
    assert quaver.probe(two, audio=[258])["tracks"][2]["kept"]
    programs = fixture_bytes("two_programs.ts")
    second = quaver.probe(quaver.remux(programs, video=258))
    assert [(t["kind"], t["samples"]) for t in second["tracks"]] == [("video", 30), ("audio", 58)]
    assert [t["kept"] for t in quaver.probe(programs, video=258)["tracks"]] == [False, False, True, True]
    with pytest.raises(quaver.NothingToDo, match=r"^PID 257 is audio \(AAC\), not video \(its video: PID 256 \(H.264\), "
                                                 r"PID 258 \(H.264\)\)$"):
        quaver.remux(programs, video=257)
    # An MP4 keeps the tracks named: an unfolded one without the others, a rebased one with each
    # left out as a free box where it was.
    frag = fixture_bytes("frag_av.mp4")
    assert [t["kind"] for t in quaver.probe(quaver.remux(frag, audio="none"))["tracks"]] == ["video"]
    assert quaver.remux(frag, video=1, audio=2) == quaver.remux(frag)
    aac = quaver.remux(both, audio=3)
    assert len(aac) == len(both) and [t["codec"] for t in quaver.probe(aac)["tracks"]] == ["h264", "aac"]
    alternates = quaver.remux(both, audio=[3, 2])
    assert len(alternates) == len(both) and [t["track_id"] for t in quaver.probe(alternates)["tracks"]] == [1, 2, 3]
    with pytest.raises(quaver.NothingToDo, match=r"no video track with ID 2 in the input \(its video tracks: 1\)"):
        quaver.remux(frag, video=2)
    capfd.readouterr()


def test_arguments_are_checked():
    with pytest.raises(FileNotFoundError):
        quaver.remux("no such file.ts")  # a str is a path
    with pytest.raises(TypeError, match="data must be bytes-like, not int"):
        quaver.remux(5)
    with pytest.raises(TypeError, match="data must be bytes-like, not int"):
        quaver.thumbnail(5)
    with pytest.raises(TypeError, match="report must be None, a callable or a writable text file"):
        quaver.remux(b"", report=42)
    with pytest.raises(TypeError):
        quaver.remux(b"", None, False)  # overwrite and report are keyword-only
    with pytest.raises(TypeError, match="argument 'report': 'int' object is not callable"):
        _native.remux(b"", 42)
    with pytest.raises(TypeError, match="video must be a PID or track ID \\(an int\\), not str"):
        quaver.remux(b"", video="256")
    with pytest.raises(TypeError, match="audio must be a PID or track ID \\(an int\\), not bool"):
        quaver.probe(b"", audio=[True])
    with pytest.raises(ValueError, match="audio must be 'none', a PID or track ID"):
        quaver.remux(b"", audio="all")
    with pytest.raises(ValueError, match="argument 'video': a PID or track ID runs from 0 to 4294967295"):
        _native.remux(b"", None, -1)


# ---- report sinks --------------------------------------------------------------


def test_report_sinks_get_the_lines_and_descriptor_1_stays_untouched(fixture_bytes, capfd):
    data = fixture_bytes("sample.ts")
    lines = []
    quaver.remux(data, report=lines.append)
    text = io.StringIO()
    quaver.remux(data, report=text)
    thumb_lines = []
    quaver.thumbnail(data, report=thumb_lines.append)
    assert lines == TS_REPORT and thumb_lines == TS_REPORT
    assert text.getvalue() == "".join(line + "\n" for line in TS_REPORT)
    # MP4 inputs have nothing to report.
    quaver.remux(fixture_bytes("frag_av.mp4"), report=lines.append)
    assert lines == TS_REPORT
    assert capfd.readouterr() == ("", "")


def test_lines_arrive_before_the_failure_they_led_to(capfd):
    no_video = ts_stream([], [pes(b"\xff\xf1", pts=9000, stream_id=0xC0)])
    lines = []
    with pytest.raises(ValueError, match="No video data found"):
        quaver.remux(no_video, report=lines.append)
    assert lines[0].startswith("Found PIDs") and "Total video frames collected: 0" in lines
    assert capfd.readouterr() == ("", "")


def test_a_failing_sink_is_the_error_the_caller_sees(fixture_bytes):
    def sink(line):
        raise RuntimeError(f"sink refused {line!r}")

    with pytest.raises(RuntimeError, match="sink refused 'Found PIDs"):
        quaver.remux(fixture_bytes("sample.ts"), report=sink)
    # Also when the job itself failed: the sink's error is the one raised.
    no_video = ts_stream([], [pes(b"\xff\xf1", pts=9000, stream_id=0xC0)])
    with pytest.raises(RuntimeError):
        quaver.remux(no_video, report=sink)


def test_threads_with_their_own_sinks_get_only_their_own_lines(fixture_bytes, capfd):
    # Four different streams, each converted repeatedly by its own thread: a
    # line reaching the wrong sink, or descriptor 1, shows at once.
    crafted = ts_stream([pes(aud() + START + sps() + START + pps() + nal(5, b"\x88" * 40), pts=9000)])
    streams = [fixture_bytes("sample.ts"), fixture_bytes("late_audio_44k.ts"), fixture_bytes("video_only.ts"),
               crafted]
    expected = []
    for data in streams:
        lines = []
        quaver.remux(data, report=lines.append)
        expected.append(lines)
    assert len({tuple(e) for e in expected}) == 4
    received = [[] for _ in streams]
    start = threading.Barrier(len(streams))

    def work(k):
        start.wait()
        for _ in range(15):
            quaver.remux(streams[k], report=received[k].append)

    threads = [threading.Thread(target=work, args=(k,)) for k in range(len(streams))]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert received == [e * 15 for e in expected]
    assert capfd.readouterr() == ("", "")


# ---- files ---------------------------------------------------------------------

DATA = pathlib.Path(__file__).parent / "data"
REAL = sorted(p.name for p in DATA.iterdir() if p.suffix in (".ts", ".m2ts", ".mp4", ".m4s"))


@pytest.mark.parametrize("name", REAL)
def test_files_give_the_bytes_of_the_bytes_api(name, tmp_path, fixture_bytes, limit_32_bits):
    """Path to file, path to bytes and bytes to file: the same result or the same refusal, and
    nothing left beside the output."""
    data = fixture_bytes(name)
    lines, file_lines = [], []

    def outcome(call):
        try:
            result = call()
        except ValueError as exc:
            return type(exc), str(exc)
        return (tmp_path / "out.mp4").read_bytes() if result is None else result

    expected = outcome(lambda: quaver.remux(data, report=lines.append))
    for call in (lambda: quaver.remux(DATA / name, tmp_path / "out.mp4", report=file_lines.append),
                 lambda: quaver.remux(str(DATA / name)),
                 lambda: quaver.remux(bytearray(data), str(tmp_path / "out.mp4"), overwrite=True)):
        assert outcome(call) == expected
    assert file_lines == lines
    assert [p.name for p in tmp_path.iterdir()] == (["out.mp4"] if isinstance(expected, bytes) else [])
    # Streams left out: an MP4 result is patched in place after it is written.
    assert outcome(lambda: quaver.remux(DATA / name, tmp_path / "out.mp4", overwrite=True, audio="none")) == \
        outcome(lambda: quaver.remux(data, audio="none"))
    # The 64-bit layouts, as beyond 4 GiB.
    limit_32_bits(1000)
    assert outcome(lambda: quaver.remux(DATA / name, tmp_path / "out.mp4", overwrite=True)) == \
        outcome(lambda: quaver.remux(data))


def test_an_existing_output_is_replaced_only_when_asked(tmp_path, fixture_bytes):
    out = tmp_path / "out.mp4"
    out.write_bytes(b"keep")
    with pytest.raises(FileExistsError, match="give overwrite=True"):
        quaver.remux(DATA / "sample.ts", out)
    # A refused input leaves the existing file as it was.
    with pytest.raises(quaver.UnsupportedInput):
        quaver.remux(b"#EXTM3U\n", out, overwrite=True)
    assert out.read_bytes() == b"keep"
    assert quaver.remux(DATA / "sample.ts", out, overwrite=True) is None
    assert out.read_bytes() == quaver.remux(fixture_bytes("sample.ts"))
    assert [p.name for p in tmp_path.iterdir()] == ["out.mp4"]
    with pytest.raises(FileNotFoundError):
        quaver.remux(DATA / "sample.ts", tmp_path / "no folder" / "out.mp4")
    with pytest.raises(IsADirectoryError):
        quaver.remux(tmp_path, tmp_path / "x.mp4")


def test_an_interrupted_conversion_leaves_no_file(tmp_path, monkeypatch):
    def interrupted(*args):
        raise KeyboardInterrupt

    monkeypatch.setattr(_native, "remux_file", interrupted)
    with pytest.raises(KeyboardInterrupt):
        quaver.remux(DATA / "sample.ts", tmp_path / "out.mp4")
    assert list(tmp_path.iterdir()) == []


def test_an_input_cut_while_it_is_read_is_an_error(tmp_path):
    """A file truncated under the conversion gives an error, never a crash, with Python's
    fault handler installed as under pytest."""
    from builders import repeat_ts
    src = tmp_path / "in.ts"
    repeat_ts((DATA / "dense.ts").read_bytes(), src, 300 << 20, period=117120)
    script = f"""
import faulthandler, os, threading, quaver
faulthandler.enable()
cut = threading.Timer(0.15, lambda: os.truncate({str(src)!r}, 1 << 20))
cut.start()
try:
    quaver.remux({str(src)!r}, {str(tmp_path / "out.mp4")!r})
except quaver.DamagedInput as exc:
    print(exc)
"""
    run = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=120)
    assert run.returncode == 0, run.stderr
    assert run.stdout == "the input file changed while it was being converted (cut short or rewritten)\n"
    assert sorted(p.name for p in tmp_path.iterdir()) == ["in.ts"]
