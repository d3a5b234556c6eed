"""Reading and writing the VESK binary format.

``loads`` is the decoder of the ``vesk_native`` extension module itself, and
``VeskError`` its exception class; ``dumps`` is the encoder. ``load`` and
``dump`` work on binary files, and ``Decoder`` decodes under tighter limits
for untrusted input.
"""

from typing import TYPE_CHECKING, Any

from vesk_native import VeskError
from vesk_native import loads_binary as loads

from vesk._encoder import dumps
from vesk._decoder import Decoder

if TYPE_CHECKING:
    from _typeshed import SupportsRead, SupportsWrite

__all__ = ["dumps", "loads", "dump", "load", "Decoder", "VeskError"]


def load(fp: "SupportsRead[bytes]") -> Any:
    """Decodes the one document that the binary file ``fp`` holds, read to its end."""
    return loads(fp.read())


def dump(obj: Any, fp: "SupportsWrite[bytes]", **options: Any) -> None:
    """Writes ``dumps(obj, **options)`` to the binary file ``fp``."""
    fp.write(dumps(obj, **options))
