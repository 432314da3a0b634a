"""Hostile use: the interpreter exiting while threads compute, fork() while a call runs, loading
files that block, signals during loads and long solves, and out arrays that share memory with an
input under another address. Scenarios that could hang or abort run in a child process whose
watchdog turns a hang into a failure with every thread's stack."""

import os
import subprocess
import sys
import textwrap
from pathlib import Path

import numpy as np
import pytest

import velkor
from velkor.samples import sample_path

PRELUDE = """
import faulthandler, os, signal, sys, threading, time
import numpy as np
import velkor
from velkor.samples import sample_path
faulthandler.dump_traceback_later(30, exit=True)
# Ctrl-C raises KeyboardInterrupt here even when the suite was started with SIGINT ignored
signal.signal(signal.SIGINT, signal.default_int_handler)
ARM = sample_path("arm")
MAIN = threading.main_thread().ident
UNREACHABLE = velkor.Pose([5, 5, 5])
"""


def run_child(body):
    """Runs PRELUDE + body in a new interpreter; returns (exit status, stdout, stderr)."""
    code = PRELUDE + textwrap.dedent(body)
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    return result.returncode, result.stdout, result.stderr


# ---- the interpreter exits while daemon threads are inside calls ----

EXIT_WHILE_COMPUTING = """
r = velkor.Robot(ARM)

def spin():
    while True:
        try:
            r.inverse_kinematics(np.zeros(7), 8, UNREACHABLE, velkor.IkOptions(max_iterations=20000))
        except velkor.SolverError:
            pass

for _ in range(4):
    threading.Thread(target=spin, daemon=True).start()
time.sleep(0.3)
"""


def test_exit_while_daemon_threads_compute():
    status, _, err = run_child(EXIT_WHILE_COMPUTING)
    assert status == 0, err


def test_finalizer_can_use_a_handle_whose_caller_was_stopped_at_exit():
    # The handle is busy in a daemon thread when the interpreter shuts down; that thread is
    # stopped for good, and a finalizer that runs later must still get the handle.
    status, out, err = run_child(EXIT_WHILE_COMPUTING + """
class Closer:
    def __init__(self, robot):
        self.robot, self.write = robot, os.write
    def __del__(self):
        self.robot.close()
        self.write(1, b"closed\\n")

sys.closer = Closer(r)  # the sys module is cleared last, after the daemon threads were stopped
""")
    assert status == 0, err
    assert out == "closed\n"


def test_the_exiting_thread_still_computes_in_finalizers():
    # The daemon threads are parked at the shutdown; the thread that runs it is not.
    status, out, err = run_child(EXIT_WHILE_COMPUTING + """
q = np.full(7, 0.1)

class Computer:
    def __init__(self, robot):
        self.robot, self.write = robot, os.write
        self.expected = velkor.Robot(ARM).gravity(q).tobytes()
    def __del__(self):
        same = self.robot.gravity(q).tobytes() == self.expected
        self.write(1, b"same\\n" if same else b"differs\\n")

sys.computer = Computer(r)
""")
    assert status == 0, err
    assert out == "same\n"


def test_an_exit_callback_can_wait_for_a_thread_that_computes():
    # Registered before velkor is imported, so it runs after velkor's own exit callback: the
    # thread it waits for must still get the interpreter lock back after each call.
    code = """
import atexit, threading
stop = threading.Event()

def wait_for_worker():
    stop.set()
    worker.join()
    print("joined", calls > 0)

atexit.register(wait_for_worker)
""" + PRELUDE + """
r = velkor.Robot(ARM)
calls = 0

def work():
    global calls
    q = np.zeros(7)
    while not stop.is_set():
        r.gravity(q)
        calls += 1

worker = threading.Thread(target=work, daemon=True)
worker.start()
time.sleep(0.2)
"""
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    assert result.returncode == 0, result.stderr
    assert result.stdout == "joined True\n"


# ---- fork() while other threads are inside calls ----

def test_fork_while_calls_run_leaves_a_working_child():
    status, out, err = run_child("""
    r = velkor.Robot(ARM)
    buffer = r.load_buffer()
    buffer.set(8, force=[0, 0, 1])
    q = np.full(7, 0.1)
    waiting_out = np.empty(7)
    expected = velkor.Robot(ARM).gravity(q, loads=[velkor.Load(8, force=[0, 0, 1])])
    solving = threading.Event()

    def long_solve():  # holds the handle's lock for seconds
        solving.set()
        try:
            r.inverse_kinematics(np.zeros(7), 8, UNREACHABLE, velkor.IkOptions(max_iterations=1_000_000))
        except velkor.SolverError:
            pass

    def waiting_call():  # holds q, waiting_out and a borrow of buffer while it waits for the lock
        r.gravity(q, loads=buffer, out=waiting_out)

    threading.Thread(target=long_solve, daemon=True).start()
    solving.wait()
    time.sleep(0.1)
    threading.Thread(target=waiting_call, daemon=True).start()
    time.sleep(0.1)
    pid = os.fork()
    if pid == 0:
        steps = []
        try:
            np.testing.assert_array_equal(r.gravity(q, loads=buffer, out=waiting_out), expected)
            steps.append("handle")
            buffer.set(8, force=[0, 0, 1])
            steps.append("buffer")
            fork = r.fork()
            np.testing.assert_array_equal(fork.gravity(q, loads=buffer), expected)
            steps.append("fork")
            fresh = r.load_buffer()
            fresh.set(8, force=[0, 0, 1])
            np.testing.assert_array_equal(r.gravity(q, loads=fresh, out=q.copy()), expected)
            steps.append("new buffer")
            os.write(1, (" ".join(steps) + "\\n").encode())
            os._exit(0)
        except BaseException as error:
            os.write(2, f"after {steps}: {error!r}\\n".encode())
            os._exit(1)
    _, status = os.waitpid(pid, 0)
    print("child", os.waitstatus_to_exitcode(status))
    np.testing.assert_array_equal(r.gravity(q, loads=buffer), expected)  # the parent goes on
    print("parent ok")
    """)
    assert status == 0, err
    assert out == "handle buffer fork new buffer\nchild 0\nparent ok\n", err


# ---- loading: without the interpreter lock, through signals ----

def test_load_from_a_fifo_fed_by_a_thread_of_the_same_process(tmp_path):
    fifo = tmp_path / "robot.urdf"
    os.mkfifo(fifo)
    status, out, err = run_child(f"""
    def feed():
        with open({str(fifo)!r}, "w") as f:
            f.write(open(ARM).read())

    threading.Thread(target=feed).start()
    print(velkor.Robot({str(fifo)!r}).link_count)
    """)
    assert status == 0, err
    assert out == f"{velkor.Robot(sample_path('arm')).link_count}\n"


def test_harmless_signals_during_a_load_run_their_handler_and_the_load_goes_on(tmp_path):
    fifo = tmp_path / "robot.urdf"
    os.mkfifo(fifo)
    status, out, err = run_child(f"""
    seen = []
    signal.signal(signal.SIGUSR1, lambda *_: seen.append("usr1"))
    text = open(ARM).read()

    def feed():
        time.sleep(0.2)
        signal.pthread_kill(MAIN, signal.SIGUSR1)  # while the loader waits in open()
        time.sleep(0.2)
        with open({str(fifo)!r}, "w") as f:
            f.write(text[:100])
            f.flush()
            time.sleep(0.2)
            signal.pthread_kill(MAIN, signal.SIGUSR1)  # while it waits in read()
            time.sleep(0.2)
            f.write(text[100:])

    threading.Thread(target=feed).start()
    r = velkor.Robot({str(fifo)!r})
    print(r.link_count, seen)
    """)
    assert status == 0, err
    assert out == f"{velkor.Robot(sample_path('arm')).link_count} ['usr1', 'usr1']\n"


def test_ctrl_c_during_a_load_raises_keyboard_interrupt(tmp_path):
    fifo = tmp_path / "robot.urdf"
    os.mkfifo(fifo)
    status, out, err = run_child(f"""
    def once(*_):
        signal.signal(signal.SIGINT, signal.SIG_IGN)  # the presses that follow are not for the load
        raise KeyboardInterrupt

    def press_ctrl_c_while_the_loader_waits():
        # Opening the writing end without blocking succeeds once the loader has the file open; it
        # then waits for data that never comes. A press that lands between its open() and read()
        # cuts no wait short and is heard at the next one, so the presses repeat.
        while True:
            try:
                os.open({str(fifo)!r}, os.O_WRONLY | os.O_NONBLOCK)
                break
            except OSError:
                time.sleep(0.001)
        while True:
            signal.pthread_kill(MAIN, signal.SIGINT)
            time.sleep(0.01)

    signal.signal(signal.SIGINT, once)
    try:
        threading.Thread(target=press_ctrl_c_while_the_loader_waits, daemon=True).start()
        velkor.Robot({str(fifo)!r})
    except KeyboardInterrupt:
        print("interrupted")
    """)
    assert status == 0, err
    assert out == "interrupted\n"


def test_the_ctrl_c_tests_pass_in_a_suite_started_with_sigint_ignored():
    # as a background job of a non-interactive shell, nohup or some CI runners start it
    tests = ["tests/test_batch.py::test_ctrl_c_ends_a_long_batch[1]",
             "tests/test_hostile.py::test_ctrl_c_ends_a_batch_of_heavy_rows_after_the_row_it_is_in"]
    code = ("import os, signal, sys; signal.signal(signal.SIGINT, signal.SIG_IGN); os.execv(sys.executable, "
            "[sys.executable, '-m', 'pytest', '-q', '-p', 'no:cacheprovider', *sys.argv[1:]])")
    result = subprocess.run([sys.executable, "-c", code, *tests], cwd=Path(__file__).parent.parent,
                            capture_output=True, text=True, timeout=300)
    assert result.returncode == 0 and "2 passed" in result.stdout, result.stdout + result.stderr


# ---- signals during a long inverse kinematics solve ----

@pytest.mark.parametrize(
    "handler, outcome",
    [
        ("signal.default_int_handler", "KeyboardInterrupt()"),
        ("raising", "RuntimeError('stop')"),
        # a handler that uses the busy handle gets an error instead of waiting for itself
        ("reentering", "RuntimeError('robot is in use by a call on this thread')"),
    ],
)
def test_signal_ends_a_long_solve_with_the_handlers_exception(handler, outcome):
    status, out, err = run_child(f"""
    r = velkor.Robot(ARM)

    def raising(*_):
        raise RuntimeError("stop")

    def reentering(*_):
        r.link_count

    signal.signal(signal.SIGINT, {handler})
    out = np.full(7, 42.0)
    try:
        threading.Timer(0.3, signal.pthread_kill, (MAIN, signal.SIGINT)).start()
        r.inverse_kinematics(np.zeros(7), 8, UNREACHABLE, velkor.IkOptions(max_iterations=10**9), out=out)
    except BaseException as error:
        print(repr(error))
    assert (out == 42.0).all(), out
    np.testing.assert_array_equal(r.gravity(np.zeros(7)), velkor.Robot(ARM).gravity(np.zeros(7)))
    """)
    assert status == 0, err
    assert out == outcome + "\n"


def test_a_handler_that_does_not_raise_lets_the_solve_go_on():
    status, out, err = run_child("""
    r = velkor.Robot(ARM)
    seen = []
    signal.signal(signal.SIGUSR1, lambda *_: seen.append(1))
    threading.Timer(0.05, signal.pthread_kill, (MAIN, signal.SIGUSR1)).start()
    try:
        r.inverse_kinematics(np.zeros(7), 8, UNREACHABLE, velkor.IkOptions(max_iterations=1_000_000))
    except velkor.SolverError as error:
        print(str(error).split(" (")[0], seen)
    """)
    assert status == 0, err
    assert out == "inverse kinematics did not converge after 1000000 iterations [1]\n"


# ---- out sharing memory with an input under another address ----

ARM_TARGET = 8


def arm_calls(robot, n):
    return {
        "forward_kinematics_all": (1, 7 * robot.link_count, lambda q, qd, qdd, out: robot.forward_kinematics_all(q, out=out)),
        "jacobian": (1, 6 * n, lambda q, qd, qdd, out: robot.jacobian(q, ARM_TARGET, out=out)),
        "jacobian_derivative": (2, 6 * n, lambda q, qd, qdd, out: robot.jacobian_derivative(q, qd, ARM_TARGET, out=out)),
        "mass_matrix": (1, n * n, lambda q, qd, qdd, out: robot.mass_matrix(q, out=out)),
        "gravity": (1, n, lambda q, qd, qdd, out: robot.gravity(q, out=out)),
        "inverse_dynamics": (3, n, lambda q, qd, qdd, out: robot.inverse_dynamics(q, qd, qdd, out=out)),
        "velocity_product_forces": (2, n, lambda q, qd, qdd, out: robot.velocity_product_forces(q, qd, out=out)),
        "forward_dynamics": (3, n, lambda q, qd, qdd, out: robot.forward_dynamics(q, qd, qdd, out=out)),
    }


def floating_calls(robot, n):
    base = velkor.BaseState(velkor.Pose([0.1, 0.2, 0.3], [0.1, 0.2, 0.3, 0.9]),
                            velkor.Twist([0.1, 0.2, 0.3], [0.3, 0.2, 0.1]))
    N = n + 6
    return {
        "mass_matrix": (1, N * N, lambda q, qd, qdd, out: robot.mass_matrix(base, q, out=out)),
        "gravity": (1, N, lambda q, qd, qdd, out: robot.gravity(base, q, out=out)),
        "inverse_dynamics": (3, N, lambda q, qd, qdd, out: robot.inverse_dynamics(base, q, qd, qdd, out=out)),
        "velocity_product_forces": (2, N, lambda q, qd, qdd, out: robot.velocity_product_forces(base, q, qd, out=out)),
        "jacobian": (1, 6 * N, lambda q, qd, qdd, out: robot.jacobian(base, q, 5, out=out)),
    }


def two_maps(path, size):
    """Two writable maps of one file: the same bytes at two addresses."""
    path.write_bytes(bytes(8 * size))
    return (np.memmap(path, dtype=np.float64, mode="r+", shape=(size,)),
            np.memmap(path, dtype=np.float64, mode="r+", shape=(size,)))


CASES = [
    (robot_name, name, aliased)
    for robot_name, calls in [("arm", arm_calls(velkor.Robot(sample_path("arm")), 7)),
                              ("quadruped", floating_calls(velkor.FloatingRobot(sample_path("quadruped")), 12))]
    for name, (count, _, _) in calls.items()
    for aliased in range(count)
]


@pytest.mark.parametrize("robot_name, method, aliased_input", CASES)
def test_out_sharing_memory_with_an_input_under_another_address(tmp_path, robot_name, method, aliased_input):
    if robot_name == "arm":
        robot = velkor.Robot(sample_path("arm"))
        calls = arm_calls(robot, robot.joint_count)
    else:
        robot = velkor.FloatingRobot(sample_path("quadruped"))
        calls = floating_calls(robot, robot.joint_count)
    n = robot.joint_count
    _, length, call = calls[method]
    # the third input is forces (length N) for forward dynamics and qdd (length n) otherwise
    sizes = [n, n, robot.generalized_count if method == "forward_dynamics" else n]
    starts = np.cumsum([0] + sizes)
    inputs_map, out_map = two_maps(tmp_path / "shared.bin", max(starts[-1], starts[aliased_input] + length))
    rng = np.random.default_rng(3)
    values = [rng.uniform(-1.0, 1.0, size) for size in sizes]
    for start, value in zip(starts, values):
        inputs_map[start:start + len(value)] = value
    inputs = [inputs_map[start:start + size] for start, size in zip(starts, sizes)]
    out = out_map[starts[aliased_input]:starts[aliased_input] + length]

    expected = call(*values, None)
    result = call(*inputs, out)

    assert result is out
    np.testing.assert_array_equal(np.asarray(out), expected)


def test_solve_with_out_sharing_memory_with_q(tmp_path):
    robot = velkor.Robot(sample_path("arm"))
    q_map, out_map = two_maps(tmp_path / "shared.bin", 7)
    q_map[:] = 0.0
    target = robot.forward_kinematics(np.full(7, 0.05), ARM_TARGET)
    expected = robot.inverse_kinematics(np.zeros(7), ARM_TARGET, target)
    np.testing.assert_array_equal(robot.inverse_kinematics(q_map, ARM_TARGET, target, out=out_map), expected)


# ---- smaller confusing errors ----

@pytest.mark.parametrize(
    "prolog",
    [
        '<!DOCTYPE robot [<!ENTITY a "aaaaaaaaaa"><!ENTITY b "&a;&a;&a;&a;">]>',
        '<?xml version="1.0"?>\n<!-- billion laughs -->\n<!DOCTYPE robot [<!ENTITY x SYSTEM "file:///etc/passwd">]>',
        "<!DOCTYPE robot [ ]>",
    ],
)
def test_doctype_with_an_internal_subset_is_refused_by_name(tmp_path, prolog):
    path = tmp_path / "robot.urdf"
    path.write_text(prolog + '\n<robot name="r"><link name="base"/></robot>')
    with pytest.raises(velkor.ModelError) as error:
        velkor.Robot(str(path))
    assert str(error.value) == "failed to parse URDF: DOCTYPE declarations with internal subsets are not supported"


def test_doctype_without_an_internal_subset_is_accepted(tmp_path):
    path = tmp_path / "robot.urdf"
    path.write_text('<!DOCTYPE robot>\n<robot name="r"><link name="base"/></robot>')
    assert velkor.Robot(str(path)).link_count == 1


@pytest.mark.parametrize("name", ["\ud800", "base\udfff", "\udc80link"])
def test_link_id_with_lone_surrogates_does_not_exist(name):
    robot = velkor.Robot(sample_path("arm"))
    with pytest.raises(ValueError, match="does not exist in the model") as error:
        robot.link_id(name)
    assert not isinstance(error.value, UnicodeError)


# ---- batches: threads the system cannot start, heavy rows, file-backed aliasing ----

@pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""),
                    reason="the address sanitizer needs more address space than the limit leaves")
def test_batch_runs_its_rows_when_threads_cannot_start():
    # Under an address-space limit no 8 MiB thread stack fits: the rows run on the threads there are.
    status, out, err = run_child("""
    import resource
    r = velkor.Robot(ARM)
    q = np.random.default_rng(1).uniform(-1, 1, (5000, 7))
    expected = r.batch(1).gravity(q)
    batch = r.batch(256)
    size = int(next(l for l in open("/proc/self/status") if l.startswith("VmSize")).split()[1]) * 1024
    soft, hard = resource.getrlimit(resource.RLIMIT_AS)
    resource.setrlimit(resource.RLIMIT_AS, (size + (48 << 20), hard))
    try:
        got = batch.gravity(q)
    finally:
        resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
    print(np.array_equal(got, expected))
    """)
    assert status == 0, err
    assert out == "True\n"


BATCH_CONSTRAINED_CALLS = {
    "constrained_forward_dynamics": "batch.constrained_forward_dynamics(bases, q, q, tau, cs, regularization=1e-6)",
    "impulse_dynamics": "batch.impulse_dynamics(bases, q, q, cs, regularization=1e-6)",
    "constraint_jacobian": "batch.constraint_jacobian(bases, q, cs)",
    "constrained_dynamics_derivatives": "batch.constrained_dynamics_derivatives(bases, q, q, tau, cs)",
    "rollout": "batch.rollout(start, tau, tau[:, None], 1e-3, constraints=cs)",
}


@pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""),
                    reason="the address sanitizer needs more address space than the limit leaves")
@pytest.mark.parametrize("threads", [1, 2])
@pytest.mark.parametrize("method", BATCH_CONSTRAINED_CALLS)
def test_batch_constrained_methods_run_out_of_memory_with_memory_error(method, threads):
    # 12,000 point contacts are 36,000 rows, whose J M⁻¹ Jᵀ alone needs 10 GiB: under an
    # address-space limit the row's scratch cannot be made, which is MemoryError as in a single call.
    status, out, err = run_child(f"""
    import resource
    r = velkor.FloatingRobot(sample_path("quadruped"))
    feet = [r.link_id(f"{{leg}}_foot") for leg in ("front_left", "front_right", "hind_left", "hind_right")]
    many = r.constraint_set([velkor.Contact(feet[i % 4]) for i in range(12_000)])
    four = r.constraint_set([velkor.Contact(f) for f in feet])
    batch = r.batch({threads})
    bases = [velkor.BaseState(velkor.Pose([0.0, 0.0, 0.5]))] * 3
    q, tau = np.zeros((3, 12)), np.zeros((3, 18))
    start = np.tile(np.r_[0.0, 0.0, 0.5, 0.0, 0.0, 0.0, 1.0, np.zeros(12)], (3, 1))  # position, quaternion, joints
    size = int(next(l for l in open("/proc/self/status") if l.startswith("VmSize")).split()[1]) * 1024
    soft, hard = resource.getrlimit(resource.RLIMIT_AS)
    resource.setrlimit(resource.RLIMIT_AS, (size + (1 << 30), hard))
    try:
        cs = many
        try:
            {BATCH_CONSTRAINED_CALLS[method]}
        except MemoryError as error:
            print(f"MemoryError: {{error}}")
        except Exception as error:
            print(f"{{type(error).__name__}}: {{error}}")
    finally:
        resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
    cs = four  # the handle and its batch compute on
    result = {BATCH_CONSTRAINED_CALLS[method]}
    print(all(np.isfinite(a).all() for a in (result if isinstance(result, tuple) else (result,))))
    """)
    assert status == 0, err
    assert out == "MemoryError: out of memory (row 0)\nTrue\n"


def test_ctrl_c_ends_a_batch_of_heavy_rows_after_the_row_it_is_in():
    status, out, err = run_child("""
    links = "".join(f'<link name="l{i}"><inertial><mass value="1"/><inertia ixx="0.1" ixy="0" ixz="0" '
                    f'iyy="0.1" iyz="0" izz="0.1"/></inertial></link>' for i in range(601))
    joints = "".join(f'<joint name="j{i}" type="revolute"><parent link="l{i}"/><child link="l{i + 1}"/>'
                     f'<origin xyz="0 0 0.1"/><axis xyz="{i % 2} {(i + 1) % 2} 0"/>'
                     f'<limit lower="-3" upper="3" effort="1" velocity="1"/></joint>' for i in range(600))
    r = velkor.Robot.from_urdf_string(f'<robot name="chain">{links}{joints}</robot>')
    q = np.full((8, 600), 0.1)
    out = tuple(np.full((8, 600 * 600), np.nan) for _ in range(3))

    def press_ctrl_c_after_the_first_row():
        while np.isnan(out[2][0]).any():
            time.sleep(0.001)
        signal.pthread_kill(MAIN, signal.SIGINT)

    try:
        threading.Thread(target=press_ctrl_c_after_the_first_row, daemon=True).start()
        r.batch(1).forward_dynamics_derivatives(q, q, q, out=out)
    except KeyboardInterrupt:
        print("interrupted", np.isnan(out[0][-1]).all())
    """)
    assert status == 0, err
    assert out == "interrupted True\n"  # the last row never started


def two_maps_2d(path, rows, columns):
    path.write_bytes(bytes(8 * rows * columns))
    return (np.memmap(path, dtype=np.float64, mode="r+", shape=(rows, columns)),
            np.memmap(path, dtype=np.float64, mode="r+", shape=(rows, columns)))


@pytest.mark.parametrize("threads", [1, 2])
@pytest.mark.parametrize("method", ["gravity", "inverse_dynamics"])
def test_batch_rows_written_over_a_later_rows_input_under_another_address(tmp_path, method, threads):
    robot = velkor.Robot(sample_path("arm"))
    inputs, outputs = two_maps_2d(tmp_path / "shared.bin", 7, 7)
    inputs[:] = np.random.default_rng(4).uniform(-1, 1, (7, 7))
    q = inputs[:6]
    args = (q,) if method == "gravity" else (q, q, q)
    expected = getattr(robot.batch(1), method)(*(np.array(a) for a in args))
    getattr(robot.batch(threads), method)(*args, out=outputs[1:])  # row i lands on the input of row i + 1
    np.testing.assert_array_equal(np.asarray(outputs[1:]), expected)


@pytest.mark.parametrize("batched", [False, True])
def test_derivative_outs_mapping_one_file_twice(tmp_path, batched):
    robot = velkor.Robot(sample_path("arm"))
    q = np.random.default_rng(5).uniform(-1, 1, (2, 7))
    call = robot.batch(1).inverse_dynamics_derivatives if batched else robot.inverse_dynamics_derivatives
    args = (q, q, q) if batched else (q[0], q[0], q[0])
    shape = (2, 49) if batched else (49,)
    first, second = two_maps_2d(tmp_path / "same.bin", 2, 49)
    with pytest.raises(ValueError, match="the arrays in out must not overlap"):
        call(*args, out=(first, second) if batched else (first[0], second[0]))
    # two maps of one file at different places share nothing: written as usual
    path = tmp_path / "apart.bin"
    path.write_bytes(bytes(8 * 2 * 98))
    apart = [np.memmap(path, dtype=np.float64, mode="r+", shape=shape, offset=8 * 98 * i) for i in (0, 1)]
    expected = call(*args)
    call(*args, out=tuple(apart))
    for got, want in zip(apart, expected):
        np.testing.assert_array_equal(np.asarray(got), want)
