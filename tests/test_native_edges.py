"""What every C++ module shows at its edges: set-up errors reach the importer as themselves, errors
raised in C++ carry a traceback entry naming the source file, and documentation texts are exact."""

from __future__ import annotations

import inspect
import json
import pydoc
import textwrap
import traceback

import pytest

from tests.support import JOB_KEYS, clean_env, job_env, json_lines, run_program, run_python

# Each case: code run before the import, the module imported, environment settings, then the
# error the importer must see (type, message, type of its cause) and the modules that must not
# stay in sys.modules.
SETUP_FAILURES = [
    pytest.param(
        "import warnings; warnings.simplefilter('error', DeprecationWarning)",
        "norvox.mediator.client",
        {},
        (
            "DeprecationWarning",
            "Importing from norvox.mediator.client is deprecated. "
            "Use norvox.mediator.api_core or norvox.mediator.api_prepay instead.",
            None,
        ),
        ["norvox.mediator.client"],
        id="deprecated-client-warning-as-error",
    ),
    pytest.param(
        "",
        "norvox.jobs.clock_correction",
        {"MAX_PARALLEL_JOBS": "abc"},
        ("ValueError", "invalid literal for int() with base 10: 'abc'", None),
        ["norvox.jobs.clock_correction"],
        id="clock-correction-bad-integer",
    ),
    pytest.param(
        "",
        "norvox.jobs.pending_tariff_push",
        {"MAX_PARALLEL_JOBS": "5.5"},
        ("ValueError", "invalid literal for int() with base 10: '5.5'", None),
        ["norvox.jobs.pending_tariff_push"],
        id="tariff-push-bad-integer",
    ),
    pytest.param(
        "import sys; sys.modules['norvox.drav.drav_filename'] = None",
        "norvox.drav.drav_csv",
        {},
        ("ModuleNotFoundError", "import of norvox.drav.drav_filename halted; None in sys.modules", None),
        ["norvox.drav.drav_csv"],
        id="drav-import-made-to-fail",
    ),
    pytest.param(
        # The logging set-up fails inside the job's set-up: both modules are gone.
        "import sys; sys.modules['structlog'] = None",
        "norvox.jobs.prepay_switch_off",
        {},
        ("ModuleNotFoundError", "import of structlog halted; None in sys.modules", None),
        ["norvox.jobs.prepay_switch_off", "norvox.util.logging"],
        id="nested-logging-failure",
    ),
    pytest.param(
        textwrap.dedent("""
            import sys, types
            class Broken(types.ModuleType):
                def __getattr__(self, name):
                    try:
                        raise KeyError(name)
                    except KeyError as e:
                        raise RuntimeError('no ' + name) from e
            sys.modules['norvox.jobs.tariff_push'] = Broken('norvox.jobs.tariff_push')
        """),
        "norvox.jobs.pending_tariff_push",
        {},
        ("RuntimeError", "no TariffPushJob", "KeyError"),
        ["norvox.jobs.pending_tariff_push"],
        id="error-with-cause",
    ),
]


@pytest.mark.parametrize("prepare, module, settings, error, gone", SETUP_FAILURES)
def test_setup_error_reaches_the_importer_as_itself(prepare, module, settings, error, gone):
    code = prepare + textwrap.dedent(f"""
        import importlib, json, sys, traceback
        try:
            importlib.import_module({module!r})
        except BaseException as e:
            cause = type(e.__cause__).__name__ if e.__cause__ is not None else None
            print(json.dumps({{"error": [type(e).__name__, str(e), cause],
                              "loaded": [m for m in {gone!r} if m in sys.modules],
                              "frames": [f.filename for f in traceback.extract_tb(e.__traceback__)]}}))
    """)
    done = run_python(code, env=clean_env(**settings))
    assert done.returncode == 0, done.stderr
    seen = json.loads(done.stdout)
    assert tuple(seen["error"]) == error
    assert seen["loaded"] == []
    source = "src/" + module.replace(".", "/") + ".cpp"
    assert source in seen["frames"]


def test_a_module_loads_after_its_failed_load():
    code = textwrap.dedent("""
        import os
        os.environ["MAX_PARALLEL_JOBS"] = "x"
        try:
            import norvox.jobs.clock_correction
        except ValueError:
            pass
        os.environ["MAX_PARALLEL_JOBS"] = "7"
        import norvox.jobs.clock_correction as job
        print(job.max_parallel_jobs)
    """)
    done = run_python(code, env=clean_env())
    assert (done.returncode, done.stdout) == (0, "7\n"), done.stderr


def function_line(source: str, name: str) -> int:
    """The line of the C++ source that defines the function `name`."""
    with open(source) as f:
        for number, line in enumerate(f, 1):
            if f" {name}(" in line and not line.startswith((" ", "/")) and not line.rstrip().endswith(";"):
                return number
    raise AssertionError(f"{name} not found in {source}")


def test_an_error_escaping_a_cpp_function_names_its_file_function_and_line():
    from norvox.drav.drav_csv import DRAVCSV

    with pytest.raises(TypeError) as caught:
        DRAVCSV.read(5)
    *_, frame = traceback.extract_tb(caught.value.__traceback__)
    source = "src/norvox/drav/drav_csv.cpp"
    assert (frame.filename, frame.name, frame.lineno) == (source, "read", function_line(source, "read"))
    lines = traceback.format_exception(caught.value)
    assert lines[0] == "Traceback (most recent call last):\n"
    assert lines[-2].startswith(f'  File "{source}", line {frame.lineno}, in read\n')
    assert lines[-1] == "TypeError: Argument 'csv_string' has incorrect type (expected str, got int)\n"


def test_a_logged_error_raised_in_cpp_has_a_traceback(database, fleet):
    # A wallet without a minimum: comparing the balance with None fails inside the C++ run.
    meters = [{"id": 1, "serial": "M1", "balance": 1.0, "wallet": 101}]
    wallets = [{"id": 101, "balance": 7.5, "minimum_balance": None, "target_balance": 20.0, "auto_topup": True}]
    db = database({"ambrel": {"meters": meters, "wallets": wallets}}, keys=JOB_KEYS)
    done = run_program("wallet_refill", env=job_env(db.url, fleet.address))
    assert done.returncode == 6, done.stderr
    printed = next(line for line in done.stdout.splitlines() if line.startswith("["))
    lines = eval(printed)  # the exception printer writes the list's repr
    assert lines[0] == "Traceback (most recent call last):\n"
    source = "src/norvox/jobs/wallet_refill.cpp"
    # Run from the source tree, the entry also quotes the C++ line.
    assert lines[1].startswith(f'  File "{source}", line {function_line(source, "run")}, in run\n')
    assert lines[-1].startswith("TypeError: '<' not supported")
    assert json_lines(done.stdout)[-1]["event"] == "Failure occurred during wallet_refill job"


def test_an_uncaught_error_of_a_job_shows_the_cpp_frame(database, fleet):
    # The registry row lacks "id": the push of that meter fails before its guarded part and the
    # program ends with the error.
    db = database(
        {"tessel": {"meter_registry": [{"serial": "M1", "mode": "active"}]}, "ambrel": {}},
        functions={"meters_missing_future_tariffs": [{"meter_id": 1, "serial": "M1"}]},
        keys=JOB_KEYS,
    )
    done = run_program("pending_tariff_push", "--esco", "north", env=job_env(db.url, fleet.address))
    assert done.returncode == 1
    assert '  File "src/norvox/jobs/pending_tariff_push.cpp", line ' in done.stderr
    assert ", in run_job\n" in done.stderr
    assert done.stderr.rstrip().endswith("KeyError: 'id'")


def test_documentation_texts_are_exact():
    from norvox.jobs.prepay_switch_off import PrepaySwitchOffJob
    from norvox.jobs.wallet_refill import WalletRefillJob

    # The replica comparison's and the stub generator's texts are checked with their modules.
    assert PrepaySwitchOffJob.update.__doc__ == (
        "Update the prepay_enabled flag on the meter.\nReturns True if successful, False if failed."
    )
    assert WalletRefillJob.run.__doc__ == ("Find all meters where current balance is less than wallet minimum_balance.")


@pytest.mark.parametrize(
    "function, signature",
    [
        ("norvox.jobs.prepay_switch_off:PrepaySwitchOffJob.update", "(self)"),
        ("norvox.jobs.prepay_switch_off:PrepaySwitchOffJob", "(*, meter, mediator_address, supabase)"),
        ("norvox.jobs.clock_correction:ClockCorrectionJob", "(esco=None)"),
        (
            "norvox.profile_logs.replicas.mirror_diff:compare_replicas",
            "(folder_1, folder_2, start_date=None, end_date=None)",
        ),
        ("norvox.drav.drav_csv:DRAVCSV.write", "(serial, output_file_path, records, element_marker=None)"),
    ],
)
def test_signatures_stay_readable(function, signature):
    module, _, path = function.partition(":")
    target = __import__(module, fromlist=["_"])
    for part in path.split("."):
        target = getattr(target, part)
    assert str(inspect.signature(target)) == signature


def test_help_shows_signature_and_text():
    from norvox.jobs.prepay_switch_off import PrepaySwitchOffJob

    text = pydoc.render_doc(PrepaySwitchOffJob.update, renderer=pydoc.plaintext)
    assert "update(self)\n    Update the prepay_enabled flag on the meter.\n" in text
    bound = PrepaySwitchOffJob.__new__(PrepaySwitchOffJob).update
    assert str(inspect.signature(bound)) == "()" and bound.__doc__ == PrepaySwitchOffJob.update.__doc__
