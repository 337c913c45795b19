# Type stub of the tessellan extension module, written by scripts/gen_stubs.py
# from the built module and its type table: regenerate it, do not edit it.
"""Native extension module entry point of tessellan.

It registers the implementation's classes, which the package file python/tessellan/__init__ re-exports and wraps.
"""

from collections.abc import Iterator, Mapping, Sequence
from typing import ClassVar, Self, TypedDict, final, overload

import numpy
from numpy.typing import NDArray

__all__ = [
    "Argument",
    "Instruction",
    "Gate",
    "Instr",
    "StateVec",
    "ECC",
    "ECCs",
    "RawECCs",
    "Evaluator",
    "Circ",
    "IdentityCirc",
    "IdentityProver",
    "Proof",
]

class _PermDict(TypedDict):
    raw: int

class _CircDict(TypedDict):
    """Dictionary form of a circuit: instructions as (gate name, (qubit, qubit)), 255 for an unused slot."""

    instrs: list[tuple[str, tuple[int, int]]]
    perm: _PermDict

@final
class Argument:
    """A named register argument (e.g., `q[0]`, `c[2]`) used by high-level instructions."""
    def __new__(cls, regid: str, index: int) -> Self: ...
    @property
    def regid(self) -> str:
        """Register name."""
    @regid.setter
    def regid(self, value: str) -> None: ...
    @property
    def index(self) -> int:
        """Element index within the register."""
    @index.setter
    def index(self, value: int) -> None: ...
    def __eq__(self, other: object, /) -> bool: ...
    def __ne__(self, other: object, /) -> bool: ...
    def __hash__(self) -> int: ...
    def __str__(self) -> str: ...
    def __repr__(self) -> str: ...

@final
class Instruction:
    """A high-level instruction with gate + explicit quantum/classical register arguments."""
    def __new__(cls, gate: Gate, qargs: Sequence[Argument | tuple[str, int]], cargs: Sequence[Argument | tuple[str, int]] = ...) -> Self: ...
    @property
    def gate(self) -> Gate:
        """Gate applied by this instruction."""
    @gate.setter
    def gate(self, value: Gate) -> None: ...
    @property
    def qargs(self) -> list[Argument]:
        """Quantum register arguments."""
    @qargs.setter
    def qargs(self, value: Sequence[Argument]) -> None: ...
    @property
    def cargs(self) -> list[Argument]:
        """Classical register arguments."""
    @cargs.setter
    def cargs(self, value: Sequence[Argument]) -> None: ...
    def __eq__(self, other: object, /) -> bool: ...
    def __ne__(self, other: object, /) -> bool: ...
    def __hash__(self) -> int: ...
    def __str__(self) -> str: ...
    def __repr__(self) -> str: ...

@final
class Gate:
    """Parameterized quantum gate definition used by both search and Python APIs."""
    def __new__(cls, name: str, params: Sequence[str], matrix: NDArray[numpy.complex128] | Sequence[Sequence[complex]]) -> Self: ...
    @property
    def name(self) -> str:
        """Gate name."""
    @property
    def params(self) -> list[str]:
        """Symbolic parameter list."""
    @property
    def params_f(self) -> list[float]:
        """Numeric parameters evaluated with support for `pi` expressions."""
    @property
    def matrix(self) -> NDArray[numpy.complex128]:
        """Dense unitary matrix."""
    @property
    def nqargs(self) -> int:
        """Number of qubit arguments required by this gate."""
    @staticmethod
    def from_name(name: str) -> Gate | None:
        """Looks up a built-in gate by display name."""
    def adjoint(self) -> Gate:
        """Returns the adjoint (inverse) gate."""
    @overload
    def __call__(self, *args: int) -> Instr: ...
    @overload
    def __call__(self, *args: Argument) -> Instruction: ...
    def __eq__(self, other: object, /) -> bool: ...
    def __ne__(self, other: object, /) -> bool: ...
    def __hash__(self) -> int: ...
    def __str__(self) -> str: ...

@final
class Instr:
    """A compact, index-only quantum instruction used internally by the search/prover."""
    def __new__(cls, gate: Gate, qargs: Sequence[int]) -> Self: ...
    @property
    def gate(self) -> Gate:
        """Underlying gate."""
    @property
    def qargs(self) -> bytes:
        """Qubit arguments as dense integer indices."""
    def apply_permutation(self, perm: Sequence[int]) -> Instr:
        """Applies a qubit permutation."""
    def permut(self, perm: Sequence[int]) -> Instr:
        """Alias of `apply_permutation`."""
    def arg_mask(self) -> int:
        """Bitmask of qubits touched by this instruction."""
    def pass_mask(self, mask: int) -> int | None:
        """Updates a frontier mask for left-to-right scheduling checks."""
    def largest_qubit(self) -> int:
        """Largest qubit index touched by this instruction."""
    def disjoint(self, other: Instr) -> bool:
        """Returns `true` when this and `other` touch disjoint qubits."""
    def adjoint(self) -> Instr:
        """Returns the adjoint instruction."""
    def position_of_qubit(self, qubit: int) -> int | None:
        """Returns position of `qubit` in argument list, if present."""
    def __hash__(self) -> int: ...
    def __str__(self) -> str: ...
    def __repr__(self) -> str: ...

@final
class StateVec:
    """Complex state vector used for randomized circuit evaluation."""
    def __new__(cls, re: Sequence[float], im: Sequence[float]) -> Self: ...
    def hash_value(self) -> int:
        """Hashes the current normalized state."""
    @staticmethod
    def random(num_qubits: int) -> StateVec:
        """Creates a random normalized state."""
    @staticmethod
    def random_symmetric(num_qubits: int) -> StateVec:
        """Creates a random state tailored for symmetry-aware evaluator use."""
    def nqubits(self) -> int:
        """Returns qubit count."""
    def len(self) -> int:
        """Returns vector length (`2^nqubits`)."""
    def normalize(self) -> None:
        """Normalizes the state vector in place.

        Normalization ensures two conditions:
        1. Amplitude Normalization: The sum of the squares of the absolute values of
           the complex amplitudes is 1 (i.e., `sum(|psi_i|^2) = 1`).
        2. Phase Normalization: The first non-zero element of the state vector
           is made real and positive.

        If the vector is effectively all zeros initially (all amplitudes are very close to zero),
        it is normalized to the |0...0> state (i.e., the first element becomes 1.0 + 0.0i,
        and all other elements become 0.0 + 0.0i).
        If the vector has zero length, this function does nothing.
        """
    def normalize_arg(self) -> None:
        """Canonicalizes global phase for stable equality/hash comparison."""
    def clone(self) -> StateVec:
        """Returns a deep copy."""
    def check(self) -> bool:
        """Checks unit-norm invariant."""
    def __getitem__(self, index: int, /) -> complex: ...
    def __setitem__(self, index: int, value: complex, /) -> None: ...
    def __imul__(self, other: Instr, /) -> Self: ...
    def __eq__(self, other: object, /) -> bool: ...
    def __ne__(self, other: object, /) -> bool: ...
    __hash__: ClassVar[None]  # type: ignore[assignment]
    def __str__(self) -> str: ...

@final
class ECC:
    """One equivalence class of circuits."""
    def circuits(self) -> list[list[Instr]]:
        """Returns all circuits in this class with swap instructions materialized."""
    def __eq__(self, other: object, /) -> bool: ...
    def __ne__(self, other: object, /) -> bool: ...
    __hash__: ClassVar[None]  # type: ignore[assignment]
    def __str__(self) -> str: ...

@final
class ECCs:
    """Collection of equivalence classes for a fixed number of qubits."""
    @property
    def nqubits(self) -> int: ...
    def dump_quartz(self, filepath: str) -> None:
        """Exports ECCs to Quartz JSON format."""
    @staticmethod
    def from_postcard(filepath: str) -> ECCs:
        """Loads ECCs from a postcard file."""
    def dump_postcard(self, filepath: str) -> None:
        """Saves ECCs as postcard."""
    def check(self) -> list[ECC]:
        """Returns classes that fail randomized equivalence checks."""
    def to_list(self) -> list[ECC]:
        """Returns all classes as a Python list."""
    def filter_single(self) -> ECCs:
        """Removes classes with only one circuit."""
    def to_identity_circuits(self) -> list[tuple[IdentityCirc, Circ, Circ]]:
        """Converts classes into canonical identities plus witness circuit pairs."""
    def __len__(self) -> int: ...
    def __eq__(self, other: object, /) -> bool: ...
    def __ne__(self, other: object, /) -> bool: ...
    __hash__: ClassVar[None]  # type: ignore[assignment]
    def __str__(self) -> str: ...

@final
class RawECCs:
    """Mutable ECC map keyed by evaluator hash.

    This is the direct output of the search algorithm before final simplification.
    """
    def __new__(cls, evaluator: Evaluator) -> Self: ...
    @staticmethod
    def search(evaluator: Evaluator, instrs: Sequence[Instr], max_size: int) -> tuple[RawECCs, list[int]]:
        """Optimized search using permutation-equivalent placements per circuit."""
    @staticmethod
    def search_naive(evaluator: Evaluator, instrs: Sequence[Instr], max_size: int) -> tuple[RawECCs, list[int]]:
        """Exhaustive baseline search without permutation-based multiplicity reduction."""
    @staticmethod
    def generate(evaluator: Evaluator, gates: Sequence[Gate], max_size: int) -> tuple[RawECCs, list[int]]:
        """Generates ECCs from a gate set using the optimized search.

        Adjoint gates are added automatically if missing.
        """
    @staticmethod
    def generate_naive(evaluator: Evaluator, gates: Sequence[Gate], max_size: int) -> tuple[RawECCs, list[int]]:
        """Generates ECCs from a gate set using the naive search."""
    def simplify(self) -> ECCs:
        """Converts raw buckets into sorted, normalized ECCs."""
    def compute_next_key(self, evaluator: Evaluator, current_key: int, instr: Instr) -> int | None:
        """Computes the next reachable ECC hash after appending one instruction.

        Returns `None` when the resulting state was not discovered in this map.
        """
    def find_equivalents(self, evaluator: Evaluator, instrs: Sequence[Instr]) -> ECC | None:
        """Python wrapper returning equivalent circuits for a candidate program."""
    def switch_evaluator(self, new_evaluator: Evaluator) -> RawECCs:
        """Re-evaluates all stored circuits under a new evaluator.

        Useful for cross-checking evaluator-independence of discovered classes.
        """
    def check_identity_subset(self, ecc1: RawECCs, evaluator: Evaluator) -> None:
        """Checks that every identity in `self` is representable in `ecc1`."""

@final
class Evaluator:
    """Randomized evaluator used to hash circuits and recover permutation metadata."""
    def __new__(cls, nqubits: int) -> Self: ...
    def nqubits(self) -> int:
        """Returns evaluator qubit count."""
    def evaluate(self, instrs: Sequence[Instr]) -> tuple[StateVec, tuple[int, ...], tuple[int, ...], StateVec]:
        """Python wrapper for circuit evaluation."""
    def initial_key(self) -> int:
        """Hash key for the empty circuit under this evaluator."""
    def __eq__(self, other: object, /) -> bool: ...
    def __ne__(self, other: object, /) -> bool: ...
    __hash__: ClassVar[None]  # type: ignore[assignment]

@final
class Circ:
    """Circuit with an explicit trailing qubit permutation."""
    def __new__(cls, instrs: Sequence[Instr], perm: Sequence[int] | None = None) -> Self: ...
    @property
    def instrs(self) -> list[Instr]: ...
    @property
    def perm(self) -> tuple[int, ...]: ...
    def nqubits(self) -> int:
        """Number of qubits tracked by the permutation."""
    def rotate_representative(self) -> IdentityCirc:
        """Returns canonical identity representative across rotations/permutations."""
    def representative(self) -> Circ:
        """Returns canonical circuit representative."""
    def representative_with_perm(self) -> tuple[Circ, tuple[int, ...]]:
        """Returns `(representative, applied_perm)` used in canonicalization."""
    def permut(self, perm: Sequence[int]) -> Circ:
        """Applies a qubit permutation to this circuit."""
    def remove_swaps(self) -> Circ:
        """Removes explicit swap gates into the stored trailing permutation."""
    def inverse(self) -> Circ:
        """Returns inverse circuit."""
    def rotate(self, n: int) -> Circ:
        """Circularly rotates instruction order by `n`."""
    def len(self) -> int:
        """Number of instructions."""
    def is_empty(self) -> bool:
        """Returns whether the circuit is empty."""
    def instrs_with_swaps(self) -> list[Instr]:
        """Returns instructions plus swaps needed for stored permutation."""
    def __len__(self) -> int: ...
    def __getitem__(self, idx: int, /) -> Instr: ...
    def __iter__(self) -> Iterator[Instr]: ...
    def __add__(self, other: Circ, /) -> Circ: ...
    def __radd__(self, other: Circ, /) -> Circ: ...
    def __eq__(self, other: object, /) -> bool: ...
    def __ne__(self, other: object, /) -> bool: ...
    def __lt__(self, other: Circ, /) -> bool: ...
    def __le__(self, other: Circ, /) -> bool: ...
    def __gt__(self, other: Circ, /) -> bool: ...
    def __ge__(self, other: Circ, /) -> bool: ...
    def __hash__(self) -> int: ...
    def __str__(self) -> str: ...
    def __repr__(self) -> str: ...

@final
class IdentityCirc:
    """Canonical identity circuit (a circuit proven equivalent to identity)."""
    def __new__(cls, circuit: Circ) -> Self: ...
    @property
    def inner(self) -> Circ:
        """Underlying circuit representation."""
    @staticmethod
    def from_python(obj: Mapping[str, object]) -> IdentityCirc:
        """Parses a Python-serialized identity object."""
    def nqubits(self) -> int:
        """Returns number of qubits."""
    def qargs_forward(self, gate_id: int) -> list[int]:
        """For each argument of gate `gate_id`, returns next gate index using that qubit."""
    def qargs_backward(self, gate_id: int) -> list[int]:
        """For each argument of gate `gate_id`, returns previous gate index using that qubit."""
    def check(self) -> bool:
        """Randomized semantic check that this circuit is identity."""
    def hash_value(self) -> int:
        """Stable hash of the canonical identity representation."""
    def pythonize(self) -> _CircDict:
        """Converts this identity to a Python-serializable form."""
    def __len__(self) -> int: ...
    def __getitem__(self, idx: int, /) -> Instr: ...
    def __iter__(self) -> Iterator[Instr]: ...
    def __eq__(self, other: object, /) -> bool: ...
    def __ne__(self, other: object, /) -> bool: ...
    def __lt__(self, other: IdentityCirc, /) -> bool: ...
    def __le__(self, other: IdentityCirc, /) -> bool: ...
    def __gt__(self, other: IdentityCirc, /) -> bool: ...
    def __ge__(self, other: IdentityCirc, /) -> bool: ...
    def __hash__(self) -> int: ...
    def __str__(self) -> str: ...
    def __repr__(self) -> str: ...

@final
class IdentityProver:
    """Rule-based prover for circuit identities.

    The prover is built from ECCs, extracts assumed rules, and can then:
    - check whether a target identity is derivable,
    - produce visited states for diagnostics,
    - export explicit proof traces.
    """
    @staticmethod
    def build_from_eccs(eccs: ECCs) -> IdentityProver:
        """Python entrypoint: builds a prover from generated ECCs."""
    def par_apply_rules(self, identity: IdentityCirc, additional_size: int) -> list[IdentityCirc]:
        """Applies one round of parallel rule rewriting bounded by `additional_size`."""
    def add_identity(self, identity: IdentityCirc, additional_size: int, count_limit: int) -> bool:
        """Inserts one identity into the prover, deriving it when possible.

        Returns `true` when this identity must be kept as an assumption.
        """
    def add_identity_search(self, identity: IdentityCirc, additional_size: int, count_limit: int) -> tuple[set[IdentityCirc], bool]:
        """Internal bounded search used by [`Self::add_identity`].

        Returns `(visited, assumed)` where `assumed=true` means the identity
        could not be derived within `count_limit`.
        """
    def prove_identity(self, identity: IdentityCirc, additional_size: int, count_limit: int) -> IdentityCirc | None:
        """Attempts to prove one identity.

        Returns `None` if proved, or `Some(identity)` if the search exceeded limits.
        """
    def prove_identity_with_visited(self, identity: IdentityCirc, additional_size: int, count_limit: int) -> tuple[IdentityCirc | None, set[IdentityCirc]]:
        """Same as [`Self::prove_identity`] but also returns visited identities."""
    def export_proof(self, identity: IdentityCirc, additional_size: int, count_limit: int) -> Proof | None:
        """Exports a proof DAG when `identity` is derivable under the given limits."""
    def get_assumed(self) -> list[IdentityCirc]:
        """Returns current assumptions as a cloned list (Python helper)."""
    @staticmethod
    def from_postcard(filepath: str) -> IdentityProver:
        """Loads a prover from postcard serialization."""
    def dump_postcard(self, filepath: str) -> None:
        """Stores a prover as postcard serialization."""

@final
class Proof:
    """Exported proof DAG.

    Each entry stores:
    - an identity circuit,
    - either `None` (assumption) or `(lhs_idx, rhs_idx)` showing how it is derived.
    """
    def __new__(cls, data: Sequence[tuple[IdentityCirc, tuple[int, int] | None]]) -> Self: ...
    @property
    def raw(self) -> list[tuple[IdentityCirc, tuple[int, int] | None]]:
        """Returns raw proof entries."""
    def __eq__(self, other: object, /) -> bool: ...
    def __ne__(self, other: object, /) -> bool: ...
    def __lt__(self, other: Proof, /) -> bool: ...
    def __le__(self, other: Proof, /) -> bool: ...
    def __gt__(self, other: Proof, /) -> bool: ...
    def __ge__(self, other: Proof, /) -> bool: ...
    __hash__: ClassVar[None]  # type: ignore[assignment]
    def __str__(self) -> str: ...
    def __repr__(self) -> str: ...
