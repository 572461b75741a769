"""plumo's command line: reads a video stream into frames and tells how it went.

    plumo read [URL] [--pipeline TEMPLATE] [--frames N] [--timeout S] [--max-framerate F]
               [--keyframes-only] [--format bgr|rgb|gray] [--size WxH] [--reconnect]
               [--latest]
               [--rtsp-transport auto|tcp|udp] [--ca-file FILE.pem] [--insecure]
               [--user-agent TEXT] [--header NAME:VALUE]... [--snapshot FILE.png|FILE.jpg]
    plumo probe URL [--timeout S] [--rtsp-transport ...] [--ca-file ...] [--insecure] ...
    plumo view SOURCE... [--host H] [--port P] [--rtsp-transport ...] ...

Without a URL, `read` reads a short clip that it generates and serves itself on 127.0.0.1.
`probe` opens the stream and prints what it is (size, frame rate, codec, live) as JSON. `view`
serves a page that shows the streams live. Each takes `--log-level LEVEL` and `-v` (info).
"""

import argparse
import difflib
import logging
import math
import re
import sys
import time
from typing import List, NoReturn, Optional

import plumo

EXIT_OK = 0
EXIT_STREAM_FAILED = 1
EXIT_USAGE = 2
EXIT_INTERRUPTED = 130


def main(argv: Optional[List[str]] = None) -> int:
    """Runs the command line with `argv` (default: the process's arguments); returns the exit
    status: 0 when the stream was read, 1 when it failed, 2 for bad arguments, 130 on Ctrl-C."""
    argv = sys.argv[1:] if argv is None else list(argv)
    if not argv:
        argv = ["read"]
    parser = _parser()
    try:
        args, unknown = parser.parse_known_args(argv)
        command: _Parser = getattr(args, "command_parser", parser)
        if unknown:
            # Said by the command they were given to, with the option that was meant.
            command.error(f"unrecognized arguments: {' '.join(unknown)}"
                          f"{command.suggestion(unknown)}")  # fmt: skip
        with _logging_to_stderr(getattr(args, "log_level", None) or
                                ("INFO" if getattr(args, "verbose", False) else "WARNING")):
            return args.run(args, command)
    except SystemExit as e:  # argparse has printed its error, or the help
        return e.code if isinstance(e.code, int) else EXIT_USAGE
    except KeyboardInterrupt:
        return EXIT_INTERRUPTED


class _logging_to_stderr:
    """plumo's log records, from `level` up, as lines on stderr while a command runs; on a
    terminal, a line first clears the progress line it would otherwise run into."""

    def __init__(self, level: str):
        self._level = level
        self._handler = logging.StreamHandler(sys.stderr)
        clear = "\r\033[K" if sys.stderr.isatty() else ""
        self._handler.setFormatter(_FlagsFormatter(f"{clear}plumo: %(levelname)s: %(message)s"))

    def __enter__(self) -> None:
        logger = logging.getLogger("plumo")
        self._was = logger.level
        logger.setLevel(self._level)
        logger.addHandler(self._handler)

    def __exit__(self, *exc_info) -> None:
        logger = logging.getLogger("plumo")
        logger.removeHandler(self._handler)
        logger.setLevel(self._was)


class _FlagsFormatter(logging.Formatter):
    """Log records as the command line says them (`in_flags`)."""

    def format(self, record: logging.LogRecord) -> str:
        return in_flags(super().format(record))


def in_flags(text: str) -> str:
    """A reader's message as the command line says it: the reader's options it names (ca_file,
    tls_verify=False) become the flags that set them (--ca-file, --insecure)."""
    if "plumo.utils.tls" not in sys.modules:  # no stream was made: nothing names them
        return text
    from plumo.utils import tls

    for option_words, flag_words in (
        (tls.TRUST_ADVICE, "give the certificate of the CA that signed it with --ca-file "
         "FILE.pem, or --insecure to accept any certificate"),
        (tls.NOT_TRUSTED_BY, f"{tls.UNTRUSTED} by --ca-file "),
        (tls.UNVERIFIED, "--insecure is given, so any certificate is accepted"),
        ("Option 'ca_file': ca_file ", "--ca-file "),  # a CA file that cannot be read
        # A source setting given with a template.
        *((f"Option '{option}' applies to", f"{flag} applies to")
          for option, flag in _SOURCE_FLAGS.items()),
        ("read without a template; give the template's source",
         "read without --pipeline; give the pipeline's source"),
    ):  # fmt: skip
        text = text.replace(option_words, flag_words)
    return text


# The reader's options that _add_source_arguments' flags set.
_SOURCE_FLAGS = {"ca_file": "--ca-file", "tls_verify": "--insecure", "user_agent": "--user-agent",
                 "headers": "--header", "rtsp_transport": "--rtsp-transport"}  # fmt: skip


class _Parser(argparse.ArgumentParser):
    """argparse's parser, with errors of two lines: what is wrong (and the option or command
    most likely meant), and where the help is; never the whole usage."""

    def error(self, message: str) -> NoReturn:
        message = _with_choice_suggestion(message)
        self.exit(EXIT_USAGE, f"{self.prog}: error: {message}\nSee '{self.prog} --help'.\n")

    def suggestion(self, unknown: List[str]) -> str:
        """"; did you mean --max-framerate?" for the first mistyped option among `unknown`."""
        known = [o for o in self._option_string_actions if o.startswith("--")]
        for given in unknown:
            if given.startswith("--"):
                name = given.partition("=")[0]
                close = difflib.get_close_matches(name, known, n=1, cutoff=0.6)
                if close:
                    return f" (did you mean {close[0]}?)"
        return ""


def _with_choice_suggestion(message: str) -> str:
    """argparse's "invalid choice: 'raed' (choose from 'read', 'probe')", with the one meant."""
    found = re.search(r"invalid choice: '([^']*)' \(choose from (.*)\)", message)
    if found:
        choices = re.findall(r"'([^']*)'", found.group(2))
        close = difflib.get_close_matches(found.group(1), choices, n=1, cutoff=0.5)
        if close:
            return f"{message}; did you mean '{close[0]}'?"
    return message


def _parser() -> "_Parser":
    parser = _Parser(
        prog="plumo",
        description="Reads video streams into BGR, RGB or gray frames with GStreamer. Without a "
        "command, reads a generated demo clip served on 127.0.0.1.",
    )
    parser.add_argument("--version", action="version", version=f"plumo {plumo.__version__}")
    commands = parser.add_subparsers(title="commands", metavar="COMMAND")
    read = commands.add_parser(
        "read",
        help="read a stream and report frames, frame rate and resolution",
        description="Reads a stream to its end (or N frames), showing progress on a terminal, "
        "and prints a summary. Without a URL, reads a generated clip served on 127.0.0.1.",
    )
    read.add_argument(
        "url", nargs="?", metavar="URL",
        help="the stream: an http(s)://, rtsp(s):// or file:// URL or a file's path, or any "
        "URL with --pipeline (default: the demo clip)",
    )  # fmt: skip
    read.add_argument(
        "--pipeline", metavar="TEMPLATE",
        help='a GStreamer launch string with "{url}" where the URL goes and an appsink named '
        "main_sink that receives BGR video",
    )  # fmt: skip
    read.add_argument("--frames", type=_positive_int, metavar="N",
                      help="stop after N frames (default: read to the end)")  # fmt: skip
    read.add_argument(
        "--timeout", type=_positive_seconds, default=10.0, metavar="S",
        help="seconds to wait for the stream to start, and for each frame (default: 10)",
    )  # fmt: skip
    read.add_argument("--max-framerate", type=_positive_seconds, metavar="F",
                      help="deliver at most F frames a second")  # fmt: skip
    read.add_argument("--keyframes-only", action="store_true",
                      help="decode and deliver keyframes only")  # fmt: skip
    read.add_argument("--format", choices=("bgr", "rgb", "gray"), default="bgr",
                      help="the frames' pixels (default: bgr)")  # fmt: skip
    read.add_argument("--size", type=_frame_size, metavar="WxH",
                      help="scale every frame to W x H pixels (default: as the stream has "
                      "them)")  # fmt: skip
    read.add_argument(
        "--reconnect", action="store_true",
        help="when a live stream drops, connect again (with back-off) and go on",
    )  # fmt: skip
    read.add_argument(
        "--latest", action="store_true",
        help="keep only the newest frame, dropping those not read in time",
    )  # fmt: skip
    _add_source_arguments(read)
    read.add_argument("--snapshot", metavar="FILE.png|FILE.jpg",
                      help="save the last frame read as an image, in the format its extension "
                      "names (.png, .jpg, .jpeg)")  # fmt: skip
    _add_logging_arguments(read)
    read.set_defaults(run=_read, command_parser=read)
    probe = commands.add_parser(
        "probe",
        help="open a stream and print its size, frame rate, codec and liveness as JSON",
        description="Opens the stream, prints what it is as one line of JSON (width, height, "
        "fps, codec, live) and closes it.",
    )
    probe.add_argument(
        "url", metavar="URL", help="an http(s)://, rtsp(s):// or file:// URL or a file's path"
    )
    probe.add_argument(
        "--timeout", type=_positive_seconds, default=10.0, metavar="S",
        help="seconds to wait for the stream to start (default: 10)",
    )  # fmt: skip
    _add_source_arguments(probe)
    _add_logging_arguments(probe)
    probe.set_defaults(run=_probe, command_parser=probe)
    view = commands.add_parser(
        "view",
        help="serve a page that shows streams live: frames, state, frame rate",
        description="Reads the streams (reconnecting those that drop, newest frame first) and "
        "serves a page that shows each one live: its newest frame, its state, frame rate and "
        "frame age, and a plot of its frame rate; also /status.json and /streams/N/frame.jpg. "
        'Its first line on stdout is "Serving http://HOST:PORT/". Ctrl-C stops it.',
    )
    view.add_argument("sources", nargs="*", metavar="SOURCE",
                      help="the streams, as `read` takes them")  # fmt: skip
    view.add_argument("--host", default="127.0.0.1",
                      help="the address to serve on (default: 127.0.0.1, this machine alone; "
                      "any other lets anyone who reaches it see the cameras)")  # fmt: skip
    view.add_argument("--port", type=_port, default=8080,
                      help="the port to serve on (default: 8080; 0: any free one)")  # fmt: skip
    view.add_argument(
        "--timeout", type=_positive_seconds, default=10.0, metavar="S",
        help="seconds each attempt to start a stream may take (default: 10)",
    )  # fmt: skip
    _add_source_arguments(view)
    _add_logging_arguments(view)
    view.set_defaults(run=_view, command_parser=view)
    parser.set_defaults(run=lambda _args, p: p.error("choose a command"))
    return parser


def _add_source_arguments(command: argparse.ArgumentParser) -> None:
    """What a command tells the stream's source: transport, trust and request settings."""
    command.add_argument("--rtsp-transport", choices=("auto", "tcp", "udp"), default="auto",
                         help="how an RTSP stream's packets travel (default: auto, UDP and "
                         "then TCP)")  # fmt: skip
    command.add_argument("--ca-file", metavar="FILE.pem",
                         help="trust the CA certificates in this PEM file for an HTTPS or RTSPS "
                         "stream (a camera with its own certificate)")  # fmt: skip
    command.add_argument("--insecure", action="store_true",
                         help="accept any TLS certificate (a warning says so)")  # fmt: skip
    command.add_argument("--user-agent", metavar="TEXT",
                         help="the User-Agent to send (HTTP and RTSP)")  # fmt: skip
    command.add_argument("--header", action="append", type=_header, default=[],
                         metavar="NAME:VALUE",
                         help="an extra HTTP request header (may be given again)")  # fmt: skip


def _add_logging_arguments(command: argparse.ArgumentParser) -> None:
    command.add_argument("--log-level", type=str.upper,
                         choices=("DEBUG", "INFO", "WARNING", "ERROR"),
                         help="show plumo's log records from this level up (default: WARNING)")
    command.add_argument("-v", "--verbose", action="store_true",
                         help="show info records too: connections, drops, reconnections")


def _port(text: str) -> int:
    try:
        port = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a port number: '{text}'") from None
    if not 0 <= port <= 65535:
        raise argparse.ArgumentTypeError(f"must be from 0 to 65535: '{text}'")
    return port


def _frame_size(text: str):
    width, x, height = text.lower().partition("x")
    if x and width.isdigit() and height.isdigit() and int(width) > 0 and int(height) > 0:
        return int(width), int(height)
    raise argparse.ArgumentTypeError(
        f"expected WIDTHxHEIGHT in pixels, such as 640x360: {text!r}"
    )


def _header(text: str):
    name, colon, value = text.partition(":")
    if not colon or not name.strip():
        raise argparse.ArgumentTypeError(f"not NAME:VALUE: '{text}'")
    return name.strip(), value.strip()


def _source_options(args: argparse.Namespace) -> dict:
    """The reader options of `_add_source_arguments`; those left at their defaults are left
    out, so that a template (which refuses them) can still be given."""
    options = {}
    if args.rtsp_transport != "auto":
        options["rtsp_transport"] = args.rtsp_transport
    if args.ca_file is not None:
        options["ca_file"] = args.ca_file
    if args.insecure:
        options["tls_verify"] = False
    if args.user_agent is not None:
        options["user_agent"] = args.user_agent
    if args.header:
        options["headers"] = dict(args.header)
    return options


def _positive(kind: type, what: str):
    """An argument type: a `kind` above 0 (and finite), or an error that names `what` it wants."""

    def parse(text: str):
        try:
            value = kind(text)
        except ValueError:
            raise argparse.ArgumentTypeError(f"not {what}: '{text}'") from None
        if not (value > 0 and math.isfinite(value)):
            raise argparse.ArgumentTypeError(f"must be finite and above 0: '{text}'")
        return value

    return parse


_positive_int = _positive(int, "a whole number")
_positive_seconds = _positive(float, "a number")


def _read(args: argparse.Namespace, parser: argparse.ArgumentParser) -> int:
    if args.url is None and args.pipeline is not None:
        parser.error("--pipeline needs a URL to fill in")
    # Imported here: importing them initialises GStreamer, which --help does not need.
    from plumo import sysboot
    from plumo.snapshot import check_snapshot_path

    if args.snapshot is not None:
        try:
            check_snapshot_path(args.snapshot)
        except ValueError as e:
            parser.error(f"--snapshot: {e}")

    sysboot.start()
    try:
        if args.url is not None:
            return _read_stream(args.url, args)
        from plumo.demo import ClipServer, make_clip

        try:
            clip = make_clip()
        except RuntimeError as e:  # GStreamer could not encode it
            return _fail(str(e), EXIT_STREAM_FAILED)
        with ClipServer(clip) as server:
            print(f"Serving a generated demo clip at {server.url}", file=sys.stderr)
            return _read_stream(server.url, args)
    finally:
        sysboot.close()


def _read_stream(url: str, args: argparse.Namespace) -> int:
    from plumo.errors import InvalidCustomPipelineError, InvalidRuntimeOptionError, PlumoError
    from plumo.stream_reader import StreamReader
    from plumo.utils.urls import redact_url

    shown_url = redact_url(url)

    try:
        reader = StreamReader(
            url, template=args.pipeline, start_timeout=args.timeout, read_timeout=args.timeout,
            max_framerate=args.max_framerate, pixel_format=args.format, size=args.size,
            keyframes_only=args.keyframes_only, reconnect=args.reconnect, latest=args.latest,
            **_source_options(args),
        )  # fmt: skip
    except (ValueError, TypeError, InvalidCustomPipelineError, InvalidRuntimeOptionError) as e:
        return _fail(str(e), EXIT_USAGE)

    progress = _Progress(sys.stderr)
    progress.say(f"connecting to {shown_url} ...")
    frame = None
    started = time.monotonic()
    outcome, status = "end of stream", EXIT_OK
    try:
        with reader:
            started = time.monotonic()
            for frame in reader:
                progress.update(reader.frames_read, frame, time.monotonic() - started)
                if args.frames is not None and reader.frames_read >= args.frames:
                    outcome = f"stopped after {args.frames} frames"
                    break
    except KeyboardInterrupt:
        outcome, status = "interrupted", EXIT_INTERRUPTED
    except (OSError, TimeoutError, PlumoError) as e:
        progress.finish()
        if reader.frames_read:
            elapsed = time.monotonic() - started
            _print_summary(shown_url, reader.frames_read, frame, args.format, elapsed,
                           "failed" + _drops(reader))  # fmt: skip
        return _fail(str(e), EXIT_STREAM_FAILED)
    progress.finish()
    elapsed = time.monotonic() - started
    if reader.frames_read == 0 and status == EXIT_OK:
        return _fail(f"'{shown_url}' ended without a single frame", EXIT_STREAM_FAILED)
    _print_summary(shown_url, reader.frames_read, frame, args.format, elapsed,
                   outcome + _drops(reader))  # fmt: skip
    if args.snapshot is not None and frame is not None:
        from plumo.snapshot import save_snapshot

        try:
            save_snapshot(args.snapshot, frame, args.format)
        except (OSError, RuntimeError) as e:
            return _fail(f"cannot save the snapshot: {e}", EXIT_STREAM_FAILED)
        print(f"Saved frame {reader.frames_read} to {args.snapshot}")
    return status


def _probe(args: argparse.Namespace, _parser: argparse.ArgumentParser) -> int:
    from plumo import sysboot
    from plumo.errors import InvalidRuntimeOptionError, PlumoError
    from plumo.stream_reader import StreamReader

    try:
        reader = StreamReader(args.url, start_timeout=args.timeout, **_source_options(args))
    except (ValueError, TypeError, InvalidRuntimeOptionError) as e:
        return _fail(str(e), EXIT_USAGE)
    sysboot.start()
    try:
        with reader:
            info = reader.info
    except (OSError, TimeoutError, PlumoError) as e:
        return _fail(str(e), EXIT_STREAM_FAILED)
    finally:
        sysboot.close()
    print(info.to_json() if info is not None else "{}")
    return EXIT_OK


def _drops(reader) -> str:
    """"; 2 drops, 1 reconnection" when the stream dropped."""
    status = reader.status
    if not status.drops and not status.reconnects:
        return ""
    return (f"; {status.drops} drop{'s' if status.drops != 1 else ''}, {status.reconnects} "
            f"reconnection{'s' if status.reconnects != 1 else ''}")  # fmt: skip


def _view(args: argparse.Namespace, parser: argparse.ArgumentParser) -> int:
    if not args.sources:
        parser.error("give at least one SOURCE to view")
    from plumo import sysboot
    from plumo.errors import InvalidRuntimeOptionError
    from plumo.stream_reader import StreamGroup
    from plumo.view import serve

    try:
        group = StreamGroup(args.sources, reconnect=True, latest=True, start_timeout=args.timeout,
                            read_timeout=None, **_source_options(args))  # fmt: skip
    except (ValueError, TypeError, InvalidRuntimeOptionError) as e:
        return _fail(str(e), EXIT_USAGE)
    sysboot.start()
    try:
        try:
            server = serve(group, port=args.port, host=args.host)  # opens the group
        except OSError as e:
            group.close()
            return _fail(str(e), EXIT_USAGE)
        try:  # from the first line on: a Ctrl-C just after it still stops the server's threads
            print(f"Serving {server.url}", flush=True)
            while True:
                time.sleep(3600)
        finally:
            server.close()
    finally:
        sysboot.close()


def _print_summary(
    url: str, frames: int, last_frame, pixel_format: str, elapsed: float, outcome: str
) -> None:
    size = "" if last_frame is None else f" of {_resolution(last_frame)} {pixel_format.upper()}"
    print(f"{url}: {frames} frames{size} in {elapsed:.2f} s ({_rate(frames, elapsed):.1f} "
          f"frames/s); {outcome}")  # fmt: skip


def _rate(frames: int, elapsed: float) -> float:
    return frames / elapsed if elapsed > 0 else 0.0


def _resolution(frame) -> str:
    return f"{frame.shape[1]}x{frame.shape[0]}"


def _fail(message: str, status: int) -> int:
    # One line, whatever the message holds.
    print(f"plumo: error: {' '.join(in_flags(message).split())}", file=sys.stderr)
    return status


class _Progress:
    """Frames, frame rate and resolution on one line of a terminal, rewritten a few times a
    second; elsewhere (a log, a pipe) one line every few seconds."""

    def __init__(self, stream):
        self._stream = stream
        self._tty = stream.isatty()
        self._interval = 0.2 if self._tty else 5.0
        self._next = 0.0 if self._tty else self._interval
        self._shown = False

    def say(self, text: str) -> None:
        """Shows `text` on a terminal until the next update (and nowhere else)."""
        if self._tty:
            self._stream.write(f"\r\033[K{text}")
            self._stream.flush()
            self._shown = True

    def update(self, frames: int, frame, elapsed: float) -> None:
        if elapsed < self._next:
            return
        self._next = elapsed + self._interval
        text = f"{frames} frames  {_rate(frames, elapsed):.1f} frames/s  {_resolution(frame)}"
        if self._tty:
            self._stream.write(f"\r\033[K{text}")
            self._shown = True
        else:
            self._stream.write(text + "\n")
        self._stream.flush()

    def finish(self) -> None:
        if self._shown:
            self._stream.write("\n")
            self._stream.flush()
            self._shown = False
