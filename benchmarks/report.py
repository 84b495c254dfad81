"""Prints the results of the last `make bench` as the table of benchmarks/README.md and draws the
plot beside it (benchmarks/results.png): time per call of the extension, its floor and the ctypes
binding, for each measurement that has them.

`.venv-bench/bin/python -P benchmarks/report.py [results.json] [plot.png]`
"""

import json
import sys
from pathlib import Path

HERE = Path(__file__).resolve().parent
RESULTS = HERE.parent / "build" / "bench-results.json"
PLOT = HERE / "results.png"
VARIANTS = ("extension", "floor", "ctypes")  # "extension" stands for the layer in its rows
COLOURS = {"extension": "#1f77b4", "floor": "#7f7f7f", "ctypes": "#d62728"}


def shown(ns: float) -> str:
    return f"{ns:.0f} ns" if ns < 1e5 else f"{ns / 1e3:.0f} µs"


def verdict(r: dict) -> str:
    ns, target, margin = r["ns"], r["target"], r.get("margin")
    if margin is not None:
        extra = (ns[r.get("subject", "extension")] - ns[r.get("floor", "floor")]) / 1e6
        met = "met" if extra <= margin * 1e3 else "not met"
        return f"+{extra:.2f} ms, within {margin * 1e3:.0f} ms {met}"
    if target is None:
        return "–"
    return f"≤ {target:.2f} {'met' if r['ratio'] <= target else 'not met'}"


def table(results: dict) -> str:
    rows = ["| measurement | measured (extension or layer) | floor | ctypes | measured / floor "
            "| target |",
            "| --- | --- | --- | --- | --- | --- |"]
    for name, r in results.items():
        ns = r["ns"]
        subject = r.get("subject", "extension")
        floor = r.get("floor", "floor")
        floor_cell = shown(ns[floor]) + ("" if floor == "floor" else f" ({floor})")
        ctypes = shown(ns["ctypes"]) if "ctypes" in ns else "–"
        subject_cell = shown(ns[subject]) + ("" if subject == "extension" else f" ({subject})")
        rows.append(f"| {name} | {subject_cell} | {floor_cell} | {ctypes} | "
                    f"**{r['ratio']:.2f}** | {verdict(r)} |")
    return "\n".join(rows)


def plot(results: dict, path: Path) -> None:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    measured = {name: r for name, r in results.items() if "floor" in r["ns"]
                and r.get("floor", "floor") == "floor"}
    names = list(measured)
    fig, ax = plt.subplots(figsize=(11, 0.9 + 1.1 * len(names)))
    height = 0.26
    for i, variant in enumerate(VARIANTS):
        ys = [len(names) - 1 - n + (1 - i) * height for n in range(len(names))]
        values = [measured[name]["ns"].get(
            measured[name].get("subject", "extension") if variant == "extension" else variant, 0)
            for name in names]
        label = "extension or layer" if variant == "extension" else variant
        bars = ax.barh(ys, values, height, label=label, color=COLOURS[variant])
        for bar, value in zip(bars, values):
            if value:
                ax.text(value * 1.05, bar.get_y() + bar.get_height() / 2, shown(value),
                        va="center", fontsize=7)
    ax.set_xscale("log")
    ax.set_yticks(range(len(names)))
    ax.set_yticklabels(
        [f"{name}\n(measured/floor {measured[name]['ratio']:.2f})" for name in reversed(names)],
        fontsize=8)
    ax.set_xlabel("time per call, log scale (best of the rounds of one run)")
    ax.set_title("Hot paths against the minimal runtime")
    ax.legend(loc="upper right", fontsize=8)
    ax.set_xlim(right=ax.get_xlim()[1] * 3)
    fig.tight_layout()
    fig.savefig(path, dpi=110)


def main() -> None:
    results_path = Path(sys.argv[1]) if len(sys.argv) > 1 else RESULTS
    plot_path = Path(sys.argv[2]) if len(sys.argv) > 2 else PLOT
    results = json.loads(results_path.read_text())
    print(table(results))
    plot(results, plot_path)
    print(f"\nplot: {plot_path}")


if __name__ == "__main__":
    main()
