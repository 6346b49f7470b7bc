#!/usr/bin/env python3
"""Turns the lines the benchmark programs print into the results table.

Usage: report.py RESULTS.txt OUT_DIR

Writes OUT_DIR/results.md (and OUT_DIR/efficiency.png when gnuplot is there)
and prints the table.
"""
import os
import shutil
import statistics
import subprocess
import sys

LINE_GOALS = {0.0: 0.99, 1.0: 0.985}  # 64 KiB records, by latency in ms
RATIO_GOAL = 0.90
RSS_GOAL_KIB = 4096


def parse(path):
    rows = []
    for line in open(path, encoding="utf-8"):
        words = line.split()
        if not words or words[0] not in ("machine", "accuracy", "result", "raw", "download", "lean", "retried"):
            continue
        fields = {"kind": words[0], "words": words[1:]}
        for w in words[1:]:
            if "=" in w:
                k, v = w.split("=", 1)
                fields[k] = v
        rows.append(fields)
    return rows


def num(row, key):
    try:
        return float(row.get(key, "nan"))
    except ValueError:
        return float("nan")


def pct(x):
    return "n/a" if x != x else f"{100 * x:.2f} %"


def line_table(rows, out):
    results = [r for r in rows if r["kind"] == "result" and num(r, "baud") > 0]
    out.append("| transfer | record | latency | payload | time on line | efficiency | ceiling | goal | status |")
    out.append("|---|---|---|---|---|---|---|---|---|")
    verdicts = []
    for latency in sorted({num(r, "latency_ms") for r in results}):
        same = [r for r in results if num(r, "latency_ms") == latency]
        rivals = [num(r, "efficiency") for r in same if not r["label"].startswith("stbflash")
                  and r["status"] == "ok"]
        for r in same:
            label = r["label"]
            eff = num(r, "efficiency")
            goal = ""
            if label == "stbflash-65536":
                need = LINE_GOALS.get(latency)
                ok = r["status"] == "ok" and need is not None and eff >= need
                ahead = all(eff > x for x in rivals)
                goal = f"≥ {pct(need)}: {'met' if ok else 'MISSED'}; ahead of lrzsz: {'yes' if ahead else 'NO'}"
                verdicts.append(ok and ahead)
            name, record = (("stbflash", label.split("-", 1)[1] + " B")
                            if label.startswith("stbflash") else (label, "1024 B" if "xmodem" in label else "stream"))
            out.append(f"| {name} | {record} | {latency:g} ms | {num(r, 'payload'):.0f} B | "
                       f"{num(r, 'seconds'):.3f} s | {pct(eff)} | "
                       f"{pct(num(r, 'ceiling')) if 'ceiling' in r else ''} | {goal} | {r['status']} |")
    return results, verdicts


def fast_table(rows, out):
    raws = [r for r in rows if r["kind"] == "raw" and r.get("reader") == "box"]
    drains = [r for r in rows if r["kind"] == "raw" and r.get("reader") == "drain"]
    fulls = [r for r in rows if r["kind"] == "download" and num(r, "image_bytes") > 14]
    empties = [r for r in rows if r["kind"] == "download" and num(r, "image_bytes") <= 14]
    leans = [r for r in rows if r["kind"] == "lean"]
    out.append("| round | bare pty, 8-byte writes | stbflash + lean box | ratio | stbflash + simulated box "
               "(run − empty image) | ratio | CPU per MiB (lean / sim) | peak RSS (lean / sim) |")
    out.append("|---|---|---|---|---|---|---|---|")
    lean_ratios, sim_ratios = [], []
    for i, (raw, full, empty, lean) in enumerate(zip(raws, fulls, empties, leans), 1):
        transfer = num(full, "seconds") - num(empty, "seconds")
        sim_ratio = num(raw, "seconds") / transfer
        lean_ratio = num(raw, "seconds") / num(lean, "seconds")
        mib = num(full, "image_bytes") / 2**20
        if raw["status"] == lean["status"] == "ok":
            lean_ratios.append(lean_ratio)
        if raw["status"] == full["status"] == empty["status"] == "ok":
            sim_ratios.append(sim_ratio)
        out.append(f"| {i} | {num(raw, 'seconds'):.3f} s | {num(lean, 'seconds'):.3f} s | {pct(lean_ratio)} | "
                   f"{num(full, 'seconds'):.3f} − {num(empty, 'seconds'):.3f} = {transfer:.3f} s | "
                   f"{pct(sim_ratio)} | {1000 * num(lean, 'cpu_s') / mib:.0f} / "
                   f"{num(full, 'cpu_ms_per_mib'):.0f} ms | {num(lean, 'peak_rss_kib'):.0f} / "
                   f"{num(full, 'peak_rss_kib'):.0f} KiB |")
    summary = []
    for name, ratios in (("lean box", lean_ratios), ("simulated box", sim_ratios)):
        if ratios:
            med = statistics.median(ratios)
            summary.append(f"Bare pty / stbflash with the {name}: median {pct(med)}, best {pct(max(ratios))} over "
                           f"{len(ratios)} rounds (goal ≥ {pct(RATIO_GOAL)}: {'met' if med >= RATIO_GOAL else 'MISSED'}"
                           f" by the median).")
    rss = [num(r, "peak_rss_kib") for r in fulls + leans]
    if rss:
        summary.append(f"Peak resident memory of stbflash: {max(rss):.0f} KiB (goal < {RSS_GOAL_KIB} KiB: "
                       f"{'met' if max(rss) < RSS_GOAL_KIB else 'MISSED'}).")
    writer_cpu = [1000 * num(r, "writer_cpu_s_per_mib") for r in raws]
    if writer_cpu:
        summary.append(f"CPU time per MiB of the bare 8-byte writer: median {statistics.median(writer_cpu):.0f} ms.")
    for d in drains:
        summary.append(f"The same pseudo-terminal drained by blocking 64 KiB reads: {num(d, 'seconds'):.3f} s "
                       f"({num(d, 'mib_per_s'):.2f} MiB/s).")
    for r in leans:
        summary.append(f"Host answer time at full speed (lean box: acknowledgement written to the host's next byte "
                       f"read, {r['answers']} answers): median {num(r, 'answer_median_us'):.0f} µs, "
                       f"99th percentile {num(r, 'answer_p99_us'):.0f} µs.")
    for r in rows:
        if r["kind"] == "retried":
            summary.append("Retried after a failed attempt: " + " ".join(r["words"]))
    return summary


def plot(results, out_dir):
    if shutil.which("gnuplot") is None:
        return None
    data = os.path.join(out_dir, "efficiency.dat")
    with open(data, "w", encoding="utf-8") as f:
        for latency in (0.0, 1.0):
            for r in results:
                if r["label"].startswith("stbflash") and num(r, "latency_ms") == latency:
                    f.write(f"{r['label'].split('-')[1]} {num(r, 'efficiency') * 100} {num(r, 'ceiling') * 100}\n")
            f.write("\n\n")
    png = os.path.join(out_dir, "efficiency.png")
    script = f"""
set terminal pngcairo size 800,500
set output '{png}'
set logscale x 2
set xlabel 'record size (bytes)'
set ylabel 'payload rate / 11,520 B/s (%)'
set key bottom right
set grid
set xrange [180:90000]
plot '{data}' index 0 using 1:2 with linespoints title 'stbflash, 0 ms', \\
     '{data}' index 0 using 1:3 with lines dashtype 2 title 'ceiling, 0 ms', \\
     '{data}' index 1 using 1:2 with linespoints title 'stbflash, 1 ms', \\
     '{data}' index 1 using 1:3 with lines dashtype 2 title 'ceiling, 1 ms'
"""
    try:
        subprocess.run(["gnuplot"], input=script, text=True, check=True, capture_output=True)
    except subprocess.CalledProcessError:
        return None
    return png


def main():
    rows = parse(sys.argv[1])
    out_dir = sys.argv[2]
    out = []
    machine = " ".join(w for r in rows if r["kind"] == "machine" for w in r["words"])
    out.append(f"Machine: {machine}")
    out.append("")
    out.append("Line emulator accuracy (a plain stream, 8-byte writes):")
    out.append("")
    for r in rows:
        if r["kind"] == "accuracy":
            out.append(f"- {' '.join(w for w in r['words'] if not w.startswith(('expected', 'measured')))}")
    out.append("")
    out.append("Emulated 115200 bd line (10 bits a byte):")
    out.append("")
    results, verdicts = line_table(rows, out)
    out.append("")
    answers = [r for r in results if r["label"].startswith("stbflash")]
    if answers:
        out.append("Host answer time on the line (acknowledgement's last byte delivered to the host's next "
                   "byte): " + ", ".join(f"{r['label'].split('-')[1]} B / {r['latency_ms']} ms: median "
                                         f"{num(r, 'answer_median_us'):.0f} µs, p99 {num(r, 'answer_p99_us'):.0f} µs"
                                         for r in answers) + ".")
        out.append("")
    out.append("Full speed (no pacing), 64 KiB records:")
    out.append("")
    summary = fast_table(rows, out)
    out.append("")
    out.extend(f"- {s}" for s in summary)
    png = plot(results, out_dir)
    if png:
        out.append("")
        out.append(f"Plot: {png}")
    text = "\n".join(out) + "\n"
    with open(os.path.join(out_dir, "results.md"), "w", encoding="utf-8") as f:
        f.write(text)
    print()
    print(text)


if __name__ == "__main__":
    main()
