"""Sample robots shipped inside the package, for examples, tests and the CLI."""

from importlib import resources

SAMPLE_ROBOTS = {
    "arm": "velkor_arm.urdf",          # fixed base, 7 revolute joints and a fixed tool
    "quadruped": "velkor_quadruped.urdf",  # floating base, 4 legs of 3 revolute joints
}

# Which handle kind each sample is meant for.
FLOATING_SAMPLES = frozenset({"quadruped"})


def sample_path(name: str) -> str:
    """File-system path of an embedded sample robot ("arm" or "quadruped")."""
    try:
        file_name = SAMPLE_ROBOTS[name]
    except KeyError:
        raise ValueError(f"unknown sample robot {name!r}; choose from {sorted(SAMPLE_ROBOTS)}") from None
    return str(resources.files("velkor") / "robots" / file_name)
