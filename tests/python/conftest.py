import numpy as np
import pytest

import tessellan as ts


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
