"""Sample robots shipped inside the package, for examples, tests and the CLI.

``SAMPLE_ROBOTS`` maps each sample name to its URDF file; ``FLOATING_SAMPLES``
names the samples meant for ``velkor.FloatingRobot`` (the others are for
``velkor.Robot``); ``sample_path(name)`` gives a file's path.
"""

from importlib import resources

SAMPLE_ROBOTS = {
    "arm": "velkor_arm.urdf",          # fixed base, 7 revolute joints and a fixed tool
    "quadruped": "velkor_quadruped.urdf",  # floating base, 4 legs of 3 revolute joints
}

# Which handle kind each sample is meant for.
FLOATING_SAMPLES = frozenset({"quadruped"})


def sample_path(name: str) -> str:
    """File-system path (a str) of an embedded sample robot's URDF file.

    "arm": a fixed-base arm of 7 revolute joints and a fixed tool (9 links), for
    ``velkor.Robot``; "quadruped": 4 legs of 3 revolute joints on a floating
    base (17 links), for ``velkor.FloatingRobot``. The path points into the
    installed package; nothing is copied or read. Raises ValueError
    "unknown sample robot ..." for another name.
    """
    try:
        file_name = SAMPLE_ROBOTS[name]
    except KeyError:
        raise ValueError(f"unknown sample robot {name!r}; choose from {sorted(SAMPLE_ROBOTS)}") from None
    return str(resources.files("velkor") / "robots" / file_name)
