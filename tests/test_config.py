"""norvox.util.config: the settings dictionary, the missing-configuration exit and set_config."""

import inspect
import os
import subprocess
import sys

import pytest

from norvox.util import config

KEYS = [
    "env",
    "mediator_server",
    "supabase_url",
    "supabase_anon_key",
    "supabase_access_token",
    "fly_api_token",
    "fly_dns_server",
    "fly_region",
    "socks_host",
    "socks_port",
    "socks_username",
    "socks_password",
    "norvox_image",
    "mediator_inactivity_seconds",
]
VARIABLES = [key.upper() for key in KEYS]
MISSING_LINE = "ERROR: ~/.velk/dederi.env does not exist. See tool help for how to set this up.\n"


@pytest.fixture(autouse=True)
def environment():
    """The process environment without the settings, restored afterwards (load_config adds to it)."""
    saved = dict(os.environ)
    for name in VARIABLES:
        os.environ.pop(name, None)
    yield os.environ
    os.environ.clear()
    os.environ.update(saved)


@pytest.fixture
def velk(tmp_path, monkeypatch):
    """A home folder of its own with an empty ~/.velk; the loaded module's file points into it."""
    monkeypatch.setenv("HOME", str(tmp_path))
    folder = tmp_path / ".velk"
    folder.mkdir()
    monkeypatch.setattr(config, "CONFIG_DIR", str(folder))
    monkeypatch.setattr(config, "DMP_CONFIG_FILE", str(folder / "dederi.env"))
    return folder


def expected(**values):
    return [(key, values.get(key)) for key in KEYS]


@pytest.mark.parametrize(
    "env, result",
    [
        ({}, None),
        ({"SUPABASE_URL": "https://db.example", "SUPABASE_ANON_KEY": ""}, None),
        ({"SUPABASE_ANON_KEY": "anon", "MEDIATOR_SERVER": ""}, None),
        ({"MEDIATOR_SERVER": "m.example:50051"}, expected(mediator_server="m.example:50051")),
        (
            {"SUPABASE_URL": "https://db.example", "SUPABASE_ANON_KEY": "anon", "FLY_REGION": ""},
            expected(supabase_url="https://db.example", supabase_anon_key="anon", fly_region=""),
        ),
    ],
    ids=["nothing", "empty-anon-key", "key-without-url", "mediator-only", "database-pair"],
)
def test_without_file_settings_come_from_environment(velk, environment, capsys, env, result):
    environment.update(env)
    if result is None:
        with pytest.raises(SystemExit) as exit_info:
            config.load_config()
        assert exit_info.value.code == 5
        assert capsys.readouterr().out == MISSING_LINE
    else:
        assert list(config.load_config().items()) == result
        assert capsys.readouterr().out == ""


@pytest.mark.parametrize("kind", ["dangling-link", "folder"])
def test_what_is_not_a_file_counts_as_missing(velk, capsys, kind):
    if kind == "folder":
        (velk / "dederi.env").mkdir()
    else:
        (velk / "dederi.env").symlink_to(velk / "dederi.gone.env")
    with pytest.raises(SystemExit) as exit_info:
        config.load_config()
    assert exit_info.value.code == 5
    assert capsys.readouterr().out == MISSING_LINE


@pytest.mark.parametrize("through_link", [False, True], ids=["file", "link"])
def test_file_adds_only_missing_variables(velk, environment, through_link):
    text = (
        "SUPABASE_URL=https://file.example\n"
        "SUPABASE_ANON_KEY=file-anon\n"
        "SOCKS_PORT=1080\n"
        "MEDIATOR_INACTIVITY_SECONDS=300\n"
        "FLY_REGION=ams\n"
        "NORVOX_IMAGE=registry.example/norvox:1\n"
    )
    if through_link:
        (velk / "dederi.staging.env").write_text(text)
        (velk / "dederi.env").symlink_to(velk / "dederi.staging.env")
    else:
        (velk / "dederi.env").write_text(text)
    environment["SUPABASE_URL"] = "https://env.example"
    environment["FLY_REGION"] = ""

    result = config.load_config()

    assert list(result.items()) == expected(
        supabase_url="https://env.example",
        supabase_anon_key="file-anon",
        socks_port="1080",
        mediator_inactivity_seconds="300",
        fly_region="",
        norvox_image="registry.example/norvox:1",
    )
    assert environment["SUPABASE_ANON_KEY"] == "file-anon"


def test_file_without_settings_still_gives_the_dictionary(velk, capsys):
    (velk / "dederi.env").write_text("# nothing here yet\n")
    assert list(config.load_config().items()) == expected()
    assert capsys.readouterr().out == ""


def test_constants_and_exit_follow_home_of_a_fresh_process(tmp_path):
    env = {k: v for k, v in os.environ.items() if k not in VARIABLES}
    env["HOME"] = str(tmp_path)
    code = (
        "from norvox.util import config\n"
        "print(config.CONFIG_DIR, config.DMP_CONFIG_FILE)\n"
        "config.load_config()\n"
        "print('not reached')\n"
    )
    run = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True)
    assert run.returncode == 5, run.stderr
    velk = os.path.join(str(tmp_path), ".velk")
    assert run.stdout == f"{velk} {os.path.join(velk, 'dederi.env')}\n" + MISSING_LINE


# set_config


def link_target(velk):
    return os.readlink(velk / "dederi.env")


@pytest.mark.parametrize("existing", [None, "file", "link", "dangling-link"])
def test_set_config_makes_the_link(velk, existing):
    for name in ("staging", "production"):
        (velk / f"dederi.{name}.env").write_text(f"ENV={name}\n")
    if existing == "file":
        (velk / "dederi.env").write_text("ENV=old\n")
    elif existing == "link":
        (velk / "dederi.env").symlink_to(velk / "dederi.production.env")
    elif existing == "dangling-link":
        (velk / "dederi.env").symlink_to(velk / "dederi.gone.env")

    assert config.set_config("staging") is None

    assert link_target(velk) == str(velk / "dederi.staging.env")
    assert (velk / "dederi.production.env").read_text() == "ENV=production\n"
    assert sorted(p.name for p in velk.iterdir()) == ["dederi.env", "dederi.production.env", "dederi.staging.env"]
    assert config.load_config()["env"] == "staging"


def test_signatures():
    assert str(inspect.signature(config.load_config)) == "()"
    assert str(inspect.signature(config.set_config)) == "(env)"


def test_set_config_twice_and_by_keyword(velk):
    (velk / "dederi.staging.env").write_text("")
    config.set_config("staging")
    config.set_config(env="staging")
    assert link_target(velk) == str(velk / "dederi.staging.env")


def test_set_config_takes_the_name_unchanged(velk):
    (velk / "dederi..env").write_text("")
    config.set_config("")
    assert link_target(velk) == str(velk / "dederi..env")
    with pytest.raises(Exception, match="dederi.Staging.env$"):
        config.set_config("Staging")


def test_set_config_reads_home_at_each_call(velk, tmp_path, monkeypatch):
    other = tmp_path / "other"
    (other / ".velk").mkdir(parents=True)
    (other / ".velk" / "dederi.dev.env").write_text("")
    monkeypatch.setenv("HOME", str(other))
    config.set_config("dev")
    assert os.readlink(other / ".velk" / "dederi.env") == str(other / ".velk" / "dederi.dev.env")
    assert not os.path.lexists(velk / "dederi.env")


def test_set_config_missing_file_leaves_the_link(velk):
    (velk / "dederi.production.env").write_text("")
    (velk / "dederi.env").symlink_to(velk / "dederi.production.env")
    with pytest.raises(Exception) as error:
        config.set_config("staging")
    assert type(error.value) is Exception
    assert str(error.value) == f"Configuration file does not exist: {velk / 'dederi.staging.env'}"
    assert link_target(velk) == str(velk / "dederi.production.env")


class Name(str):
    pass


@pytest.mark.parametrize("value, type_name", [(None, "NoneType"), (1, "int"), (Name("staging"), "Name")])
def test_set_config_refuses_what_is_not_text(velk, value, type_name):
    (velk / "dederi.staging.env").write_text("")
    (velk / "dederi.env").write_text("ENV=old\n")
    with pytest.raises(TypeError) as error:
        config.set_config(value)
    assert str(error.value) == f"Argument 'env' has incorrect type (expected str, got {type_name})"
    assert (velk / "dederi.env").read_text() == "ENV=old\n"


def test_set_config_failure_keeps_the_old_configuration(velk, monkeypatch):
    (velk / "dederi.staging.env").write_text("")
    (velk / "dederi.env").write_text("ENV=old\n")

    def refuse(*args, **kwargs):
        raise PermissionError(13, "Permission denied")

    monkeypatch.setattr(os, "symlink", refuse)
    with pytest.raises(PermissionError):
        config.set_config("staging")
    assert (velk / "dederi.env").read_text() == "ENV=old\n"


def test_set_config_refuses_a_folder_and_cleans_up(velk):
    (velk / "dederi.staging.env").write_text("")
    (velk / "dederi.env").mkdir()
    with pytest.raises(IsADirectoryError):
        config.set_config("staging")
    assert (velk / "dederi.env").is_dir()
    assert sorted(p.name for p in velk.iterdir()) == ["dederi.env", "dederi.staging.env"]
