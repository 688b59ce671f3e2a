"""Reusable end-to-end harness: a Wine session, virtual COM ports, instances
registered with the real Service Control Manager, and the service's event-log
reports as Wine prints them."""

from .wine import WineSession, BUILD_DIR, BIN_DIR  # noqa: F401
from .comport import VirtualPort  # noqa: F401
from .instance import Instance, new_instance_values, reg_file_text  # noqa: F401
from .events import Event, parse_events  # noqa: F401
