"""Decodes a VESK document file and prints the result: python examples/decode.py FILE"""

import pprint
import sys

import vesk_native


def main(path):
    with open(path, "rb") as f:
        data = f.read()
    try:
        pprint.pprint(vesk_native.loads_binary(data), sort_dicts=False)
    except vesk_native.VeskError as e:
        sys.exit(f"{path}: {e}")


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else "examples/orders.vesk")
