"""What the machine offers a run: its cores and its free memory."""

import os
from typing import Optional

__all__ = []


def cores() -> int:
    """Cores this process may run on."""
    try:
        return len(os.sched_getaffinity(0))
    except (AttributeError, OSError):
        return os.cpu_count() or 1


def memory_available() -> Optional[int]:
    """Bytes of memory available to a new allocation without swapping (MemAvailable of
    /proc/meminfo; elsewhere the free physical pages)."""
    try:
        with open("/proc/meminfo") as handle:
            for line in handle:
                if line.startswith("MemAvailable:"):
                    return int(line.split()[1]) * 1024
    except (OSError, ValueError, IndexError):
        pass
    try:
        return os.sysconf("SC_AVPHYS_PAGES") * os.sysconf("SC_PAGE_SIZE")
    except (ValueError, OSError, AttributeError):
        return None


def size_text(nbytes: float) -> str:
    """A byte count for people: '812 MB', '3.2 GB'."""
    for unit, scale in (("TB", 1e12), ("GB", 1e9), ("MB", 1e6), ("kB", 1e3)):
        if nbytes >= scale:
            return f"{nbytes / scale:.3g} {unit}"
    return f"{int(nbytes)} bytes"
