"""norvox.mediator.client: the deprecated re-export module and its warning."""

import json
import subprocess
import sys
import textwrap
import warnings

import pytest

NAMES = ["DederiMediatorAPI", "DederiPrepayAPI", "PricingTable", "TariffsActive", "TariffsFuture"]
WARNING_TEXT = (
    "Importing from norvox.mediator.client is deprecated. "
    "Use norvox.mediator.api_core or norvox.mediator.api_prepay instead."
)
DOC = (
    "\nBackward compatibility module.\n\n"
    "This module re-exports DederiMediatorAPI from api_core for backward compatibility.\n"
    "New code should import directly from api_core or api_prepay.\n\n"
    "Deprecated: Import from norvox.mediator instead.\n"
)


@pytest.fixture(scope="module")
def client():
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)
        from norvox.mediator import client
    return client


def test_reexports_the_very_objects(client):
    from norvox.mediator import api_core, api_prepay

    assert client.__all__ == NAMES
    assert client.DederiMediatorAPI is api_core.DederiMediatorAPI
    for name in NAMES[1:]:
        assert getattr(client, name) is getattr(api_prepay, name)
    assert client.warnings is warnings
    assert client.__doc__ == DOC
    assert client.__doc__.splitlines() == [
        "",
        "Backward compatibility module.",
        "",
        "This module re-exports DederiMediatorAPI from api_core for backward compatibility.",
        "New code should import directly from api_core or api_prepay.",
        "",
        "Deprecated: Import from norvox.mediator instead.",
    ]


def test_star_import_takes_the_five_names(client):
    namespace = {}
    exec("from norvox.mediator.client import *", namespace)
    del namespace["__builtins__"]
    assert namespace == {name: getattr(client, name) for name in NAMES}


def run_script(tmp_path, files, *options):
    """Writes the files (name -> source) and runs main.py in a fresh interpreter."""
    for name, source in files.items():
        (tmp_path / name).write_text(textwrap.dedent(source).lstrip())
    return subprocess.run(
        [sys.executable, *options, str(tmp_path / "main.py")], cwd=tmp_path, capture_output=True, text=True
    )


RECORD = """
import importlib, json, warnings
with warnings.catch_warnings(record=True) as caught:
    warnings.simplefilter("always")
    {importer}
    import norvox.mediator.client
    importlib.import_module("norvox.mediator.client")
print(json.dumps([[w.category.__name__, str(w.message), w.filename, w.lineno] for w in caught]))
"""


@pytest.mark.parametrize(
    "importer, helper, where",
    [
        ("import norvox.mediator.client", None, ("main.py", 4)),
        ("from norvox.mediator.client import DederiMediatorAPI", None, ("main.py", 4)),
        ("from norvox.mediator import client", None, ("main.py", 4)),
        ("importlib.import_module('norvox.mediator.client')", None, ("main.py", 4)),
        ("import old_tool", "'''An older tool.'''\nfrom norvox.mediator.client import *\n", ("old_tool.py", 2)),
    ],
    ids=["import", "from-import", "from-package", "import_module", "nested-module"],
)
def test_warns_once_attributed_to_the_importer(tmp_path, importer, helper, where):
    files = {"main.py": RECORD.format(importer=importer)}
    if helper:
        files["old_tool.py"] = helper
    run = run_script(tmp_path, files)
    assert run.returncode == 0, run.stderr
    file_name, line = where
    assert json.loads(run.stdout) == [["DeprecationWarning", WARNING_TEXT, str(tmp_path / file_name), line]]


def test_default_filters_show_it_for_the_main_script(tmp_path):
    run = run_script(tmp_path, {"main.py": "import sys\nimport norvox.mediator.client\n"})
    assert run.returncode == 0, run.stderr
    assert f"{tmp_path / 'main.py'}:2: DeprecationWarning: {WARNING_TEXT}" in run.stderr


def test_warning_as_error_fails_the_load(tmp_path):
    run = run_script(
        tmp_path,
        {
            "main.py": """
        import sys
        try:
            import norvox.mediator.client
        except Exception as error:
            cause = error if isinstance(error, DeprecationWarning) else error.__cause__
            print(type(cause).__name__, cause)
        print("norvox.mediator.client" in sys.modules)
        """
        },
        "-W",
        "error::DeprecationWarning",
    )
    assert run.stdout == f"DeprecationWarning {WARNING_TEXT}\nFalse\n"


@pytest.mark.parametrize(
    "stand_in, error",
    [
        (
            "sys.modules['norvox.mediator.api_core'] = None",
            "ModuleNotFoundError: import of norvox.mediator.api_core halted; None in sys.modules",
        ),
        (
            "sys.modules['norvox.mediator.api_prepay'] = types.ModuleType('norvox.mediator.api_prepay')",
            "ImportError: cannot import name 'DederiPrepayAPI' from 'norvox.mediator.api_prepay' (unknown location)",
        ),
    ],
    ids=["module-missing", "name-missing"],
)
def test_missing_sibling_fails_the_load_without_warning(tmp_path, stand_in, error):
    run = run_script(
        tmp_path,
        {
            "main.py": f"""
        import sys, traceback, types, warnings
        warnings.simplefilter("always")
        {stand_in}
        try:
            import norvox.mediator.client
        except ImportError as failure:
            print(''.join(traceback.format_exception(failure)))
        """
        },
    )
    assert error in run.stdout
    assert "DeprecationWarning" not in run.stderr
