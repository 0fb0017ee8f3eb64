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
            if target:
                _, value, unit, what = target
                figure = seconds / UNITS[unit]
                rows.append((name, f"{figure:.2f} {unit}", f"< {value:g} {unit}",
                             f"{figure / value:.2f}", what))
            else:
                rows.append((name, f"{seconds / 1e-6:.2f} us", "-", "-", ""))
    header = ("figure", "value", "target", "ratio", "what")
    widths = [max(len(str(r[i])) for r in rows + [header]) for i in range(len(header))]
    print("| " + " | ".join(h.ljust(w) for h, w in zip(header, widths)) + " |")
    print("|" + "|".join("-" * (w + 2) for w in widths) + "|")
    for row in rows:
        print("| " + " | ".join(str(c).ljust(w) for c, w in zip(row, widths)) + " |")


if __name__ == "__main__":
    main()
