"""The `sonvar` command: field maps and images from a job file, on one process or many (MPI).

    sonvar field JOB      field map (h, hp or hhp) on a grid or on points from a file
    sonvar image JOB      line-by-line image data or channel data (plane, diverging, focused,
                          custom or single-element transmits) of a phantom
    sonvar check JOB      check a job and print the aperture and configuration report
    sonvar example field|image    print an example job

Exit status: 0 done, 1 failed while computing or writing (nothing written, nothing replaced),
2 a bad job or command line (one line per bad key; nothing written). Under `mpirun -n N` (or
`srun`) the units of work are split over the ranks and rank 0 writes the files.

The modules of the command: `jobs` reads and checks a job, `run` cuts it into units of work
and assembles the results, `ranks` deals the units to the processes, `output` writes the
result files under temporary names and publishes them, `plots` draws the picture.
"""

import argparse
import json
import os
import sys
import time
from typing import List, Optional

from . import ranks
from ._machine import cores

__all__ = ["main"]


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
    except (OSError, ValueError, RecursionError):
        return "field"  # load() reports the fault itself
    if isinstance(values, dict):
        if values.get("command") in ("field", "image"):
            return values["command"]
        return "image" if "image" in values else "field"
    return "field"


def main(argv: Optional[List[str]] = None) -> int:
    """Run the command with the given arguments (default sys.argv[1:]); returns the exit
    status."""
    args = _parser().parse_args(argv)
    if args.command == "example":
        from .jobs import EXAMPLES
        return _to_pipe(lambda: print(json.dumps(EXAMPLES[args.kind], indent=2), flush=True))
    from .jobs import JobError, load
    comm = ranks.communicator() if args.command != "check" else ranks.Serial()
    command = _job_command(args.job) if args.command == "check" else args.command
    try:
        if args.command == "check":
            job = load(args.job, command)
        else:
            job = load(args.job, command, output_override=args.output,
                       output_format=args.format, threads_override=args.threads,
                       plot=not args.no_plot)
    except JobError as error:
        if comm.rank == 0:
            for line in str(error).splitlines():  # one line per bad key
                print(f"sonvar: {line}", file=sys.stderr)
        return 2
    except Exception as error:  # a fault of the checks themselves: still one line
        if comm.rank == 0:
            print(f"sonvar: {args.job}: cannot check the job: {ranks.describe(error)}",
                  file=sys.stderr)
        return 2
    if comm.rank == 0:
        for text in job.warnings:  # allowed, but worth a word before the run
            print(f"sonvar: warning: {text}", file=sys.stderr)
    if args.command == "check":
        return _to_pipe(lambda: _check(job))
    threads = args.threads or job.threads or max(1, cores() // comm.local_size)
    ranks.interrupt_on_signals()
    return _run(job, comm, threads, plot=not args.no_plot and job.plot["enabled"],
                quiet=args.quiet)


def _to_pipe(write):
    """Runs `write`; a reader that closed the pipe early (`sonvar check JOB | head`) ends it
    quietly."""
    try:
        write()
        sys.stdout.flush()
    except BrokenPipeError:
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
    return 0


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


class _Failed(Exception):
    """A run that failed, with the one-line reason."""


class _Assembly:
    """Rank 0's part of a run: its own units and the other ranks' results gathered into the
    scratch store, the datasets assembled into the result file, the plot drawn; every file
    under its temporary name until the run has succeeded."""

    def __init__(self, job, plan, comm, quiet):
        from .output import open_output, part_name
        from .run import Scratch
        self.job, self.plan, self.comm = job, plan, comm
        self.spans = {}
        self.gather = ranks.Gather(comm, self.accept)
        self.out = self.scratch = self.bar = None
        self.out = open_output(job.output, job.output_format)
        self.scratch = Scratch(part_name(job.output, ".units"), plan.scratch_on_disk())
        self.bar = _progress(plan, not quiet)

    def accept(self, i, result):
        self.spans[i] = (int(result["start"]), int(result["rows"]))
        self.scratch.put(i, result)
        if self.bar is not None:
            self.bar.update(self.plan.unit_work(i))

    def compute(self):
        """Every unit computed or received, then the datasets; returns the products."""
        plan, comm = self.plan, self.comm
        for i in range(0, plan.units, comm.size):
            self.gather.receive(block=False)
            if self.gather.failure is not None:
                break
            try:
                self.accept(i, plan.compute(i))
            except Exception as error:
                self.gather.fail(f"rank 0: unit {i}: {ranks.describe(error)}")
        self.gather.receive(block=True)
        if self.gather.failure is not None:
            raise _Failed(self.gather.failure)
        products = plan.finish(self.scratch, self.out, [self.spans[i] for i in range(plan.units)])
        job = self.job
        self.out.attrs("/", sonvar_version=_version(), command=job.command, job=job.text,
                       c=job.c, fs=job.fs)
        return products

    def files(self, products, plot):
        """The result file closed and the plot drawn: the (temporary, final) names."""
        from .output import part_name
        pairs = self.out.close()
        self.out = None
        if plot:
            from . import plots
            path = plots.plot_path(self.job, [final for _, final in pairs])
            try:
                plots.plot(self.job, products, part_name(path), plots.plot_format(path))
            except Exception as error:
                raise _Failed(f"plot {path}: {ranks.describe(error)}") from None
            pairs.append((part_name(path), path))
        return pairs

    def close(self):
        """The progress bar, the scratch store and an unfinished result file closed."""
        if self.bar is not None:
            self.bar.close()
        if self.scratch is not None:
            self.scratch.close()
        if self.out is not None:
            self.out.discard()


def _run(job, comm, threads, plot, quiet):
    from .output import publish, remove_parts
    from .run import make_plan
    plan = make_plan(job, threads)
    if comm.rank != 0:
        return ranks.serve(plan, comm)
    start = time.perf_counter()
    assembly = None
    try:
        assembly = _Assembly(job, plan, comm, quiet)
        products = assembly.compute()
        seconds = time.perf_counter() - start
        pairs = assembly.files(products, plot)
        failure = None
    except KeyboardInterrupt:
        failure = "interrupted"
    except _Failed as error:
        failure = str(error)
    except Exception as error:
        failure = f"rank 0: {ranks.describe(error)}"
    # From here on a signal does not cut the run short: its files are removed, or published,
    # and every rank is told and heard before this one leaves.
    with ranks.signals_held():
        if failure is not None:
            if assembly is not None:
                assembly.close()
            remove_parts()
            print(f"sonvar: {job.command} failed: {failure}; no output written", file=sys.stderr,
                  flush=True)
        if assembly is not None:
            if failure is not None:
                assembly.gather.fail(failure)
            assembly.close()
            assembly.gather.wind_up()
        if failure is not None:
            return 1
        written = publish(pairs)
    print(_summary(job, plan, comm, threads, seconds, written))
    return 0


def _summary(job, plan, comm, threads, seconds, written):
    """The one line of a finished run."""
    if job.command == "field":
        work = f"{plan.work} points of {job.field['quantity']}"
        rate = f"{plan.work / seconds:.0f} points/s"
    else:
        noun = plan.noun
        work = f"{plan.units} {noun} x {plan.scatterers} scatterers"
        rate = f"{plan.units * plan.scatterers / seconds:.0f} scatterer-{noun}/s"
    ranks_ = f"{comm.size} rank{'s' if comm.size > 1 else ''} x {threads} thread" \
             f"{'s' if threads > 1 else ''}"
    return (f"sonvar {job.command}: {work} in {seconds:.2f} s ({rate}, {ranks_}); "
            f"wrote {', '.join(written)}")


def _version():
    from . import __version__
    return __version__


if __name__ == "__main__":
    sys.exit(main())
