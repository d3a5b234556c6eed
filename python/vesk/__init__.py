"""Reading and writing the VESK binary format.

``loads`` is the decoder of the ``vesk_native`` extension module itself, and
``VeskError`` its exception class; ``dumps`` is the encoder.
"""

from vesk_native import VeskError
from vesk_native import loads_binary as loads

from vesk._encoder import dumps

__all__ = ["dumps", "loads", "VeskError"]
