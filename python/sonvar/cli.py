"""The `sonvar` command: field maps and images from a job file, on one process or many (MPI).

    sonvar field JOB      field map (h, hp or hhp) on a grid or on points from a file
    sonvar image JOB      line-by-line image data or channel data (plane, diverging, focused,
                          custom or single-element transmits) of a phantom
    sonvar check JOB      check a job and print the aperture and configuration report
    sonvar example field|image    print an example job

Exit status: 0 done, 1 failed while computing or writing, 2 a bad job or
command line (nothing is written). Under `mpirun -n N` (or `srun`) the units
of work are split over the ranks and rank 0 writes the file.
"""

import argparse
import json
import os
import signal
import sys
import time

__all__ = ["main"]

_TAG_RESULT, _TAG_DONE, _TAG_ERROR, _TAG_STOP = 1, 2, 3, 4
_MPI_VARIABLES = ("OMPI_COMM_WORLD_SIZE", "PMI_SIZE", "PMIX_RANK", "MPI_LOCALNRANKS")


class _Serial:
    """The one-process stand-in for an MPI communicator."""

    rank, size, local_size = 0, 1, 1


def _communicator():
    """MPI.COMM_WORLD when started by an MPI launcher, else a single process.

    mpi4py is imported only under a launcher: importing it initialises MPI."""
    if not any(os.environ.get(v) for v in _MPI_VARIABLES):
        return _Serial()
    from mpi4py import MPI
    if MPI.COMM_WORLD.Get_size() == 1:
        return _Serial()
    return _World(MPI)


class _World:
    """MPI.COMM_WORLD with the rank, the size and the ranks sharing this machine."""

    def __init__(self, MPI):
        self.MPI = MPI
        self.comm = MPI.COMM_WORLD
        self.rank, self.size = self.comm.Get_rank(), self.comm.Get_size()
        self.local_size = self.comm.Split_type(MPI.COMM_TYPE_SHARED).Get_size()

    def __getattr__(self, name):
        return getattr(self.comm, name)


def _cores():
    try:
        return len(os.sched_getaffinity(0))
    except (AttributeError, OSError):
        return os.cpu_count() or 1


def _parser():
    parser = argparse.ArgumentParser(
        prog="sonvar", description="Ultrasound fields and images from a job file (JSON).",
        epilog="Jobs are described in docs/jobs.md; `sonvar example field` prints one. "
               "Exit status: 0 done, 1 failed while computing or writing, 2 bad job.")
    sub = parser.add_subparsers(dest="command", metavar="COMMAND")
    sub.required = True

    def runner(name, text):
        p = sub.add_parser(name, help=text, description=text)
        p.add_argument("job", metavar="JOB", help="job file (JSON)")
        p.add_argument("-o", "--output", help="result file (overrides output.path)")
        p.add_argument("--format", choices=("hdf5", "npy"),
                       help="HDF5 file (default) or NPY arrays with a JSON side file")
        p.add_argument("--threads", type=int, help="threads per process (overrides threads; "
                       "default: the cores shared by the ranks of a machine)")
        p.add_argument("--no-plot", action="store_true", help="write no PNG plot")
        p.add_argument("-q", "--quiet", action="store_true", help="no progress bar")
        return p

    runner("field", "Field map: h, hp or hhp reduced per point to peak, RMS and energy.")
    runner("image", "Image data of a phantom: focused lines (linear, convex, phased) with the "
                    "B-mode image, or channel data of a transmit sequence (plane, diverging, "
                    "focused, custom, synthetic aperture with its B-mode image).")
    p = sub.add_parser("check", help="check a job and print the aperture and configuration "
                                     "report without computing",
                       description="Check a job and print the aperture and configuration report "
                                   "without computing.")
    p.add_argument("job", metavar="JOB", help="job file (JSON)")
    p = sub.add_parser("example", help="print an example job",
                       description="Print an example job to standard output.")
    p.add_argument("kind", choices=("field", "image"))
    return parser


def _job_command(path):
    """The sub-command a job is for: its "command" key, else "image" when it has an image."""
    try:
        with open(path, encoding="utf-8") as handle:
            values = json.load(handle)
    except (OSError, ValueError):
        return "field"  # load() reports the fault itself
    if isinstance(values, dict):
        if values.get("command") in ("field", "image"):
            return values["command"]
        return "image" if "image" in values else "field"
    return "field"


def main(argv=None):
    args = _parser().parse_args(argv)
    if args.command == "example":
        from .jobs import EXAMPLES
        return _to_pipe(lambda: print(json.dumps(EXAMPLES[args.kind], indent=2), flush=True))
    from .jobs import JobError, load
    comm = _communicator() if args.command != "check" else _Serial()
    command = _job_command(args.job) if args.command == "check" else args.command
    try:
        job = load(args.job, command)
        if args.command != "check":
            if args.output:
                job.output = args.output
            if args.format:
                job.output_format = args.format
            if args.threads is not None and args.threads < 1:
                raise JobError(args.job, "--threads", f"expected at least 1, got {args.threads}")
            folder = os.path.dirname(os.path.abspath(job.output))
            if not os.path.isdir(folder) or not os.access(folder, os.W_OK):
                raise JobError(args.job, "output.path",
                               f"expected a file in a writable folder, got {job.output}")
    except JobError as error:
        if comm.rank == 0:
            for line in str(error).splitlines():  # one line per bad key
                print(f"sonvar: {line}", file=sys.stderr)
        return 2
    if comm.rank == 0:
        for text in job.warnings:  # allowed, but worth a word before the run
            print(f"sonvar: warning: {text}", file=sys.stderr)
    if args.command == "check":
        return _to_pipe(lambda: _check(job))
    threads = args.threads or job.threads or max(1, _cores() // comm.local_size)
    # A terminated run cleans up like an interrupted one: no file is left that looks complete.
    signal.signal(signal.SIGTERM, _interrupt)
    return _run(job, comm, threads, plot=not args.no_plot and job.plot["enabled"],
                quiet=args.quiet)


def _to_pipe(write):
    """Runs `write`; a reader that closed the pipe early (`sonvar check JOB | head`) ends it quietly."""
    try:
        write()
        sys.stdout.flush()
    except BrokenPipeError:
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
    return 0


def _interrupt(signum, frame):
    raise KeyboardInterrupt


def _check(job):
    sim = job.simulator(1)
    mode = job.image["mode"] if job.command == "image" else None
    if mode == "synthetic_aperture":
        what = f"synthetic aperture, {len(job.image['sequence'])} emissions"
    elif mode is not None and "sequence" in job.image:
        what = f"{mode.replace('_', ' ')} channel data, {len(job.image['sequence'])} transmits"
    elif mode is not None:
        what = f"{mode} imaging, {len(job.image['positions'])} lines"
    else:
        what = f"{job.field['quantity']} on {len(job.field['points'])} points"
    if getattr(job, "ensemble", None) is not None:
        what += (f" repeated over {job.ensemble['frames']} frames at a PRF of "
                 f"{job.ensemble['prf']:g} Hz, Doppler maps")
    ap = job.build_probe(sim)
    print(sim.info().rstrip())
    print(ap.report("all").rstrip())
    extra = f", phantom of {len(job.phantom)} scatterers" if job.phantom is not None else ""
    print(f"job {job.path}: {job.command}: {what}{extra}; {ap.no_elements} elements; "
          f"output {job.output} ({job.output_format})")
    return 0


def _progress(plan, enabled):
    if not enabled or not sys.stderr.isatty():
        return None
    from tqdm import tqdm
    return tqdm(total=plan.work, unit=" " + plan.noun.rstrip("s"), file=sys.stderr,
                dynamic_ncols=True, leave=False)


def _describe(error):
    text = str(error).strip().splitlines()
    return f"{type(error).__name__}: {text[0] if text else ''}"


def _worker(plan, comm):
    """A rank above 0: compute its units, send each result to rank 0, stop when told."""
    # Results go out without waiting for rank 0 to take them (it may be busy with a unit of
    # its own); at most two are in flight, which bounds the memory they hold.
    sending = []
    failure = None
    for i in range(comm.rank, plan.units, comm.size):
        if comm.Iprobe(source=0, tag=_TAG_STOP):
            comm.recv(source=0, tag=_TAG_STOP)
            break
        try:
            result = plan.compute(i)
        except Exception as error:  # reported by rank 0, which stops the others
            failure = f"rank {comm.rank}: unit {i}: {_describe(error)}"
            break
        sending.append(comm.isend((i, result), dest=0, tag=_TAG_RESULT))
        if len(sending) > 2:
            sending.pop(0).wait()
    # Rank 0 takes messages from this rank until its last one, done or failed.
    for request in sending:
        request.wait()
    if failure is not None:
        comm.send(failure, dest=0, tag=_TAG_ERROR)
        return 1
    comm.send(None, dest=0, tag=_TAG_DONE)
    return 0


def _run(job, comm, threads, plot, quiet):
    from .output import open_output, part_name, remove_parts
    from .run import Scratch, make_plan
    plan = make_plan(job, threads)
    if comm.rank != 0:
        try:
            return _worker(plan, comm)
        except KeyboardInterrupt:  # a small message: it leaves even if rank 0 takes it late
            comm.send(f"rank {comm.rank}: interrupted", dest=0, tag=_TAG_ERROR)
            return 1
    start = time.perf_counter()
    out = scratch = bar = None
    failure = None
    spans = {}
    workers = set(range(1, comm.size))
    stopped = []

    def accept(i, result):
        spans[i] = (int(result["start"]), int(result["rows"]))
        scratch.put(i, result)
        if bar is not None:
            bar.update(plan.unit_work(i))

    def fail(text):
        nonlocal failure
        if failure is None:
            failure = text
            for w in workers:
                stopped.append(comm.isend(None, dest=w, tag=_TAG_STOP))

    def receive(block):
        while workers:
            st = comm.MPI.Status()
            if not block and not comm.Iprobe(source=comm.MPI.ANY_SOURCE, tag=comm.MPI.ANY_TAG,
                                             status=st):
                return
            message = comm.recv(source=st.Get_source() if not block else comm.MPI.ANY_SOURCE,
                                tag=comm.MPI.ANY_TAG, status=st)
            tag, source = st.Get_tag(), st.Get_source()
            if tag == _TAG_RESULT and failure is None:
                accept(*message)
            elif tag == _TAG_DONE:
                workers.discard(source)
            elif tag == _TAG_ERROR:
                workers.discard(source)
                fail(message)

    try:
        out = open_output(job.output, job.output_format)
        scratch = Scratch(part_name(job.output) + ".units", plan.scratch_on_disk())
        bar = _progress(plan, not quiet)
        for i in range(0, plan.units, comm.size):
            if comm.size > 1:
                receive(block=False)
            if failure is not None:
                break
            try:
                accept(i, plan.compute(i))
            except Exception as error:
                fail(f"rank 0: unit {i}: {_describe(error)}")
        if comm.size > 1:
            receive(block=True)
        if failure is None:
            products = plan.finish(scratch, out, [spans[i] for i in range(plan.units)])
            out.attrs("/", sonvar_version=_version(), command=job.command, job=job.text,
                      c=job.c, fs=job.fs)
            written = out.commit()
            out = None
    except KeyboardInterrupt:
        fail("interrupted")
    except Exception as error:
        fail(f"rank 0: {_describe(error)}")
    finally:
        if workers:
            try:
                receive(block=True)  # let every rank stop before this one leaves
            except Exception:
                pass
        if bar is not None:
            bar.close()
        if scratch is not None:
            scratch.close()
        if out is not None:
            out.discard()
        if stopped:
            comm.MPI.Request.Waitall(stopped)
    if failure is not None:
        remove_parts(job.output)  # also those of objects the failure left half-made
        print(f"sonvar: {job.command} failed: {failure}; no output written", file=sys.stderr)
        return 1
    seconds = time.perf_counter() - start
    if plot:
        from . import plots
        path = job.plot["path"] or os.path.splitext(
            written[-1] if job.output_format == "npy" else job.output)[0] + ".png"
        try:
            plots.plot(job, products, path)
            written.append(path)
        except Exception as error:
            print(f"sonvar: plot failed: {_describe(error)}", file=sys.stderr)
            return 1
    if job.command == "field":
        work = f"{plan.work} points of {job.field['quantity']}"
        rate = f"{plan.work / seconds:.0f} points/s"
    else:
        noun = plan.noun
        work = f"{plan.units} {noun} x {plan.scatterers} scatterers"
        rate = f"{plan.units * plan.scatterers / seconds:.0f} scatterer-{noun}/s"
    ranks = f"{comm.size} rank{'s' if comm.size > 1 else ''} x {threads} thread" \
            f"{'s' if threads > 1 else ''}"
    print(f"sonvar {job.command}: {work} in {seconds:.2f} s ({rate}, {ranks}); "
          f"wrote {', '.join(written)}")
    return 0


def _version():
    from . import __version__
    return __version__


if __name__ == "__main__":
    sys.exit(main())
