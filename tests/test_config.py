import os

import pytest

from corvel.config import ConfigError, ConfigFileError, Configurator

pytestmark = pytest.mark.filterwarnings("error")  # a private (0600) file must not warn
SECRET = "sk-very-secret-value"


@pytest.fixture(autouse=True)
def config(monkeypatch, tmp_path):
    """Point CORVEL_CONFIG at a fresh path; return a writer of that file."""
    for name in [n for n in os.environ if n.startswith("CORVEL_")]:
        monkeypatch.delenv(name)
    monkeypatch.setenv("HOME", str(tmp_path / "home"))
    monkeypatch.setenv("CORVEL_CONFIG", str(tmp_path / "config.toml"))

    def write(text: str, mode: int = 0o600, target=tmp_path / "config.toml") -> str:
        target.write_text(text)
        target.chmod(mode)
        return str(target)

    return write


@pytest.mark.parametrize(("section", "option"), [("llm", "api_key"), ("My-Service", "api.key")])
def test_environment_wins_over_file(config, monkeypatch, section, option):
    config(f'["{section}"]\n"{option}" = "from-file"\n')
    assert Configurator.get(section, option) == "from-file"
    variable = "CORVEL_LLM_API_KEY" if section == "llm" else "CORVEL_MY_SERVICE_API_KEY"
    monkeypatch.setenv(variable, "from-env")
    assert Configurator.get(section, option) == "from-env"
    monkeypatch.setenv(variable, "")  # empty counts as unset
    assert Configurator.get(section, option) == "from-file"


def test_default_path_and_typed_values(config, monkeypatch, tmp_path):
    monkeypatch.delenv("CORVEL_CONFIG")
    (tmp_path / "home" / ".config" / "corvel").mkdir(parents=True)
    config('[llm]\napi_key = "k"\nretries = 3\n', target=tmp_path / "home" / ".config" / "corvel" / "config.toml")
    assert (Configurator.get("llm", "api_key"), Configurator.get("llm", "retries")) == ("k", 3)


@pytest.mark.parametrize("text", [None, "parent", '[llm]\nmodel = "x"\n', 'llm = "x"\n'])
def test_missing_option(config, monkeypatch, text):
    if text == "parent":  # a path through a file
        monkeypatch.setenv("CORVEL_CONFIG", config("") + "/config.toml")
    elif text is not None:
        config(text)
    assert Configurator.has_option("llm", "api_key") is False
    with pytest.raises(ConfigError, match=r"'api_key' of section \[llm\].*CORVEL_LLM_API_KEY"):
        Configurator.get("llm", "api_key")


@pytest.mark.parametrize("text", [f'[llm]\napi_key = "{SECRET}\n', f'[llm]\napi_key = "{SECRET}"\n\xff', None])
def test_broken_file_names_path_not_contents(config, tmp_path, text):
    path = tmp_path / "config.toml"
    path.mkdir() if text is None else path.write_bytes(text.encode("latin-1"))
    for operation in (Configurator.has_option, Configurator.get):
        with pytest.raises(ConfigFileError) as info:
            operation("llm", "api_key")
        assert str(path) in str(info.value) and SECRET not in str(info.value)


def test_changes_are_seen_on_the_next_call(config, tmp_path):
    path = config('[llm]\napi_key = "one"\n')
    assert Configurator.get("llm", "api_key") == "one"
    config('[llm]\napi_key = "second"\n')
    assert Configurator.get("llm", "api_key") == "second"
    os.replace(config('[llm]\napi_key = "latest"\n', target=tmp_path / "new"), path)  # same size, new inode
    assert Configurator.get("llm", "api_key") == "latest"


@pytest.mark.skipif(os.name != "posix", reason="permission bits")
def test_shared_file_warns_once_and_is_still_used(config):
    path = config(f'[llm]\napi_key = "{SECRET}"\n', mode=0o644)
    with pytest.warns(UserWarning, match="readable by other users") as record:
        assert Configurator.get("llm", "api_key") == SECRET
    assert path in str(record[0].message) and SECRET not in str(record[0].message)
    assert record[0].filename == __file__  # points at the caller
    config('[llm]\napi_key = "changed"\n', mode=0o644)
    assert Configurator.get("llm", "api_key") == "changed"  # no second warning (filterwarnings error)
