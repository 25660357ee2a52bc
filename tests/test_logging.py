"""Structured logging: process set-up, the event line, renderers and module names.

Set-up is process-wide and happens once, so behaviour of the output is checked in fresh
interpreters; the pure naming functions are called in-process.
"""

from __future__ import annotations

import inspect
import json
import os
import pty
import subprocess
import sys
import textwrap

import pytest
import structlog

from norvox.util import logging as nlog
from tests.support import run_python, strict_json


def run_logged(body: str, *, stderr_tty=False, stdout_tty=False, tmp_path=None):
    """Run `body` after importing the module; return (stdout text, stderr text)."""
    code = "from norvox.util.logging import get_logger\n" + textwrap.dedent(body)
    fds = []
    kwargs = {}
    if stderr_tty:
        master, slave = pty.openpty()
        fds += [master, slave]
        kwargs["stderr"] = slave
    else:
        kwargs["stderr"] = subprocess.PIPE
    out_file = None
    if stdout_tty:
        master, slave = pty.openpty()
        fds += [master, slave]
        kwargs["stdout"] = slave
    else:
        out_file = open(tmp_path / "stdout.txt", "w+") if tmp_path else None
        kwargs["stdout"] = out_file or subprocess.PIPE
    try:
        proc = subprocess.run([sys.executable, "-c", code], timeout=60, **kwargs)
        if stdout_tty:
            os.close(fds[-1])
            chunks = []
            while True:
                try:
                    chunk = os.read(fds[-2], 65536)
                except OSError:
                    break
                if not chunk:
                    break
                chunks.append(chunk)
            out = b"".join(chunks).decode().replace("\r\n", "\n")
        elif out_file:
            out_file.seek(0)
            out = out_file.read()
        else:
            out = proc.stdout.decode()
        err = proc.stderr.decode() if isinstance(proc.stderr, bytes) else ""
        assert proc.returncode == 0, err
        return out, err
    finally:
        for fd in fds:
            try:
                os.close(fd)
            except OSError:
                pass
        if out_file:
            out_file.close()


def test_json_line_member_order():
    out, _ = run_logged("""
        log = get_logger('a.b', '/x/a/b.py').bind(serial='S1', esco='E')
        log.bind(serial='S2').info('hi', n=1, esco='call')
        log.info('own', level='mine', timestamp='t0')
    """)
    lines = out.splitlines()
    assert len(lines) == 2
    event = json.loads(lines[0])
    assert list(event) == ["module", "serial", "esco", "n", "event", "level", "timestamp"]
    assert event["module"] == "a.b"
    assert event["serial"] == "S2"  # re-bound in its place
    assert event["esco"] == "call"  # the call's value, in the bound field's place
    assert event["level"] == "info" and event["timestamp"].startswith("20")
    assert lines[0].startswith('{"module": "a.b", "serial": "S2", ')
    # Caller fields named level and timestamp are overwritten where they stand.
    own = json.loads(lines[1])
    assert list(own) == ["module", "serial", "esco", "level", "timestamp", "event"]
    assert own["level"] == "info" and own["timestamp"] != "t0"


def test_json_values_without_json_form_and_non_ascii():
    out, _ = run_logged("""
        get_logger('m', 'f').error('caf\u00e9', error=ValueError('bad', 2), obj=object)
    """)
    event = json.loads(out)
    assert event["error"] == "ValueError('bad', 2)"
    assert event["obj"] == "<class 'object'>"
    assert "\\u00e9" in out


def test_json_non_finite_numbers_are_written_as_their_text():
    # Anywhere in the event, float subclasses included, one list met twice converted both
    # times; the caller's objects stay as they were.
    out, _ = run_logged("""
        import math
        class Reading(float):
            pass
        nested = {'a': [1.5, math.nan, (-math.inf, 2)], 'b': {'c': Reading('inf'), 'd': 'x'}}
        kept = repr(nested)
        shared = [math.nan]
        get_logger('m', 'f').info('odd', balance=math.nan, up=math.inf, down=-math.inf, sub=Reading('-inf'),
                                  nested=nested, twice=(shared, shared), fine=2.5, big=1e308, name='caf\u00e9')
        assert repr(nested) == kept and isinstance(nested['a'][2], tuple), nested
        try:
            loop = [math.nan]
            loop.append(loop)
            get_logger('m', 'f').info('loop', loop=loop)
        except ValueError as e:
            print(e)
    """)
    line, refused = out.splitlines()
    event = strict_json(line)
    assert event == {
        "module": "m",
        "balance": "nan",
        "up": "inf",
        "down": "-inf",
        "sub": "-inf",
        "nested": {"a": [1.5, "nan", ["-inf", 2]], "b": {"c": "inf", "d": "x"}},
        "twice": [["nan"], ["nan"]],
        "fine": 2.5,
        "big": 1e308,
        "name": "caf\u00e9",
        "event": "odd",
        "level": "info",
        "timestamp": event["timestamp"],
    }
    # The rest of the line is as json.dumps writes it: member order, separators, escapes.
    assert line == json.dumps(event)
    # A structure holding itself is refused as the JSON encoder refuses it.
    assert refused == "Circular reference detected"


@pytest.mark.parametrize("call", ["warning", "warn"])
def test_warn_is_warning(call):
    out, _ = run_logged(f"get_logger('m', 'f').{call}('careful')")
    assert json.loads(out)["level"] == "warning"


def test_exception_field_written_before_its_event_and_debug_dropped():
    out, _ = run_logged("""
        log = get_logger('m', 'f')
        log.debug('quiet', exception=['Traceback\\n', 'E: x\\n'])
        log.info('loud', exception=['line one\\n'], n=2)
        log.info('empty', exception=[])
    """)
    lines = out.splitlines()
    assert lines[0] == "['Traceback\\n', 'E: x\\n']"  # the debug event's exception, its line dropped
    assert lines[1] == "['line one\\n']"
    second = json.loads(lines[2])
    assert second["event"] == "loud" and "exception" not in second
    third = json.loads(lines[3])
    assert third["event"] == "empty" and "exception" not in third
    assert len(lines) == 4


@pytest.mark.parametrize(
    "stderr_tty, stdout_tty, console",
    [(True, False, True), (False, True, False), (False, False, False)],
    ids=["stderr-tty-stdout-file", "stdout-tty-stderr-pipe", "neither"],
)
def test_renderer_follows_standard_error(stderr_tty, stdout_tty, console, tmp_path):
    out, _ = run_logged(
        "get_logger('a.b', 'f').bind(serial='S1').info('hello', n=3)",
        stderr_tty=stderr_tty,
        stdout_tty=stdout_tty,
        tmp_path=tmp_path,
    )
    line = out.strip().splitlines()[-1]
    if console:
        assert not line.startswith("{")
        assert "hello" in line and "serial" in line and "S1" in line and "n" in line
    else:
        assert json.loads(line)["event"] == "hello"


def test_root_logger_configured_beforehand_is_left_alone():
    proc = run_python(
        textwrap.dedent("""
        import logging, sys
        handler = logging.StreamHandler(sys.stderr)
        logging.basicConfig(handlers=[handler], level=logging.ERROR)
        from norvox.util.logging import get_logger
        assert logging.root.handlers == [handler], logging.root.handlers
        assert logging.root.level == logging.ERROR
        get_logger('m', 'f').info('dropped')
        get_logger('m', 'f').error('kept')
    """)
    )
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout == ""
    # The foreign handler's own format stands: level and logger name before the message.
    assert proc.stderr.startswith("ERROR:")
    assert json.loads(proc.stderr[proc.stderr.index("{") :])["event"] == "kept"


def test_set_up_of_root_and_noisy_loggers():
    proc = run_python(
        textwrap.dedent("""
        import logging, sys
        from norvox.util import logging as nlog
        [h] = logging.root.handlers
        print(h.stream is sys.stdout, h.formatter._fmt, logging.root.level == logging.INFO)
        print([logging.getLogger(n).level for n in ("httpx", "httpcore", "h2", "hpack", "urllib3")])
        nlog.suppress_noisy_loggers()
        print(len(logging.root.handlers), type(nlog.processors[0]).__name__, len(nlog.shared_processors))
        logging.getLogger("httpx").info("chatter")
        logging.getLogger("httpx").warning("plain warning")
    """)
    )
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.splitlines() == [
        "True %(message)s True",
        "[30, 30, 30, 30, 30]",
        "1 JSONRenderer 6",
        "plain warning",
    ]


def test_buffered_output_is_flushed_at_exit(tmp_path):
    # A file on standard output is block-buffered; the exit hook must write the lines out
    # even when the process ends with a status.
    out, _ = run_logged(
        """
        import sys
        get_logger('m', 'f').info('before exit')
        sys.exit(0)
    """,
        tmp_path=tmp_path,
    )
    assert json.loads(out)["event"] == "before exit"


def test_flush_logs_without_root_handlers_does_nothing():
    proc = run_python(
        textwrap.dedent("""
        import logging
        from norvox.util.logging import flush_logs
        logging.root.handlers.clear()
        print(flush_logs())
    """)
    )
    assert proc.returncode == 0 and proc.stdout == "None\n", proc.stderr


@pytest.mark.parametrize(
    "path, expected",
    [
        ("/srv/app/norvox/jobs/clock_correction.py", "norvox.jobs.clock_correction"),
        ("norvox/util/logging.py", "norvox.util.logging"),
        ("/x/norvox/src/norvox/jobs/a.py", "norvox.src.norvox.jobs.a"),
        ("/x/norvox/jobs/a.pyx", "norvox.jobs.a."),
        ("/x/norvox/jobs/module.cpython-311-x86_64-linux-gnu.so", "norvox.jobs.module.cpython-311-x86_64-linux-gnu"),
        ("/x//norvox/./jobs/a.py", "norvox.jobs.a"),
    ],
)
def test_path_to_package_and_module(path, expected):
    assert nlog.path_to_package_and_module(path) == expected
    assert nlog.logger_module_name("__main__", path) == expected


@pytest.mark.parametrize("path", ["/x/Norvox/jobs/a.py", "/x/norvoxx/a.py", "a.py"])
def test_path_without_package_folder(path):
    with pytest.raises(ValueError):
        nlog.path_to_package_and_module(path)


@pytest.mark.parametrize(
    "name, file, expected",
    [
        ("norvox.jobs.x", "/x/norvox/jobs/y.py", "norvox.jobs.x"),
        ("anything", "no/package/here.py", "anything"),
        ("__main__", None, "__main__"),
    ],
)
def test_logger_module_name(name, file, expected):
    assert nlog.logger_module_name(name, file) == expected


@pytest.mark.parametrize(
    "call, argument",
    [
        (lambda: nlog.get_logger(None, "f"), "name"),
        (lambda: nlog.get_logger("n", None), "python_file"),
        (lambda: nlog.get_logger("n", b"f"), "python_file"),
        (lambda: nlog.logger_module_name(1), "name"),
        (lambda: nlog.logger_module_name("__main__", 2), "file"),
        (lambda: nlog.path_to_package_and_module(None), "path"),
    ],
)
def test_typed_parameters(call, argument):
    with pytest.raises(TypeError, match=rf"^Argument '{argument}' has incorrect type \(expected str, got "):
        call()


@pytest.mark.parametrize(
    "function, signature",
    [
        ("get_logger", "(name, python_file)"),
        ("logger_module_name", "(name, file=None)"),
        ("path_to_package_and_module", "(path)"),
        ("flush_logs", "()"),
    ],
)
def test_signatures(function, signature):
    assert str(inspect.signature(getattr(nlog, function))) == signature


def test_get_logger_is_lazy_and_binds_module():
    logger = nlog.get_logger("x.y", "/x/y.py")
    bound = logger.bind(serial="S")
    assert bound is not logger
    assert structlog.get_context(bound) == {"module": "x.y", "serial": "S"}


def test_exception_lines_never_merge_with_other_threads_lines():
    # Eight threads log events with an exception field at once; every output line must still
    # be a whole JSON event or a whole traceback line.
    proc = run_python(
        textwrap.dedent("""
        import threading
        from norvox.util.logging import get_logger
        log = get_logger('m', 'f')
        barrier = threading.Barrier(8)
        def work(n):
            barrier.wait()
            for i in range(300):
                log.error('failed', n=n, i=i, exception=[f'Traceback {n} {i}\\\\n'])
        threads = [threading.Thread(target=work, args=(n,)) for n in range(8)]
        for t in threads: t.start()
        for t in threads: t.join()
    """)
    )
    assert proc.returncode == 0, proc.stderr
    lines = proc.stdout.splitlines()
    events = [json.loads(line) for line in lines if line.startswith("{")]
    tracebacks = [line for line in lines if line.startswith("['Traceback")]
    assert len(events) == len(tracebacks) == 8 * 300
    assert len(lines) == 2 * 8 * 300


def test_flush_logs_stops_at_a_failing_handler(monkeypatch):
    import logging

    flushed = []

    class Handler:
        def __init__(self, name, fails=False):
            self.name, self.fails = name, fails

        def flush(self):
            flushed.append(self.name)
            if self.fails:
                raise OSError("disk full")

    monkeypatch.setattr(logging.root, "handlers", [Handler("a"), Handler("b", fails=True), Handler("c")])
    with pytest.raises(OSError, match="disk full"):
        nlog.flush_logs()
    assert flushed == ["a", "b"]
