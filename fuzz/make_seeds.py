"""Writes the seed corpus of each fuzz target into OUT/<target>/.

    python3 fuzz/make_seeds.py OUT [TARGET...]

fuzz/targets.txt says where each target's seeds come from: glob patterns of
files in tests/data, copied as they are, and @recipes, the hand-made edge
inputs below, built with the test suite's builders (nothing binary is kept
in the repository). Inputs that carry several files (merging, live
segments) use the framing of fuzz/fuzz_target.hpp. The same seeds serve the
libFuzzer runs (fuzz/run.sh) and CI's replay (.ci/sanitize).
"""
import pathlib
import struct
import sys

ROOT = pathlib.Path(__file__).resolve().parent.parent
DATA = ROOT / "tests" / "data"
sys.path.insert(0, str(ROOT / "tests"))

from builders import (RECOVERY_POINT, START, ac3_frame, adts_frame, aud, box, box_sizes_beyond_the_input, claimed_samples,  # noqa: E402
                      eac3_frame, fragment, full_box, hevc_key_unit, hevc_nal, hevc_pps, hevc_sps, hevc_vps,
                      init_moov, loas_frame, mpeg2_unit, mpeg_audio_frame, init_trak, opus_packet, opus_toc,
                      live_segment, lying_adts_lengths, lying_pes_lengths, mdhd,
                      moof, mvhd, nal, one_sample_fragments, partially_fragmented, pat, pes, placed_moof, pmt, pps,
                      regular_mp4, runs_on_the_same_bytes, sei, set_track_id, simple_trak, slice_nal, sps,
                      started_inside_pes, stsz_beyond_the_file,
                      table_samples_on_the_same_bytes, tfdt, tfhd, tiny_adts_frames, tiny_nal_units, tkhd, traf,
                      traf_body, trun, ts_packet, ts_stream)


def frames(*parts):
    """Length-prefixed frames, as the multi-input targets split them."""
    return b"".join(struct.pack(">I", len(p)) + p for p in parts)


def data(name):
    return (DATA / name).read_bytes()


PICTURE = aud() + START + sps() + START + pps() + nal(5, b"\x88\x84\x21\xa0" * 8)
FTYP = box("ftyp", b"iso6\x00\x00\x02\x00iso6mp41")
BEYOND_64 = struct.pack(">I", 1) + b"free" + struct.pack(">Q", 1 << 62)


def crafted_fragmented():
    moov = init_moov(init_trak(1, 90000, tkhd_box=tkhd(1, version=1), mdhd_box=mdhd(90000, version=1)),
                     init_trak(2, 48000, handler="soun"), mvhd_box=mvhd(1000, version=1))
    return FTYP + moov + fragment((1, [b"\x01" * 40, b"\x02" * 9]), (2, [b"\x03" * 7])) + fragment(
        (2, [b"\x04" * 3]), (1, [b"\x05" * 11]))


def every_run_field():
    """A version 1 trun with every per-sample field, first-sample flags and a negative offset."""
    samples = [{"duration": 3000, "size": 5, "flags": 0x01010000, "cto": -3000 + 1000 * i} for i in range(4)]

    def trafs(base):
        return [traf(tfhd(1, flags=0x01010000), tfdt(90000), trun(samples, data_offset=base, version=1,
                                                                  first_sample_flags=0x02000000))]
    return FTYP + init_moov(init_trak(1, 90000)) + placed_moof(trafs) + box("mdat", b"\x00\x00\x00\x01\x65" * 4)


def negative_data_offset():
    def trafs(base):
        return [traf(tfhd(1, duration=1), trun([{"size": 4}, {"size": 4}], data_offset=-base))]
    return FTYP + init_moov(init_trak(1, 90000)) + placed_moof(trafs) + box("mdat", bytes(8))


def random_access_streams():
    """Streams that start mid-GOP (a recovery point SEI, leading pictures), with neither
    IDR nor SEI (the all-intra fallback), with field pictures, and with SEI sizes that lie."""
    head = START + sps() + START + pps()
    units = [slice_nal(slice_type=5), sei(RECOVERY_POINT) + slice_nal(slice_type=7), slice_nal(slice_type=6),
             slice_nal(slice_type=5)]
    stamps = [(4, 1), (7, 2), (5, 3), (10, 4)]
    mid_gop = ts_stream([pes(aud() + (head if i == 0 else b"") + u, pts=9000 + 3600 * p, dts=9000 + 3600 * d)
                         for i, (u, (p, d)) in enumerate(zip(units, stamps))])
    intra = ts_stream([pes(aud() + head + slice_nal(slice_type=5), pts=9000),
                       pes(aud() + slice_nal(slice_type=7) + slice_nal(slice_type=7, first_mb=1), pts=12600)])
    field_head = START + sps(frame_mbs_only=0) + START + pps()
    fields = ts_stream([pes(aud() + (field_head if i == 0 else b"") +
                            slice_nal(5 if i < 2 else 1, slice_type=7, frame_num=i // 2, field=f), pts=9000 + 1800 * i)
                        for i, f in enumerate(["top", "bottom", "bottom", "top", "frame"])])
    lying = ts_stream([pes(aud() + head + nal(6, b"\xff" * 30 + b"\x06\xff\xff\xff\x80") + slice_nal(slice_type=7),
                           pts=9000)])
    return {"mid_gop_recovery_point": mid_gop, "all_intra_pictures": intra, "field_pairs": fields,
            "sei_sizes_that_lie": lying, "open_gop_cut": started_inside_pes(data("open_gop.ts"), 0x100, 5)}


def ts_edges():
    tables = ts_packet(0, pat(0x1000), pusi=True) + ts_packet(0x1000, pmt([(0x1B, 0x100), (0x0F, 0x101)]), pusi=True)
    audio = [pes(adts_frame(bytes(20)) * 3, pts=9000 + 1920 * i, stream_id=0xC0) for i in range(3)]
    crafted = ts_stream([pes(PICTURE, pts=9000, dts=5400), pes(aud() + nal(1, b"\x9a" * 30), pts=12600)], audio)
    head = data("sample.ts")[:188 * 150]
    with_nit = ts_packet(0, pat(0x1000, entries=[(0, 0x10), (1, 0x1000)]), pusi=True) + crafted[188:]
    return {
        "empty": b"",
        "sync_byte": b"\x47",
        "tables_only": tables,
        "crafted": crafted,
        "network_program_first": with_nit,
        "sample_head": head,
        "sample_head_resync": head[:188 * 10 + 50] + b"\x00\x47\x12" + head[188 * 10 + 50:],
        "sample_head_cut": head[:188 * 40 + 97],
        "pes_lengths_that_lie": lying_pes_lengths(4),
        "adts_lengths_that_lie": lying_adts_lengths(8),
        "tiny_nal_units": tiny_nal_units(256),
        "tiny_adts_frames": tiny_adts_frames(256),
        **random_access_streams(),
    }


def regular_edges():
    sample = b"\x00\x00\x00\x05" + nal(5, b"\x88\x84\x21\xa0", start_code=b"")

    def trak(table):
        return lambda body: simple_trak("vide", [len(sample)], chunk_offset=body, table=table)
    return {
        "stco": regular_mp4([trak("stco")], sample),
        "co64_moov_last": regular_mp4([trak("co64")], sample, moov_first=False),
        "stsz_beyond_the_file": stsz_beyond_the_file(16),
        "box_64_bit_beyond_the_file": regular_mp4([trak("stco")], sample) + BEYOND_64,
        "mdat_to_the_end": regular_mp4([trak("stco")], sample, moov_first=True)[:-len(sample) - 8]
        + struct.pack(">I", 0) + b"mdat" + sample,
    }


def fragmented_edges():
    return {
        "crafted": crafted_fragmented(),
        "every_run_field": every_run_field(),
        "negative_data_offset": negative_data_offset(),
        "trun_count_default_sizes": claimed_samples(64),
        "trun_count_one_byte_samples": claimed_samples(64, sample_size=1),
        "trun_count_beyond_the_input": claimed_samples(64, count=0xFFFFFFFF),
        "one_sample_fragments": one_sample_fragments(16),
        "runs_on_the_same_bytes": runs_on_the_same_bytes(8, size=64),
        "box_64_bit_beyond_parent": box_sizes_beyond_the_input(4, at_the_end=False),
        "box_64_bit_beyond_the_file": box_sizes_beyond_the_input(4),
        "partially_fragmented": partially_fragmented([b"\x01" * 40, b"\x02" * 9], [b"\x03" * 11]),
        "moov_samples_on_the_same_bytes": table_samples_on_the_same_bytes(8, size=64),
    }


def merge_pairs():
    audio = set_track_id(data("frag_audio.mp4"), 2)
    crafted_audio = FTYP + init_moov(init_trak(2, 48000, handler="soun")) + fragment((2, [b"\x03" * 7] * 3))
    crafted_video = FTYP + init_moov(init_trak(1, 90000)) + fragment((1, [b"\x01" * 40, b"\x02" * 9]))
    return {
        "video_and_audio": frames(data("frag_video.mp4")) + audio,
        "dash_pair_both_track_1": frames(data("dash/video.mp4")) + data("dash/audio.mp4"),
        "crafted": frames(crafted_video) + crafted_audio,
        "repeated_track_id": frames(crafted_video) + crafted_video,
        "two_tracks_and_one": frames(crafted_fragmented()) + set_track_id(crafted_audio, 3),
        "claimed_samples_and_audio": frames(claimed_samples(64)) + crafted_audio,
        "empty": frames(b""),
    }


def segment_sequences():
    live = [data(f"live_{k}.m4s") for k in range(3)]
    crafted = [live_segment(traf_body(1, 90000 * k + 7, version=k % 2), traf_body(2, 48000 * k), sequence=k)
               for k in range(1, 4)]
    short_tfdt = live_segment(box("tfhd", bytes(8)) + full_box("tfdt", 1, 0, bytes(4)))
    zero_size = box("styp", b"msdh") + struct.pack(">I", 0) + b"moof"
    return {
        "init_and_live": frames(data("live_init.mp4"), *live),
        "init_and_live_av": frames(*(data(f"hls_live/{n}") for n in ("init.mp4", "seg0.m4s", "seg1.m4s"))),
        "live_heads": frames(*(s[:3000] for s in live)),
        "crafted": frames(*crafted),
        "short_tfdt_then_crafted": frames(short_tfdt, *crafted),
        "zero_box_size": frames(crafted[0], zero_size, crafted[1]),
        "truncated": frames(crafted[0][:50], crafted[1][:-3]),
        "one_sample_fragments": frames(one_sample_fragments(8)),
        "moof_without_traf": frames(box("moof", full_box("mfhd", 0, 0, bytes(4)))),
    }


def audio_elementary_streams():
    return {
        "ac3": ac3_frame() * 3 + ac3_frame(fscod=1, frmsizecod=9, acmod=7, lfeon=1) * 2,
        "ac3_lying_length": ac3_frame(size=40) * 4 + ac3_frame(),
        "eac3_5_1": eac3_frame(acmod=7, lfeon=1, bsmod=2) * 3,
        "eac3_blocks_and_dependent": (eac3_frame(blocks=3) + eac3_frame(strmtyp=1, chanmap=0x0400, size=128)) * 4,
        "eac3_reduced_rate_mixing": eac3_frame(fscod=3, fscod2=1, mixing=True, acmod=5) * 2,
        "mpeg1_layer2": mpeg_audio_frame() * 4,
        "mpeg2_layer3_mono": mpeg_audio_frame(version=2, layer=3, mode=3) * 4,
        "mpeg_layer1_padding": mpeg_audio_frame(layer=1, padding=1) * 4,
        "mixed_syncs": ac3_frame() + mpeg_audio_frame() + eac3_frame() + adts_frame(bytes(30)),
        "loas": b"".join(loas_frame(bytes([i]) * 40, same_mux=i % 2 == 1) for i in range(4)),
        "loas_version1_other_data": loas_frame(b"\x21" * 300, version=1, other_data_bits=8, crc=1) * 2,
        "loas_sub_frames": loas_frame([b"\x31" * 20, b"\x32" * 300, b"\x33"]) * 2,
        "opus_trims": opus_packet(opus_toc() + b"\x11" * 30, start_trim=312) + opus_packet(
            opus_toc(3, code=3, frames=2) + b"\x22" * 300, end_trim=20, extension=b"\x01\x02"),
    }


def hevc_parameter_sets():
    return {
        "main": hevc_sps()[2:],
        "with_header": hevc_sps(),
        "tier_and_constraints": hevc_sps(tier=1, profile_idc=2, level=153)[2:],
        "vps": hevc_vps(),
        "pps": hevc_pps(),
        "cut_short": hevc_sps()[:9],
    }


def annexb_streams():
    """The slicing byte of start_codes (slices of up to byte % 40 + 1 bytes), then an Annex B stream."""
    h264 = PICTURE + b"\x00" + aud() + nal(1, b"\x9a" * 12)  # a zero byte before the second code
    return {
        "h264_small_slices": bytes([3]) + h264,
        "h264_single_bytes": bytes([0]) + h264,
        "hevc_large_slices": bytes([39]) + hevc_key_unit() + hevc_key_unit(slices=2),
        "codes_everywhere": bytes([7]) + b"\x00\x00\x01\x00\x00\x00\x01\x01" * 20,
    }


def codec_streams():
    """The selector byte of ts_codecs (0 HEVC + AC-3, 1 HEVC + E-AC-3, 2 H.264 + MPEG audio,
    3 MPEG-2 video + LATM AAC, 4 MPEG-2 video + Opus), then a video and an audio elementary
    stream of equal length."""
    def pair(selector, video, audio):
        n = max(len(video), len(audio))
        return bytes([selector]) + video.ljust(n, b"\x00") + audio.ljust(n, b"\xff")
    hevc = hevc_key_unit() + hevc_key_unit(slices=3)
    return {
        "hevc_ac3": pair(0, hevc, ac3_frame() * 3),
        "hevc_eac3": pair(1, hevc, eac3_frame(acmod=7, lfeon=1) * 3),
        "h264_mp2": pair(2, PICTURE + aud() + nal(1, b"\x9a" * 40), mpeg_audio_frame() * 3),
        "hevc_without_delimiter": pair(0, hevc_key_unit(aud=False) + hevc_nal(1, b"\x80" * 20), ac3_frame()),
        "mpeg2_latm": pair(3, mpeg2_unit(1) + mpeg2_unit(2) + mpeg2_unit(3),
                           b"".join(loas_frame(bytes([i]) * 30, same_mux=i > 0) for i in range(3))),
        "mpeg2_opus": pair(4, mpeg2_unit(1) + mpeg2_unit(1, sequence=False),
                           b"".join(opus_packet(opus_toc() + bytes([i]) * 30) for i in range(3))),
    }


RECIPES = {f.__name__: f for f in (ts_edges, regular_edges, fragmented_edges, merge_pairs, segment_sequences,
                                    audio_elementary_streams, hevc_parameter_sets, codec_streams, annexb_streams)}


def targets():
    """(name, seed sources) for each line of fuzz/targets.txt."""
    for line in (ROOT / "fuzz" / "targets.txt").read_text().splitlines():
        if line.strip() and not line.startswith("#"):
            name, *sources = line.split()
            yield name, sources


def seeds(sources):
    out = {}
    for source in sources:
        if source.startswith("@"):
            out.update({f"{source[1:]}-{k}": v for k, v in RECIPES[source[1:]]().items()})
        else:
            out.update({p.name: p.read_bytes() for p in sorted(DATA.glob(source))})
    return out


def main(argv):
    if not argv:
        sys.exit(__doc__)
    out, wanted = pathlib.Path(argv[0]), set(argv[1:])
    for name, sources in targets():
        if wanted and name not in wanted:
            continue
        folder = out / name
        folder.mkdir(parents=True, exist_ok=True)
        made = seeds(sources)
        for file_name, content in made.items():
            (folder / file_name).write_bytes(content)
        print(f"{name}: {len(made)} seeds, {sum(map(len, made.values()))} bytes")


if __name__ == "__main__":
    main(sys.argv[1:])
