"""What a newcomer meets first: the names `plumo` offers at the top, options a type checker knows,
and mistakes explained in a line that says what was meant."""

import re
import subprocess
import sys
import textwrap

import pytest

from plumo.errors import InvalidRuntimeOptionError, StreamSetupError
from plumo.stream_reader.options import SUPPORTED_OPTIONS, ReaderOptions, check_options


def run_python(code: str) -> subprocess.CompletedProcess:
    return subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                          timeout=60)  # fmt: skip


def test_the_package_offers_its_readers_at_the_top_without_starting_gstreamer():
    done = run_python(
        "import sys, plumo;"
        "assert 'gi' not in sys.modules and 'numpy' not in sys.modules, 'imported too much';"
        "from plumo import (StreamReader, StreamGroup, Frame, StreamInfo, ReaderOptions,"
        " StreamSetupError, StreamReadError, InvalidRuntimeOptionError);"
        "import plumo.stream_reader as r;"
        "assert StreamReader is r.StreamReader and StreamGroup is r.StreamGroup;"
        "assert Frame is r.Frame and StreamInfo is r.StreamInfo;"
        "print(sorted(set(plumo.__all__) - set(dir(plumo))))"
    )
    assert done.returncode == 0, done.stderr
    assert done.stdout.strip() == "[]"


@pytest.mark.parametrize(
    "options, message",
    [
        ({"max_frame_rate": 5}, r"^Unknown option 'max_frame_rate'; did you mean 'max_framerate'\?$"),
        ({"keyframe_only": True}, r"did you mean 'keyframes_only'\?$"),
        ({"colour": "rgb"}, "Unknown option 'colour'; the options are max_framerate, "),
        ({"max_framerate": "5"}, "Option 'max_framerate' should be a number or None, got str '5'$"),
        ({"pixel_format": 3}, "should be 'bgr', 'rgb' or 'gray', got int 3$"),
        ({"rtsp_transport": None}, "should be 'auto', 'tcp' or 'udp', got NoneType$"),
        ({"reconnect": "yes"}, "should be True or False, got str 'yes'$"),
        # A container's contents are not shown: they may hold a header's secret.
        ({"headers": [("Authorization", "Bearer s3cret")]}, "should be a dict or None, got list$"),
        ({"read_timeout": "x" * 50}, "should be a number or None, got str$"),
    ],
)  # fmt: skip
def test_option_mistakes_say_what_was_meant(options, message):
    with pytest.raises(InvalidRuntimeOptionError) as raised:
        check_options(options)
    assert re.search(message, str(raised.value)), raised.value


def test_the_runtime_table_follows_the_declared_options():
    assert list(SUPPORTED_OPTIONS) == list(ReaderOptions.__annotations__)
    # A number may be an int, as a type checker allows; a bool is no string.
    for good in [{"max_framerate": 5}, {"max_framerate": 2.5}, {"read_timeout": None},
                 {"ca_file": __import__("pathlib").Path("ca.pem")}, {"headers": {"A": "b"}}]:  # fmt: skip
        check_options(good)


MYPY_CASES = {
    "unknown option": ('StreamReader("a.mp4", max_frame_rate=5)', 'Unexpected keyword argument "max_frame_rate"'),
    "wrong type": ('StreamReader("a.mp4", max_framerate="5")', 'Argument "max_framerate" to "StreamReader" has incompatible type "str"'),
    "not a choice": ('StreamGroup(["a.mp4"], pixel_format="bgra")', 'Argument "pixel_format" to "StreamGroup" has incompatible type'),
    "correct": ('StreamReader("a.mp4", max_framerate=5, pixel_format="rgb", reconnect=True)\n'
                'StreamGroup(["a.mp4"], read_timeout=None, headers={"A": "b"})', None),
}  # fmt: skip


@pytest.mark.parametrize("case", MYPY_CASES)
def test_a_type_checker_knows_the_options(case, tmp_path):
    code, error = MYPY_CASES[case]
    program = tmp_path / "use.py"
    program.write_text("from plumo import StreamGroup, StreamReader\n\n" + textwrap.dedent(code) + "\n")
    done = subprocess.run([sys.executable, "-m", "mypy", "--no-incremental", "--strict-optional",
                           str(program)], capture_output=True, text=True, timeout=300)  # fmt: skip
    if error is None:
        assert done.returncode == 0, done.stdout
    else:
        assert done.returncode == 1 and error in done.stdout, done.stdout


def plumo(*args):
    return subprocess.run([sys.executable, "-m", "plumo", *args], capture_output=True, text=True,
                          timeout=60)  # fmt: skip


@pytest.mark.parametrize(
    "args, error, help_of",
    [
        (["read", "a.mp4", "--max-frame-rate", "5"],
         "unrecognized arguments: --max-frame-rate 5 (did you mean --max-framerate?)", "read"),
        (["read", "a.mp4", "--keyframe-only"], "(did you mean --keyframes-only?)", "read"),
        (["probe", "a.mp4", "--rtsp-transprt=tcp"], "(did you mean --rtsp-transport?)", "probe"),
        (["read", "a.mp4", "--header", "X-Token"], "argument --header: not NAME:VALUE: 'X-Token'",
         "read"),
        (["raed", "a.mp4"], "invalid choice: 'raed' (choose from 'read', 'probe', 'view'); did you "
         "mean 'read'?", None),
        (["read", "--format", "bgra"], "did you mean 'bgr'?", "read"),
        (["probe"], "the following arguments are required: URL", "probe"),
        (["read", "--timeout", "soon"], "argument --timeout: not a number: 'soon'", "read"),
    ],
)  # fmt: skip
def test_command_line_mistakes_are_two_lines_that_say_what_was_meant(args, error, help_of):
    done = plumo(*args)
    assert done.returncode == 2
    lines = done.stderr.splitlines()
    command = "plumo" if help_of is None else f"plumo {help_of}"
    assert len(lines) == 2, done.stderr
    assert lines[0].startswith(f"{command}: error: ") and error in lines[0]
    assert lines[1] == f"See '{command} --help'."


@pytest.mark.parametrize(
    "path, meant",
    [("127.0.0.1:8000/a.mp4", "http://127.0.0.1:8000/a.mp4"),
     ("camera.local:554/stream", "rtsp://camera.local:554/stream"),
     ("example.com/clips/a.mp4", "http://example.com/clips/a.mp4"),
     ("missing.mp4", None), ("clips/missing.mp4", None)],
)  # fmt: skip
def test_a_url_without_its_scheme_is_pointed_out(path, meant, reader_loop):
    from plumo import StreamReader

    with pytest.raises((StreamSetupError, ValueError)) as raised:
        StreamReader(path, start_timeout=5).open()
    hint = f"did you mean '{meant}'?"
    assert (hint in str(raised.value)) == (meant is not None), raised.value


@pytest.fixture(scope="module")
def trouble(tmp_path_factory):
    """An HTTPS server with a self-signed certificate and a plain HTTP one (each with `/clip.mkv`
    and a `/private` that asks for credentials), the certificate, and another that did not sign
    the server's."""
    import streams

    certificate = streams.self_signed_certificate(str(tmp_path_factory.mktemp("server")))
    other = streams.self_signed_certificate(str(tmp_path_factory.mktemp("other")))
    clips = {"/clip.mkv": streams.make_clips(frames=10)["/clip.mkv"]}
    with streams.TroubleServer(clips, certificate) as https, streams.TroubleServer(clips) as http:
        yield {"https": https.url, "http": http.url, "ca": certificate[0], "other-ca": other[0]}


TEMPLATE = "souphttpsrc location={url} ! decodebin ! videoconvert ! appsink name=main_sink"


@pytest.mark.parametrize(
    "args, status, said",
    [
        (["{https}/clip.mkv"], 1,
         "plumo: error: Cannot open '{https}/clip.mkv': The server's certificate is not trusted "
         "(self-signed certificate): give the certificate of the CA that signed it with --ca-file "
         "FILE.pem, or --insecure to accept any certificate"),
        (["{https}/clip.mkv", "--ca-file", "{other-ca}"], 1,
         "plumo: error: Cannot open '{https}/clip.mkv': The server's certificate is not trusted "
         "by --ca-file '{other-ca}' (self-signed certificate)"),
        (["{https}/clip.mkv", "--ca-file", "{ca}", "--frames", "2"], 0, ""),
        (["{https}/clip.mkv", "--insecure", "--frames", "2"], 0,
         "plumo: WARNING: {https}/clip.mkv: --insecure is given, so any certificate is accepted: "
         "the stream may come from anyone on the way to the camera"),
        (["{https}/clip.mkv", "--ca-file", "/no/such/ca.pem"], 2,
         "plumo: error: --ca-file '/no/such/ca.pem' cannot be read: No such file or directory"),
        (["{https}/clip.mkv", "--ca-file", "{ca}", "--pipeline", TEMPLATE], 2,
         "plumo: error: --ca-file applies to HTTPS URLs read without --pipeline; give the "
         "pipeline's source its settings itself"),
        (["{http}/clip.mkv", "--insecure", "--pipeline", TEMPLATE], 2,
         "plumo: error: --insecure applies to URLs read without --pipeline;"),
        (["{http}/private"], 1,
         "plumo: error: Cannot open '{http}/private': Unauthorized (401): the camera asks for a "
         "user name and password, and the URL has none; give them in it: "
         "http://USER:PASSWORD@{http-host}/private"),
        (["{http-admin}/private"], 1,
         "plumo: error: Cannot open '{http-shown}/private': Unauthorized (401): the camera "
         "refused the user name and password in the URL"),
    ],
)  # fmt: skip
def test_trust_and_credentials_are_named_as_the_command_line_gives_them(trouble, args, status,
                                                                        said):  # fmt: skip
    http = trouble["http"]("")
    names = {**trouble, "https": trouble["https"](""), "http": http,
             "http-host": http.partition("://")[2],
             "http-admin": http.replace("://", "://admin:s3cret@"),
             "http-shown": http.replace("://", "://admin:***@")}  # fmt: skip
    fill = lambda text: re.sub(r"\{([\w-]+)\}", lambda m: names.get(m[1], m[0]), text)  # noqa: E731
    done = plumo("read", *map(fill, args))
    assert done.returncode == status, done.stderr
    assert done.stderr.startswith(fill(said)) and len(done.stderr.splitlines()) <= 1, done.stderr
    # Nothing names what only Python calls them, nor shows the password.
    assert not re.search(r"ca_file|tls_verify|template|s3cret", done.stderr), done.stderr


def test_in_python_the_same_causes_name_the_options(trouble, reader_loop):
    from plumo import StreamReader

    with pytest.raises(StreamSetupError) as raised:
        StreamReader(trouble["https"]("/clip.mkv"), start_timeout=5).open()
    assert str(raised.value).endswith(": give the certificate of the CA that signed it as "
                                      "ca_file, or tls_verify=False to accept any certificate")
