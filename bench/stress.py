"""Contention soak for quellgate: the stress-test scenarios, for as long as asked.

Threads hammer one RateLimiter, and tasks on event loops in several threads
hammer one AsyncRateLimiter (with random cancellations, decorated functions
that raise, and in one scenario every acquisition under a random wait_for
timeout). For each scenario it prints the admissions and
refusals, the worst window overshoot (admissions that fit in no window
without breaking its limit; must be 0), the most burst holders seen at once
and the permits still outstanding at the end (must be 0). Exits with 1 when
any scenario over-admits, exceeds max_burst or loses a permit.

    python bench/stress.py [--seconds S] [--scenario NAME ...] [--seed N]
"""

import argparse
import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "python"))

from stress_helpers import SCENARIOS, run_scenario, scenario_named  # noqa: E402

COLUMNS = ("admitted", "refused", "cancelled", "late", "raised", "worst_overshoot", "peak_holders",
           "permits_outstanding")


def faults_in(report):
    faults = []
    if report["worst_overshoot"] != 0:
        faults.append("window over-admitted by %d" % report["worst_overshoot"])
    if report["holding_at_end"] != 0:
        faults.append("%d holders never left" % report["holding_at_end"])
    if report["max_burst"] is not None:
        if report["peak_holders"] > report["max_burst"]:
            faults.append("%d holders at once, max_burst %d" % (report["peak_holders"], report["max_burst"]))
        if report["permits_outstanding"] != 0:
            faults.append("%d permits lost" % report["permits_outstanding"])
    return faults


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seconds", type=float, default=10.0, help="how long each scenario runs (default 10)")
    parser.add_argument("--scenario", action="append", choices=[s.name for s in SCENARIOS],
                        help="run only this scenario (repeatable); default all")
    parser.add_argument("--seed", type=int, default=0, help="seed of the random choices and cancellations")
    parser.add_argument("--threads", type=int, default=6, help="threads on the RateLimiter")
    parser.add_argument("--loops", type=int, default=3, help="event-loop threads on the AsyncRateLimiter")
    parser.add_argument("--tasks", type=int, default=12, help="tasks per event loop")
    options = parser.parse_args(argv)

    names = options.scenario or [s.name for s in SCENARIOS]
    print("%-38s " % "scenario" + " ".join("%10s" % column[:10] for column in COLUMNS))
    failed = False
    for name in names:
        report = run_scenario(scenario_named(name), options.seconds, seed=options.seed, threads=options.threads,
                              loops=options.loops, tasks_per_loop=options.tasks)
        cells = ["-" if report[column] is None else str(report[column]) for column in COLUMNS]
        print("%-38s " % name + " ".join("%10s" % cell for cell in cells))
        for fault in faults_in(report):
            failed = True
            print("    FAULT: " + fault)
        sys.stdout.flush()
    print("FAILED" if failed else "ok: no window over-admitted, no burst exceeded, no permit lost")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
