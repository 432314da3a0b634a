"""What the commands of the command-line tool share: output that names and paths cannot drive,
files read whole, robots loaded from their bytes, and the floating base the tool computes with."""

import sys
from collections.abc import Sequence
from typing import Literal

import velkor

Mimic = Literal["reject", "independent", "couple"]
MasslessRoot = Literal["reject", "allow"]
Loaded = velkor.Robot | velkor.FloatingRobot

# Largest file read; far above any real robot, it keeps endless inputs (/dev/zero) from eating memory.
MAX_FILE_BYTES = 64 << 20
# Height of the floating base frame in the poses shown and the calls timed.
BASE_HEIGHT = 0.45
# Widest name shown in a table cell or a row label; longer names keep their two ends around an ellipsis.
NAME_WIDTH = 48
# The largest inertia_tolerance the loader takes.
MAX_INERTIA_TOLERANCE = 1e-3


# ---- output ----

def _escape(character: str) -> str:
    code = ord(character)
    if 0xDC80 <= code <= 0xDCFF:  # an undecodable byte of a path (surrogateescape)
        return f"\\x{code - 0xDC00:02x}"
    return repr(character)[1:-1]


def _visible(text: str, width: int | None = None) -> str:
    """`text` with every non-printable character (controls, escape sequences, invisible format
    characters) written as a backslash escape, cut to `width` characters around an ellipsis."""
    if text.isprintable():
        pieces: Sequence[str] = text
    else:
        pieces = [c if c.isprintable() else _escape(c) for c in text]
    if width is None or sum(map(len, pieces)) <= width:
        return "".join(pieces)
    head: list[str] = []
    tail: list[str] = []
    room = width - 1
    front, back = 0, len(pieces) - 1
    while front <= back:  # take from both ends in turn while whole pieces fit
        piece = pieces[front] if len(head) <= len(tail) else pieces[back]
        if len(piece) > room:
            break
        room -= len(piece)
        if len(head) <= len(tail):
            head.append(piece)
            front += 1
        else:
            tail.append(piece)
            back -= 1
    return "".join(head) + "…" + "".join(reversed(tail))


def _name(text: str) -> str:
    return _visible(text, NAME_WIDTH)


def _say(text: str = "", error: bool = False) -> None:
    """Prints one line; names and paths in it cannot drive the terminal."""
    print(_visible(text), file=sys.stderr if error else sys.stdout)


def _reason(error: BaseException) -> str:
    return str(error) or ("out of memory" if isinstance(error, MemoryError) else type(error).__name__)


# ---- loading ----

class _Unreadable(Exception):
    """A file that cannot be read whole; `reason` is the operating system's or the size limit's text."""

    def __init__(self, reason: str):
        super().__init__(f"failed to parse URDF: {reason}")  # the loader's own wording for such files
        self.reason = reason


def _read(path: str) -> bytes:
    """The whole file, read once: pipes, FIFOs and /dev/stdin have no second reading."""
    chunks, size = [], 0
    try:
        with open(path, "rb") as file:
            while chunk := file.read(1 << 20):
                size += len(chunk)
                if size > MAX_FILE_BYTES:
                    raise _Unreadable(f"file is larger than {MAX_FILE_BYTES} bytes")
                chunks.append(chunk)
    except OSError as error:
        raise _Unreadable(error.strerror or str(error)) from None
    except ValueError:  # open() refuses paths holding NUL
        raise _Unreadable("path contains a NUL character") from None
    return b"".join(chunks)


def _from_bytes(data: bytes, floating: bool, mimic: Mimic = "reject",
                massless_root: MasslessRoot = "reject", inertia_tolerance: float = 0.0) -> Loaded:
    # surrogateescape hands undecodable bytes on, so the loader's verdict on bad UTF-8 is its own
    text = data.decode("utf-8", "surrogateescape")
    if floating:
        return velkor.FloatingRobot.from_urdf_string(text, mimic=mimic, massless_root=massless_root,
                                                     inertia_tolerance=inertia_tolerance)
    return velkor.Robot.from_urdf_string(text, mimic=mimic, inertia_tolerance=inertia_tolerance)


# ---- the robot's base ----

def _base_kind(floating: bool) -> str:
    return "floating base" if floating else "fixed base"


def _base_state(**motion: velkor.Twist) -> velkor.BaseState:
    """Where a floating base stands when the tool computes with one: upright, BASE_HEIGHT above the origin."""
    return velkor.BaseState(frame=velkor.Pose(translation=[0.0, 0.0, BASE_HEIGHT]), **motion)

