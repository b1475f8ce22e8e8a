# SPDX-License-Identifier: MIT
"""Loading libtavsdk and declaring the core interface (the tav_... functions)."""

from __future__ import annotations

import ctypes
import ctypes.util
import os
from contextlib import contextmanager
from typing import Any, Dict, Iterator, List, Optional

ENV_VARIABLE = "TAVSDK_LIBRARY"
SONAME = "libtavsdk.so.1"

# tav_status values (include/tavsdk.h).
OK = 0
NO_KEYS = 1
BAD_SOURCE = 2
BAD_DEST = 3
BAD_BLOCKS = 4
PAST_END = 5
CANCELLED = 6
BAD_ARGUMENT = 7
NO_MEMORY = 8
EXISTS = 9
COPY_KEPT = 10

EXPANDED = 0x1
REPLACE = 0x2
SOURCE_MODE = 0x4
SIZE_UNKNOWN = 2**64 - 1
# Positions in a message are 64-bit: offset + length may reach 2**64, no more.
POSITION_END = 2**64
# Only this much of a passphrase makes a difference to the keys.
PASSPHRASE_BYTES = 18
# Key files of one set: k1..k5 of its alphabet and k6.dat.
KEY_FILES_MAX = 6
AT_FDCWD = -100

# tav_option: the knobs of tav_file_run and the folder jobs.
OPTION_DECRYPT = 1
OPTION_EXPANDED = 2  # 0 block, 1 expanded, 2 (folder decryption) by each name's suffix
OPTION_REPLACE = 3
OPTION_SOURCE_MODE = 4
OPTION_KEEP_TIMES = 5
OPTION_WORKERS = 6
OPTION_DURABLE = 7
OPTION_FILES = 8
OPTION_WIPE_SOURCE = 9
OPTION_RESUME = 10
OPTION_FAIL_FAST = 11
# tav_tree_event and tav_tree_why: what a folder job reports.
TREE_WRITTEN = 1
TREE_SKIPPED = 2
TREE_FAILED = 3
TREE_REFUSED = 4
WHY_NONE = 0
WHY_LINK = 1
WHY_SPECIAL = 2
WHY_TWICE = 3
WHY_NOT_FOR_JOB = 4
WHY_DONE = 5
WHY_HARD_LINKS = 6
WHY_MISMATCH = 7
WHY_READ_BACK = 8
WHY_REPLACED = 9
WHY_WIPE = 10
WHY_STOPPED = 11
WHY_FOLDER = 12
WHY_CHANGED = 13
WHY_TWIN = 14
WHY_INPUT_OUTPUT = 15
WHY_MIRROR_WALKED = 16

c_size_p = ctypes.POINTER(ctypes.c_size_t)
c_uint64_p = ctypes.POINTER(ctypes.c_uint64)
c_int_p = ctypes.POINTER(ctypes.c_int)
c_void_pp = ctypes.POINTER(ctypes.c_void_p)



class KeyFile(ctypes.Structure):
    """tav_key_file: a key file held in memory."""

    _fields_ = [("name", ctypes.c_char_p), ("data", ctypes.c_void_p), ("size", ctypes.c_size_t)]


class TreeReport(ctypes.Structure):
    """tav_tree_report: one name a folder job has something to say about."""

    _fields_ = [("event", ctypes.c_int), ("why", ctypes.c_int), ("source", ctypes.c_char_p),
                ("other", ctypes.c_char_p), ("output", ctypes.c_char_p), ("status", ctypes.c_int),
                ("error", ctypes.c_int), ("bytes", ctypes.c_uint64)]


FILL_FN = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.c_void_p, ctypes.c_void_p, ctypes.c_size_t)
PROGRESS_FN = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.c_void_p, ctypes.c_uint64, ctypes.c_uint64)
TREE_FN = ctypes.CFUNCTYPE(None, ctypes.c_void_p, ctypes.POINTER(TreeReport))
# The null filler source: the library's default generator (libcrypto's RAND_bytes, or getrandom).
SYSTEM_RANDOM = FILL_FN(0)

# name: (result type, argument types). Key sets, encoders and decoders stay
# opaque c_void_p handles.
_PROTOTYPES = {
    "tav_strerror": (ctypes.c_char_p, [ctypes.c_int]),
    "tav_keys_new": (ctypes.c_int, [c_void_pp, ctypes.c_int, ctypes.c_void_p, ctypes.c_size_t]),
    "tav_keys_load": (ctypes.c_int, [c_void_pp, ctypes.c_int, ctypes.c_int, ctypes.c_void_p, c_int_p]),
    "tav_keys_from_files": (
        ctypes.c_int, [c_void_pp, ctypes.c_int, ctypes.POINTER(KeyFile), ctypes.c_size_t, ctypes.c_void_p]),
    "tav_keys_save": (ctypes.c_int, [ctypes.c_void_p, ctypes.c_int, c_int_p]),
    "tav_keys_alphabet": (ctypes.c_int, [ctypes.c_void_p]),
    "tav_keys_free": (None, [ctypes.c_void_p]),
    "tav_block_encrypt": (
        ctypes.c_int, [ctypes.c_void_p, ctypes.c_uint64, ctypes.c_void_p, ctypes.c_void_p, ctypes.c_size_t]),
    "tav_block_decrypt": (
        ctypes.c_int, [ctypes.c_void_p, ctypes.c_uint64, ctypes.c_void_p, ctypes.c_void_p, ctypes.c_size_t]),
    "tav_expanded_size": (ctypes.c_int, [ctypes.c_void_p, ctypes.c_uint64, c_uint64_p]),
    "tav_encoder_new": (ctypes.c_int, [c_void_pp, ctypes.c_void_p, FILL_FN, ctypes.c_void_p]),
    "tav_encoder_size": (ctypes.c_size_t, [ctypes.c_void_p, ctypes.c_size_t]),
    "tav_encoder_update": (
        ctypes.c_int,
        [ctypes.c_void_p, ctypes.c_void_p, ctypes.c_size_t, ctypes.c_void_p, ctypes.c_size_t, c_size_p]),
    "tav_encoder_free": (None, [ctypes.c_void_p]),
    "tav_decoder_new": (ctypes.c_int, [c_void_pp, ctypes.c_void_p]),
    "tav_decoder_update": (
        ctypes.c_int, [ctypes.c_void_p, ctypes.c_void_p, ctypes.c_size_t, ctypes.c_void_p, c_size_p]),
    "tav_decoder_free": (None, [ctypes.c_void_p]),
    "tav_file_encrypt_at": (
        ctypes.c_int,
        [ctypes.c_void_p, ctypes.c_int, ctypes.c_char_p, ctypes.c_int, ctypes.c_char_p, ctypes.c_uint,
         PROGRESS_FN, ctypes.c_void_p, c_int_p]),
    "tav_file_decrypt_at": (
        ctypes.c_int,
        [ctypes.c_void_p, ctypes.c_int, ctypes.c_char_p, ctypes.c_int, ctypes.c_char_p, ctypes.c_uint,
         PROGRESS_FN, ctypes.c_void_p, c_int_p]),
    "tav_options_new": (ctypes.c_int, [c_void_pp]),
    "tav_options_set": (ctypes.c_int, [ctypes.c_void_p, ctypes.c_int, ctypes.c_int64]),
    "tav_options_get": (ctypes.c_int, [ctypes.c_void_p, ctypes.c_int, ctypes.POINTER(ctypes.c_int64)]),
    "tav_options_set_progress": (ctypes.c_int, [ctypes.c_void_p, PROGRESS_FN, ctypes.c_void_p]),
    "tav_options_free": (None, [ctypes.c_void_p]),
    "tav_file_run": (
        ctypes.c_int,
        [ctypes.c_void_p, ctypes.c_void_p, ctypes.c_int, ctypes.c_uint64, ctypes.c_int, ctypes.c_char_p, c_int_p]),
    "tav_file_run_fd": (
        ctypes.c_int, [ctypes.c_void_p, ctypes.c_void_p, ctypes.c_int, ctypes.c_uint64, ctypes.c_int, c_int_p]),
    "tav_newfile_open": (ctypes.c_int, [c_void_pp, ctypes.c_int, ctypes.c_char_p, ctypes.c_uint, c_int_p]),
    "tav_newfile_fd": (ctypes.c_int, [ctypes.c_void_p]),
    "tav_newfile_commit": (ctypes.c_int, [ctypes.c_void_p, ctypes.c_int, ctypes.c_int, c_int_p]),
    "tav_newfile_free": (None, [ctypes.c_void_p]),
    "tav_tree_new": (
        ctypes.c_int,
        [c_void_pp, ctypes.c_void_p, ctypes.POINTER(ctypes.c_char_p), ctypes.c_size_t, ctypes.c_char_p, TREE_FN,
         ctypes.c_void_p, c_int_p]),
    "tav_tree_files": (ctypes.c_size_t, [ctypes.c_void_p, c_uint64_p]),
    "tav_tree_run": (ctypes.c_int, [ctypes.c_void_p, ctypes.c_void_p, c_int_p]),
    "tav_tree_free": (None, [ctypes.c_void_p]),
}


def _candidates() -> List[str]:
    explicit = os.environ.get(ENV_VARIABLE)
    if explicit:
        # A named library is the only one tried: silently taking another
        # would hide a mistake in the setting. A relative path means one
        # relative to the directory the program started in.
        return [os.path.abspath(explicit) if os.sep in explicit else explicit]
    names = [SONAME]
    found = ctypes.util.find_library("tavsdk")
    if found and found not in names:
        names.append(found)
    return names


def _load() -> ctypes.CDLL:
    tried = []
    for name in _candidates():
        try:
            # CDLL, not PyDLL: every foreign call releases the GIL.
            lib = ctypes.CDLL(name)
        except OSError as e:
            tried.append(f"{name} ({e})")
            continue
        if not hasattr(lib, "tav_keys_new"):
            tried.append(f"{name} (loaded, but it lacks the core interface: tav_keys_new)")
            continue
        for symbol, (restype, argtypes) in _PROTOTYPES.items():
            function = getattr(lib, symbol)
            function.restype = restype
            function.argtypes = argtypes
        return lib
    how = (f"the environment variable {ENV_VARIABLE}" if os.environ.get(ENV_VARIABLE)
           else f"the loader's search path and ctypes.util.find_library('tavsdk'); "
                f"set {ENV_VARIABLE} to the library's path to name it")
    raise ImportError("tavsdk: cannot load libtavsdk, looked through " + how + ": " + "; ".join(tried))


lib = _load()


def check_span(offset: int, length: int) -> None:
    """Refuses a piece of a message that ctypes would cut to 64 bits."""
    if offset < 0 or offset + length > POSITION_END:
        raise ValueError(f"offset {offset} with {length} bytes out of range: the positions end at 2**64")


@contextmanager
def options(values: Dict[int, int], progress: Any = None) -> Iterator[int]:
    """A tav_options handle with `values` set, freed when the block ends."""
    handle = ctypes.c_void_p()
    if lib.tav_options_new(ctypes.byref(handle)) != OK or handle.value is None:
        raise MemoryError("tavsdk: no memory for an options object")
    try:
        for option, value in values.items():
            if lib.tav_options_set(handle, option, value) != OK:
                raise ValueError(f"tavsdk: option {option} refuses the value {value}")
        if progress is not None and lib.tav_options_set_progress(handle, progress, None) != OK:
            raise ValueError("tavsdk: the progress callback was refused")
        yield handle.value
    finally:
        lib.tav_options_free(handle)


def strerror(status: int) -> str:
    text: bytes = lib.tav_strerror(status)
    return text.decode("ascii", "replace")
