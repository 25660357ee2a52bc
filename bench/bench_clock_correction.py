"""Clock correction over a simulated fleet: wall time against the ideal of the pool.

1,000 drifted meters, every mediator call taking 20 ms, at 5 and at 20 workers. The ideal is
meters x latency / workers: what a perfect pool would take for the meter calls alone. The
program's own time (first to last log line) and the whole process (interpreter start-up and
imports included) are both shown beside it.
"""

from __future__ import annotations

import json
import os
import subprocess
import sys
import time
from datetime import datetime
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent))

from sim.db import Database, DatabaseServer  # noqa: E402
from sim.mediator import MediatorFleet  # noqa: E402

METERS = int(os.environ.get("BENCH_METERS", "1000"))
LATENCY = 0.020
PROGRAM = str(Path(sys.executable).parent / "clock_correction")


def tables():
    return {
        "tessel": {
            "escos": [{"id": 1, "code": "north"}],
            "meter_registry": [{"id": i, "serial": f"B{i:05d}", "mode": "active", "esco": 1} for i in range(METERS)],
            "meter_shadows": [
                {"id": i, "meter": i, "clock_time_diff_seconds": 60, "clock_time_diff_synced_at": None}
                for i in range(METERS)
            ],
        }
    }


def stamp(event):
    return datetime.fromisoformat(event["timestamp"].replace("Z", "+00:00")).timestamp()


def run(workers: int) -> tuple[float, float, str]:
    with MediatorFleet(default_latency=LATENCY) as fleet, DatabaseServer(Database(tables())) as server:
        for i in range(METERS):
            fleet.add_meter(f"B{i:05d}")
        env = dict(
            os.environ,
            SUPABASE_URL=server.url,
            SUPABASE_ANON_KEY="anon",
            TESSEL_ROLE_KEY="role",
            MEDIATOR_SERVER=fleet.address,
            MAX_PARALLEL_JOBS=str(workers),
        )
        start = time.perf_counter()
        proc = subprocess.run([PROGRAM], env=env, capture_output=True, text=True, timeout=600)
        wall = time.perf_counter() - start
        assert proc.returncode == 0, proc.stderr
        events = [json.loads(line) for line in proc.stdout.splitlines() if line.startswith("{")]
        assert fleet.max_in_flight <= workers
        return wall, stamp(events[-1]) - stamp(events[0]), events[-1]["event"]


def main() -> None:
    print(f"clock correction: {METERS} meters, {LATENCY * 1000:.0f} ms per mediator call")
    print(
        f"{'workers':>7} {'ideal s':>8} {'job s':>8} {'job/ideal':>9} {'process s':>9} "
        f"{'process/ideal':>13}  final line"
    )
    for workers in (5, 20):
        ideal = METERS * LATENCY / workers
        wall, job, final = run(workers)
        print(f"{workers:>7} {ideal:>8.2f} {job:>8.2f} {job / ideal:>9.2f} {wall:>9.2f} {wall / ideal:>13.2f}  {final}")


if __name__ == "__main__":
    main()
