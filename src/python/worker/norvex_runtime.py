"""The Python side of norvex's code execution.

One execution function serves both hosts: the interpreter embedded in the library (which
loads this text as the module ``norvex_runtime``) and the analysis fork server (this text
started as ``python3 -c <text> <confinement library>``, which runs ``_serve`` below): a warm
process that imports the analysis stack once and forks a fresh, confined child per run.
"""

import ast
import datetime
import importlib
import io
import json
import os
import site
import struct
import sys
import threading
import time

_environment = {"generation": -1}


def use_environment(env_dir, generation):
    """Makes the packages of the virtual environment at env_dir importable.

    Called before every run; does work only when the environment or its packages changed.
    """
    if generation == _environment["generation"]:
        return
    _environment["generation"] = generation
    if env_dir:
        packages = packages_dir(env_dir)
        if os.path.isdir(packages) and packages not in sys.path:
            site.addsitedir(packages)
    # Packages installed since the last run live in folders whose listings are cached.
    importlib.invalidate_caches()


def packages_dir(env_dir):
    """Where the virtual environment at env_dir keeps its packages."""
    return os.path.join(env_dir, "lib", "python%d.%d" % sys.version_info[:2], "site-packages")


def run(code, namespace):
    """Runs code in namespace (globals and locals) and returns what it printed.

    Parsing happens before stdout is replaced, so a syntax error never touches it; the
    previous stdout is back in place whatever the code does.
    """
    tree = ast.parse(code, mode="exec")
    backup = sys.stdout
    buffer = io.StringIO()
    sys.stdout = buffer
    try:
        exec(compile(tree, "<ast>", "exec"), namespace, namespace)
        return buffer.getvalue()
    finally:
        sys.stdout = backup


def _close_figures():
    # pyplot keeps figures in the process: without this, one run's chart would draw on top
    # of the previous run's figure.
    pyplot = sys.modules.get("matplotlib.pyplot")
    if pyplot is not None:
        try:
            pyplot.close("all")
        except Exception:
            pass


def analyse(code, env_dir=None, generation=0):
    """Runs analysis code in a fresh namespace holding only ``datetime``.

    Returns a dict: status "ok" with output, "error" (an ordinary exception: type name and
    message) or "exit" (SystemExit, KeyboardInterrupt and other non-Exception errors).
    """
    use_environment(env_dir, generation)
    namespace = {"datetime": datetime}
    try:
        return {"status": "ok", "output": run(code, namespace)}
    except Exception as error:
        return {"status": "error", "type": type(error).__name__, "message": str(error)}
    except BaseException as error:
        code_value = getattr(error, "code", None) if isinstance(error, SystemExit) else None
        if code_value is None and isinstance(error, SystemExit):
            code_value = 0
        return {
            "status": "exit",
            "type": type(error).__name__,
            "message": str(error),
            "exit_code": code_value if isinstance(code_value, int) else None,
        }
    finally:
        namespace.clear()
        _close_figures()


# ---- the analysis fork server ------------------------------------------------------------
#
# The library talks to the server over descriptor 3 in length-prefixed JSON frames. Each
# request arrives with a descriptor of its own (SCM_RIGHTS): that run's channel. The server
# never sees what a run is asked to do: the library writes the request (code, paths) on the
# run's channel, where only the run reads it, and tells the server only its limits. So the
# server, from which every run is forked, holds nothing of one tenant's request or data for
# the next run to find in its memory. Every run
# takes place in a fresh process forked from the server. The server keeps one such process
# forked ahead, idle and ready (the spare), so that a request does not wait for a fork: it
# hands the request and its channel to the spare, forks the next spare and goes back to its
# loop, so runs proceed side by side. The run holds its channel at descriptor 3, says
# {"started": pid} there (the library kills that process at the time limit), confines
# itself, runs the code and writes its result there too. The server keeps its own copy of
# the channel: when the library closes it, the run is killed; when the run's process has
# ended, the server cleans up after it and writes {"status": "died", "how": ...}, which the
# library reads only when no result came before it. While a run lasts the server watches its
# thread count and what it writes to its folders, and stops a run that passes its limits.

_CHANNEL = 3
_CONTROL = 4  # a spare's end of its link to the server, where its request comes
_MAX_FD = 1 << 30
_HEADER = struct.Struct(">I")
_MAX_REQUEST = 64 << 20  # a request larger than this is refused, not read
_WATCH_INTERVAL = 0.01  # seconds between two looks at the running runs
# The most files, folders and links a run may make in its folders: walking 10,000 takes the
# server about 35 ms, during which it watches no run.
_MAX_ENTRIES = 10000

# Read-only for the run: what the interpreter and its libraries load, never the caller's
# folders. Paths that do not exist on a system are skipped.
_READ_ONLY = (
    "/usr/lib", "/usr/lib64", "/usr/lib32", "/usr/libexec", "/usr/share", "/usr/bin",
    "/usr/local/lib", "/usr/local/share", "/lib", "/lib64", "/lib32", "/bin",
    "/etc/ld.so.cache", "/etc/localtime", "/etc/matplotlibrc", "/etc/mime.types",
    "/dev/urandom", "/dev/random", "/dev/zero", "/proc/cpuinfo",
    "/proc/meminfo", "/sys/devices/system/cpu",
)
# What a run may read of its own /proc entry: not "net" (the host's sockets) nor "task"
# (which holds "net" again). Resolved in the run's own process.
_PROC_SELF = (
    "auxv", "cgroup", "cmdline", "comm", "environ", "exe", "fd", "fdinfo", "limits", "maps",
    "mem", "mountinfo", "mounts", "smaps", "stat", "statm", "status",
)
_READ_WRITE = ("/dev/null",)


def _frame(message):
    body = json.dumps(message, ensure_ascii=False).encode("utf-8", "replace")
    return _HEADER.pack(len(body)) + body


def _send(message, fd=_CHANNEL):
    data = memoryview(_frame(message))
    while data:
        data = data[os.write(fd, data):]


def _send_with_fd(fd, data, passed):
    """Writes data on the stream socket fd, passing the descriptor passed with its first byte."""
    import socket

    link = socket.socket(fileno=fd)
    try:
        sent = socket.send_fds(link, [data], [passed])
        if sent < len(data):
            link.sendall(data[sent:])
    finally:
        link.detach()


def _receive_frame(fd):
    """One frame and the descriptors that came with it from the stream socket fd; (None, [])
    when the other end closed first."""
    import socket

    link = socket.socket(fileno=fd)
    data, received = b"", []
    try:
        while len(data) < _HEADER.size or len(data) < _HEADER.size + _HEADER.unpack(
                data[:_HEADER.size])[0]:
            chunk, fds, _, _ = socket.recv_fds(link, 1 << 20, 4)
            received.extend(fds)
            if not chunk:
                return None, received
            data += chunk
    finally:
        link.detach()
    return data[_HEADER.size:], received


def _watch_parent(parent):
    # A server whose library process died must not live on.
    while True:
        time.sleep(1.0)
        if os.getppid() != parent:
            os._exit(0)


def _preload():
    # Loaded once here so that each run pays only for its own work (the standard modules the
    # per-run code imports, too: children then find them loaded).
    for name in ("resource", "select", "shutil", "signal", "socket", "tempfile"):
        importlib.import_module(name)
    for name in ("numpy", "pandas", "matplotlib"):
        try:
            importlib.import_module(name)
        except Exception:
            pass
    try:
        import matplotlib

        matplotlib.use("agg")
        importlib.import_module("matplotlib.pyplot")
    except Exception:
        pass
    _exercise()


def _exercise():
    # Much of pandas and matplotlib initialises itself on first use: group-by machinery, fonts,
    # the PNG writer. Done once here, on throwaway data, no run pays for it again.
    try:
        import pandas

        frame = pandas.DataFrame({"k": [1, 2, 1], "v": [1.0, 2.0, 3.0], "s": ["a", "b", "c"]})
        frame.groupby("k")["v"].agg(["sum", "mean", "count"])
        frame.sort_values("v").head(2).to_string()
    except Exception:
        pass
    try:
        import matplotlib.pyplot as pyplot

        figure, axes = pyplot.subplots()
        axes.bar(["a", "b"], [1, 2])
        axes.set_title("t")
        figure.savefig(io.BytesIO(), format="png")
    except Exception:
        pass
    finally:
        _close_figures()


class _Confinement:
    """The confinement library, loaded with ctypes."""

    def __init__(self, path):
        import ctypes

        self.lib = ctypes.CDLL(path) if path else None
        self.available = 0
        self.abi = 0
        if self.lib is None:
            return
        lib = self.lib
        lib.norvex_sandbox_probe.restype = ctypes.c_uint
        lib.norvex_sandbox_ruleset.argtypes = [
            ctypes.c_char_p, ctypes.c_char_p, ctypes.c_uint, ctypes.POINTER(ctypes.c_uint),
            ctypes.c_char_p, ctypes.c_size_t]
        lib.norvex_sandbox_allow.argtypes = [
            ctypes.c_int, ctypes.c_char_p, ctypes.c_int, ctypes.c_char_p, ctypes.c_size_t]
        lib.norvex_sandbox_enforce.restype = ctypes.c_uint
        lib.norvex_sandbox_enforce.argtypes = [
            ctypes.c_int, ctypes.c_uint, ctypes.c_uint, ctypes.c_char_p, ctypes.c_size_t]
        lib.norvex_sandbox_limits.argtypes = [ctypes.c_ulonglong] * 4
        abi = ctypes.c_int(0)
        self.available = lib.norvex_sandbox_probe(ctypes.byref(abi))
        self.abi = abi.value
        self.error = ctypes.create_string_buffer(512)
        self.covered = ctypes.c_uint(0)
        self.covered_ref = ctypes.byref(self.covered)
        # Compiled here once: a run only hands the filter to the kernel.
        lib.norvex_sandbox_prepare()

    def subreaper(self):
        return self.lib is not None and self.lib.norvex_sandbox_become_subreaper() == 0

    def limits(self, address_space, file_size, open_files, cpu_seconds):
        if self.lib is None:
            return False
        return self.lib.norvex_sandbox_limits(address_space, file_size, open_files,
                                              cpu_seconds) == 0

    def _why(self):
        return self.error.value.decode("utf-8", "replace")

    def ruleset(self, read_only, read_write, wanted):
        """A Landlock ruleset, not yet enforced: (descriptor or -1, layers it covers, why)."""
        if self.lib is None:
            return -1, 0, ""
        fd = self.lib.norvex_sandbox_ruleset(read_only, "\n".join(read_write).encode(), wanted,
                                             self.covered_ref, self.error, len(self.error))
        return fd, self.covered.value, self._why()

    def allow(self, ruleset, paths, writable):
        """Adds paths to a ruleset: "" or why it failed."""
        if self.lib.norvex_sandbox_allow(ruleset, "\n".join(paths).encode(), writable,
                                         self.error, len(self.error)) == 0:
            return ""
        return self._why()

    def die_with_parent(self):
        return self.lib is not None and self.lib.norvex_sandbox_die_with_parent() == 0

    def enforce(self, ruleset, covered, wanted):
        if self.lib is None:
            return 0, "the confinement library is not loaded"
        applied = self.lib.norvex_sandbox_enforce(ruleset, covered, wanted, self.error,
                                                  len(self.error))
        return applied, self._why()


_LAYER_LANDLOCK_FILES = 1 << 0
_LAYER_LANDLOCK = (1 << 3) - 1  # files, network and scopes
_LAYER_LIMITS = 1 << 5
_LAYER_SUBREAPER = 1 << 6
# Landlock's network rules and scopes add depth; the system call filter holds the same lines
# without them, so a strict run does not require them.
_LAYER_REQUIRED = ((1 << 8) - 1) & ~((1 << 1) | (1 << 2))
_server = {"confinement": None, "subreaper": False}


def _read_only_paths():
    """The read-only paths, one per line: computed once in the server, inherited by runs."""
    cached = _server.get("read_only")
    if cached is not None:
        return cached
    import sysconfig

    paths = set(_READ_ONLY)
    paths.update(p for p in sys.path if p and os.path.isabs(p))
    installed = sysconfig.get_paths()
    for name in ("stdlib", "platstdlib", "purelib", "platlib"):
        value = installed.get(name)
        if value:
            paths.add(value)
    config = os.environ.get("MPLCONFIGDIR")
    if config:
        paths.add(config)
    _server["read_only"] = "\n".join(sorted(paths)).encode()
    return _server["read_only"]


def _run_read_only_paths():
    """The read-only paths with this process's own /proc entries (called in the run)."""
    own = "/proc/%d/" % os.getpid()
    return _read_only_paths() + "".join("\n" + own + name for name in _PROC_SELF).encode()


def _spare(control, private, server):
    """The life of a run's process: made ready ahead, it waits for its one request, runs it
    and exits."""
    try:
        # A session and process group of its own, without a terminal: the library ends the run
        # by killing this group, and nothing the run does reaches the caller's terminal.
        os.setsid()
        # A run does not outlive the server, which alone cleans up after it.
        _server["confinement"].die_with_parent()
        if os.getppid() != server:
            return
        null = os.open(os.devnull, os.O_RDWR)
        os.dup2(null, 0)
        os.dup2(null, 1)  # what the code writes to descriptor 1 is no part of any output
        os.dup2(null, 2)  # nor what it writes to 2: never the caller's standard error or log
        # Nothing of the server's stays open: its channel (the run's comes there), the other
        # runs' channels.
        os.dup2(null, _CHANNEL)
        os.close(null)
        os.dup2(control, _CONTROL)
        os.closerange(_CONTROL + 1, _MAX_FD)
        os.environ["HOME"] = private
        os.environ["TMPDIR"] = private
        import tempfile

        tempfile.tempdir = private
        prepared = _Prepared(private)
        _, received = _receive_frame(_CONTROL)
        if not received:
            return  # the server ended, or took the spare back
        os.dup2(received[0], _CHANNEL)
        for fd in received:
            os.close(fd)
        os.close(_CONTROL)
        os.write(_CHANNEL, prepared.started)
        try:
            request = json.loads(_read_request(_CHANNEL).decode("utf-8"))
            if not isinstance(request, dict):
                raise ValueError("the request is not a JSON object")
        except (AttributeError, ValueError, OSError) as error:
            result = {"status": "error", "type": type(error).__name__, "message": str(error)}
        else:
            result = _run_request(request, prepared)
        _send(result)
        os.close(_CHANNEL)  # the end of the result, before the exit's own clean-up
    except BaseException:
        os._exit(1)  # the server reports the run as ended without a result
    finally:
        os._exit(0)


def _read_exactly(fd, size):
    data = b""
    while len(data) < size:
        chunk = os.read(fd, min(size - len(data), 1 << 20))
        if not chunk:
            raise ValueError("the request ended early")
        data += chunk
    return data


def _read_request(fd):
    """The run's request, written by the library on the run's own channel."""
    size = _HEADER.unpack(_read_exactly(fd, _HEADER.size))[0]
    if size > _MAX_REQUEST:
        raise ValueError("the request is larger than %d bytes" % _MAX_REQUEST)
    return _read_exactly(fd, size)


class _Prepared:
    """What a spare makes ready before its request: the Landlock ruleset of every run (all but
    what comes with the request), its first frame, and the pages that every run writes to,
    copied from the server now rather than while the request waits."""

    def __init__(self, private):
        self.private = private
        self.started = _frame({"started": os.getpid()})
        self.ruleset, self.covered, _ = _server["confinement"].ruleset(
            _run_read_only_paths(), list(_READ_WRITE) + [private], _LAYER_LANDLOCK)
        json.loads('{"code": "pass", "cwd": "/", "layers": 0, "env": null}')
        run("pass", {})
        _close_figures()
        _frame({"status": "ok", "output": "", "layers": 0})
        _server["confinement"].limits(0, 0, 0, 0)

    def ruleset_for(self, wanted, packages, media):
        """The run's ruleset (descriptor or -1), the layers it covers and why one is missing:
        the prepared one (or, when the run wants fewer Landlock layers, one made for it) with
        the run's own folders added."""
        confinement = _server["confinement"]
        ruleset, covered = self.ruleset, self.covered
        if ruleset < 0 or wanted & _LAYER_LANDLOCK != _LAYER_LANDLOCK:
            if ruleset >= 0:
                os.close(ruleset)
            ruleset, covered, why = confinement.ruleset(
                _run_read_only_paths(), list(_READ_WRITE) + [self.private], wanted)
            if ruleset < 0:
                return -1, 0, why
        why = ""
        if covered & _LAYER_LANDLOCK_FILES:
            if packages:
                why = confinement.allow(ruleset, [packages], False)
            if media and not why:
                why = confinement.allow(ruleset, [media], True)
        if why:
            os.close(ruleset)
            return -1, 0, why
        return ruleset, covered, ""


def _run_request(request, prepared):
    """Confines the calling process as the request asks, then runs its code."""
    try:
        os.chdir(request["cwd"])
    except OSError as error:
        return {"status": "error", "type": type(error).__name__, "message": str(error)}
    # The run's packages become importable once it is confined (their start-up files run
    # then), so the ruleset names their folder itself.
    env_dir = request.get("env")
    packages = packages_dir(env_dir) if env_dir else None

    confinement = _server["confinement"]
    wanted = request.get("layers", 0)
    applied = _LAYER_SUBREAPER if _server["subreaper"] else 0
    time_limit = max(1, int(request.get("time_limit", 60)))
    if wanted & _LAYER_LIMITS and confinement.limits(
            request.get("memory_limit", 0), request.get("file_size_limit", 0), 256,
            time_limit + 5):
        applied |= _LAYER_LIMITS
    ruleset, covered, why = prepared.ruleset_for(wanted, packages, request.get("media"))
    confined, enforce_why = confinement.enforce(ruleset, covered, wanted)
    if ruleset >= 0:
        os.close(ruleset)
    why = "; ".join(text for text in (why, enforce_why) if text)
    applied |= confined
    missing = wanted & ~applied & _LAYER_REQUIRED
    if missing and request.get("strict"):
        return {"status": "refused", "layers": applied,
                "message": why or "a confinement layer could not be applied", "missing": missing}
    outcome = analyse(request["code"], request.get("env"), request.get("generation", 0))
    outcome["layers"] = applied
    if why:
        outcome["sandbox_warning"] = why
    return outcome


def _describe(status):
    if os.WIFEXITED(status):
        return "exited with status %d" % os.WEXITSTATUS(status)
    if os.WIFSIGNALED(status):
        import signal

        number = os.WTERMSIG(status)
        try:
            name = signal.strsignal(number) or "unknown"
        except ValueError:
            name = "unknown"
        return "was killed by signal %d (%s)" % (number, name)
    return "ended"


def _kill_group(pid):
    import signal

    for target in (-pid, pid):
        try:
            os.kill(target, signal.SIGKILL)
        except OSError:
            pass


def _private_base():
    """The folder that holds this server's runs' private folders, made at its start.

    Memory-backed when there is one: creating and removing a folder per run on a journalling
    disk costs milliseconds. Folders that servers killed before they could clean up left
    behind are removed here: their names carry the server's pid.
    """
    import tempfile

    shm = "/dev/shm"
    parent = shm if os.path.isdir(shm) and os.access(shm, os.W_OK | os.X_OK) else None
    _remove_abandoned(parent or tempfile.gettempdir())
    return tempfile.mkdtemp(prefix="norvex-server-%d-" % os.getpid(), dir=parent)


def _remove_tree(path):
    """Removes the folder at path with everything in it. shutil.rmtree recurses and gives up
    past Python's recursion limit, and a run can nest folders thousands deep (past PATH_MAX
    too): what it leaves is removed here level by level, through one descriptor at a time."""
    import shutil

    try:
        shutil.rmtree(path, ignore_errors=True)
    except RecursionError:
        pass  # not an OSError: ignore_errors lets it through
    if not os.path.lexists(path):
        return
    flags = os.O_RDONLY | os.O_DIRECTORY | os.O_NOFOLLOW | os.O_CLOEXEC
    try:
        fd = os.open(path, flags)
    except OSError:
        return
    trail = []  # (name, the folders still to remove beside it), from the top down
    pending = None  # the folders still to remove in the current one
    for _ in range(1 << 22):  # a bound on the work, far past any folder the limits allow
        if pending is None:
            pending = []
            try:
                with os.scandir(fd) as entries:
                    listing = list(entries)
            except OSError:
                listing = []
            for entry in listing:
                try:
                    if entry.is_dir(follow_symlinks=False):
                        pending.append(entry.name)
                    else:
                        os.unlink(entry.name, dir_fd=fd)
                except OSError:
                    pass
        if pending:
            name = pending.pop()
            try:
                child = os.open(name, flags, dir_fd=fd)
            except OSError:
                try:  # a folder made without any rights for its owner
                    os.chmod(name, 0o700, dir_fd=fd, follow_symlinks=False)
                    child = os.open(name, flags, dir_fd=fd)
                except (OSError, NotImplementedError):
                    continue
            trail.append((name, pending))
            os.close(fd)
            fd, pending = child, None
            continue
        if not trail:
            break
        name, pending = trail.pop()
        try:
            parent = os.open("..", flags, dir_fd=fd)
        except OSError:
            break
        os.close(fd)
        fd = parent
        try:
            os.rmdir(name, dir_fd=fd)
        except OSError:
            pass
    os.close(fd)
    try:
        os.rmdir(path)
    except OSError:
        pass


def _remove_abandoned(parent):
    try:
        entries = list(os.scandir(parent))
    except OSError:
        return
    for entry in entries:
        name = entry.name.split("-")
        if len(name) != 4 or name[:2] != ["norvex", "server"] or not name[2].isdigit():
            continue
        try:
            if entry.stat(follow_symlinks=False).st_uid != os.getuid():
                continue
            os.kill(int(name[2]), 0)
            continue  # its server lives (or another process has its pid): left alone
        except ProcessLookupError:
            _remove_tree(entry.path)
        except OSError:
            continue


class _Run:
    """A run's process as the server sees it: a spare (control is open) or a run."""

    __slots__ = ("pid", "pidfd", "control", "channel", "private", "limits", "started",
                 "stopped", "checks")

    def __init__(self, pid, control, private):
        self.pid = pid
        self.pidfd = -1  # -1: the kernel has no process descriptors; the loop polls instead
        self.control = control  # the server's end of the spare's link
        self.channel = -1  # the server's copy of the run's channel, once it has one
        self.private = private
        self.limits = {}  # threads, disk (bytes) and media (folder), from the library
        self.started = 0  # when it got its request (time.time_ns())
        self.stopped = None  # why the server stopped it, if it did
        self.checks = 0


def _count(value, default):
    return value if isinstance(value, int) and value >= 0 else default


def _threads(pid):
    """The number of threads of process pid, or 0 when it has ended."""
    try:
        with open("/proc/%d/stat" % pid, "rb") as stat:
            fields = stat.read().rsplit(b")", 1)[1].split()
        return int(fields[17])
    except (OSError, IndexError, ValueError):
        return 0


def _held_unlinked(pid):
    """Bytes held by the files that process pid keeps open after removing them (they are in
    no folder, but still take their place, in memory on a tmpfs)."""
    total = 0
    base = "/proc/%d/fd" % pid
    try:
        names = os.listdir(base)
    except OSError:
        return 0
    for name in names:
        try:
            info = os.stat(os.path.join(base, name))
        except OSError:
            continue
        if info.st_nlink == 0 and (info.st_mode & 0o170000) == 0o100000:
            total += max(info.st_size, info.st_blocks * 512)
    return total


def _written(folder, since, entries=None):
    """Bytes held by the files under folder changed at or after since (ns), not following
    links. entries (a one-item list) counts the files, folders and links changed at or after
    since down to zero, where the walk stops: what it found by then is returned."""
    total, stack = 0, [folder]
    while stack:
        try:
            entries_here = list(os.scandir(stack.pop()))
        except OSError:
            continue
        for entry in entries_here:
            try:
                info = entry.stat(follow_symlinks=False)
            except OSError:
                continue
            changed = info.st_mtime_ns >= since or info.st_ctime_ns >= since
            if changed and entries is not None:
                entries[0] -= 1
                if entries[0] < 0:
                    return total
            if entry.is_dir(follow_symlinks=False):
                stack.append(entry.path)
            elif changed:
                total += max(info.st_size, info.st_blocks * 512)
    return total


class _Server:
    """The event loop: requests in, runs out, each watched until its process has ended."""

    def __init__(self):
        import select

        self.select = select
        self.poll = select.poll()
        self.pid = os.getpid()
        self.base = _private_base()
        self.runs = {}  # pid -> run, the spare included
        self.spare = None
        self.watched = {}  # descriptor -> (run, what it is: "exit" or "channel")
        self.orphans = set()  # leftovers of runs, killed, not yet reaped
        self.received = []  # descriptors that came with requests, in order: one per request
        self.data = b""

    def serve(self):
        import socket

        channel = socket.socket(fileno=_CHANNEL)
        self.poll.register(_CHANNEL, self.select.POLLIN)
        self._fork_spare()
        while True:
            waiting = self.orphans or any(run.pidfd < 0 for run in self.runs.values())
            running = any(run.channel >= 0 for run in self.runs.values())
            timeout = 20 if waiting else None
            if running:
                timeout = _WATCH_INTERVAL * 1000
            for fd, _ in self.poll.poll(timeout):
                if fd == _CHANNEL:
                    if not self._receive(channel):
                        self._end_all()  # the library closed the channel: it is done with us
                        return
                    continue
                entry = self.watched.get(fd)
                if entry is None:
                    continue
                run, what = entry
                if what == "channel":
                    # The library gave up on the run (its time limit) or ended: so does the run.
                    _kill_group(run.pid)
                    self._unwatch(fd)
                else:
                    self._finish(run)
            if waiting:
                for run in [r for r in self.runs.values() if r.pidfd < 0]:
                    self._finish(run, block=False)
                self._reap_orphans()
            if running:
                self._watch_runs()

    def _watch_runs(self):
        """Stops a run that has more threads, or has written more to its folders, than its
        limits allow. Threads are counted every look, folders every fifth."""
        for run in [r for r in self.runs.values() if r.channel >= 0 and r.stopped is None]:
            limits = run.limits
            most = _count(limits.get("threads"), 0)
            if most and _threads(run.pid) > most:
                run.stopped = "was stopped: it started more than %d threads" % most
            run.checks += 1
            budget = _count(limits.get("disk"), 0)
            if run.stopped is None and budget and run.checks % 5 == 0:
                # Empty files cost no bytes but memory on a tmpfs and time here: their number
                # is bounded too, and the walk never goes past it.
                entries = [_MAX_ENTRIES]
                used = _written(run.private, 0, entries) + _held_unlinked(run.pid)
                media = limits.get("media")
                if isinstance(media, str) and media and entries[0] >= 0:
                    used += _written(media, run.started, entries)
                if entries[0] < 0:
                    run.stopped = ("was stopped: it made more than %d files and folders"
                                   % _MAX_ENTRIES)
                elif used > budget:
                    run.stopped = ("was stopped: it wrote more than %d MiB to its folders"
                                   % (budget >> 20))
            if run.stopped is not None:
                _kill_group(run.pid)

    def _receive(self, channel):
        import socket

        chunk, fds, _, _ = socket.recv_fds(channel, 1 << 20, 16)
        if not chunk:
            for fd in fds:
                os.close(fd)
            return False
        self.data += chunk
        self.received.extend(fds)
        while len(self.data) >= _HEADER.size:
            size = _HEADER.unpack(self.data[:_HEADER.size])[0]
            if len(self.data) < _HEADER.size + size:
                break
            frame = self.data[:_HEADER.size + size]
            self.data = self.data[_HEADER.size + size:]
            if not self.received:
                continue  # a request without its channel has nowhere to answer
            # Only the run's limits: the request itself comes on the run's channel.
            try:
                limits = json.loads(frame[_HEADER.size:].decode("utf-8"))
            except ValueError:
                limits = {}
            self._hand_over(frame, self.received.pop(0),
                            limits if isinstance(limits, dict) else {})
        return True

    def _hand_over(self, frame, channel, limits):
        for _ in range(2):  # a spare that died unused is replaced once
            if self.spare is None:
                error = self._fork_spare()
                if error is not None:
                    self._refuse(channel, error)
                    return
            run, self.spare = self.spare, None
            try:
                _send_with_fd(run.control, frame, channel)
            except OSError as error:
                _kill_group(run.pid)  # its exit is handled as any other
                failure = error
                continue
            os.close(run.control)
            run.control = -1
            run.channel = channel
            run.limits = limits
            run.started = time.time_ns()
            # The library writes the request on the run's channel, for the run: the server
            # looks only for its end (the library closed it).
            self._watch(channel, run, "channel", self.select.POLLRDHUP)
            self._fork_spare()  # the next run's
            return
        self._refuse(channel, failure)

    def _fork_spare(self):
        """Forks the next spare; returns None, or the error that prevented it."""
        import shutil
        import socket
        import tempfile

        try:
            private = tempfile.mkdtemp(prefix="run-", dir=self.base)
        except OSError as error:
            return error
        ours, theirs = (end.detach() for end in socket.socketpair())
        try:
            pid = os.fork()
        except OSError as error:
            os.close(ours)
            os.close(theirs)
            shutil.rmtree(private, ignore_errors=True)
            return error
        if pid == 0:
            _spare(theirs, private, self.pid)  # does not return
        os.close(theirs)
        run = _Run(pid, ours, private)
        try:
            run.pidfd = os.pidfd_open(pid)
        except (AttributeError, OSError):
            run.pidfd = -1
        self.runs[pid] = run
        self.spare = run
        if run.pidfd >= 0:
            self._watch(run.pidfd, run, "exit")
        return None

    def _refuse(self, channel, error):
        try:
            _send({"status": "error", "type": type(error).__name__, "message": str(error)},
                  channel)
        except OSError:
            pass
        os.close(channel)

    def _watch(self, fd, run, what, events=None):
        self.watched[fd] = (run, what)
        self.poll.register(fd, self.select.POLLIN if events is None else events)

    def _unwatch(self, fd):
        if self.watched.pop(fd, None) is not None:
            self.poll.unregister(fd)

    def _finish(self, run, block=True):
        """Cleans up after a run whose process has ended (or, block=False, may have ended)."""
        try:
            ended = os.waitid(os.P_PID, run.pid,
                              os.WEXITED | os.WNOWAIT | (0 if block else os.WNOHANG))
        except ChildProcessError:
            ended = True
        if ended is None:
            return
        # Whatever the code started and left in the group, killed while the ended process
        # still holds its pid and group (not yet reaped): after the reap, another process may
        # have them.
        _kill_group(run.pid)
        try:
            _, status = os.waitpid(run.pid, 0)
        except ChildProcessError:
            status = 0
        del self.runs[run.pid]
        if run is self.spare:
            self.spare = None
        self._kill_orphans()
        _remove_tree(run.private)
        if run.pidfd >= 0:
            self._unwatch(run.pidfd)
            os.close(run.pidfd)
        if run.control >= 0:
            os.close(run.control)
        if run.channel >= 0:
            self._unwatch(run.channel)
            try:
                _send({"status": "died", "how": run.stopped or _describe(status)}, run.channel)
            except OSError:
                pass  # the library has its result, or is gone
            os.close(run.channel)

    def _kill_orphans(self):
        # As subreaper, the server inherits whatever a run left behind: none of it may live
        # on. Every child that is not a run's own process is such a leftover.
        import signal

        try:
            with open("/proc/thread-self/children") as listing:
                children = [int(pid) for pid in listing.read().split()]
        except OSError:
            children = []
        for pid in children:
            if pid in self.runs:
                continue
            try:
                os.kill(pid, signal.SIGKILL)
            except OSError:
                pass
            self.orphans.add(pid)
        self._reap_orphans()

    def _reap_orphans(self):
        for pid in list(self.orphans):
            try:
                done, _ = os.waitpid(pid, os.WNOHANG)
            except ChildProcessError:
                done = pid
            if done == pid:
                self.orphans.discard(pid)

    def _end_all(self):
        for run in list(self.runs.values()):
            _kill_group(run.pid)
        for run in list(self.runs.values()):
            self._finish(run)
        _remove_tree(self.base)


def _serve(confinement_path):
    if sys.path and sys.path[0] == "":
        del sys.path[0]
    threading.Thread(target=_watch_parent, args=(os.getppid(),), daemon=True).start()
    confinement = _Confinement(confinement_path)
    _server["confinement"] = confinement
    _server["subreaper"] = confinement.subreaper()
    _preload()
    _read_only_paths()
    use_environment(None, 0)  # as the library starts: no package environment yet
    # What the server imported stays out of the collector's sight, so that a run's
    # collections do not touch (and copy) every page inherited from the server; the start's
    # garbage goes first.
    import gc

    gc.collect()
    gc.freeze()
    server = _Server()
    _send({"ready": True, "layers": confinement.available, "landlock_abi": confinement.abi})
    server.serve()
    os._exit(0)  # nothing is left to tidy: the interpreter's own clean-up would only cost time


if __name__ == "__main__":
    _serve(sys.argv[1] if len(sys.argv) > 1 else "")
