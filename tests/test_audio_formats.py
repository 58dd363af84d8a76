"""AC-3, E-AC-3, MPEG audio, LATM AAC and Opus in transport streams: frames cut by
each format's own rules, the sample entries that declare them, and their timing in
the MP4."""
import struct

import pytest

import _quaver
from builders import (START, ac3_frame, ac3_frame_size, aud, decoder_config, eac3_frame, find_all, find_box,
                      loas_frame, mp4_sample_table, mpeg_audio_frame, mpeg_audio_info, nal, opus_descriptor,
                      opus_packet, opus_toc, parse_dac3, parse_dec3, pes, pps, sps, ts_stream, u16, u32)

KEY = aud() + START + sps() + START + pps() + nal(5, b"\x88\x84\x21\xa0" * 8)
PICTURE = aud() + nal(1, b"\x9a\x02\x04" * 6)
STREAM_TYPES = {"ac-3": 0x81, "ec-3": 0x87, "mp4a": 0x03, "latm": 0x11, "Opus": 0x06}


def convert(entry, frames, *, audio_pts=90000, per_pes=4, video_pts=90000, frame_ticks=2880, audio_info=b""):
    """MP4 of two pictures and the frames, ``per_pes`` frames in each audio PES, each
    PES stamped ``frame_ticks`` a frame after the one before."""
    video = [pes(u, pts=video_pts + 3600 * i, dts=video_pts + 3600 * i) for i, u in enumerate([KEY, PICTURE])]
    audio = [pes(b"".join(frames[i:i + per_pes]), pts=audio_pts + frame_ticks * i, stream_id=0xC0)
             for i in range(0, len(frames), per_pes)]
    return _quaver.convert_ts_to_mp4(ts_stream(video, audio, audio_type=STREAM_TYPES[entry], audio_info=audio_info))


def audio_track(mp4, kind=None):
    """(sample table, sample entry body, the samples' bytes) of the audio track, whose
    sample entry must be of type ``kind`` when one is given."""
    trak = find_all(mp4, "moov/trak")[1]
    t = mp4_sample_table(trak)
    stsd = find_box(trak, "mdia/minf/stbl/stsd")
    assert kind is None or stsd[12:16] == kind.encode()
    entry = stsd[16:8 + u32(stsd, 8)]
    return t, entry, [mp4[o:o + n] for o, n in zip(t["offsets"], t["sizes"])]


def entry_fields(entry):
    """(channel count, sample size, sample rate field) of an audio sample entry body."""
    return u16(entry, 16), u16(entry, 18), u32(entry, 24)


# fscod, frmsizecod, acmod, lfeon, bsmod -> channels, sample rate
@pytest.mark.parametrize("fscod, frmsizecod, acmod, lfeon, bsmod, channels, rate", [
    (0, 8, 2, 0, 0, 2, 48000),     # stereo (dsurmod in front of lfeon)
    (0, 30, 7, 1, 0, 6, 48000),    # 5.1: centre and surround mix levels in front of lfeon
    (1, 9, 1, 0, 2, 1, 44100),     # mono at 44.1 kHz, the odd code of a pair: one word more
    (2, 4, 0, 0, 7, 2, 32000),     # 1+1 dual mono
    (0, 37, 6, 1, 1, 5, 48000),    # 2/2 with LFE at 640 kbit/s
])
def test_ac3_frames_and_dac3(fscod, frmsizecod, acmod, lfeon, bsmod, channels, rate, capfd):
    frames = [ac3_frame(fscod=fscod, frmsizecod=frmsizecod, acmod=acmod, lfeon=lfeon, bsmod=bsmod, fill=0x20 + i)
              for i in range(5)]
    t, entry, samples = audio_track(convert("ac-3", frames), "ac-3")
    assert samples == frames and len(frames[0]) == ac3_frame_size(fscod, frmsizecod)
    assert t["timescale"] == rate and t["durations"] == [1536] * 5 and t["duration"] == 1536 * 5
    assert entry_fields(entry) == (channels, 16, rate << 16)
    dac3 = entry[28:]
    assert dac3[:8] == struct.pack(">I", 11) + b"dac3" and len(dac3) == 11
    assert parse_dac3(dac3[8:]) == dict(fscod=fscod, bsid=8, bsmod=bsmod, acmod=acmod, lfeon=lfeon,
                                        bit_rate_code=frmsizecod >> 1, reserved=0)


def test_ac3_false_syncs_lying_and_cut_frames(capfd):
    good = [ac3_frame(fill=0x30 + i) for i in range(4)]
    reserved_rate = b"\x0b\x77\x00\x00\xc8\x40" + bytes(20)      # fscod 3
    no_such_size = b"\x0b\x77\x00\x00\x26\x40" + bytes(20)       # frmsizecod 38
    eac3_in_ac3 = eac3_frame(size=64)                             # bsid 16: not AC-3
    lying = ac3_frame(frmsizecod=10, fill=0x77)[:256]             # claims 320 bytes, holds 256
    stream = (reserved_rate + good[0] + no_such_size + eac3_in_ac3 + good[1] + lying + good[2] + good[3]
              + good[0][:100])                                    # cut off at the end
    t, _, samples = audio_track(convert("ac-3", [stream]))
    # The lying frame takes 64 bytes of the next one, whose rest holds no frame;
    # the frame cut off at the end waits for bytes that never come.
    assert samples == [good[0], good[1], lying + good[2][:64], good[3]]


def eac3_config(mp4):
    _, entry, _ = audio_track(mp4, "ec-3")
    dec3 = entry[28:]
    assert dec3[4:8] == b"dec3"
    fields = parse_dec3(dec3[8:])
    assert fields["size"] == u32(dec3) - 8  # exactly the bytes the fields use
    return entry, fields


@pytest.mark.parametrize("blocks", [1, 2, 3, 6])
def test_eac3_frames_gather_into_1536_sample_units(blocks, capfd):
    per = 6 // blocks
    frames = [eac3_frame(blocks=blocks, size=128, fill=i) for i in range(2 * per)]
    mp4 = convert("ec-3", frames, per_pes=3, frame_ticks=480 * blocks)  # 256 audio samples a block
    t, entry, samples = audio_track(mp4)
    assert samples == [b"".join(frames[:per]), b"".join(frames[per:])]
    assert t["timescale"] == 48000 and t["durations"] == [1536, 1536]
    assert u32(find_box(find_all(mp4, "moov/trak")[1], "tkhd"), 20) == 2 * 1536 * 90000 // 48000
    _, fields = eac3_config(mp4)
    assert fields["data_rate"] == 128 * per * 8 * 48000 // 1536 // 1000


def test_eac3_dependent_and_second_independent_substreams(capfd):
    # 5.1 in substream 0 with a dependent substream adding Lrs/Rrs (7.1), then a
    # second programme (independent substream 1, stereo) with no dependents.
    lrs_rrs = 1 << (15 - 6)
    group = lambda k: [eac3_frame(acmod=7, lfeon=1, bsmod=0, size=256, fill=k),
                       eac3_frame(strmtyp=1, acmod=7, lfeon=1, chanmap=lrs_rrs | 0xF801, size=128, fill=k),
                       eac3_frame(substreamid=1, acmod=2, bsmod=4, size=128, fill=k)]
    orphan = eac3_frame(strmtyp=1, chanmap=lrs_rrs, size=64)  # no independent frame before it
    frames = [orphan] + group(1) + group(2)
    mp4 = convert("ec-3", frames, per_pes=2)
    t, entry, samples = audio_track(mp4)
    assert samples == [b"".join(group(1)), b"".join(group(2))]
    assert u16(entry, 16) == 8  # 5.1 and the pair its dependent adds
    _, fields = eac3_config(mp4)
    assert fields["data_rate"] == 512 * 8 * 48000 // 1536 // 1000
    s0, s1 = fields["substreams"]
    assert (s0["acmod"], s0["lfeon"], s0["num_dep_sub"], s0["chan_loc"], s0["bsid"]) == (7, 1, 1, 0x080, 16)
    assert (s1["acmod"], s1["lfeon"], s1["num_dep_sub"], s1["bsmod"], s1["asvc"]) == (2, 0, 0, 4, 0)


@pytest.mark.parametrize("acmod, lfeon, blocks", [(0, 0, 6), (1, 0, 1), (2, 0, 3), (7, 1, 6), (5, 1, 2)])
def test_eac3_bsmod_read_past_mixing_metadata(acmod, lfeon, blocks, capfd):
    frames = [eac3_frame(acmod=acmod, lfeon=lfeon, blocks=blocks, mixing=True, bsmod=5, size=160)] * (6 // blocks)
    _, fields = eac3_config(convert("ec-3", frames, per_pes=6))
    s, = fields["substreams"]
    assert (s["bsmod"], s["acmod"], s["lfeon"]) == (5, acmod, lfeon)
    # Without informational metadata the frame declares no bitstream mode.
    _, fields = eac3_config(convert("ec-3", [eac3_frame(acmod=acmod, lfeon=lfeon)]))
    assert fields["substreams"][0]["bsmod"] == 0


def test_eac3_reduced_rate_and_false_syncs(capfd):
    frames = [eac3_frame(fscod=3, fscod2=1, size=96, fill=i) for i in range(3)]
    ac3_in_eac3 = ac3_frame()                                       # bsid 8
    reserved = eac3_frame(strmtyp=3, size=96)                       # reserved stream type
    mp4 = convert("ec-3", [reserved, frames[0], ac3_in_eac3, frames[1], frames[2]], per_pes=5)
    t, entry, samples = audio_track(mp4)
    assert samples == frames
    assert t["timescale"] == 22050 and entry_fields(entry)[2] == 22050 << 16
    _, fields = eac3_config(mp4)
    assert fields["substreams"][0]["fscod"] == 3


# version bits (3 MPEG-1, 2 MPEG-2, 0 MPEG-2.5), layer, bit rate index, sample rate index
@pytest.mark.parametrize("version, layer, bitrate_index, rate_index, mono, object_type", [
    (3, 1, 8, 1, False, 0x6B),   # layer I, 256 kbit/s, 48 kHz: 384 samples a frame
    (3, 2, 8, 0, True, 0x6B),    # layer II, 44.1 kHz, mono
    (3, 3, 9, 2, False, 0x6B),   # layer III, 32 kHz
    (2, 1, 5, 0, False, 0x69),   # MPEG-2 layer I, 22.05 kHz
    (2, 2, 8, 1, False, 0x69),   # MPEG-2 layer II: 1152 samples
    (2, 3, 4, 2, True, 0x69),    # MPEG-2 layer III: 576 samples, 16 kHz
    (0, 3, 1, 2, True, 0x69),    # MPEG-2.5 layer III, 8 kbit/s at 8 kHz
])
def test_mpeg_audio_layers_and_versions(version, layer, bitrate_index, rate_index, mono, object_type, capfd):
    frames = [mpeg_audio_frame(version=version, layer=layer, bitrate_index=bitrate_index, rate_index=rate_index,
                               padding=i % 2, mode=3 if mono else 0, fill=0x40 + i) for i in range(4)]
    length, spf, rate, bps = mpeg_audio_info(version, layer, bitrate_index, rate_index)
    mp4 = convert("mp4a", frames)
    t, entry, samples = audio_track(mp4, "mp4a")
    assert samples == frames and len(frames[0]) == length and len(frames[1]) == length + (4 if layer == 1 else 1)
    assert t["timescale"] == rate and t["durations"] == [spf] * 4
    assert entry_fields(entry) == (1 if mono else 2, 16, rate << 16)
    esds = find_box(entry[28:], "esds")
    assert decoder_config(esds) == dict(object_type=object_type, stream_type=0x15, buffer_size=length,
                                        max_bit_rate=bps, avg_bit_rate=bps, specific=None)


def test_mpeg_audio_free_format_and_reserved_headers_are_skipped(capfd):
    good = [mpeg_audio_frame(fill=0x50 + i) for i in range(3)]
    header = lambda b1, b2: bytes([0xFF, b1, b2, 0x00]) + bytes(40)
    free_format = header(0xFD, 0x04)      # bit rate index 0: the header gives no length
    bad_rate = header(0xFD, 0xF4)         # bit rate index 15
    reserved_rate = header(0xFD, 0x8C)    # sample rate index 3
    reserved_version = header(0xED, 0x84)  # version bits 01
    reserved_layer = header(0xF9, 0x84)   # layer bits 00 (and never ADTS here)
    stream = (free_format + good[0] + bad_rate + reserved_rate + good[1] + reserved_version + reserved_layer
              + good[2])
    _, _, samples = audio_track(convert("mp4a", [stream]))
    assert samples == good


@pytest.mark.parametrize("entry, frame, rate, spf", [
    ("ac-3", ac3_frame(), 48000, 1536),
    ("ec-3", eac3_frame(), 48000, 1536),
    ("mp4a", mpeg_audio_frame(rate_index=0), 44100, 1152),
])
def test_audio_edits_count_in_the_sample_rate(entry, frame, rate, spf, capfd):
    # Audio 3000 ticks early: the lead is skipped, in the track's own timescale.
    mp4 = convert(entry, [frame] * 4, audio_pts=87000)
    tkhd_duration = 4 * spf * 90000 // rate
    assert u32(find_box(find_all(mp4, "moov/trak")[1], "tkhd"), 20) == tkhd_duration
    elst = find_box(find_all(mp4, "moov/trak")[1], "edts/elst")
    assert struct.unpack(">IIIII", elst[:20]) == (0, 1, tkhd_duration - 3000, 3000 * rate // 90000, 0x10000)
    # Audio 4500 ticks late: an empty edit, then the whole track.
    mp4 = convert(entry, [frame] * 4, audio_pts=94500)
    elst = find_box(find_all(mp4, "moov/trak")[1], "edts/elst")
    assert struct.unpack(">IIIIIIII", elst[:32]) == (0, 2, 4500, 0xFFFFFFFF, 0x10000, tkhd_duration, 0, 0x10000)


# ---- LATM AAC -------------------------------------------------------------------------

SBR_ASC = bytes([0x2B, 0x11, 0x88, 0x00])  # AAC-LC at 24 kHz (index 6) with SBR to 48 kHz (index 3)


@pytest.mark.parametrize("config, asc, rate, spf, channels", [
    (dict(), b"\x11\x90", 48000, 1024, 2),                                   # AAC-LC 48 kHz stereo
    (dict(version=1), b"\x11\x90", 48000, 1024, 2),                          # the ASC behind its length
    (dict(other_data_bits=16, crc=0x5A), b"\x11\x90", 48000, 1024, 2),       # fields after the ASC
    (dict(version=1, other_data_bits=8), b"\x11\x90", 48000, 1024, 2),
    (dict(asc=b"\x12\x08"), b"\x12\x08", 44100, 1024, 1),                   # 44.1 kHz mono
    (dict(asc=b"\x11\x94"), b"\x11\x94", 48000, 960, 2),                    # 960-sample frames
    (dict(asc=SBR_ASC, asc_bits=25), SBR_ASC, 48000, 2048, 2),
])
def test_latm_config_and_payloads(config, asc, rate, spf, channels, capfd):
    payloads = [bytes([0x21 + i]) * (20 + 300 * (i == 2)) for i in range(6)]
    # The configuration repeats every third frame; the others use the one before.
    frames = [loas_frame(p, same_mux=i % 3 != 0, **config) for i, p in enumerate(payloads)]
    t, entry, samples = audio_track(convert("latm", frames, per_pes=6), "mp4a")
    assert samples == payloads
    assert t["timescale"] == rate and t["durations"] == [spf] * 6
    assert entry_fields(entry) == (channels, 16, rate << 16)
    assert decoder_config(find_box(entry[28:], "esds")) == dict(
        object_type=0x40, stream_type=0x15, buffer_size=768, max_bit_rate=128000, avg_bit_rate=128000, specific=asc)


def test_latm_sub_frames_are_samples_each(capfd):
    # Two payloads a frame: four samples of 1024, one after the other. A frame of several with
    # a payload of fewer than 4 bytes is none an encoder writes.
    frames = [loas_frame([b"\x51" * 20, b"\x52" * 300]), loas_frame([b"\x55" * 3, b"\x56" * 30], same_mux=True),
              loas_frame([b"\x53" * 4, b"\x54" * 30], same_mux=True)]
    t, _, samples = audio_track(convert("latm", frames, frame_ticks=3840))
    assert samples == [b"\x51" * 20, b"\x52" * 300, b"\x53" * 4, b"\x54" * 30] and t["durations"] == [1024] * 4


def test_latm_frames_without_a_configuration_quaver_reads_are_dropped(capfd):
    good = [loas_frame(b"\x31" * 20), loas_frame(b"\x32" * 20, same_mux=True)]
    unread = [loas_frame(b"\x41" * 20, same_mux=True),           # before any configuration
              loas_frame(b"\x42" * 20, sub_frames=1),            # two payloads declared, one there
              loas_frame(b"\x43" * 20, same_mux=True),           # ... and the configuration it left
              loas_frame(b"\x44" * 20, asc=b"\x11\x80"),        # channels given in the stream
              loas_frame(b"\x45" * 20, asc=b"\x41\x90"),        # CELP, not AAC
              loas_frame(b"\x46" * 20, asc=b"\x2f\x90")]        # object type 5 without its extension fields
    garbage = b"\x56\xe0\x00" + b"\x56\x10\x05"              # a zero length, no sync
    _, _, samples = audio_track(convert("latm", unread[:1] + [garbage] + good + unread[1:] + good))
    assert samples == [b"\x31" * 20, b"\x32" * 20, b"\x31" * 20, b"\x32" * 20]


# ---- Opus -----------------------------------------------------------------------------

def dops(mp4):
    t, entry, samples = audio_track(mp4, "Opus")
    return t, entry, samples, find_box(entry[28:], "dOps")


@pytest.mark.parametrize("code, config, frames, samples_per_packet", [
    (0, 19, None, 960),    # CELT 20 ms
    (0, 16, None, 120),    # CELT 2.5 ms
    (1, 1, None, 1920),    # two SILK 20 ms frames
    (3, 3, 3, 8640),       # three SILK 60 ms frames: more than 120 ms, so the nominal 20 ms
    (3, 13, 6, 5760),      # six hybrid 20 ms frames: 120 ms
    (0, 12, None, 480),    # hybrid 10 ms
])
def test_opus_packets_lose_their_control_header_and_last_as_their_toc_says(code, config, frames, samples_per_packet,
                                                                             capfd):
    packets = [opus_toc(config, code=code, frames=frames) + bytes([0x60 + i]) * (30 + 280 * (i == 1))
               for i in range(4)]
    framed = [opus_packet(p, start_trim=312 if i == 0 else None, end_trim=100 if i == 3 else None,
                          extension=b"\x01\x02" if i == 2 else None) for i, p in enumerate(packets)]
    nominal = samples_per_packet if samples_per_packet <= 5760 else 960
    # One PES: the packets follow each other by their length in time.
    t, entry, samples, body = dops(convert("Opus", framed, audio_info=opus_descriptor(2)))
    assert samples == packets
    assert t["timescale"] == 48000 and t["durations"] == [nominal] * 4
    assert entry_fields(entry) == (2, 16, 48000 << 16)
    # Version 0, two channels, the first packet's start trim as pre-skip, 48 kHz, no gain, family 0.
    assert body == bytes([0, 2]) + struct.pack(">HIhB", 312, 48000, 0, 0)


@pytest.mark.parametrize("per_pes", [6, 2, 1])
def test_opus_packets_of_several_lengths_last_each_its_own(per_pes, capfd):
    # 20 ms, 10 ms, three 20 ms frames, 2.5 ms, 20 ms, then a packet of a few bytes (silence), which
    # lasts as long as the one before whatever its TOC says: each PES stamped where its first packet starts.
    tocs = [opus_toc(19), opus_toc(18), opus_toc(19, code=3, frames=3), opus_toc(16), opus_toc(19), opus_toc(16)]
    lengths = [960, 480, 2880, 120, 960, 960]
    packets = [opus_packet(toc + bytes([0x50 + i]) * (20 if i < 5 else 2)) for i, toc in enumerate(tocs)]
    video = [pes(u, pts=90000 + 3600 * i, dts=90000 + 3600 * i) for i, u in enumerate([KEY, PICTURE])]
    audio = [pes(b"".join(packets[i:i + per_pes]), pts=90000 + sum(lengths[:i]) * 90000 // 48000, stream_id=0xC0)
             for i in range(0, len(packets), per_pes)]
    mp4 = _quaver.convert_ts_to_mp4(ts_stream(video, audio, audio_type=0x06, audio_info=opus_descriptor(2)))
    t, _, _, _ = dops(mp4)
    assert t["durations"] == lengths


@pytest.mark.parametrize("info, stereo, expected", [
    (opus_descriptor(1), True, bytes([0, 1, 0, 0, 0, 0, 0xBB, 0x80, 0, 0, 0])),
    (opus_descriptor(6), True, bytes([0, 6, 0, 0, 0, 0, 0xBB, 0x80, 0, 0, 1, 4, 2, 0, 4, 1, 2, 3, 5])),
    (opus_descriptor(8), True, bytes([0, 8, 0, 0, 0, 0, 0xBB, 0x80, 0, 0, 1, 5, 3, 0, 6, 1, 2, 3, 4, 5, 7])),
    # Without the extension descriptor, or with a code quaver does not read: the TOC's stereo flag.
    (opus_descriptor(0x81)[:6], False, bytes([0, 1, 0, 0, 0, 0, 0xBB, 0x80, 0, 0, 0])),
    (opus_descriptor(0), True, bytes([0, 2, 0, 0, 0, 0, 0xBB, 0x80, 0, 0, 0])),
])
def test_opus_channels_come_from_the_descriptor(info, stereo, expected, capfd):
    packets = [opus_packet(opus_toc(stereo=stereo) + bytes([0x70 + i]) * 25) for i in range(3)]
    _, entry, samples, body = dops(convert("Opus", packets, per_pes=1, frame_ticks=1800, audio_info=info))
    assert body == expected and u16(entry, 16) == expected[1] and len(samples) == 3
