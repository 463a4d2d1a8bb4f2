#!/usr/bin/env python3
"""Reads the Google Benchmark JSON files of one `./dev bench` run, pairs each
of our rows with its baseline row from the same run, and prints one table
(benchmark, our figure, baseline figure, ratio, target, pass/short) for each
placement. Writes the same rows as JSON, and as Markdown beside it.

usage: report.py RESULTS_DIR SUMMARY_JSON

Rows are found by their base name: the registered name without Google
Benchmark's suffixes (min_time:, real_time, threads:, iterations:).
"""
import datetime
import glob
import json
import os
import re
import statistics
import sys

PLACEMENTS = ["same_cpu", "cross_cpu"]

# (label, our row, baseline row, metric, target, goal)
#   metric: items_per_second | bytes_per_second | real_time | cpu_time
#   goal:   "min" -> pass when ratio >= target; "max" -> pass when ratio <= target;
#           None  -> reported only
# Row names take "{p}" for the placement.
COMPARISONS = [
    ("nop, 1 thread, clear", "nop/clear/{p}", "raw/tcp_pingpong64/{p}",
     "items_per_second", 0.5, "min"),
    ("nop, 1 thread, encrypted vs clear", "nop/encrypted/{p}", "nop/clear/{p}",
     "items_per_second", 0.8, "min"),
    ("getParameter, 8 threads, clear", "get_parameter_t8/clear/{p}", "raw/tcp_routed64/{p}",
     "items_per_second", 0.7, "min"),
    ("getParameter, 8 threads, encrypted vs clear", "get_parameter_t8/encrypted/{p}",
     "get_parameter_t8/clear/{p}", "items_per_second", 0.8, "min"),
    ("getParameter, 1 thread, clear", "get_parameter/clear/{p}", "raw/tcp_pingpong64/{p}",
     "items_per_second", None, None),
    ("getParameter, 1 thread, encrypted", "get_parameter/encrypted/{p}", "raw/tcp_pingpong64/{p}",
     "items_per_second", None, None),
    ("getList 10,000 lines, clear", "get_list10k/clear/{p}", "raw/tcp_pingpong_list10k/{p}",
     "items_per_second", None, None),
    ("getList 10,000 lines, encrypted", "get_list10k/encrypted/{p}",
     "raw/tcp_pingpong_list10k/{p}", "items_per_second", None, None),
    ("download 256 MiB, clear", "download256m/clear/{p}", "raw/tcp_stream256m/{p}",
     "bytes_per_second", 0.6, "min"),
    ("download 256 MiB, encrypted", "download256m/encrypted/{p}", "raw/tcp_stream256m/{p}",
     "bytes_per_second", 0.4, "min"),
    ("upload 256 MiB, clear", "upload256m/clear/{p}", "raw/tcp_stream256m/{p}",
     "bytes_per_second", 0.6, "min"),
    ("upload 256 MiB, encrypted", "upload256m/encrypted/{p}", "raw/tcp_stream256m/{p}",
     "bytes_per_second", 0.4, "min"),
    # The same transfers against the raw transfer of the same work (file read,
    # socket, AES-GCM when encrypted, file write): what the files and the
    # cipher leave of the raw stream.
    ("raw file transfer, clear, vs raw stream", "raw/file_transfer256m/clear/{p}",
     "raw/tcp_stream256m/{p}", "bytes_per_second", None, None),
    ("raw file transfer, encrypted, vs raw stream", "raw/file_transfer256m/encrypted/{p}",
     "raw/tcp_stream256m/{p}", "bytes_per_second", None, None),
    ("download 256 MiB, clear, vs raw file transfer", "download256m/clear/{p}",
     "raw/file_transfer256m/clear/{p}", "bytes_per_second", None, None),
    ("download 256 MiB, encrypted, vs raw file transfer", "download256m/encrypted/{p}",
     "raw/file_transfer256m/encrypted/{p}", "bytes_per_second", None, None),
    ("upload 256 MiB, clear, vs raw file transfer", "upload256m/clear/{p}",
     "raw/file_transfer256m/clear/{p}", "bytes_per_second", None, None),
    ("upload 256 MiB, encrypted, vs raw file transfer", "upload256m/encrypted/{p}",
     "raw/file_transfer256m/encrypted/{p}", "bytes_per_second", None, None),
    ("nop, 1 thread, TLS vs clear", "nop/tls/{p}", "nop/clear/{p}",
     "items_per_second", 0.8, "min"),
    ("getParameter, 8 threads, TLS vs clear", "get_parameter_t8/tls/{p}",
     "get_parameter_t8/clear/{p}", "items_per_second", 0.8, "min"),
    ("download 256 MiB, TLS vs encrypted", "download256m/tls/{p}",
     "download256m/encrypted/{p}", "bytes_per_second", 0.8, "min"),
    ("connect, TLS vs clear (time)", "connect/tls/{p}", "connect/clear/{p}",
     "real_time", None, None),
    ("SnmpGet vs raw UDP ping-pong", "snmp_get/{p}", "raw/udp_pingpong60/{p}",
     "items_per_second", None, None),
    ("SnmpGet sequential GETs vs net-snmp", "snmp_get/{p}", "netsnmp/get/{p}",
     "items_per_second", 1.0, "min"),
    ("SnmpGet client CPU per GET vs net-snmp", "snmp_get/{p}", "netsnmp/get/{p}",
     "cpu_time", 0.5, "max"),
    ("SnmpEnumerate 1,000-row column vs net-snmp", "snmp_enumerate1000/{p}",
     "netsnmp/walk1000/{p}", "items_per_second", 1.0, "min"),
    ("getInterfaces, 1,000 interfaces, time vs net-snmp", "get_interfaces1000/{p}",
     "netsnmp/interface_sequence1000/{p}", "real_time", 1.2, "max"),
    ("SnmpGet SNMPv3 authPriv (SHA-256, AES-128) vs net-snmp", "snmp_get_v3/{p}",
     "netsnmp/get_v3/{p}", "items_per_second", 1.0, "min"),
    ("SnmpGet SNMPv3 authPriv vs SNMPv2c", "snmp_get_v3/{p}", "snmp_get/{p}",
     "items_per_second", None, None),
    ("SnmpWalkBulk 1,000-row column vs net-snmp bulk walk", "snmp_walk_bulk1000/{p}",
     "netsnmp/bulkwalk1000/{p}", "items_per_second", 1.0, "min"),
    ("SnmpWalkBulk 1,000-row column vs our GETNEXT walk", "snmp_walk_bulk1000/{p}",
     "snmp_enumerate1000/{p}", "items_per_second", 4.0, "min"),
    ("getInterfaces, 1,000 interfaces, bulk vs without (time)", "get_interfaces_bulk1000/{p}",
     "get_interfaces1000/{p}", "real_time", 1 / 3, "max"),
]

SUFFIX = re.compile(r"^(min_time:.*|real_time|process_time|threads:\d+|iterations:\d+|repeats:\d+)$")
TIME_UNITS = {"ns": 1e-9, "us": 1e-6, "ms": 1e-3, "s": 1.0}


def base_name(name):
    return "/".join(part for part in name.split("/") if not SUFFIX.match(part))


def load(results_dir):
    """Every row's repetitions (a list of Google Benchmark entries) by base name."""
    rows = {}
    for path in sorted(glob.glob(os.path.join(results_dir, "*.json"))):
        try:
            with open(path) as f:
                data = json.load(f)
        except (OSError, ValueError) as e:
            print(f"warning: cannot read {path}: {e}", file=sys.stderr)
            continue
        for b in data.get("benchmarks", []):
            if b.get("run_type", "iteration") != "iteration":
                continue
            rows.setdefault(base_name(b["name"]), []).append(b)
    return rows


def first_error(reps):
    """The first repetition that failed, if any; a row with one is not compared."""
    if not reps:
        return None
    return next((r for r in reps if r.get("error_occurred")), None)


def metric(reps, name):
    """The median over a row's repetitions of its figure, in base units (per
    second, or seconds per iteration). The runner interleaves the repetitions
    of all rows, so the median of each row comes from the same stretch of time
    as that of its baseline."""
    if not reps or first_error(reps) is not None:
        return None
    values = []
    for row in reps:
        value = row.get(name)
        if value is None:
            return None
        if name in ("real_time", "cpu_time"):
            value = value * TIME_UNITS.get(row.get("time_unit", "ns"), 1e-9)
        values.append(float(value))
    return statistics.median(values)


def fmt(value, name):
    if value is None:
        return "-"
    if name == "bytes_per_second":
        return f"{value / (1 << 20):.1f} MiB/s"
    if name == "items_per_second":
        return f"{value / 1000:.2f} k/s" if value >= 1000 else f"{value:.1f} /s"
    if name in ("real_time", "cpu_time"):
        if value >= 1:
            return f"{value:.2f} s"
        if value >= 1e-3:
            return f"{value * 1e3:.2f} ms"
        return f"{value * 1e6:.1f} us"
    return f"{value:.3g}"


def why_missing(reps, label):
    failed = first_error(reps)
    if failed is None:
        return f"{label} not run"
    return f"{label}: {failed.get('error_message', 'error')}"


def compare(rows):
    out = []
    for p in PLACEMENTS:
        for label, ours_name, base_name_, name, target, goal in COMPARISONS:
            ours_row = rows.get(ours_name.format(p=p))
            base_row = rows.get(base_name_.format(p=p))
            ours = metric(ours_row, name)
            base = metric(base_row, name)
            entry = {
                "benchmark": label,
                "placement": p,
                "ours_row": ours_name.format(p=p),
                "baseline_row": base_name_.format(p=p),
                "metric": name,
                "ours": ours,
                "baseline": base,
                "ratio": None,
                "target": None if target is None else (">= " if goal == "min" else "<= ") + str(target),
                "result": "info",
            }
            if ours is None or base is None or base == 0:
                entry["result"] = "skipped"
                entry["note"] = why_missing(ours_row, "ours") if ours is None else why_missing(
                    base_row, "baseline")
            else:
                ratio = ours / base
                entry["ratio"] = ratio
                if goal == "min":
                    entry["result"] = "pass" if ratio >= target else "short"
                elif goal == "max":
                    entry["result"] = "pass" if ratio <= target else "short"
            out.append(entry)
    # The sessions rows stand alone: absolute figures, no baseline. Each
    # repetition must have succeeded; the figures are medians.
    for mode, label in (("encrypted", "encrypted, SHA-1"), ("tls", "TLS 1.3, SHA-1")):
        row = f"sessions1000/{mode}"
        reps = rows.get(row)
        per_session = metric(reps, "kib_per_session")
        entry = {
            "benchmark": f"1,000 sessions connect+negotiate ({label}): KiB/session",
            "placement": "unpinned",
            "ours_row": row,
            "baseline_row": None,
            "metric": "kib_per_session",
            "ours": per_session,
            "baseline": None,
            "ratio": None,
            "target": "<= 128 KiB, all succeed",
            "sessions_per_s": metric(reps, "sessions_per_s"),
            "failed": max((r.get("failed", 0) for r in reps), default=None) if reps else None,
            "result": "skipped",
        }
        if per_session is not None:
            entry["result"] = "pass" if entry["failed"] == 0 and per_session <= 128 else "short"
        else:
            entry["note"] = why_missing(reps, "ours")
        out.append(entry)
    # A TLS connect with its handshake, on one CPU: an absolute bound.
    reps = rows.get("connect/tls/same_cpu")
    seconds = metric(reps, "real_time")
    entry = {
        "benchmark": "connect with TLS handshake, one CPU: ms per session",
        "placement": "same_cpu",
        "ours_row": "connect/tls/same_cpu",
        "baseline_row": None,
        "metric": "real_time",
        "ours": seconds,
        "baseline": None,
        "ratio": None,
        "target": "< 2 ms",
        "result": "skipped",
    }
    if seconds is not None:
        entry["result"] = "pass" if seconds < 0.002 else "short"
    else:
        entry["note"] = why_missing(reps, "ours")
    out.append(entry)
    return out


def print_table(entries):
    header = ("benchmark", "ours", "baseline", "ratio", "target", "result")
    lines = []
    for e in entries:
        if e["metric"] == "kib_per_session":
            ours = "-" if e["ours"] is None else f"{e['ours']:.1f} KiB"
            sps = e.get("sessions_per_s")
            base = "-" if sps is None else f"{sps:.0f} sessions/s"
        else:
            ours = fmt(e["ours"], e["metric"])
            base = fmt(e["baseline"], e["metric"])
        ratio = "-" if e["ratio"] is None else f"{e['ratio']:.2f}"
        result = e["result"]
        if e.get("note") and result in ("skipped", "short"):
            result += f" ({e['note']})"
        name = f"{e['benchmark']} [{e['placement']}]"
        lines.append((name, ours, base, ratio, e["target"] or "-", result))
    widths = [max(len(r[i]) for r in lines + [header]) for i in range(5)]
    def row(r):
        return "  ".join(r[i].ljust(widths[i]) for i in range(5)) + "  " + r[5]
    print(row(header))
    print("  ".join("-" * w for w in widths) + "  " + "-" * 6)
    for r in lines:
        print(row(r))


def markdown(entries):
    """The table as Markdown, one section per placement (for docs/performance.md)."""
    out = []
    for placement, title in (("same_cpu", "Both sides on one CPU (`same_cpu`)"),
                             ("cross_cpu", "Client and peer on different CPUs (`cross_cpu`)")):
        out += [f"### {title}", "", "| Benchmark | Ours | Baseline | Ratio | Target | Result |",
                "|---|---|---|---|---|---|"]
        for e in entries:
            if e["placement"] != placement:
                continue
            ratio = "-" if e["ratio"] is None else f"{e['ratio']:.2f}"
            out.append(f"| {e['benchmark']} | {fmt(e['ours'], e['metric'])} | "
                       f"{fmt(e['baseline'], e['metric'])} | {ratio} | "
                       f"{(e['target'] or '-').replace('>=', '≥').replace('<=', '≤')} | {e['result']} |")
        out.append("")
    for e in entries:
        if e["metric"] == "kib_per_session" and e["ours"] is not None:
            out.append(f"1,000 sessions (encrypted, SHA-1 login): {e['result']}, "
                       f"{e.get('sessions_per_s') or 0:.0f} sessions/s, "
                       f"{e['ours']:.1f} KiB per idle session, {int(e.get('failed') or 0)} failed.")
    return "\n".join(out) + "\n"


def main():
    if len(sys.argv) != 3:
        print(__doc__, file=sys.stderr)
        return 2
    rows = load(sys.argv[1])
    entries = compare(rows)
    print_table(entries)
    counts = {k: sum(1 for e in entries if e["result"] == k) for k in ("pass", "short", "skipped")}
    print(f"\n{counts['pass']} pass, {counts['short']} short, {counts['skipped']} skipped")
    summary = {
        "generated": datetime.datetime.now(datetime.timezone.utc).isoformat(timespec="seconds"),
        "results_dir": os.path.abspath(sys.argv[1]),
        "rows": entries,
        "counts": counts,
    }
    with open(sys.argv[2], "w") as f:
        json.dump(summary, f, indent=2)
    md_path = os.path.splitext(sys.argv[2])[0] + ".md"
    with open(md_path, "w") as f:
        f.write(markdown(entries))
    print(f"written: {sys.argv[2]} and {md_path}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
