# SPDX-License-Identifier: MIT
"""Every failure class gives its exception, errno and file name."""

import copy
import errno
import io
import os
import pickle
import shutil
import signal
import subprocess
import sys
import threading
import time
import warnings

import pytest

import tavsdk
from tavsdk import _errors, _lib
from conftest import VECTORS, vector_keys

KEYS = vector_keys("hello", "binary")


@pytest.fixture
def files(tmp_path):
    (tmp_path / "plain").write_bytes(b"plain bytes" * 100)
    (tmp_path / "taken").write_bytes(b"already here")
    (tmp_path / "dir").mkdir()
    return tmp_path


def damaged_keys(tmp_path, damage):
    """Loads the key files of "hello" after damage(directory) changed them."""
    directory = tmp_path / "keys"
    shutil.copytree(VECTORS / "keys" / "hello" / "binary", directory)
    damage(directory)
    try:
        return tavsdk.Keys.load(directory, "binary", master=KEYS)
    finally:
        shutil.rmtree(directory)


def truncate(path):
    path.write_bytes(path.read_bytes()[:-1])


def refused(status, number):
    return lambda d: _errors.check(status, number, d / "plain")


def fifo_source(d):
    os.mkfifo(d / "fifo")
    try:
        tavsdk.encrypt_file(d / "fifo", d / "out", KEYS)
    finally:
        os.unlink(d / "fifo")


CASES = {
    # name: (action on the files directory, exception classes, errno or None, file name in the message,
    #        words in the message or None)
    "missing source": (lambda d: tavsdk.encrypt_file(d / "none", d / "out", KEYS),
                       (tavsdk.SourceError, FileNotFoundError), errno.ENOENT, "none", None),
    "source is a directory": (lambda d: tavsdk.decrypt_file(d / "dir", d / "out", KEYS),
                              (tavsdk.SourceError, IsADirectoryError), errno.EISDIR, "dir", None),
    "source is a FIFO": (fifo_source, (tavsdk.SourceError,), errno.EINVAL, "fifo", None),
    "source refused": (refused(_lib.BAD_SOURCE, errno.EACCES), (tavsdk.SourceError, PermissionError),
                       errno.EACCES, "plain", None),
    "destination refused": (refused(_lib.BAD_DEST, errno.EPERM), (tavsdk.DestinationError, PermissionError),
                            errno.EPERM, "plain", None),
    "destination directory missing": (lambda d: tavsdk.encrypt_file(d / "plain", d / "no" / "out", KEYS),
                                      (tavsdk.DestinationError, FileNotFoundError), errno.ENOENT, "out", None),
    "destination is the source": (lambda d: tavsdk.encrypt_file(d / "plain", d / "." / "plain", KEYS,
                                                                replace=True),
                                  (tavsdk.DestinationError,), None, "plain", "is the source"),
    "destination exists": (lambda d: tavsdk.encrypt_file(d / "plain", d / "taken", KEYS),
                           (tavsdk.DestinationExistsError, FileExistsError), None, "taken", None),
    "open a missing file": (lambda d: tavsdk.open(d / "none", "rb", keys=KEYS),
                            (tavsdk.SourceError, FileNotFoundError), errno.ENOENT, "none", None),
    "open a directory": (lambda d: tavsdk.open(d / "dir", "rb", keys=KEYS),
                         (tavsdk.SourceError, IsADirectoryError), errno.EISDIR, "dir", None),
    "write a directory": (lambda d: tavsdk.open(d / "dir", "wb", keys=KEYS),
                          (tavsdk.DestinationError, IsADirectoryError), errno.EISDIR, "dir", None),
    "open an existing file exclusively": (lambda d: tavsdk.open(d / "taken", "xb", keys=KEYS),
                                          (tavsdk.DestinationExistsError,), errno.EEXIST, "taken", None),
    "key directory missing": (lambda d: tavsdk.Keys.load(d / "none", "binary"),
                              (tavsdk.NoKeysError,), errno.ENOENT, "none", None),
    "wheel file missing": (lambda d: damaged_keys(d, lambda k: (k / "k1.bin").unlink()),
                           (tavsdk.NoKeysError,), errno.ENOENT, "keys", None),
    "wheel file truncated": (lambda d: damaged_keys(d, lambda k: truncate(k / "k1.bin")),
                             (tavsdk.NoKeysError,), None, "keys", None),
    "step file a directory": (lambda d: damaged_keys(d, lambda k: ((k / "k4.bin").unlink(), (k / "k4.bin").mkdir())),
                              (tavsdk.NoKeysError,), None, "keys", None),
    "empty passphrase": (lambda d: tavsdk.Keys(""), (tavsdk.ArgumentError,), None, None, "empty"),
    "passphrase with a 0 byte": (lambda d: tavsdk.Keys(b"a\0b"), (tavsdk.ArgumentError,), None, None, "0 byte"),
}


@pytest.mark.parametrize("name", sorted(CASES))
def test_failures(name, files):
    action, classes, number, filename, words = CASES[name]
    with pytest.raises(classes[0]) as caught:
        action(files)
    error = caught.value
    assert all(isinstance(error, c) for c in classes), type(error).__mro__
    assert error.status == classes[0].status
    if number is not None:
        assert error.errno == number
    if filename is None:
        assert error.filename is None
    else:
        assert os.path.basename(os.fspath(error.filename)) == filename
        assert filename in str(error)
    if words is not None:
        assert words in str(error)
    copy = pickle.loads(pickle.dumps(error))  # across processes
    assert copy.__class__ is error.__class__ and str(copy) == str(error)
    assert sorted(os.listdir(files)) == ["dir", "plain", "taken"], "a failure left something behind"
    assert (files / "taken").read_bytes() == b"already here"


@pytest.mark.parametrize("change,error", [
    (lambda f: f.pop("k1.bin"), tavsdk.NoKeysError),
    (lambda f: f.update({"k1.bin": "text"}), TypeError),
    (lambda f: f.update({b"k3.bin": b""}), TypeError),
    (lambda f: f.update({"k1.bin\0x": f.pop("k1.bin")}), tavsdk.ArgumentError),  # read as k1.bin
], ids=["no k1", "str contents", "bytes name", "0 in a name"])
def test_key_files_in_memory_refused(change, error):
    files = {p.name: p.read_bytes() for p in (VECTORS / "keys" / "hello" / "binary").glob("k*")}
    change(files)
    with pytest.raises(error):
        tavsdk.Keys.from_files(files, "binary")


def test_os_errors_are_os_errors():
    assert issubclass(tavsdk.SourceError, OSError) and issubclass(tavsdk.DestinationError, OSError)
    assert issubclass(tavsdk.DestinationExistsError, FileExistsError)
    assert issubclass(tavsdk.ArgumentError, ValueError) and not issubclass(tavsdk.NoKeysError, OSError)


def test_expanded_mode_without_a_pad_table(files):
    keys = damaged_keys(files, lambda k: (k / "k5.bin").unlink())
    assert tavsdk.encrypt(b"block mode needs no pad table", keys)
    for action in (lambda: tavsdk.encode_expanded(b"x", keys),
                   lambda: tavsdk.open(files / "new", "wb", keys=keys, expanded=True),
                   lambda: tavsdk.encrypt_file(files / "plain", files / "new", keys, expanded=True)):
        with pytest.raises(tavsdk.NoKeysError):
            action()
    assert not (files / "new").exists()


@pytest.mark.parametrize("action", [
    lambda: tavsdk.encrypt("text", KEYS),
    lambda: tavsdk.encrypt(b"data", "keys"),
    lambda: tavsdk.encrypt(b"data", KEYS, 1.0),
    lambda: tavsdk.decrypt(b"data", KEYS, out=bytes(4)),
    lambda: tavsdk.Keys(12345),
    lambda: tavsdk.Keys("passphrase", 2.0),
    lambda: tavsdk.encrypt_file(3.5, "out", KEYS),
    lambda: tavsdk.open(object(), "rb", keys=KEYS),
    lambda: tavsdk.encrypt_file("plain", "out", KEYS, progress="not callable"),
    lambda: tavsdk.open("x", None, keys=KEYS),
], ids=["str data", "keys", "offset", "read-only out", "passphrase", "alphabet", "path", "file", "progress",
        "mode"])
def test_wrong_types(action):
    with pytest.raises(TypeError):
        action()


@pytest.mark.parametrize("action", [
    lambda: tavsdk.Keys("passphrase", "klingon"),
    lambda: tavsdk.encrypt(b"data", KEYS, -1),
    lambda: tavsdk.encrypt(b"data", KEYS, out=bytearray(3)),
    lambda: tavsdk.encrypt(b"data", KEYS, 2**64 - 2),
    lambda: tavsdk.Keys("passphrase", 3),
    lambda: KEYS.expanded_size(2**64),
    lambda: tavsdk.open("x", "wb", keys=KEYS, encoding="utf-8"),
    *(lambda m=m: tavsdk.open("x", m, keys=KEYS) for m in ("ab", "rtt", "ttr", "rw", "r+b", "", "wbt", "rbb")),
])
def test_wrong_values(action):
    with pytest.raises(ValueError):
        action()
    assert not os.path.exists("x")


def test_integer_alphabets_and_long_passphrases():
    assert tavsdk.Keys("passphrase", 1).alphabet is tavsdk.Alphabet.TEXT
    with pytest.warns(tavsdk.PassphraseTruncatedWarning, match="19 bytes"):
        long = tavsdk.Keys("a passphrase of 19.", 2)
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        assert tavsdk.encrypt(b"x", long) == tavsdk.encrypt(b"x", tavsdk.Keys("a passphrase of 19"))


class Endless(io.RawIOBase):
    """A seekable file that reads as zero bytes anywhere, even past 2**64."""

    position = 0

    def readable(self):
        return True

    def seekable(self):
        return True

    def seek(self, offset, whence=io.SEEK_SET):
        self.position = offset
        return offset

    def tell(self):
        return self.position

    def readinto(self, b):
        b[:] = bytes(len(b))
        self.position += len(b)
        return len(b)


def test_positions_past_2_64_are_refused():
    with tavsdk.open(Endless(), "rb", keys=KEYS) as f:
        f.seek(2**64 - 2)
        with pytest.raises(ValueError):
            f.read(4)
        with pytest.raises(ValueError):
            f.seek(2**64 + 1)


def test_file_objects_cannot_be_copied(files):
    keys = tavsdk.Keys("copied")
    with tavsdk.open(files / "c", "wb", keys=keys, expanded=True) as f:
        for copy_it in (copy.copy, copy.deepcopy, pickle.dumps):
            with pytest.raises(TypeError):
                copy_it(f)
        f.write(b"one owner")
    keys._leave()  # one release too many leaves the count at zero
    assert keys._users == 0
    with tavsdk.open(files / "c", "rb", keys=keys, expanded=True) as f:
        keys.close()  # the reader keeps the key set
        assert f.read() == b"one owner"
    assert keys.closed and keys._handle is None


def test_progress_and_cancel(files):
    calls = []
    tavsdk.encrypt_file(files / "plain", files / "out", KEYS, progress=lambda *a: calls.append(a))
    assert calls[-1] == (1100, 1100)

    class Stop(Exception):
        pass

    def stop(done, total):
        raise Stop

    def interrupt(done, total):
        os.kill(os.getpid(), signal.SIGINT)  # Ctrl-C

    for progress, exception in ((stop, Stop), (interrupt, KeyboardInterrupt)):
        with pytest.raises(exception):
            tavsdk.encrypt_file(files / "plain", files / "stopped", KEYS, progress=progress)
        assert not (files / "stopped").exists()
    assert signal.getsignal(signal.SIGINT) is signal.default_int_handler


def test_ctrl_c_while_the_library_works(files):
    with open(files / "big", "wb") as f:
        f.truncate(256 << 20)
    main = threading.main_thread().ident

    def press_ctrl_c():
        # Once the main thread waits in the call, the signal arrives there.
        while sys._current_frames()[main].f_code.co_name != "_run":
            time.sleep(0.001)
        time.sleep(0.02)
        os.kill(os.getpid(), signal.SIGINT)

    threading.Thread(target=press_ctrl_c).start()
    with pytest.raises(KeyboardInterrupt):
        tavsdk.encrypt_file(files / "big", files / "out", KEYS)
    assert not (files / "out").exists()
    (files / "big").unlink()


def test_closed_key_sets(files):
    keys = tavsdk.Keys("closed soon")
    with tavsdk.open(files / "c", "wb", keys=keys) as f:
        keys.close()  # the open file keeps using it
        f.write(b"still works")
    assert (files / "c").read_bytes() == tavsdk.encrypt(b"still works", tavsdk.Keys("closed soon"))
    for action in (lambda: tavsdk.encrypt(b"x", keys), lambda: tavsdk.open(files / "d", "wb", keys=keys),
                   lambda: keys.save(files)):
        with pytest.raises(ValueError, match="closed"):
            action()
    assert not (files / "d").exists()
    with pytest.raises(AttributeError):
        keys._handle = 0  # immutable
    with pytest.raises(TypeError):
        __import__("pickle").dumps(keys)


def test_no_library_named_in_the_message(tmp_path):
    package_parent = os.path.dirname(os.path.dirname(tavsdk.__file__))
    env = dict(os.environ, TAVSDK_LIBRARY=str(tmp_path / "libnothing.so"), PYTHONPATH=package_parent)
    run = subprocess.run([sys.executable, "-c", "import tavsdk"], env=env, capture_output=True, text=True)
    assert run.returncode != 0
    assert "ImportError" in run.stderr and "TAVSDK_LIBRARY" in run.stderr and "libnothing.so" in run.stderr
