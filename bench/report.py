"""Prints Google Benchmark JSON results as one table with the targets of targets.tsv."""
import json
import sys

UNITS = {"ns": 1e-9, "us": 1e-6, "ms": 1e-3, "s": 1.0}


def load_targets(path):
    targets = []
    with open(path, encoding="utf-8") as handle:
        for line in handle:
            if not line.strip() or line.startswith("#"):
                continue
            name, value, unit, what = line.rstrip("\n").split("\t")
            targets.append((name, float(value), unit, what))
    return targets


# Fields of Google Benchmark's JSON that are not user counters.
STANDARD_FIELDS = {
    "name", "family_index", "per_family_instance_index", "run_name", "run_type",
    "repetitions", "repetition_index", "threads", "iterations", "real_time", "cpu_time",
    "time_unit", "items_per_second", "bytes_per_second", "label", "error_occurred",
    "error_message", "aggregate_name", "aggregate_unit",
}


def counters_of(bench):
    """User counters (for example a speedup against CPython in the same run), as text."""
    parts = []
    for key, value in bench.items():
        if key in STANDARD_FIELDS or not isinstance(value, (int, float)):
            continue
        parts.append(f"{key}={value:.3g}")
    return ", ".join(parts)


def main():
    targets = load_targets(sys.argv[1])
    rows = []
    for path in sys.argv[2:]:
        with open(path, encoding="utf-8") as handle:
            data = json.load(handle)
        for bench in data.get("benchmarks", []):
            if bench.get("run_type") == "aggregate":
                continue
            name = bench["name"]
            seconds = bench["real_time"] * UNITS[bench["time_unit"]]
            # A benchmark that counts items (e.g. graph steps) is compared per item.
            if bench.get("items_per_second"):
                seconds = 1.0 / bench["items_per_second"]
            target = next((t for t in targets if name.startswith(t[0])), None)
            notes = counters_of(bench)
            if target:
                _, value, unit, what = target
                figure = seconds / UNITS[unit]
                rows.append((name, f"{figure:.2f} {unit}", f"< {value:g} {unit}",
                             f"{figure / value:.2f}", what, notes))
            else:
                rows.append((name, f"{seconds / 1e-6:.2f} us", "-", "-", "", notes))
    header = ("figure", "value", "target", "ratio", "what", "side by side")
    widths = [max(len(str(r[i])) for r in rows + [header]) for i in range(len(header))]
    print("| " + " | ".join(h.ljust(w) for h, w in zip(header, widths)) + " |")
    print("|" + "|".join("-" * (w + 2) for w in widths) + "|")
    for row in rows:
        print("| " + " | ".join(str(c).ljust(w) for c, w in zip(row, widths)) + " |")


if __name__ == "__main__":
    main()
