"""Runs a command and reports the peak resident memory of it and every process it starts.

Usage: peak_rss.py OUT_FILE COMMAND [ARG...]; the command's output passes through.
GNU time sees only the processes that were waited for, and the analysis worker may not be,
so this polls /proc every 5 ms instead: the highest VmHWM seen per process, and the highest
sum of VmRSS over the whole tree. Writes "key value" lines (kB) to OUT_FILE.
"""
import os
import subprocess
import sys
import time


def status_kb(pid, field):
    try:
        with open(f"/proc/{pid}/status", encoding="ascii") as handle:
            for line in handle:
                if line.startswith(field + ":"):
                    return int(line.split()[1])
    except (OSError, ValueError):
        pass
    return 0


def children_of():
    parents = {}
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open(f"/proc/{entry}/stat", encoding="ascii", errors="replace") as handle:
                fields = handle.read().rsplit(")", 1)[1].split()
            parents.setdefault(int(fields[1]), []).append(int(entry))
        except (OSError, IndexError, ValueError):
            continue
    return parents


def tree(root):
    parents = children_of()
    found, todo = [], [root]
    while todo:
        pid = todo.pop()
        found.append(pid)
        todo.extend(parents.get(pid, []))
    return found


def main():
    out_file, command = sys.argv[1], sys.argv[2:]
    start = time.monotonic()
    process = subprocess.Popen(command)
    hwm = {}
    peak_sum = 0
    while process.poll() is None:
        pids = tree(process.pid)
        peak_sum = max(peak_sum, sum(status_kb(pid, "VmRSS") for pid in pids))
        for pid in pids:
            hwm[pid] = max(hwm.get(pid, 0), status_kb(pid, "VmHWM"))
        time.sleep(0.005)
    wall = time.monotonic() - start
    main_kb = hwm.get(process.pid, 0)
    others = [kb for pid, kb in hwm.items() if pid != process.pid]
    with open(out_file, "w", encoding="ascii") as handle:
        handle.write(f"program_hwm_kb {main_kb}\n")
        handle.write(f"largest_child_hwm_kb {max(others, default=0)}\n")
        handle.write(f"children {len(others)}\n")
        handle.write(f"tree_peak_rss_kb {peak_sum}\n")
        handle.write(f"wall_s {wall:.2f}\n")
    sys.exit(process.returncode)


if __name__ == "__main__":
    main()
