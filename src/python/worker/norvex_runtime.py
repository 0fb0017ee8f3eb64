"""The Python side of norvex's code execution.

One execution function serves both hosts: the interpreter embedded in the library (which
loads this text as the module ``norvex_runtime``) and the isolated analysis worker (this
text started as ``python3 -c <text> <memory limit>``, which runs ``_serve`` below).
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


# ---- the isolated analysis worker -------------------------------------------------------

_CHANNEL = 3
_HEADER = struct.Struct(">I")


def _read_exactly(count):
    chunks = []
    while count > 0:
        chunk = os.read(_CHANNEL, min(count, 1 << 20))
        if not chunk:
            return None
        chunks.append(chunk)
        count -= len(chunk)
    return b"".join(chunks)


def _receive():
    header = _read_exactly(_HEADER.size)
    if header is None:
        return None
    body = _read_exactly(_HEADER.unpack(header)[0])
    return None if body is None else json.loads(body.decode("utf-8"))


def _send(message):
    body = json.dumps(message, ensure_ascii=False).encode("utf-8", "replace")
    data = memoryview(_HEADER.pack(len(body)) + body)
    while data:
        data = data[os.write(_CHANNEL, data):]


def _watch_parent(parent):
    # A worker whose library process died must not live on (a runaway loop would).
    while True:
        time.sleep(1.0)
        if os.getppid() != parent:
            os._exit(0)


def _limit_resources(memory_limit):
    import resource

    if memory_limit > 0:
        resource.setrlimit(resource.RLIMIT_AS, (memory_limit, memory_limit))
    resource.setrlimit(resource.RLIMIT_CORE, (0, 0))


def _preload():
    # Loaded once here so that each run pays only for its own work.
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


def _handle(request):
    try:
        os.chdir(request["cwd"])
    except OSError as error:
        return {"status": "error", "type": type(error).__name__, "message": str(error)}
    return analyse(request["code"], request.get("env"), request.get("generation", 0))


def _serve(memory_limit):
    if sys.path and sys.path[0] == "":
        del sys.path[0]
    threading.Thread(target=_watch_parent, args=(os.getppid(),), daemon=True).start()
    _limit_resources(memory_limit)
    _preload()
    _send({"ready": True})
    while True:
        request = _receive()
        if request is None:
            return
        _send(_handle(request))


if __name__ == "__main__":
    _serve(int(sys.argv[1]) if len(sys.argv) > 1 else 0)
