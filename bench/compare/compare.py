#!/usr/bin/env python3
"""Corvus against ONNX Runtime (CPU), side by side, on one machine in one run.

    compare.py CORVUS_TIME MODELS_DIR [--runs N] [--rounds R] [--warmup W]
               [--threads T] [--markdown OUT.md] [--stats-dir DIR] [--level TEXT]

For each model the two runtimes are timed alternately, R rounds of N/R timed
runs each after W warm-up runs per process, so load from other work on the
machine falls on both. Both run batch 1 on one thread, and again on T
threads (Corvus: T cores, ONNX Runtime: intraOpNumThreads T; --threads 1
leaves that out), with Corvus's speed-up from one core to T. Printed: the median
of all timed runs per runtime, the ratio, Corvus GFLOP/s (from the MACs of
the statistics CSV), the largest shares of Corvus time per operator type
(from the same CSV) and the peak resident memory of each process. --level
names the kernels' instruction-set level that ran (`corvus info`), printed
above the table.
"""
import argparse
import collections
import csv
import json
import os
import statistics
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))

# (printed name, Corvus description, Corvus weights, ONNX model); paths
# relative to MODELS_DIR unless absolute.
MODELS = [
    ("ResNet-18", "resnet18.json", "resnet18.weights", "resnet18.onnx"),
    ("MobileNetV2", "mobilenet_v2.json", "mobilenet_v2.weights", "mobilenet_v2.onnx"),
    ("SqueezeNet 1.1", "squeezenet1_1.json", "squeezenet1_1.weights", "squeezenet1_1.onnx"),
    ("ResNet-50", "resnet50.json", "resnet50.weights", "resnet50.onnx"),
    ("EfficientNet-B0", "efficientnet_b0.json", "efficientnet_b0.weights", "efficientnet_b0.onnx"),
    ("MobileNetV3-Small", "mobilenet_v3_small.json", "mobilenet_v3_small.weights", "mobilenet_v3_small.onnx"),
    ("digit classifier", os.path.join(ROOT, "examples/digits/model.json"),
     os.path.join(ROOT, "examples/digits/weights.bin"), "digits.onnx"),
]


def parse(out):
    runs, rss = [], 0
    for line in out.splitlines():
        parts = line.split()
        if len(parts) == 2 and parts[0] == "run":
            runs.append(float(parts[1]))
        elif len(parts) == 2 and parts[0] == "peak_rss_kb":
            rss = int(parts[1])
    return runs, rss


def run(cmd):
    p = subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    if p.returncode != 0:
        sys.exit("compare: %s failed:\n%s" % (" ".join(cmd), p.stderr))
    return parse(p.stdout)


def op_shares(stats_csv):
    """Total MACs and the share of time per layer type, largest first."""
    tics, macs = collections.Counter(), 0
    with open(stats_csv) as f:
        for row in csv.DictReader(f, delimiter=";"):
            tics[row["LayerType"]] += max(0, int(row["TotalTics"]))
            macs += int(row["MACs"])
    total = sum(tics.values()) or 1
    return macs, [(op, 100.0 * t / total) for op, t in tics.most_common()]


def fma_peak(bench):
    """The best of five runs of the FMA peak benchmark, GFLOP/s (None without it)."""
    if not bench:
        return None
    out = subprocess.run([bench, "--benchmark_format=json", "--benchmark_repetitions=5"], check=True,
                         capture_output=True, text=True).stdout
    runs = [b for b in json.loads(out)["benchmarks"] if b.get("run_type") == "iteration"]
    return max(b["GFLOP/s"] for b in runs) if runs else None


def layer_table(name, cv_ms, stats, peak):
    """Per-layer GFLOP/s of one model: each layer's share of the statistics'
    time, applied to the median run."""
    with open(stats) as f:
        layers = [r for r in csv.DictReader(f, delimiter=";")]
    total = sum(max(0, int(r["TotalTics"])) for r in layers) or 1
    head = ["layer", "type", "kernel", "input", "kernel size", "stride", "output", "MMAC", "ms", "GFLOP/s"]
    if peak:
        head.append("% of FMA peak")
    lines = ["%s per layer%s:" % (name, " (one core's FMA peak: %.1f GFLOP/s)" % peak if peak else ""), "",
             "| " + " | ".join(head) + " |", "|" + "---|" * len(head)]
    for r in layers:
        macs = int(r["MACs"])
        if macs == 0:
            continue
        ms = cv_ms * max(0, int(r["TotalTics"])) / total
        gf = 2.0 * macs / 1e9 / (ms / 1e3) if ms > 0 else 0.0
        row = [r["Name"], r["LayerType"], r["NNKernelName"], r["Inputs"], r["KerSize"], r["Stride"], r["Output"],
               "%.1f" % (macs / 1e6), "%.3f" % ms, "%.1f" % gf]
        if peak:
            row.append("%.0f%%" % (100.0 * gf / peak))
        lines.append("| " + " | ".join(row) + " |")
    return lines


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("corvus_time")
    ap.add_argument("models_dir")
    ap.add_argument("--runs", type=int, default=20)
    ap.add_argument("--rounds", type=int, default=2)
    ap.add_argument("--warmup", type=int, default=3)
    ap.add_argument("--threads", type=int, default=2, help="the second column's thread count (1: none)")
    ap.add_argument("--markdown")
    ap.add_argument("--stats-dir")
    ap.add_argument("--only", help="comma-separated printed names to run")
    ap.add_argument("--level", help="the Corvus kernels' instruction-set level, for the table")
    ap.add_argument("--peak-bench", help="bench_fma_peak: per-layer GFLOP/s are given against its figure")
    ap.add_argument("--layers", default="ResNet-18", help="the model whose per-layer GFLOP/s are listed")
    a = ap.parse_args()
    per_round = max(1, -(-a.runs // a.rounds))
    stats_dir = a.stats_dir or a.models_dir
    rows = []
    medians = {}
    for name, desc, weights, onnx_file in MODELS:
        if a.only and name not in a.only.split(","):
            continue
        desc, weights, onnx_file = (p if os.path.isabs(p) else os.path.join(a.models_dir, p)
                                    for p in (desc, weights, onnx_file))
        stats = os.path.join(stats_dir, "stats-%s.csv" % name.replace(" ", "_"))
        cv, ort, cv_rss, ort_rss = [], [], 0, 0
        cvT, ortT = [], []
        for _ in range(a.rounds):
            t, r = run([a.corvus_time, desc, weights, str(per_round), str(a.warmup), stats])
            cv += t
            cv_rss = max(cv_rss, r)
            t, r = run(["node", os.path.join(HERE, "ort_time.mjs"), onnx_file, str(per_round), str(a.warmup)])
            ort += t
            ort_rss = max(ort_rss, r)
            if a.threads > 1:
                cvT += run([a.corvus_time, desc, weights, str(per_round), str(a.warmup), "", str(a.threads)])[0]
                ortT += run(["node", os.path.join(HERE, "ort_time.mjs"), onnx_file, str(per_round), str(a.warmup),
                             str(a.threads)])[0]
        cv_ms, ort_ms = statistics.median(cv), statistics.median(ort)
        medians[name] = (cv_ms, stats)
        macs, shares = op_shares(stats)
        gflops = 2.0 * macs / 1e9 / (cv_ms / 1e3)
        share_text = ", ".join("%s %.0f%%" % (op, s) for op, s in shares if s >= 1.0) or "-"
        row = [name, "%.3f" % cv_ms, "%.3f" % ort_ms, "%.2f" % (cv_ms / ort_ms)]
        if a.threads > 1:
            cvT_ms, ortT_ms = statistics.median(cvT), statistics.median(ortT)
            row += ["%.3f" % cvT_ms, "%.3f" % ortT_ms, "%.2f" % (cvT_ms / ortT_ms), "%.2f" % (cv_ms / cvT_ms),
                    "%.2f" % (ort_ms / ortT_ms)]
            print("%s: %d threads: Corvus %.3f ms, ORT %.3f ms" % (name, a.threads, cvT_ms, ortT_ms), file=sys.stderr)
        row += ["%.2f" % gflops, share_text, "%.1f" % (cv_rss / 1024.0), "%.1f" % (ort_rss / 1024.0)]
        rows.append(tuple(row))
        print("%s: Corvus %.3f ms, ORT %.3f ms (%d runs each)" % (name, cv_ms, ort_ms, len(cv)), file=sys.stderr)
    head = ["model", "Corvus ms", "ORT ms", "Corvus/ORT"]
    if a.threads > 1:
        t = a.threads
        head += ["Corvus ms, %d cores" % t, "ORT ms, %d threads" % t, "Corvus/ORT, %d" % t,
                 "Corvus speed-up 1→%d" % t, "ORT speed-up 1→%d" % t]
    head += ["Corvus GFLOP/s", "Corvus time per operator type", "Corvus peak RSS MiB", "ORT peak RSS MiB"]
    lines = ["Corvus kernels: %s" % a.level, ""] if a.level else []
    lines += ["| " + " | ".join(head) + " |", "|" + "---|" * len(head)]
    lines += ["| " + " | ".join(r) + " |" for r in rows]
    if a.layers in medians:
        lines += [""] + layer_table(a.layers, *medians[a.layers], fma_peak(a.peak_bench))
    print("\n".join(lines))
    if a.markdown:
        with open(a.markdown, "w") as f:
            f.write("\n".join(lines) + "\n")
    return 0


if __name__ == "__main__":
    sys.exit(main())
