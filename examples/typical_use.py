"""The typical use of tessellan, step by step:

1. take gates from the table by name, or define new ones from unitary matrices;
2. create an evaluator for n qubits;
3. enumerate circuits breadth-first and group them into equivalence classes;
4. simplify the classes, check them on a fresh random state, save, reload and export them;
5. build an identity prover from the classes;
6. prove single identities and export the proof of one.
"""

import os
import sys
import tempfile

import numpy as np

import tessellan as ts


def gate(name: str) -> ts.Gate:
    """The gate of the table with this display name."""
    g = ts.Gate.from_name(name)
    if g is None:
        raise KeyError(f"no gate named {name!r}")
    return g


def show_gate_table() -> None:
    print("Built-in gates:")
    names = ["i", "h", "x", "z", "y", "s", "sdg", "t", "tdg", "cx", "cz", "cy", "cs", "csdg", "swap",
             "t1/2", "tdg1/2", "rz(pi/3)", "rz(-pi/3)", "rz(pi/5)", "rz(-pi/5)", "rz(pi/16)", "rz(-pi/16)"]
    for name in names:
        g = gate(name)
        print(f"  {str(g):10} qubits={g.nqargs} adjoint={g.adjoint()} params={g.params_f}")


def define_gate() -> ts.Gate:
    m = np.array([[1, 0], [0, np.exp(1j * np.pi / 7)]], dtype=complex)
    g = ts.Gate("p", ["pi/7"], m)
    print(f"Defined {g} on {g.nqargs} qubit, parameter {g.params_f}; adjoint {g.adjoint()}")
    return g


def generate_classes(nqubits: int, gate_names: list[str], max_size: int) -> ts.ECCs:
    evaluator = ts.Evaluator(nqubits)
    gates = [gate(n) for n in gate_names]
    print(f"\nSearching circuits of up to {max_size} gates over {gate_names} on {nqubits} qubits")
    sys.stdout.flush()  # the search writes its progress lines to the same descriptor
    raw, counters = ts.RawECCs.generate(evaluator, gates, max_size)
    print(f"expanded {counters[0]} circuits, evaluated {counters[1]}, filed {counters[2]}")
    eccs = raw.simplify()
    print(f"{len(eccs)} classes, {len(eccs.filter_single())} with more than one circuit")
    return eccs


def show_classes(eccs: ts.ECCs, count: int) -> None:
    shown = 0
    for ecc in eccs.to_list():
        circuits = ecc.circuits()
        if len(circuits) < 2:
            continue
        print("  " + "  ==  ".join(" ".join(str(i) for i in c) or "(empty)" for c in circuits))
        shown += 1
        if shown == count:
            break


def save_and_export(eccs: ts.ECCs) -> None:
    failing = eccs.check()
    print(f"check on a fresh random state: {len(failing)} failing classes")
    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "classes.postcard")
        eccs.dump_postcard(path)
        again = ts.ECCs.from_postcard(path)
        print(f"saved {os.path.getsize(path)} bytes; reloaded equal: {again == eccs}")
        quartz = os.path.join(tmp, "classes.json")
        eccs.filter_single().dump_quartz(quartz)
        print(f"Quartz JSON export: {os.path.getsize(quartz)} bytes")


def prove(eccs: ts.ECCs) -> None:
    print("\nBuilding the identity prover (progress on standard error)")
    prover = ts.IdentityProver.build_from_eccs(eccs)
    assumed = prover.get_assumed()
    print(f"{len(assumed)} identities kept as assumptions, for example:")
    for identity in assumed[:3]:
        print(f"  {identity}")
    t, cx = gate("t"), gate("cx")
    # t commutes with the control of cx, so cx t t cx tdg tdg is the identity
    tdg = t.adjoint()
    circ = ts.Circ([cx(0, 1), t(0), t(0), cx(0, 1), tdg(0), tdg(0)])
    identity = circ.rotate_representative()
    print(f"query {identity}: {'proved' if prover.prove_identity(identity, 3, 100000) is None else 'not proved'}")
    sys.stdout.flush()
    proof = prover.export_proof(identity, 3, 100000)
    if proof is not None:
        print(f"proof with {proof!r} entries:")
        print(str(proof), end="")


if __name__ == "__main__":
    show_gate_table()
    define_gate()
    eccs = generate_classes(2, ["h", "t", "cx"], 4)
    print("A few classes:")
    show_classes(eccs, 8)
    save_and_export(eccs)
    prove(eccs)
