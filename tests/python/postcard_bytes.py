"""Postcard bytes of class collections, written by hand for test fixtures."""


def varint(n):
    out = bytearray()
    while n >= 0x80:
        out.append((n & 0x7F) | 0x80)
        n >>= 7
    out.append(n)
    return bytes(out)


def perm_raw(entries):
    raw = len(entries) << 24
    for i, v in enumerate(entries):
        raw |= v << (3 * i)
    return raw


def encode(classes, nqubits):
    """classes: lists of circuits (instrs, perm); an instr is (name, *qubits); perm a tuple or raw int."""
    b = varint(len(classes))
    for cls in classes:
        b += varint(len(cls))
        for instrs, perm in cls:
            b += varint(len(instrs))
            for name, *qs in instrs:
                nb = name.encode()
                b += varint(len(nb)) + nb + bytes(list(qs) + [255] * (2 - len(qs)))
            b += varint(perm if isinstance(perm, int) else perm_raw(perm))
    return b + varint(nqubits)
