"""Postcard bytes of class collections, written by hand for test fixtures."""

# Two classes on one qubit: [empty, h(0) h(0)] and [h(0)].
H_CLASSES = bytes.fromhex(
    "02 02 00 80 80 80 08 02 01 68 00 ff 01 68 00 ff 80 80 80 08 01 01 01 68 00 ff 80 80 80 08 01")


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


def circuit(instrs, perm):
    """A circuit: instrs as (name, *qubits), perm a tuple or raw int."""
    b = varint(len(instrs))
    for name, *qs in instrs:
        nb = name.encode()
        b += varint(len(nb)) + nb + bytes(list(qs) + [255] * (2 - len(qs)))
    return b + varint(perm if isinstance(perm, int) else perm_raw(perm))


def gate_order_record(*names):
    """The last field of a prover file: the gates beyond the built-ins that it names, first created first."""
    b = varint(len(names))
    for name in names:
        nb = name.encode()
        b += varint(len(nb)) + nb
    return b


def encode(classes, nqubits):
    """classes: lists of circuits (instrs, perm), as `circuit` takes them."""
    b = varint(len(classes))
    for cls in classes:
        b += varint(len(cls))
        for c in cls:
            b += circuit(*c)
    return b + varint(nqubits)


class Reader:
    """Reads postcard values from bytes."""

    def __init__(self, data):
        self.data, self.pos = data, 0

    def varint(self):
        n = shift = 0
        while True:
            b = self.data[self.pos]
            self.pos += 1
            n |= (b & 0x7F) << shift
            shift += 7
            if b < 0x80:
                return n

    def circuit(self):
        """A circuit as (instrs, perm): instrs as (name, *qubits), perm as a tuple."""
        instrs = []
        for _ in range(self.varint()):
            n = self.varint()
            name = self.data[self.pos : self.pos + n].decode()
            qs = [q for q in self.data[self.pos + n : self.pos + n + 2] if q != 255]
            self.pos += n + 2
            instrs.append((name, *qs))
        raw = self.varint()
        return instrs, tuple((raw >> (3 * i)) & 7 for i in range(raw >> 24))


def decode_prover(data, rest=False):
    """The three fields of a prover file: assumed and proved identities, and the rule map; with `rest`, also
    the bytes after them."""
    r = Reader(data)
    assume = [r.circuit() for _ in range(r.varint())]
    proved = [r.circuit() for _ in range(r.varint())]
    rules = []
    for _ in range(r.varint()):
        key = r.circuit()
        rules.append((key, [r.circuit() for _ in range(r.varint())]))
    return (assume, proved, rules, data[r.pos:]) if rest else (assume, proved, rules)
