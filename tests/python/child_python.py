"""CPython in a child process: the output of a script, and the hash that the content hash is checked against."""

import subprocess
import sys


def python_output(code, prefix=(), **kwargs):
    """The standard output of `python -c code` in a fresh interpreter, started through the command `prefix`
    when given; a failure raises."""
    return subprocess.run([*prefix, sys.executable, "-c", code], capture_output=True, text=True, check=True,
                          **kwargs).stdout


def siphash13(*feeds):
    """The hashes CPython gives the byte strings `feeds` with PYTHONHASHSEED=0: SipHash-1-3 with a zero key."""
    out = python_output(f"print(*(hash(b) for b in {list(feeds)!r}))", env={"PYTHONHASHSEED": "0"})
    return [int(v) for v in out.split()]
