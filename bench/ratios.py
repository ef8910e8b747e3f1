#!/usr/bin/env python3
"""Prints the lock benchmark ratios as Markdown tables.

Reads the JSON that LockBench writes with
  --benchmark_out=lock.json --benchmark_out_format=json
and compares each hybrid lock with its baseline from the same run, using the
median of the repetitions:

  HybridMutex        against std::mutex
  HybridSharedMutex  against std::shared_mutex
  pthread_adaptive   against std::mutex (for reference; it has no goal)

Usage: bench/ratios.py lock.json [more.json ...]

With several files (say, two runs of the same build) it prints the full tables
of each and then one summary of the goals with a column per run.
"""

import argparse
import json
import sys

PAIRS = [
    ("HybridMutex", "std::mutex"),
    ("HybridSharedMutex", "std::shared_mutex"),
    ("pthread_adaptive", "std::mutex"),
]
HOLDS = ["hold:50ns", "hold:2us", "hold:20us"]


def load(path):
    """Returns ({(workload, lock, param, threads): median entry}, context, errors)."""
    with open(path, encoding="utf-8") as handle:
        data = json.load(handle)
    medians = {}
    errors = []
    for entry in data.get("benchmarks", []):
        parts = entry["run_name"].split("/")
        key = (parts[0], parts[1], parts[2], int(entry.get("threads", 1)))
        if entry.get("error_occurred"):
            errors.append(f"{entry['run_name']}: {entry.get('error_message', '')}")
            continue
        if entry.get("aggregate_name") == "median":
            medians[key] = entry
    return medians, data.get("context", {}), errors


def ratio(numerator, denominator):
    if numerator is None or denominator in (None, 0):
        return None
    return numerator / denominator


def fmt(value, digits=2):
    return "n/a" if value is None else f"{value:.{digits}f}"


def verdict(value, goal):
    if value is None or goal is None:
        return ""
    kind, limit = goal
    met = value <= limit if kind == "max" else value >= limit
    return "met" if met else "MISSED"


def field(medians, key, name):
    entry = medians.get(key)
    return None if entry is None else entry.get(name)


def table(header, rows):
    lines = ["| " + " | ".join(header) + " |", "|" + "|".join("---" for _ in header) + "|"]
    lines += ["| " + " | ".join(str(cell) for cell in row) + " |" for row in rows]
    return "\n".join(lines)


def uncontended(medians):
    # One thread does all the work here, so its process CPU time is the cost of
    # the lock+unlock pair; real time also counts the moments the thread was
    # preempted by other programs, which on a shared machine is noise. The goal
    # is judged on CPU time; both ratios are shown.
    rows = []
    for side in ("exclusive", "shared"):
        for lock, base in PAIRS:
            key = ("Uncontended", lock, side, 1)
            base_key = ("Uncontended", base, side, 1)
            if key not in medians or base_key not in medians:
                continue
            cpu = ratio(field(medians, key, "cpu_time"), field(medians, base_key, "cpu_time"))
            real = ratio(field(medians, key, "real_time"), field(medians, base_key, "real_time"))
            goal = ("max", 1.10) if lock != "pthread_adaptive" else None
            rows.append([f"{side}: {lock} / {base}",
                         fmt(field(medians, base_key, "cpu_time"), 1),
                         fmt(field(medians, key, "cpu_time"), 1),
                         fmt(cpu), fmt(real), "<= 1.10" if goal else "-", verdict(cpu, goal)])
    return table(["lock+unlock, 1 thread (+1 idle)", "baseline CPU ns", "lock CPU ns",
                  "CPU ratio", "real-time ratio", "goal", ""], rows)


def cores_used(medians, key):
    """Average number of cores the process kept busy: CPU per acquisition x rate."""
    cpu = field(medians, key, "cpu_us_per_acq")
    rate = field(medians, key, "items_per_second")
    return None if cpu is None or rate is None else cpu * rate / 1e6


def contended(medians):
    rows = []
    for hold in HOLDS:
        for threads in (2, 4, 8):
            for lock, base in PAIRS:
                key = ("Contended", lock, hold, threads)
                base_key = ("Contended", base, hold, threads)
                if key not in medians or base_key not in medians:
                    continue
                value = ratio(field(medians, key, "items_per_second"),
                              field(medians, base_key, "items_per_second"))
                cpu = ratio(field(medians, key, "cpu_us_per_acq"),
                            field(medians, base_key, "cpu_us_per_acq"))
                goal = None
                if hold != "hold:50ns" and lock != "pthread_adaptive":
                    goal = ("min", 1.30)
                rows.append([hold.split(":")[1], threads, f"{lock} / {base}",
                             fmt(field(medians, base_key, "items_per_second") / 1e3, 1),
                             fmt(field(medians, key, "items_per_second") / 1e3, 1),
                             fmt(value), fmt(cpu),
                             f"{fmt(field(medians, base_key, 'fairness'))} / "
                             f"{fmt(field(medians, key, 'fairness'))}",
                             f"{fmt(cores_used(medians, base_key), 1)} / "
                             f"{fmt(cores_used(medians, key), 1)}",
                             ">= 1.30" if goal else "-", verdict(value, goal)])
    return table(["hold", "threads", "lock / baseline", "baseline kacq/s", "lock kacq/s",
                  "throughput ratio", "CPU/acq ratio", "fairness base / lock",
                  "cores used base / lock", "goal", ""],
                 rows)


def lock_cpu_ratio(medians, key, base_key):
    """The baseline's CPU per acquisition plus the extra CPU the lock's own
    lock() calls burned, over the baseline's CPU per acquisition. Unlike the
    plain process-CPU ratio it does not move with the noise other programs add
    to the busy work of the hold."""
    base_cpu = field(medians, base_key, "cpu_us_per_acq")
    lock_cpu = field(medians, key, "lock_cpu_us_per_acq")
    base_lock_cpu = field(medians, base_key, "lock_cpu_us_per_acq")
    if None in (base_cpu, lock_cpu, base_lock_cpu) or base_cpu == 0:
        return None
    return (base_cpu + lock_cpu - base_lock_cpu) / base_cpu


def long_hold(medians):
    rows = []
    for threads in (2, 4):
        for lock, base in PAIRS:
            key = ("LongHold", lock, "hold:1ms", threads)
            base_key = ("LongHold", base, "hold:1ms", threads)
            if key not in medians or base_key not in medians:
                continue
            value = ratio(field(medians, key, "cpu_us_per_acq"),
                          field(medians, base_key, "cpu_us_per_acq"))
            in_lock = lock_cpu_ratio(medians, key, base_key)
            goal = ("max", 1.03) if lock != "pthread_adaptive" else None
            rows.append([threads, f"{lock} / {base}",
                         fmt(field(medians, base_key, "cpu_us_per_acq"), 0),
                         fmt(field(medians, key, "cpu_us_per_acq"), 0),
                         fmt(value, 3),
                         fmt(field(medians, base_key, "lock_cpu_us_per_acq"), 1),
                         fmt(field(medians, key, "lock_cpu_us_per_acq"), 1),
                         fmt(in_lock, 3),
                         fmt(field(medians, base_key, "csw_per_acq")),
                         fmt(field(medians, key, "csw_per_acq")),
                         "<= 1.03" if goal else "-",
                         f"{verdict(value, goal)} / {verdict(in_lock, goal)}" if goal else ""])
    return table(["threads", "lock / baseline", "baseline CPU us/acq", "lock CPU us/acq",
                  "process CPU ratio", "baseline lock() CPU us/acq", "lock() CPU us/acq",
                  "lock() CPU ratio", "baseline csw/acq", "lock csw/acq", "goal",
                  "process / lock()"], rows)


def read_mostly(medians):
    rows = []
    lock, base = PAIRS[1]
    for threads in (2, 4, 8):
        key = ("ReadMostly", lock, "hold:2us", threads)
        base_key = ("ReadMostly", base, "hold:2us", threads)
        if key not in medians or base_key not in medians:
            continue
        rows.append([threads, fmt(field(medians, base_key, "items_per_second") / 1e3, 1),
                     fmt(field(medians, key, "items_per_second") / 1e3, 1),
                     fmt(ratio(field(medians, key, "items_per_second"),
                               field(medians, base_key, "items_per_second"))),
                     fmt(ratio(field(medians, key, "cpu_us_per_acq"),
                               field(medians, base_key, "cpu_us_per_acq")))])
    return table(["threads", "std::shared_mutex kacq/s", "HybridSharedMutex kacq/s",
                  "throughput ratio", "CPU/acq ratio"], rows)


def writer_starvation(medians):
    rows = []
    lock, base = PAIRS[1]
    for readers in ("readers:1", "readers:3"):
        threads = int(readers.split(":")[1]) + 1
        key = ("WriterStarvation", lock, readers, threads)
        base_key = ("WriterStarvation", base, readers, threads)
        if key not in medians or base_key not in medians:
            continue
        rows.append([readers.split(":")[1],
                     fmt(field(medians, base_key, "writer_acq_per_s"), 0),
                     fmt(field(medians, key, "writer_acq_per_s"), 0),
                     fmt(ratio(field(medians, key, "writer_acq_per_s"),
                               field(medians, base_key, "writer_acq_per_s"))),
                     fmt(field(medians, base_key, "writer_max_wait_ms")),
                     fmt(field(medians, key, "writer_max_wait_ms")),
                     fmt(ratio(field(medians, key, "reader_acq_per_s"),
                               field(medians, base_key, "reader_acq_per_s")))])
    return table(["readers", "std::shared_mutex writer acq/s", "Hybrid writer acq/s",
                  "writer rate ratio", "std longest wait ms", "Hybrid longest wait ms",
                  "reader rate ratio"], rows)


def summary_rows(medians):
    """Returns [(label, value, goal, note)] for every figure that has a goal, plus the
    shared-lock workloads that have none."""
    rows = []
    for side, (lock, base) in (("exclusive", PAIRS[0]), ("exclusive", PAIRS[1]),
                               ("shared", PAIRS[1])):
        key, base_key = ("Uncontended", lock, side, 1), ("Uncontended", base, side, 1)
        rows.append((f"uncontended {side} {lock} CPU time ratio",
                     ratio(field(medians, key, "cpu_time"), field(medians, base_key, "cpu_time")),
                     ("max", 1.10), ""))
    for hold in HOLDS[1:]:
        for threads in (2, 4, 8):
            for lock, base in PAIRS[:2]:
                key, base_key = ("Contended", lock, hold, threads), ("Contended", base, hold, threads)
                cores = (f" ({fmt(cores_used(medians, base_key), 1)}/"
                         f"{fmt(cores_used(medians, key), 1)} cores)")
                rows.append((f"{hold.split(':')[1]} hold, {threads} threads, {lock} throughput ratio",
                             ratio(field(medians, key, "items_per_second"),
                                   field(medians, base_key, "items_per_second")),
                             ("min", 1.30), cores))
    for threads in (2, 4):
        for lock, base in PAIRS[:2]:
            key, base_key = ("LongHold", lock, "hold:1ms", threads), ("LongHold", base, "hold:1ms", threads)
            rows.append((f"1 ms hold, {threads} threads, {lock} process CPU/acq ratio",
                         ratio(field(medians, key, "cpu_us_per_acq"),
                               field(medians, base_key, "cpu_us_per_acq")),
                         ("max", 1.03), ""))
            rows.append((f"1 ms hold, {threads} threads, {lock} lock() CPU ratio",
                         lock_cpu_ratio(medians, key, base_key), ("max", 1.03), ""))
    lock, base = PAIRS[1]
    for threads in (2, 4, 8):
        key, base_key = ("ReadMostly", lock, "hold:2us", threads), ("ReadMostly", base, "hold:2us", threads)
        rows.append((f"read-mostly, {threads} threads, {lock} throughput ratio",
                     ratio(field(medians, key, "items_per_second"),
                           field(medians, base_key, "items_per_second")), None, ""))
    for readers in (1, 3):
        key = ("WriterStarvation", lock, f"readers:{readers}", readers + 1)
        base_key = ("WriterStarvation", base, f"readers:{readers}", readers + 1)
        rows.append((f"writer starvation, {readers} readers, {lock} writer rate ratio",
                     ratio(field(medians, key, "writer_acq_per_s"),
                           field(medians, base_key, "writer_acq_per_s")), None, ""))
    return rows


def summary(runs):
    per_run = [summary_rows(medians) for medians, _ in runs]
    header = ["figure (lock / its baseline; cores used baseline/lock)", "goal"]
    header += [f"run {i + 1} ({context.get('date', '?')[11:16]})" for i, (_, context) in enumerate(runs)]
    rows = []
    for index, (label, _, goal, _) in enumerate(per_run[0]):
        goal_text = "-" if goal is None else ("<= " if goal[0] == "max" else ">= ") + f"{goal[1]:.2f}"
        cells = []
        for rows_of_run in per_run:
            value = rows_of_run[index][1]
            mark = verdict(value, goal)
            cells.append(fmt(value, 3 if goal and goal[1] == 1.03 else 2) +
                         (" MISSED" if mark == "MISSED" else "") + rows_of_run[index][3])
        rows.append([label, goal_text] + cells)
    return table(header, rows)


def print_run(path, medians, context):
    print(f"## {path}\n")
    print(f"Run {context.get('date', '?')} on {context.get('num_cpus', '?')} CPUs at "
          f"{context.get('mhz_per_cpu', '?')} MHz, load average at start "
          f"{', '.join(f'{x:.2f}' for x in context.get('load_avg', []))}; "
          f"busy work {context.get('busy_work_ns_per_unit', '?')} ns/unit. "
          "Medians of 5 repetitions.\n")
    print("Uncontended lock+unlock (process CPU time per pair; real time also shown):\n")
    print(uncontended(medians), "\n")
    print("Contended throughput (work outside the lock equals the hold):\n")
    print(contended(medians), "\n")
    print("1 ms hold, 100 us outside (process CPU, CPU inside lock() and context switches "
          "per acquisition; the lock() CPU ratio adds the lock's extra lock() CPU to the "
          "baseline's acquisition):\n")
    print(long_hold(medians), "\n")
    print("Read-mostly mix (1 write in 16, 2 us holds, 2 us outside):\n")
    print(read_mostly(medians), "\n")
    print("Writer starvation (one writer, overlapping 2 us readers, 0.25 s windows):\n")
    print(writer_starvation(medians), "\n")
    spin = medians.get(("SpinBudget", "HybridSpin", "full", 1))
    if spin:
        print(f"One full failed spin (1024 tries, 1024 pauses, 15 yields): "
              f"{spin['real_time'] / 1e3:.1f} us real, {spin['cpu_time'] / 1e3:.1f} us CPU.\n")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("json", nargs="+",
                        help="LockBench output in Google Benchmark's JSON format")
    args = parser.parse_args()
    runs = []
    failed = False
    for path in args.json:
        medians, context, errors = load(path)
        if not medians:
            print(f"{path}: no median aggregates found", file=sys.stderr)
            return 1
        print_run(path, medians, context)
        if errors:
            failed = True
            print("Runs that failed their check:")
            for error in errors:
                print(f"  {error}")
            print()
        runs.append((medians, context))
    if len(runs) > 1:
        print("## Goals, all runs\n")
        print(summary(runs))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
