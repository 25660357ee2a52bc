"""The demo's sync round runs to its end: both rounds, nothing stored twice."""

from __future__ import annotations

import pytest

from sim import demo_sync


def test_sync_demo_runs_both_rounds(capsys):
    demo_sync.main()
    out = capsys.readouterr().out
    assert "Sync round 1" in out and "Sync round 2" in out
    assert "no row stored twice" in out
    assert 'DD-5004 ClockOffsetSyncer: {"clock_time_diff_seconds": 86407' in out


def test_sync_demo_checks_fail_loudly():
    db = demo_sync.Database(demo_sync.tables())
    with pytest.raises(SystemExit, match="sync demo: meter_event_log holds 5 rows"):
        demo_sync.check_first_round(db, [])
