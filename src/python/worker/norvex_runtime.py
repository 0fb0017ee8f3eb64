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
        version = "python%d.%d" % sys.version_info[:2]
        packages = os.path.join(env_dir, "lib", version, "site-packages")
        if os.path.isdir(packages) and packages not in sys.path:
            site.addsitedir(packages)
    # Packages installed since the last run live in folders whose listings are cached.
    importlib.invalidate_caches()


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
# request arrives with a descriptor of its own (SCM_RIGHTS): that run's result channel. For
# each request the server forks a manager, which holds the run's channel at descriptor 3 and
# goes on with that run alone, so runs proceed side by side. The manager forks the child,
# says {"started": pid} (the library kills that pid's group at the time limit), and relays
# the child's result, or {"status": "died"} when the child ended without one. The child
# confines itself before the code runs and writes its result on its own pipe, which it holds
# at descriptor 3 in place of the manager's channel.

_CHANNEL = 3
_HEADER = struct.Struct(">I")
_CLOSED_CHANNEL_GRACE = 2.0

# Read-only for the run: what the interpreter and its libraries load, never the caller's
# folders. Paths that do not exist on a system are skipped.
_READ_ONLY = (
    "/usr/lib", "/usr/lib64", "/usr/lib32", "/usr/libexec", "/usr/share", "/usr/bin",
    "/usr/local/lib", "/usr/local/share", "/lib", "/lib64", "/lib32", "/bin",
    "/etc/ld.so.cache", "/etc/localtime", "/etc/matplotlibrc", "/etc/mime.types",
    "/dev/urandom", "/dev/random", "/dev/zero", "/proc/self", "/proc/cpuinfo",
    "/proc/meminfo", "/sys/devices/system/cpu",
)
_READ_WRITE = ("/dev/null",)


def _frame(message):
    body = json.dumps(message, ensure_ascii=False).encode("utf-8", "replace")
    return _HEADER.pack(len(body)) + body


def _send(message, fd=_CHANNEL):
    data = memoryview(_frame(message))
    while data:
        data = data[os.write(fd, data):]


def _watch_parent(parent):
    # A server whose library process died must not live on.
    while True:
        time.sleep(1.0)
        if os.getppid() != parent:
            os._exit(0)


def _preload():
    # Loaded once here so that each run pays only for its own work (the standard modules the
    # per-run code imports, too: children then find them loaded).
    for name in ("resource", "select", "shutil", "signal", "tempfile"):
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


class _Confinement:
    """The confinement library, loaded with ctypes."""

    def __init__(self, path):
        import ctypes

        self.lib = ctypes.CDLL(path) if path else None
        self.available = 0
        self.abi = 0
        if self.lib is None:
            return
        self.lib.norvex_sandbox_probe.restype = ctypes.c_uint
        self.lib.norvex_sandbox_confine.restype = ctypes.c_uint
        self.lib.norvex_sandbox_confine.argtypes = [
            ctypes.c_char_p, ctypes.c_char_p, ctypes.c_uint, ctypes.c_char_p, ctypes.c_size_t]
        self.lib.norvex_sandbox_limits.argtypes = [ctypes.c_ulonglong] * 4
        abi = ctypes.c_int(0)
        self.available = self.lib.norvex_sandbox_probe(ctypes.byref(abi))
        self.abi = abi.value
        self.error = ctypes.create_string_buffer(512)

    def subreaper(self):
        return self.lib is not None and self.lib.norvex_sandbox_become_subreaper() == 0

    def limits(self, address_space, file_size, open_files, cpu_seconds):
        if self.lib is None:
            return False
        return self.lib.norvex_sandbox_limits(address_space, file_size, open_files,
                                              cpu_seconds) == 0

    def confine(self, read_only, read_write, wanted):
        if self.lib is None:
            return 0, "the confinement library is not loaded"
        applied = self.lib.norvex_sandbox_confine(
            "\n".join(read_only).encode(), "\n".join(read_write).encode(), wanted,
            self.error, len(self.error))
        return applied, self.error.value.decode("utf-8", "replace")


_LAYER_LIMITS = 1 << 5
_LAYER_SUBREAPER = 1 << 6
_server = {"confinement": None, "subreaper": False}


def _read_only_paths():
    # Computed in the server once per import path, so that children inherit the answer.
    key = tuple(sys.path)
    cached = _server.get("read_only")
    if cached is not None and cached[0] == key:
        return cached[1]
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
    _server["read_only"] = (key, sorted(paths))
    return _server["read_only"][1]


def _child(request, private):
    """Runs in the forked child: confine, run, report on descriptor 3, exit."""
    os.setpgid(0, 0)  # the library ends the run by killing this group
    null = os.open(os.devnull, os.O_RDWR)
    os.dup2(null, 0)
    os.dup2(null, 1)  # what the code writes to descriptor 1 is no part of any output
    os.close(null)
    import resource

    os.closerange(4, resource.getrlimit(resource.RLIMIT_NOFILE)[0])
    os.environ["HOME"] = private
    os.environ["TMPDIR"] = private
    import tempfile

    tempfile.tempdir = private
    try:
        os.chdir(request["cwd"])
    except OSError as error:
        return {"status": "error", "type": type(error).__name__, "message": str(error)}

    confinement = _server["confinement"]
    wanted = request.get("layers", 0)
    applied = _LAYER_SUBREAPER if _server["subreaper"] else 0
    time_limit = max(1, int(request.get("time_limit", 60)))
    if wanted & _LAYER_LIMITS and confinement.limits(
            request.get("memory_limit", 0), request.get("file_size_limit", 0), 256,
            time_limit + 5):
        applied |= _LAYER_LIMITS
    writable = list(_READ_WRITE) + [private]
    if request.get("media"):
        writable.append(request["media"])
    confined, why = confinement.confine(_read_only_paths(), writable, wanted)
    applied |= confined
    missing = wanted & ~applied
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


def _wait(pid, grace):
    """The child's wait status; after grace seconds its group is killed first."""
    deadline = time.monotonic() + grace
    while True:
        done, status = os.waitpid(pid, os.WNOHANG)
        if done == pid:
            return status
        if time.monotonic() >= deadline:
            _kill_group(pid)
            return os.waitpid(pid, 0)[1]
        time.sleep(0.0002)


def _kill_group(pid):
    import signal

    for target in (-pid, pid):
        try:
            os.kill(target, signal.SIGKILL)
        except OSError:
            pass


def _reap_leftovers():
    # As subreaper, the server inherits whatever a run left behind: none of it may live on.
    import signal

    try:
        with open("/proc/thread-self/children") as listing:
            for pid in listing.read().split():
                try:
                    os.kill(int(pid), signal.SIGKILL)
                except OSError:
                    pass
    except OSError:
        pass
    _reap_managers()


def _private_base():
    # A memory-backed folder when there is one: creating and removing a folder per run on a
    # journalling disk costs milliseconds.
    shm = "/dev/shm"
    if os.path.isdir(shm) and os.access(shm, os.W_OK | os.X_OK):
        return shm
    return None


def _run_one(request):
    import shutil
    import tempfile

    use_environment(request.get("env"), request.get("generation", 0))
    _read_only_paths()
    private = tempfile.mkdtemp(prefix="norvex-run-", dir=_private_base())
    read_end, write_end = os.pipe()
    try:
        pid = os.fork()
    except OSError as error:
        os.close(read_end)
        os.close(write_end)
        shutil.rmtree(private, ignore_errors=True)
        _send({"status": "error", "type": type(error).__name__, "message": str(error)})
        return
    if pid == 0:
        try:
            os.close(read_end)
            os.dup2(write_end, _CHANNEL)  # replaces the server's channel in this process
            os.close(write_end)
            result = _child(request, private)
            _send(result)
            os.close(_CHANNEL)  # the end of the result, before the exit's own clean-up
        finally:
            os._exit(0)
    os.close(write_end)
    try:
        os.setpgid(pid, pid)
    except OSError:
        pass  # the child has done it already, or has ended
    try:
        _send({"started": pid})
    except OSError:
        _kill_group(pid)  # nobody waits for this run
    chunks = []
    import select

    watch = select.poll()
    watch.register(read_end, select.POLLIN)
    watch.register(_CHANNEL, select.POLLIN)  # the library writes nothing here: this is its end
    while True:
        events = dict(watch.poll())
        if _CHANNEL in events:
            # The library gave up on the run (its time limit) or ended: so does the run.
            _kill_group(pid)
            watch.unregister(_CHANNEL)
        if read_end not in events:
            continue
        chunk = os.read(read_end, 1 << 20)
        if not chunk:
            break
        chunks.append(chunk)
    os.close(read_end)
    data = b"".join(chunks)
    result = None
    if len(data) >= _HEADER.size:
        size = _HEADER.unpack(data[:_HEADER.size])[0]
        if len(data) == _HEADER.size + size:
            try:
                result = json.loads(data[_HEADER.size:].decode("utf-8"))
            except ValueError:
                pass
    if result is not None:
        # The caller has its answer while the child's exit and the clean-up go on here.
        try:
            _send(result)
        except OSError:
            pass  # the library is gone; the clean-up below still happens
    status = _wait(pid, _CLOSED_CHANNEL_GRACE)
    _kill_group(pid)
    _reap_leftovers()
    shutil.rmtree(private, ignore_errors=True)
    if result is None:
        try:
            _send({"status": "died", "how": _describe(status)})
        except OSError:
            pass


def _serve(confinement_path):
    if sys.path and sys.path[0] == "":
        del sys.path[0]
    threading.Thread(target=_watch_parent, args=(os.getppid(),), daemon=True).start()
    confinement = _Confinement(confinement_path)
    _server["confinement"] = confinement
    _server["subreaper"] = confinement.subreaper()
    _preload()
    # What the server imported stays out of the collector's sight, so that a child's
    # collections do not touch (and copy) every page inherited from the server.
    import gc

    gc.freeze()
    _send({"ready": True, "layers": confinement.available, "landlock_abi": confinement.abi})
    import socket

    channel = socket.socket(fileno=_CHANNEL)
    received = []  # descriptors that came with requests, in order: one for each request
    data = b""
    while True:
        while len(data) < _HEADER.size or len(data) < _HEADER.size + _HEADER.unpack(
                data[:_HEADER.size])[0]:
            try:
                chunk, fds, _, _ = socket.recv_fds(channel, 1 << 20, 16)
            except InterruptedError:
                continue
            if not chunk:
                return
            data += chunk
            received.extend(fds)
        size = _HEADER.unpack(data[:_HEADER.size])[0]
        body, data = data[_HEADER.size:_HEADER.size + size], data[_HEADER.size + size:]
        _reap_managers()
        if not received:
            continue  # a request without its channel has nowhere to answer
        run_fd = received.pop(0)
        try:
            request = json.loads(body.decode("utf-8"))
        except ValueError:
            os.close(run_fd)  # the library sees the channel close: the run failed
            continue
        _start_manager(request, run_fd, received)


def _reap_managers():
    # Collects every child that has ended, without waiting for the others.
    while True:
        try:
            done, _ = os.waitpid(-1, os.WNOHANG)
        except ChildProcessError:
            return
        if done == 0:
            return


def _start_manager(request, run_fd, others):
    try:
        pid = os.fork()
    except OSError as error:
        try:
            _send({"status": "error", "type": type(error).__name__, "message": str(error)},
                  run_fd)
        except OSError:
            pass
        os.close(run_fd)
        return
    if pid == 0:
        try:
            for fd in others:  # channels of requests still arriving belong to other runs
                os.close(fd)
            os.dup2(run_fd, _CHANNEL)  # this run's channel replaces the server's
            os.close(run_fd)
            # Whatever the run leaves behind comes back to this manager, not to the server.
            _server["subreaper"] = _server["confinement"].subreaper()
            _run_one(request)
        finally:
            os._exit(0)
    os.close(run_fd)


if __name__ == "__main__":
    _serve(sys.argv[1] if len(sys.argv) > 1 else "")
