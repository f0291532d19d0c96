"""ferrant: a fast logger implemented in C++."""

from ferrant._logger import PyLevel, PyLogger, basic_config, get_logger

__all__ = ["PyLevel", "PyLogger", "basic_config", "get_logger"]
