"""Drive a KOVA operator panel from Python, through `kova_en --serve`.

    import kova

    with kova.Sim(operator=True) as sim, kova.Panel(port=sim.link) as panel:
        panel.led(3, "on")
        print(panel.wait_key(3, timeout=10).t)

Standard library only. The pytest plugin (`kova.pytest_plugin`) gives tests a `kova_panel`.
"""

from .errors import (BlockError, CommandError, KovaError, KovaTimeout, LinkClosed, NotFound, PanelRefused,
                     ProgramEnded, ProtocolError)
from .panel import PROTOCOL, Events, Panel
from .reports import FORMATS, RenderError, Report, render
from .results import Connected, Event, Exchange, Hello, State, Stats, Waited
from .sim import Sim, SimError

__version__ = "3.0.0"

__all__ = [
    "BlockError", "CommandError", "Connected", "Event", "Events", "Exchange", "FORMATS", "Hello", "KovaError",
    "KovaTimeout", "LinkClosed", "NotFound", "PROTOCOL", "Panel", "PanelRefused", "ProgramEnded", "ProtocolError",
    "RenderError", "Report", "Sim", "SimError", "State", "Stats", "Waited", "render",
]
