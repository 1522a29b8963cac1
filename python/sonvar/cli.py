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


def _compute(job, plan, comm, out, bar):
    """Rank 0's units and the others' results into the scratch store, then the datasets
    assembled into `out`; returns (products, failure text or None)."""
    from .output import part_name
    from .run import Scratch
    spans = {}
    scratch = None

    def accept(i, result):
        spans[i] = (int(result["start"]), int(result["rows"]))
        scratch.put(i, result)
        if bar is not None:
            bar.update(plan.unit_work(i))

    gather = ranks.Gather(comm, accept)
    try:
        scratch = Scratch(part_name(job.output, ".units"), plan.scratch_on_disk())
        for i in range(0, plan.units, comm.size):
            gather.receive(block=False)
            if gather.failure is not None:
                break
            try:
                accept(i, plan.compute(i))
            except Exception as error:
                gather.fail(f"rank 0: unit {i}: {ranks.describe(error)}")
        gather.receive(block=True)
        if gather.failure is not None:
            return None, gather.failure
        products = plan.finish(scratch, out, [spans[i] for i in range(plan.units)])
        out.attrs("/", sonvar_version=_version(), command=job.command, job=job.text,
                  c=job.c, fs=job.fs)
        return products, None
    except KeyboardInterrupt:
        gather.fail("interrupted")
        return None, gather.failure
    except Exception as error:
        gather.fail(f"rank 0: {ranks.describe(error)}")
        return None, gather.failure
    finally:
        if scratch is not None:
            scratch.close()
        gather.wind_up()


def _run(job, comm, threads, plot, quiet):
    from .output import open_output, part_name, publish, remove_parts
    from .run import make_plan
    plan = make_plan(job, threads)
    if comm.rank != 0:
        return ranks.serve(plan, comm)
    start = time.perf_counter()
    out = bar = None
    failure = None
    try:
        out = open_output(job.output, job.output_format)
        bar = _progress(plan, not quiet)
        products, failure = _compute(job, plan, comm, out, bar)
        seconds = time.perf_counter() - start
        if failure is None:
            pairs = out.close()
            out = None
            if plot:
                from . import plots
                path = plots.plot_path(job, [final for _, final in pairs])
                try:
                    plots.plot(job, products, part_name(path), plots.plot_format(path))
                    pairs.append((part_name(path), path))
                except Exception as error:
                    failure = f"plot {path}: {ranks.describe(error)}"
    except KeyboardInterrupt:
        failure = "interrupted"
    except Exception as error:
        failure = f"rank 0: {ranks.describe(error)}"
    finally:
        if bar is not None:
            bar.close()
        if out is not None:
            out.discard()
    if failure is not None:
        remove_parts()
        print(f"sonvar: {job.command} failed: {failure}; no output written", file=sys.stderr)
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
