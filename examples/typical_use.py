"""The typical use of tessellan, step by step."""

import numpy as np

import tessellan as ts


def show_gate_table() -> None:
    print("Built-in gates:")
    for name in ["i", "h", "x", "z", "y", "s", "sdg", "t", "tdg", "cx", "cz", "cy", "cs", "csdg",
                 "swap", "t1/2", "tdg1/2", "rz(pi/3)", "rz(-pi/3)", "rz(pi/5)", "rz(-pi/5)",
                 "rz(pi/16)", "rz(-pi/16)"]:
        g = ts.Gate.from_name(name)
        print(f"  {str(g):10} qubits={g.nqargs} adjoint={g.adjoint()}")


def define_gate() -> ts.Gate:
    theta = np.pi / 7
    m = np.array([[1, 0], [0, np.exp(1j * theta)]], dtype=complex)
    g = ts.Gate("p", ["pi/7"], m)
    print(f"Defined {g} on {g.nqargs} qubit; adjoint {g.adjoint()}")
    print("  matrix:", g.matrix.tolist())
    return g


if __name__ == "__main__":
    show_gate_table()
    define_gate()
