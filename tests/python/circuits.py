"""Gate handles and small builders of instructions, identities and search keys for the tests."""

import tessellan as ts


class _Gates(dict):
    """Gates of the table by display name, looked up on first use."""

    def __missing__(self, name):
        gate = ts.Gate.from_name(name)
        assert gate is not None, name
        self[name] = gate
        return gate


G = _Gates()
h, x, z, s, t, tdg, cx, swap = (G[n] for n in ["h", "x", "z", "s", "t", "tdg", "cx", "swap"])


def gates(*names):
    return [G[n] for n in names]


def I(gate, *qubits):  # noqa: E743
    """The compact instruction of `gate` (a Gate or a display name) on `qubits`."""
    return ts.Instr(G[gate] if isinstance(gate, str) else gate, list(qubits))


def identity(instrs, perm):
    """The identity circuit of `instrs`, each (name, *qubits), followed by `perm`."""
    return ts.IdentityCirc(ts.Circ([G[n](*q) for n, *q in instrs], perm))


def key(evaluator, instrs):
    """The search key `evaluator` gives the circuit `instrs`."""
    return evaluator.evaluate(instrs)[0].hash_value()
