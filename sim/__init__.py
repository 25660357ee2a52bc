"""Simulated peers for tests, benchmarks and the demo; every one listens on 127.0.0.1 only."""
