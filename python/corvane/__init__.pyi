"""HLS Video Transcoding C++ Engine Binding that gave the real power of c++ in python"""

from collections.abc import Sequence
from typing import SupportsIndex, SupportsInt, Union

_Path = Union[str, bytes, bytearray]

def hls_encoder(
    input: _Path,
    output: _Path,
    resolution: Sequence[_Path] = ["1080p", "720p", "480p", "360p"],
    bitrate: Sequence[Union[SupportsInt, SupportsIndex]] = [5000000, 2500000, 1000000, 400000],
    key: _Path = "enc.keyinfo",
) -> None:
    """Transcode video to HLS with dynamic ABR.

    Probes ``input``, encodes one H.264 + AAC rendition per known name in
    ``resolution`` ("1080p", "720p", "480p", "360p") at the paired video bit
    rate, encrypted as the HLS key-info file ``key`` directs, writes each
    rendition's media playlist and segments in the current working directory
    and the master playlist at ``output``. Progress and errors are reported as
    console lines; the call returns None. Other Python threads run meanwhile;
    an exception raised by a signal handler (KeyboardInterrupt on Ctrl-C,
    SystemExit on a service's SIGTERM) stops the job within a second and
    propagates.
    """
