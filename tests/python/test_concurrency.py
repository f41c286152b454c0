"""Encoders used from many threads at once, and from Python code that runs inside a call."""
import random
import sys
import threading

import numpy as np
import pandas as pd
import pytest

from conftest import parse
from vorpak import Encoder

REFUSALS = {"Already borrowed", "Already mutably borrowed"}


def content(state):
    """The tables of a pickled form, hashable; their entries may be written in any order."""
    info, strategy, _ = parse(state)
    if info is None:
        return None, strategy
    columns, encoding, decoding = info

    def frozen(tables):
        return tuple(sorted((col, tuple(sorted(t.items(), key=repr))) for col, t in tables.items()))

    return (tuple(columns), frozen(encoding), frozen(decoding)), strategy


def sig(result):
    """What a call returned, hashable: tables with their dtypes and labels."""
    if isinstance(result, pd.DataFrame):
        return tuple(result.columns), tuple(map(str, result.dtypes)), repr(result.to_numpy().tolist())
    if isinstance(result, np.ndarray):
        return str(result.dtype), repr(result.tolist())
    if isinstance(result, bytes):
        return content(result)
    if isinstance(result, (tuple, list)):
        return tuple(map(sig, result))
    return result  # None, int, str


def run_together(threads, work):
    """Runs work(k) on `threads` threads released at once; returns what escaped from them.
    A call keeps the interpreter except while Python code (pandas) runs inside it, so
    threads are switched as often as possible to make calls overlap there."""
    barrier, escaped = threading.Barrier(threads), []

    def run(k):
        barrier.wait()
        try:
            work(k)
        except BaseException as exc:  # noqa: BLE001 - handed to the caller
            escaped.append(exc)

    old = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    try:
        workers = [threading.Thread(target=run, args=(k,)) for k in range(threads)]
        for w in workers:
            w.start()
        for w in workers:
            w.join()
    finally:
        sys.setswitchinterval(old)
    return escaped


@pytest.mark.timeout(60)
def test_many_threads_on_one_encoder():
    # 50 x 4 each, so that the codes of either decode under the tables of the other
    array = np.array([[f"s{i % 7}", i * 0.5, None if i % 3 else "x", "nan" if i % 5 == 0 else str(i % 4)]
                      for i in range(50)], dtype=object)
    frame = pd.DataFrame({"city": [f"c{i % 6}" for i in range(50)], "temp": np.arange(50.0),
                          "tag": ["u", None] * 25, "n": np.arange(50) % 3})
    floats = np.arange(200.0).reshape(50, 4)
    codes = [Encoder().encode(array)[0], Encoder().encode(frame)[0]]
    states = [Encoder().__getstate__()]  # fresh, as encoding `floats` leaves it
    for table in (array, frame):
        enc = Encoder()
        enc.encode(table)
        states.append(enc.__getstate__())
    decoded = []  # what the decodes give under each state
    for state in states:
        enc = Encoder()
        enc.__setstate__(state)
        decoded.append([sig(enc.decode(c)) for c in codes])

    enc = Encoder()
    calls = [lambda: enc.encode(array), lambda: enc.encode(frame), lambda: enc.encode(floats),
             lambda: enc.__setstate__(states[1]), lambda: enc.__setstate__(states[2]),
             lambda: enc.decode(codes[0]), lambda: enc.decode(codes[1]), enc.__getstate__]
    allowed = [{sig(Encoder().encode(t))} for t in (array, frame, floats)] + [{None}, {None}]
    allowed += [{d[0] for d in decoded}, {d[1] for d in decoded}, {content(s) for s in states}]
    threads, per_thread = 8, 1000
    results = [[] for _ in range(threads)]

    def work(k):
        rng = random.Random(k)
        for _ in range(per_thread):
            which = rng.randrange(len(calls))
            try:
                results[k].append((which, calls[which]()))
            except RuntimeError as exc:  # anything else escapes and fails the test
                if str(exc) not in REFUSALS:
                    raise
                results[k].append((which, str(exc)))

    assert run_together(threads, work) == []
    for which, result in (entry for done in results for entry in done):
        assert sig(result) in allowed[which] | REFUSALS, which

    # the encoder is whole: its state is one a writer made, and decode agrees with it
    final = [content(s) for s in states].index(content(enc.__getstate__()))
    assert [sig(enc.decode(c)) for c in codes] == decoded[final]
    enc.encode(frame)
    assert content(enc.__getstate__()) == content(states[2])


def mixed_table(kind, k):
    """A table of some thousands of cells that differs with `k`; the DataFrame is large
    enough to be read column by column, which runs pandas code in the middle of a call."""
    rows = 5000 if kind == "frame" else 2000
    texts = [f"k{k}-{i % (40 + k)}" for i in range(rows)]
    if kind == "str array":
        return np.array([texts, texts[::-1], ["x", "nan"] * (rows // 2)], dtype="<U8").T.copy()
    numbers = [i * 0.25 if i % 9 else None for i in range(rows)]
    if kind == "object array":
        return np.array([texts, numbers, texts[::-1], [1.5] * rows], dtype=object).T.copy()
    columns = {f"t{j}": texts[j:] + texts[:j] for j in range(4)}
    columns.update({"n": numbers, "x": np.arange(rows) * 0.5, "i": np.arange(rows), "s": ["a"] * rows})
    return pd.DataFrame(columns)


def round_trip(table):
    enc, restored = Encoder(), Encoder()
    codes, columns = enc.encode(table)
    state = enc.__getstate__()
    restored.__setstate__(state)
    return sig([codes, columns, state, enc.decode(codes), restored.decode(codes)])


@pytest.mark.timeout(60)
@pytest.mark.parametrize("kind", ["object array", "frame", "str array"])
def test_separate_encoders_in_parallel_match_one_thread(kind):
    threads, rounds = 4, 8
    tables = [mixed_table(kind, k) for k in range(threads)]
    alone = [round_trip(t) for t in tables]
    got = [[] for _ in range(threads)]

    def work(k):
        got[k].extend(round_trip(tables[k]) for _ in range(rounds))

    assert run_together(threads, work) == []
    assert got == [[one] * rounds for one in alone]


def frame_calling(hook, attr, data):
    """A DataFrame (the encoder goes by the type name) whose `attr` property runs `hook`."""

    class DataFrame(pd.DataFrame):
        pass

    frame = DataFrame(data)
    base = pd.DataFrame.__dict__[attr]
    # installed after construction, so that only the encoder's reads run the hook
    setattr(DataFrame, attr, property(lambda self: (hook(), base.__get__(self, type(self)))[1],
                                      getattr(base, "__set__", None)))
    return frame


TEXTS = pd.DataFrame({"t": ["b", "a", "b"], "x": [1.5, 2.5, np.nan]})


@pytest.mark.parametrize("attr", ["values", "columns"])
@pytest.mark.parametrize("outer", ["encode", "decode"])
@pytest.mark.parametrize("from_thread", [False, True], ids=["same thread", "other thread"])
def test_property_calls_back_into_the_same_and_another_encoder(attr, outer, from_thread):
    enc, other = Encoder(), Encoder()
    codes, _ = enc.encode(TEXTS)
    state, decoded = enc.__getstate__(), sig(enc.decode(codes))
    seen = []

    def probe():
        got = []
        for call in (lambda: enc.encode(TEXTS), lambda: enc.__setstate__(bytes(5)),
                     lambda: enc.decode(codes), enc.__getstate__):
            try:
                got.append(sig(call()))
            except RuntimeError as exc:
                got.append(str(exc))
        seen.append(got + [other.encode(np.array([["q"], ["p"]], dtype=object))[0].tolist()])

    def hook():
        if from_thread:  # join() lets the helper take the interpreter in the middle of the call
            helper = threading.Thread(target=probe)
            helper.start()
            helper.join()
        else:
            probe()

    result = getattr(enc, outer)(frame_calling(hook, attr, TEXTS if outer == "encode" else codes))
    # writers (encode, setstate) are refused; readers share with readers, not with a writer
    readers = ["Already mutably borrowed"] * 2 if outer == "encode" else [decoded, content(state)]
    assert seen and all(got == ["Already borrowed"] * 2 + readers + [[[1.0], [0.0]]] for got in seen)
    assert sig(result) == (sig((codes, [0])) if outer == "encode" else decoded)
    assert content(enc.__getstate__()) == content(state)
    enc.__setstate__(bytes(5))  # every borrow was given back


@pytest.mark.parametrize("attr", ["values", "columns"])
@pytest.mark.parametrize("outer", ["encode", "decode"])
def test_error_from_a_property_leaves_the_encoder_as_it_was(attr, outer, capfd):
    enc = Encoder()
    enc.encode(np.array([["z"], ["y"]], dtype=object))
    state = enc.__getstate__()

    def hook():
        raise KeyError("from the property")

    with pytest.raises(BaseException, match="from the property"):  # PanicException is one
        getattr(enc, outer)(frame_calling(hook, attr, TEXTS))
    assert enc.__getstate__() == state
    assert enc.encode(TEXTS)[1] == [0]
