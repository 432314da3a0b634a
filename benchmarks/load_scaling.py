"""Load time and peak memory of long generated chains, which must both grow linearly with the file.

    python benchmarks/load_scaling.py [--sizes 10000 20000 40000 100000] [--cli]

Each case runs in a fresh interpreter: it writes the chain's URDF to a temporary file, then times
`Robot(path)` (read, parse, model tables, one workspace), in wall-clock and in CPU time (the
process's; on a busy machine the wall-clock time is mostly waiting), and reports the growth of the
peak resident set size (ru_maxrss) from just before the load to just after it. Cases:

  plain    n revolute joints in a chain, default loading
  pairs    the same chain, every second joint a mimic of the one before it, mimic="couple"
  follow   the same chain, every joint after the first a mimic of the one before it (one group
           of n joints, a mimic chain n long), mimic="couple"
  nested   n/2 nested mimic pairs: joint n-1-i mimics joint i, mimic="couple" (the most groups
           open at once: n/2); only for n up to 1200, since the coupled forward dynamics itself
           costs O(n·(n/2)²)

After the load each coupled case also times its first forward_dynamics call, which sizes the
scratch that only the forward dynamics needs (peak RSS growth reported with it). With --cli the
`velkor info` and `velkor check` commands are timed on the plain files too. Figures vary with the
machine and its load; the script asserts nothing.
"""

import argparse
import json
import os
import subprocess
import sys
import tempfile
import textwrap
import time

INERTIA = '<inertia ixx="0.01" ixy="0" ixz="0" iyy="0.01" iyz="0" izz="0.01"/>'


def chain_urdf(n: int, mimic: str = "") -> str:
    """n revolute joints in a chain of n + 1 links; `mimic`: "", "pairs", "follow" or "nested"."""
    links = "".join(f'<link name="l{i}"><inertial><mass value="1"/>{INERTIA}</inertial></link>' for i in range(n + 1))
    joints = []
    for i in range(n):
        leader = {"pairs": i - 1 if i % 2 else None, "follow": i - 1 if i else None,
                  "nested": n - 1 - i if n - 1 - i < i else None}.get(mimic)
        element = f'<mimic joint="j{leader}" multiplier="0.5"/>' if leader is not None and leader >= 0 else ""
        joints.append(f'<joint name="j{i}" type="revolute"><parent link="l{i}"/><child link="l{i + 1}"/>'
                      f'<origin xyz="0 0 0.1"/><axis xyz="{i % 2} {(i + 1) % 2} 0"/>'
                      f'<limit lower="-3" upper="3" effort="1" velocity="1"/>{element}</joint>')
    return f'<robot name="chain">{links}{"".join(joints)}</robot>'


CHILD = """
import json, resource, sys, time
import numpy as np
import velkor
path, mimic = sys.argv[1], sys.argv[2]
peak = lambda: resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024  # MiB
before = peak()
start, cpu = time.perf_counter(), time.process_time()
robot = velkor.Robot(path, mimic=mimic)
result = {"load_s": time.perf_counter() - start, "load_cpu_s": time.process_time() - cpu, "load_mib": peak() - before}
if mimic == "couple":
    n = robot.joint_count
    q = np.full(n, 0.1)
    before = peak()
    start = time.perf_counter()
    robot.forward_dynamics(q, q, q)
    result.update(fd_s=time.perf_counter() - start, fd_mib=peak() - before)
print(json.dumps(result))
"""


def measure(path: str, mimic: str) -> dict:
    out = subprocess.run([sys.executable, "-c", CHILD, path, mimic], capture_output=True, text=True, check=True)
    return json.loads(out.stdout)


def timed_cli(argv: list[str]) -> float:
    start = time.perf_counter()
    subprocess.run([sys.executable, "-m", "velkor", *argv], capture_output=True, check=False)
    return time.perf_counter() - start


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--sizes", type=int, nargs="+", default=[10_000, 20_000, 40_000, 100_000])
    parser.add_argument("--cli", action="store_true", help="also time velkor info and velkor check")
    args = parser.parse_args()
    print(f"load average {os.getloadavg()[0]:.1f}; {sys.version.split()[0]}")
    print(textwrap.dedent("""
        case     joints   file MB   load s  load cpu s   load MiB   first fd s   first fd MiB""").strip("\n"))
    cases = [(n, kind) for n in args.sizes for kind in ("plain", "pairs", "follow")] + [(1200, "nested")]
    with tempfile.TemporaryDirectory() as folder:
        for n, kind in cases:
            path = os.path.join(folder, f"{kind}{n}.urdf")
            with open(path, "w", encoding="utf-8") as f:
                f.write(chain_urdf(n, "" if kind == "plain" else kind))
            mimic = "reject" if kind == "plain" else "couple"
            r = measure(path, mimic)
            fd = f"{r['fd_s']:12.3f} {r['fd_mib']:14.1f}" if "fd_s" in r else ""
            print(f"{kind:8} {n:6d} {os.path.getsize(path) / 1e6:9.1f} {r['load_s']:8.2f} {r['load_cpu_s']:11.2f} "
                  f"{r['load_mib']:10.1f} {fd}")
            if args.cli and kind == "plain":
                print(f"         velkor info {timed_cli(['info', path]):.2f} s, velkor check {timed_cli(['check', path]):.2f} s")


if __name__ == "__main__":
    main()
