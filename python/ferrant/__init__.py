"""ferrant: a fast logger implemented in C++."""

from ferrant._logger import PyLevel, PyLogger, get_logger
from ferrant._config import basic_config
from ferrant._handler import Handler

__all__ = ["PyLevel", "PyLogger", "basic_config", "get_logger", "Handler"]
