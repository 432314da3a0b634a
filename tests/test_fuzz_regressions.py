"""URDF import on the fuzzer's inputs: the seed corpus, the kept regression
inputs, and a seeded random mutation loop over both (the short form of the
libFuzzer run in fuzz/, for machines without clang).

Every input must either load or raise ModelError with one of the description
messages; any other exception, or a crash, fails."""

import random
import re
import time
from pathlib import Path

import pytest
from peers import TESTING

import _velkor

hooks = pytest.importorskip("_velkor_testing", reason=TESTING)

FUZZ = Path(__file__).resolve().parent.parent / "fuzz"
CORPUS = sorted(p for p in (FUZZ / "corpus").iterdir() if p.is_file())
REGRESSIONS = sorted(p for p in (FUZZ / "regressions").iterdir() if p.is_file()) \
    if (FUZZ / "regressions").is_dir() else []

MESSAGE = re.compile(
    r"(failed to parse URDF: .*"
    r"|invalid robot model: .*"
    r"|joint .* uses unsupported type (floating|planar|spherical)"
    r"|joint .* has an invalid axis)",
    re.DOTALL)

MUTANTS = 3000
TIME_BUDGET = 10.0  # seconds for the mutation loop; it stops early past this


def check_load(path):
    """Loads path; returns True when it loaded, False for an accepted ModelError."""
    try:
        model = hooks.load_model(path)
    except _velkor.ModelError as error:
        message = str(error)
        assert MESSAGE.fullmatch(message), f"{path}: unexpected message {message!r}"
        return False
    links, joints = model["links"], model["joints"]
    assert len(links) == len(joints) + 1
    assert model["copies_agree"]
    assert all(p < k + 1 for k, p in enumerate(model["parent"]))
    return True


def dictionary_tokens():
    tokens = []
    for line in (FUZZ / "urdf.dict").read_text(encoding="ascii").splitlines():
        match = re.fullmatch(r'\w*="(.*)"', line.strip())
        if match:
            tokens.append(match.group(1).encode("latin-1").decode("unicode_escape").encode("latin-1"))
    return tokens


def test_corpus_is_there():
    assert len(CORPUS) >= 10
    names = {p.name for p in CORPUS}
    assert {"sample_arm.urdf", "sample_quadruped.urdf"} <= names


@pytest.mark.parametrize("path", CORPUS + REGRESSIONS, ids=lambda p: f"{p.parent.name}/{p.name}")
def test_input_loads_or_fails_cleanly(path):
    check_load(path)


def test_sample_robots_in_corpus_load():
    for name in ("sample_arm.urdf", "sample_quadruped.urdf"):
        assert check_load(FUZZ / "corpus" / name)


def mutate(rng, data, others, tokens):
    data = bytearray(data)
    for _ in range(rng.choice((1, 1, 1, 2, 3, 5))):
        op = rng.randrange(8)
        n = len(data)
        if op == 0 and n:  # flip one bit
            i = rng.randrange(n)
            data[i] ^= 1 << rng.randrange(8)
        elif op == 1 and n:  # one byte set to an interesting value
            data[rng.randrange(n)] = rng.choice(b"\x00\x80\xff<>/\"'=&;- 0189.enaif")
        elif op == 2 and n:  # delete a range
            i = rng.randrange(n)
            del data[i:i + rng.randrange(1, 64)]
        elif op == 3:  # insert a dictionary token
            i = rng.randrange(n + 1)
            data[i:i] = rng.choice(tokens)
        elif op == 4 and n:  # truncate
            del data[rng.randrange(n):]
        elif op == 5:  # splice: head of this input, tail of another
            other = rng.choice(others)
            data = data[:rng.randrange(n + 1)] + other[rng.randrange(len(other) + 1):]
        elif op == 6 and n:  # duplicate a range in place
            i = rng.randrange(n)
            chunk = data[i:i + rng.randrange(1, 256)]
            j = rng.randrange(len(data) + 1)
            data[j:j] = chunk
        elif op == 7 and n:  # overwrite a number-like run with a token
            i = rng.randrange(n)
            token = rng.choice(tokens)
            data[i:i + len(token)] = token
    return bytes(data)


def test_random_mutations(tmp_path):
    rng = random.Random(20240611)
    inputs = [p.read_bytes() for p in CORPUS + REGRESSIONS]
    tokens = dictionary_tokens()
    assert tokens
    loaded = failed = 0
    deadline = time.monotonic() + TIME_BUDGET
    for k in range(MUTANTS):
        if time.monotonic() > deadline:
            break
        data = mutate(rng, rng.choice(inputs), inputs, tokens)
        path = tmp_path / f"mutant{k % 16}.urdf"
        path.write_bytes(data)
        if check_load(path):
            loaded += 1
        else:
            failed += 1
    assert loaded + failed >= 500
    # Both outcomes occur: the mutations are neither all fatal nor all harmless.
    assert loaded > 0 and failed > 0
