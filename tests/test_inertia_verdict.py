"""Inertia sign check at the PSD boundary: exactly singular inertias load, tiny negative ones do not.

Every expected verdict is first confirmed with exact rational principal minors.
"""

import math
from fractions import Fraction

import pytest

import velkor

MESSAGE = "invalid robot model: link base inertia must be positive semi-definite"
NAMES = ("ixx", "ixy", "ixz", "iyy", "iyz", "izz")
ULP = 2.0**-52


def load(tmp_path, inertia):
    values = " ".join(f'{n}="{v!r}"' for n, v in zip(NAMES, inertia))
    path = tmp_path / "robot.urdf"
    path.write_text(f'<?xml version="1.0"?>\n<robot name="r"><link name="base"><inertial>'
                    f'<mass value="1"/><inertia {values}/></inertial></link></robot>\n')
    return velkor.Robot(str(path))


def loads(tmp_path, inertia):
    try:
        load(tmp_path, inertia)
    except velkor.ModelError as error:
        assert str(error) == MESSAGE
        return False
    return True


def exactly_psd(inertia):
    """All seven principal minors of [[a,b,c],[b,d,e],[c,e,f]] are >= 0, in exact arithmetic."""
    a, b, c, d, e, f = map(Fraction, inertia)
    minors = (a, d, f, a * d - b * b, a * f - c * c, d * f - e * e,
              a * d * f + 2 * b * c * e - a * e * e - d * c * c - f * b * b)
    return all(m >= 0 for m in minors)


def scaled(inertia, power):
    return tuple(math.ldexp(x, power) for x in inertia)


def outer(*vectors):
    """Σ v·vᵀ as (ixx, ixy, ixz, iyy, iyz, izz); exact for the small integers used here."""
    return tuple(float(sum(v[i] * v[j] for v in vectors)) for i, j in ((0, 0), (0, 1), (0, 2), (1, 1), (1, 2), (2, 2)))


RANK_ONE = outer((3, -5, 7))
RANK_TWO = outer((1, 1, 0), (0, 1, 1))
TINY_NEGATIVE_BLOCK = (1.0, 1 + ULP, 0.0, 1.0, 0.0, 1.0)  # 2x2 minor −(2^-51 + 2^-104)

SINGULAR = [
    *[pytest.param((x,) * 6, id=f"all-equal-{x!r}") for x in (1e-6, 1e-3, 1.0, 1e-300, 1e300, 5e-324)],
    pytest.param(RANK_ONE, id="rank-one"),
    *[pytest.param(scaled(RANK_ONE, p), id=f"rank-one-2^{p}") for p in (-1000, 900)],
    pytest.param(RANK_TWO, id="rank-two"),
    pytest.param(scaled(RANK_TWO, -1070), id="rank-two-subnormal"),
    # (2^500, 2^-500, 0)·(…)ᵀ: dividing by the largest entry underflows iyy to zero
    pytest.param(outer((2**500, Fraction(1, 2**500), 0)), id="rank-one-graded"),
    pytest.param((2.0,) + (1.0,) * 5, id="all-equal-but-ixx-doubled"),
]

ACCEPTED = [
    *SINGULAR,
    pytest.param((0.0,) * 6, id="zero"),
    pytest.param((-0.0, 0.0, 0.0, 1.0, -0.0, 1.0), id="negative-zeros"),
    pytest.param((1e-300, 0.0, 0.0, 1e300, 0.0, 0.0), id="diagonal-graded"),
    pytest.param((0.0, 0.0, 0.0, 0.0, 0.0, 5e-324), id="diagonal-subnormal"),
]

REJECTED = [
    pytest.param(TINY_NEGATIVE_BLOCK, id="block"),
    *[pytest.param(scaled(TINY_NEGATIVE_BLOCK, p), id=f"block-2^{p}") for p in (-1000, 1000)],
    pytest.param((1e-6,) * 3 + (math.nextafter(1e-6, 0),) + (1e-6,) * 2, id="all-equal-but-iyy-one-ulp-less"),
    pytest.param((1.0,) * 5 + (1 - ULP / 2,), id="all-equal-but-izz-one-ulp-less"),
    # the graded rank-one matrix with iyy one ulp less: smallest eigenvalue about -2^-1053
    pytest.param((2.0**1000, 1.0, 0.0, 2.0**-1000 * (1 - ULP / 2), 0.0, 0.0), id="graded-tiny-negative"),
    # dividing by 1e300 rounds -1e-300 to -0
    pytest.param((1e300, 0.0, 0.0, 1e300, 0.0, -1e-300), id="diagonal-tiny-negative"),
    pytest.param((-1e-6,) * 6, id="all-equal-negative"),
    pytest.param((0.0, 1e-300, 0.0, 0.0, 0.0, 0.0), id="off-diagonal-only"),
    pytest.param((1.0, 2.0, 0.0, 1.0, 0.0, 1.0), id="indefinite"),
    pytest.param((1.0, 0.0, 0.0, 1.0, 0.0, -1.0), id="negative-diagonal"),
]


@pytest.mark.parametrize("inertia", ACCEPTED)
def test_accepted(tmp_path, inertia):
    assert exactly_psd(inertia)
    load(tmp_path, inertia)


@pytest.mark.parametrize("inertia", REJECTED)
def test_rejected(tmp_path, inertia):
    assert not exactly_psd(inertia)
    with pytest.raises(velkor.ModelError) as info:
        load(tmp_path, inertia)
    assert str(info.value) == MESSAGE


@pytest.mark.parametrize("toward", (-math.inf, math.inf), ids=("down", "up"))
@pytest.mark.parametrize("entry", range(6), ids=NAMES)
@pytest.mark.parametrize("inertia", SINGULAR)
def test_one_ulp_off_singular(tmp_path, inertia, entry, toward):
    """Moving one entry of a singular PSD inertia by one ulp lands on either side; the loader agrees."""
    nudged = list(inertia)
    nudged[entry] = math.nextafter(nudged[entry], toward)
    assert loads(tmp_path, nudged) == exactly_psd(nudged)
