"""The command dispatcher a terminal app carries as its `dispatch`.

A command is a coroutine function registered under a name; `run` awaits it with the arguments
given. Names are case-insensitive ("Positions" and "positions" are one command).
"""

from __future__ import annotations

from collections.abc import Awaitable, Callable
from typing import Any

Command = Callable[..., Awaitable[Any]]


class Dispatch:
    """Named commands and their coroutine functions."""

    def __init__(self) -> None:
        self._commands: dict[str, Command] = {}

    def register(self, name: str, command: Command) -> None:
        """Adds `command` under `name`, replacing one of the same name."""
        self._commands[name.strip().lower()] = command

    def names(self) -> list[str]:
        """The registered names, sorted."""
        return sorted(self._commands)

    def __contains__(self, name: object) -> bool:
        return isinstance(name, str) and name.strip().lower() in self._commands

    async def run(self, name: str, *args: Any, **kwargs: Any) -> Any:
        """Awaits the command `name` with the arguments; KeyError names an unknown command."""
        try:
            command = self._commands[name.strip().lower()]
        except KeyError:
            raise KeyError(f"unknown command {name!r}") from None
        return await command(*args, **kwargs)
