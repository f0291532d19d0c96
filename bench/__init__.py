"""Benchmark of ferrant against stdlib logging, picologging, structlog, loguru and the call floor."""
