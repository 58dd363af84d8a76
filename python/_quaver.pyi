# Type hints for the _quaver extension module.

__version__: str

def convert_ts_to_mp4(data: bytes, reset_timestamps: bool = False) -> bytes:
    """MPEG-TS 를 MP4 로 변환한다."""

def defragment_mp4(data: bytes) -> bytes:
    """fragmented MP4 를 일반 MP4 로 펼친다."""
