import itertools

import numpy as np
import pytest

import tessellan as ts
from postcard_bytes import encode


def panic_type():
    """The module's panic exception type, taken from a real panic."""
    try:
        ts.Gate("bad", [], np.zeros((2, 4), dtype=complex))
    except BaseException as e:  # noqa: BLE001
        return type(e)
    raise AssertionError("no panic")


@pytest.fixture(scope="session")
def PanicException():
    return panic_type()


@pytest.fixture
def raises_panic(PanicException):
    """`with raises_panic("text"):` expects the panic exception with exactly that text."""

    class _Ctx:
        def __init__(self, text=None):
            self.text = text

        def __enter__(self):
            return self

        def __exit__(self, tp, exc, tb):
            assert tp is PanicException, f"expected a panic, got {tp}"
            if self.text is not None:
                assert exc.args == (self.text,), exc.args
            return True

    return _Ctx


@pytest.fixture
def load_eccs(tmp_path):
    """`load_eccs(data)`: the collection read from a file of those bytes (in0.bin, in1.bin, ... in tmp_path)."""
    counter = itertools.count()

    def load(data):
        path = tmp_path / f"in{next(counter)}.bin"
        path.write_bytes(data)
        return ts.ECCs.from_postcard(str(path))

    return load


@pytest.fixture
def make_eccs(load_eccs):
    """`make_eccs(classes, nqubits)`: the collection of `classes`, written as `postcard_bytes.encode` gives them."""
    return lambda classes, nqubits: load_eccs(encode(classes, nqubits))
