"""Reading and writing the VESK binary format.

``loads`` is the decoder of the ``vesk_native`` extension module itself, and
``VeskError`` its exception class; ``dumps`` is the encoder. ``load`` and
``dump`` work on binary files, and ``Decoder`` decodes under tighter limits
for untrusted input.
"""

from __future__ import annotations

from vesk_native import VeskError
from vesk_native import loads_binary as loads

from vesk._encoder import dumps
from vesk._decoder import Decoder

# typing itself is left unimported, which would cost every import of this
# package several times its own time; type checkers take the name as theirs.
TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Any

    from _typeshed import SupportsRead, SupportsWrite

__all__ = ["dumps", "loads", "dump", "load", "Decoder", "VeskError"]


def load(fp: SupportsRead[bytes]) -> Any:
    """Decodes the one document that the binary file ``fp`` holds, read to its end."""
    return loads(fp.read())


def dump(obj: Any, fp: SupportsWrite[bytes], **options: Any) -> None:
    """Writes ``dumps(obj, **options)`` to the binary file ``fp``."""
    fp.write(dumps(obj, **options))
