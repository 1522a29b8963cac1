"""The processes of a run of the `sonvar` command: one, or the ranks of an MPI launcher.

The units of work are dealt to the ranks in turn. A rank above 0 computes its units and sends
each result to rank 0, at most two in flight; rank 0 computes its own, receives the others'
as they come and writes the files. A failure or an interrupt on any rank stops every rank:
rank 0 tells the others to stop, and each rank above 0 tells rank 0 how it ended, once every
message it sent has been received, so that no rank leaves MPI with a message in flight (MPI's
finalize would crash on it). While a rank winds up, further signals are noted and not raised.

The exit status of the run is rank 0's: a rank above 0 that stops at a failure or an interrupt
reports it to rank 0 and ends with status 0, so that the launcher, which ends every rank when
one ends with another status, leaves rank 0 the time to remove its files and say why.

mpi4py is imported only under a launcher: importing it initialises MPI.
"""

import contextlib
import os
import signal
import time
from typing import Any, Callable, Iterator, Optional

__all__ = ["MPI_VARIABLES", "Serial", "communicator", "serve", "Gather", "signals_held",
           "SIGNALS"]

#: Environment variables an MPI launcher sets.
MPI_VARIABLES = ("OMPI_COMM_WORLD_SIZE", "PMI_SIZE", "PMIX_RANK", "MPI_LOCALNRANKS")

#: Signals a person can send a run (Ctrl-C, kill, a closed terminal): each interrupts it.
SIGNALS = (signal.SIGINT, signal.SIGTERM, signal.SIGHUP)

_RESULT, _DONE, _ERROR, _STOP = 1, 2, 3, 4
#: How long rank 0 waits for the other ranks to wind up after a failure, s.
_WIND_UP = 60.0


class Serial:
    """The one-process stand-in for an MPI communicator."""

    rank, size, local_size = 0, 1, 1


class World:
    """MPI.COMM_WORLD with the rank, the size and the ranks sharing this machine."""

    def __init__(self, MPI: Any) -> None:
        self.MPI = MPI
        self.comm = MPI.COMM_WORLD
        self.rank, self.size = self.comm.Get_rank(), self.comm.Get_size()
        self.local_size = self.comm.Split_type(MPI.COMM_TYPE_SHARED).Get_size()

    def __getattr__(self, name):
        return getattr(self.comm, name)


def communicator() -> Any:
    """MPI.COMM_WORLD when started by an MPI launcher, else a single process."""
    if not any(os.environ.get(v) for v in MPI_VARIABLES):
        return Serial()
    from mpi4py import MPI
    if MPI.COMM_WORLD.Get_size() == 1:
        return Serial()
    return World(MPI)


def _interrupt(signum, frame):
    raise KeyboardInterrupt


def interrupt_on_signals() -> None:
    """Every signal of SIGNALS raises KeyboardInterrupt, so that a run ends the same way
    whichever a person sends."""
    for s in SIGNALS:
        signal.signal(s, _interrupt)


@contextlib.contextmanager
def signals_held() -> Iterator[None]:
    """Within: the signals of SIGNALS are noted, not raised (a rank winding up must finish
    it); after, the handlers are those before."""
    previous = {s: signal.signal(s, lambda signum, frame: None) for s in SIGNALS}
    try:
        yield
    finally:
        for s, handler in previous.items():
            signal.signal(s, handler)


def describe(error: BaseException) -> str:
    """An exception in one line: its type and the first line of its text."""
    if isinstance(error, KeyboardInterrupt):
        return "interrupted"
    text = str(error).strip().splitlines()
    return f"{type(error).__name__}: {text[0] if text else ''}"


def serve(plan: Any, comm: Any) -> int:
    """A rank above 0: computes its units, sends each result to rank 0, stops when told or at
    a failure or interrupt, which it reports to rank 0; returns its exit status, 0."""
    sending = []
    failure = None
    unit = None
    try:
        for unit in range(comm.rank, plan.units, comm.size):
            if comm.Iprobe(source=0, tag=_STOP):
                comm.recv(source=0, tag=_STOP)
                break
            result = plan.compute(unit)
            sending.append(comm.isend((unit, result), dest=0, tag=_RESULT))
            if len(sending) > 2:
                sending.pop(0).wait()
    except KeyboardInterrupt:
        failure = f"rank {comm.rank}: interrupted"
    except Exception as error:  # reported by rank 0, which stops the others
        failure = f"rank {comm.rank}: unit {unit}: {describe(error)}"
    with signals_held():
        # Rank 0 takes this rank's messages until its last one, done or failed.
        for request in sending:
            request.wait()
        comm.send(failure, dest=0, tag=_ERROR if failure else _DONE)
    return 0


class Gather:
    """Rank 0's side: receives the other ranks' results and endings, keeps the first failure
    and tells the other ranks to stop at it."""

    def __init__(self, comm: Any, accept: Callable[[int, dict], None]) -> None:
        self.comm = comm
        self.accept = accept
        self.workers = set(range(1, comm.size))
        self.failure: Optional[str] = None
        self.stopped = []

    def fail(self, text: str) -> None:
        """Keeps the first failure and tells every rank still working to stop."""
        if self.failure is not None:
            return
        self.failure = text
        for w in self.workers:
            self.stopped.append(self.comm.isend(None, dest=w, tag=_STOP))

    def receive(self, block: bool) -> None:
        """Takes the messages waiting (block: until every other rank has ended)."""
        MPI = getattr(self.comm, "MPI", None)
        while self.workers:
            status = MPI.Status()
            if not self.comm.Iprobe(source=MPI.ANY_SOURCE, tag=MPI.ANY_TAG, status=status):
                if not block:
                    return
                time.sleep(0.002)
                continue
            message = self.comm.recv(source=status.Get_source(), tag=status.Get_tag())
            tag, source = status.Get_tag(), status.Get_source()
            if tag == _RESULT and self.failure is None:
                self.accept(*message)
            elif tag == _DONE:
                self.workers.discard(source)
            elif tag == _ERROR:
                self.workers.discard(source)
                self.fail(message)

    def wind_up(self) -> None:
        """After a failure or at the end: every other rank's last message received and the
        stop messages delivered, signals held meanwhile. A rank that does not answer within a
        minute ends the whole job (its files are gone by then)."""
        if self.comm.size == 1:
            return
        with signals_held():
            deadline = time.monotonic() + _WIND_UP
            while self.workers and time.monotonic() < deadline:
                self.receive(block=False)
                time.sleep(0.002)
            if self.workers:
                self.comm.Abort(1)
            for request in self.stopped:
                request.wait()
