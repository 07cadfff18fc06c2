"""HLS Video Transcoding C++ Engine Binding that gave the real power of c++ in python"""

from ._engine import hls_encoder

__all__ = ["hls_encoder"]
