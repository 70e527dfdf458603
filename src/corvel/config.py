"""Configuration: the environment first, then a TOML file.

An option ``option`` of section ``section`` is looked up

1. in the environment variable ``CORVEL_<SECTION>_<OPTION>``, upper-cased, with every character that is not a
   letter, digit or underscore replaced by ``_`` (section "llm", option "api_key" -> ``CORVEL_LLM_API_KEY``).
   An empty variable counts as unset, so ``CORVEL_LLM_API_KEY=`` falls through to the file;
2. in the TOML file named by ``CORVEL_CONFIG``, else ``~/.config/corvel/config.toml``, where each top-level
   table is a section::

       [llm]
       api_key = "sk-..."

   Values keep their TOML type (an integer stays an ``int``). A missing file holds no options.

Both places are consulted on every call, so a changed variable or file takes effect on the next request; the
parsed file is reused while its path, modification time, size and inode stay the same. Values may be secrets:
no message of this module ever contains one, and nothing is printed.
"""

from __future__ import annotations

import os
import re
import stat
import tomllib
import warnings
from pathlib import Path
from typing import Any, ClassVar

__all__ = ["ConfigError", "ConfigFileError", "Configurator"]

_ENV_PREFIX = "CORVEL_"
_PATH_VARIABLE = "CORVEL_CONFIG"
_DEFAULT_PATH = "~/.config/corvel/config.toml"
_MISSING: Any = object()  # "no value", distinct from every value a file can hold


class ConfigError(LookupError):
    """The requested option is set neither in the environment nor in the configuration file."""


class ConfigFileError(ValueError):
    """The configuration file exists but cannot be read or is not valid TOML."""


class Configurator:
    """Reads options; used through its class methods, never instantiated."""

    # (path, (mtime_ns, size, inode), parsed tables); one entry, as one process reads one file.
    _cache: ClassVar[tuple[str, tuple[int, int, int], dict[str, Any]] | None] = None
    _warned: ClassVar[set[str]] = set()

    @staticmethod
    def env_name(section: str, option: str) -> str:
        """The environment variable that overrides ``option`` of ``section``."""
        return re.sub(r"[^A-Z0-9_]", "_", f"{_ENV_PREFIX}{section}_{option}".upper())

    @staticmethod
    def path() -> Path:
        """The configuration file in effect now: ``$CORVEL_CONFIG``, else ``~/.config/corvel/config.toml``."""
        return Path(os.environ.get(_PATH_VARIABLE) or _DEFAULT_PATH).expanduser()

    @classmethod
    def has_option(cls, section: str, option: str) -> bool:
        """Whether ``option`` of ``section`` has a value; raises `ConfigFileError` for a broken file."""
        return cls._lookup(section, option) is not _MISSING

    @classmethod
    def get(cls, section: str, option: str) -> Any:
        """The value of ``option`` of ``section``.

        Raises `ConfigError` (a `LookupError`) when the option is not set anywhere, and `ConfigFileError`
        when the configuration file cannot be read or parsed.
        """
        value = cls._lookup(section, option)
        if value is _MISSING:
            raise ConfigError(
                f"configuration option {option!r} of section [{section}] is not set: "
                f"set {cls.env_name(section, option)} or add it to {cls.path()}"
            )
        return value

    @classmethod
    def _lookup(cls, section: str, option: str) -> Any:
        value = os.environ.get(cls.env_name(section, option))
        if value:
            return value
        table = cls._read(cls.path()).get(section)
        return table.get(option, _MISSING) if isinstance(table, dict) else _MISSING

    @classmethod
    def _read(cls, path: Path) -> dict[str, Any]:
        key = str(path)
        try:
            st = path.stat()
        except (FileNotFoundError, NotADirectoryError):
            return {}
        except OSError as exc:
            raise ConfigFileError(f"cannot read configuration file {key}: {exc.strerror}") from None
        identity = (st.st_mtime_ns, st.st_size, st.st_ino)
        cached = cls._cache
        if cached is not None and cached[0] == key and cached[1] == identity:
            return cached[2]
        try:
            data = tomllib.loads(path.read_text(encoding="utf-8"))
        except OSError as exc:
            raise ConfigFileError(f"cannot read configuration file {key}: {exc.strerror}") from None
        except (tomllib.TOMLDecodeError, UnicodeDecodeError) as exc:
            # The parser's message gives the position; its traceback would only add noise.
            raise ConfigFileError(f"configuration file {key} is not valid TOML: {exc}") from None
        if os.name == "posix" and st.st_mode & (stat.S_IRGRP | stat.S_IROTH) and key not in cls._warned:
            cls._warned.add(key)
            warnings.warn(
                f"configuration file {key} is readable by other users; it may hold secrets (chmod 600 it)",
                stacklevel=4,
            )
        cls._cache = (key, identity, data)
        return data

