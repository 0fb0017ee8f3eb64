"""Prints Google Benchmark JSON results as one table against the targets of targets.tsv.

Usage: report.py TARGETS.tsv RESULT.json... [--demo-memory FILE]  (FILE from peak_rss.py)

Figures measured side by side in the same run (a fresh python3, CPython's repr(), the same
benchmark at another size) are shown as ratios; the question benchmark's per-stage prompt
sizes go in a second, short table.
"""
import json
import sys

UNITS = {"ns": 1e-9, "us": 1e-6, "ms": 1e-3, "s": 1.0}
UNIT_NAMES = {"us": "µs"}


def load_targets(path):
    targets = []
    with open(path, encoding="utf-8") as handle:
        for line in handle:
            if not line.strip() or line.startswith("#"):
                continue
            name, value, unit, what = line.rstrip("\n").split("\t")
            targets.append((name, float(value), unit, what))
    return targets


def seconds_of(bench):
    """Time per item when the benchmark counts items (e.g. graph steps), else per iteration."""
    if bench.get("items_per_second"):
        return 1.0 / bench["items_per_second"]
    return bench["real_time"] * UNITS[bench["time_unit"]]


def number(value):
    """Three significant digits, never in exponent notation."""
    return f"{value:.0f}" if value >= 100 else f"{value:.3g}"


def human_time(seconds):
    for unit in ("s", "ms", "us", "ns"):
        if seconds >= UNITS[unit] or unit == "ns":
            return f"{number(seconds / UNITS[unit])} {UNIT_NAMES.get(unit, unit)}"
    return ""


def human_bytes(count):
    for unit, size in (("MB", 1e6), ("kB", 1e3)):
        if count >= size:
            return f"{count / size:.3g} {unit}"
    return f"{count:.0f} B"


def base_name(name):
    """The benchmark's name without Google Benchmark's /iterations:N, /manual_time suffixes."""
    parts = [p for p in name.split("/") if not p.startswith(("iterations:", "manual_time",
                                                             "real_time", "min_time:"))]
    return "/".join(parts)


def side_by_side(bench, by_name):
    """The same-run comparison for one benchmark, as readable text ("" when there is none)."""
    name = base_name(bench["name"])
    seconds = seconds_of(bench)
    if "speedup" in bench and "fresh_python3_ms" in bench:
        return f"{bench['speedup']:.0f}× fresh python3 ({bench['fresh_python3_ms']:.1f} ms)"
    if name == "BM_RenderRows100kMixed" and "BM_PythonReprSameRows" in by_name:
        other = seconds_of(by_name["BM_PythonReprSameRows"])
        return f"{other / seconds:.1f}× CPython repr ({human_time(other)}), " \
               f"{human_bytes(bench.get('bytes', 0))} out"
    if name.startswith("BM_SnapshotOfStateWithLargeTexts/"):
        small = by_name.get("BM_SnapshotOfStateWithLargeTexts/1024")
        if small and name != "BM_SnapshotOfStateWithLargeTexts/1024":
            return f"{seconds / seconds_of(small):.2f}× the 1 kB-text snapshot"
    if "question_us" in bench:
        return (f"whole question {human_time(bench['question_us'] * 1e-6)}: model "
                f"{human_time(bench['model_us'] * 1e-6)}, database "
                f"{human_time(bench['database_us'] * 1e-6)}, analysis "
                f"{human_time(bench['analysis_us'] * 1e-6)}")
    if name == "BM_LoadCsvMillionRows":
        parts = [f"peak RSS {bench.get('peak_rss_mb', 0):.1f} MiB"]
        for other, label in (("BM_SqliteShellImportSameFile", "sqlite3 .import"),
                             ("BM_PandasToSqlSameFile", "pandas")):
            if other in by_name:
                theirs = by_name[other]
                parts.append(f"{seconds_of(theirs) / seconds:.2f}× {label} "
                             f"({human_time(theirs['real_time'] * UNITS[theirs['time_unit']])}, "
                             f"{theirs.get('peak_rss_mb', 0):.0f} MiB)")
        return ", ".join(parts)
    if "overhead_p50_us" in bench:
        return (f"service p50 {human_time(bench['service_p50_us'] * 1e-6)} vs library "
                f"{human_time(bench['library_p50_us'] * 1e-6)}; the service adds "
                f"{bench['overhead_p50_us']:.0f} µs at p50, {bench['overhead_p99_us']:.0f} µs at p99")
    if "questions_per_s" in bench and "p50_ms" in bench:
        text = (f"{bench['questions_per_s']:.1f} questions/s, p50 {bench['p50_ms']:.0f} ms, "
                f"p99 {bench['p99_ms']:.0f} ms, peak RSS of the process tree "
                f"{bench['peak_tree_rss_mb']:.0f} MB")
        if "share_of_model_bound_ideal" in bench:
            text += f", {bench['share_of_model_bound_ideal']:.2f} of the model-bound ideal"
        return text
    if "not_model_s" in bench:
        return f"wall {bench['wall_s']:.2f} s, of which not the model's {bench['not_model_s']:.2f} s"
    if "questions_per_s" in bench:
        return (f"{bench['questions_per_s']:.1f} questions/s, p50 {bench['p50_s']:.2f} s, "
                f"p99 {bench['p99_s']:.2f} s, {bench['errors']:.0f} errors, "
                f"{bench['charts']:.0f} charts, peak RSS {bench['peak_rss_mib']:.0f} MiB")
    if "output_bytes" in bench:
        return f"{human_bytes(bench['output_bytes'])} out"
    return ""


def main():
    args = sys.argv[1:]
    demo = {}
    if "--demo-memory" in args:
        at = args.index("--demo-memory")
        with open(args[at + 1], encoding="ascii") as handle:
            demo = dict(line.split() for line in handle if line.strip())
        del args[at:at + 2]
    targets = load_targets(args[0])

    benches = []
    for path in args[1:]:
        with open(path, encoding="utf-8") as handle:
            data = json.load(handle)
        benches += [b for b in data.get("benchmarks", []) if b.get("run_type") != "aggregate"]
    by_name = {base_name(b["name"]): b for b in benches}

    rows, stages = [], []
    for bench in benches:
        name = base_name(bench["name"])
        seconds = seconds_of(bench)
        if bench.get("error_occurred"):
            rows.append((name, "error", "-", "-", bench.get("error_message", ""), ""))
            continue
        target = next((t for t in targets if name.startswith(t[0])), None)
        compared = side_by_side(bench, by_name)
        if target:
            _, value, unit, what = target
            figure = seconds / UNITS[unit]
            unit_name = UNIT_NAMES.get(unit, unit)
            rows.append((name, f"{number(figure)} {unit_name}", f"< {value:g} {unit_name}",
                         f"{figure / value:.2f}", compared, what))
        else:
            rows.append((name, human_time(seconds), "-", "-", compared,
                         "reference, measured in the same run"))
        for key, value in bench.items():
            if key.startswith("chars_"):
                stage = key[len("chars_"):]
                stages.append((stage, f"{value:.0f}", f"{bench.get('tokens_' + stage, 0):.0f}"))
    if demo:
        mb = {key: int(value) / 1024 for key, value in demo.items() if key.endswith("_kb")}
        what = (f"norvex ask, the demo question on the sample store with the demo cassette, "
                f"{demo.get('wall_s', '?')} s")
        rows.append(("demo question: peak RSS, all processes", f"{mb['tree_peak_rss_kb']:.1f} MB",
                     "-", "-", f"program {mb['program_hwm_kb']:.1f} MB + analysis worker "
                     f"{mb['largest_child_hwm_kb']:.1f} MB (each its own peak)", what))
    print_table(("figure", "value", "target", "ratio", "side by side", "what"), rows)
    if stages:
        print()
        print("Prompt size per stage of the question benchmark (tokens estimated as chars / 4):")
        print()
        print_table(("stage", "prompt chars", "≈ tokens"), stages)


def print_table(header, rows):
    widths = [max(len(str(r[i])) for r in rows + [header]) for i in range(len(header))]
    print("| " + " | ".join(h.ljust(w) for h, w in zip(header, widths)) + " |")
    print("|" + "|".join("-" * (w + 2) for w in widths) + "|")
    for row in rows:
        print("| " + " | ".join(str(c).ljust(w) for c, w in zip(row, widths)) + " |")


if __name__ == "__main__":
    main()
