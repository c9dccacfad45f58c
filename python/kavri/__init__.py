"""kavri: a brokerless publish/subscribe bus for processes on one machine."""

from kavri._kavri import *  # noqa: F401,F403
from kavri import _kavri

__all__ = list(_kavri.__all__)
