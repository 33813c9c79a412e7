"""Rows read from files (tall.source): every format and layout gives the statistics of
the same rows in memory, bit for bit, in this process and through Dask on a two-worker
cluster; bad files and selections are refused before any result, naming the file and
the column."""

import os
import subprocess
import sys

import numpy as np
import pytest
from clusters import two_workers

from Quandrel import tall

pa = pytest.importorskip("pyarrow")
pq = pytest.importorskip("pyarrow.parquet")
zarr = pytest.importorskip("zarr")
h5py = pytest.importorskip("h5py")

N, NAMES = 20_011, ["a", "b", "c", "d", "e"]
# Columns as files hold them: converted to float64 exactly (or to nearest, for the
# large int64), booleans as 0/1.
DTYPES = [np.float64, np.int8, np.uint16, np.float32, np.bool_, np.int64, np.float64]


@pytest.fixture(scope="module")
def table():
    """7 columns of several dtypes: a..e (X), y (target), w (weights)."""
    rng = np.random.default_rng(22)
    cols = [rng.standard_normal(N) * 5 for _ in DTYPES]
    cols[4] = cols[4] > 0
    cols[5] = rng.integers(-(2**62), 2**62, N)  # not all exact in float64
    cols[6] = np.abs(cols[6])
    cols = [c.astype(t) for c, t in zip(cols, DTYPES)]
    A = np.column_stack([c.astype(np.float64) for c in cols])
    return cols, A


def cuts(rng, n, pieces):
    return [0, *np.sort(rng.choice(np.arange(1, n), pieces - 1, replace=False)).tolist(), n]


def write_parquet(path, cols, edges, rows_per_group, names=NAMES + ["y", "w"], **kw):
    os.makedirs(path, exist_ok=True)
    t = pa.table(dict(zip(names, cols)))
    for i, (a, b) in enumerate(zip(edges, edges[1:])):
        pq.write_table(t.slice(a, b - a), os.path.join(path, f"part-{i:03d}.parquet"),
                       row_group_size=rows_per_group, **kw)
    return os.fspath(path)


def layouts(tmp, cols, A):
    """(name, path, source arguments): the same rows in every format and several layouts."""
    rng = np.random.default_rng(1)
    byname = dict(columns=NAMES, target="y", weights="w")
    byindex = dict(columns=[0, 1, 2, 3, 4], target=5, weights=-1)
    out = [("parquet one file", write_parquet(tmp / "p1", cols, [0, N], 1000), byname),
           ("parquet ten files", write_parquet(tmp / "p10", cols, cuts(rng, N, 10), 3333), byname)]
    touch(tmp / "p10" / "_SUCCESS")
    touch(tmp / "p10" / ".part-000.parquet.crc", "?")
    for fmt, chunks, shards in ((2, (777, 3), None), (3, (1000, 7), (3000, 7))):
        z = zarr.open_group(tmp / f"v{fmt}.zarr", mode="w", zarr_format=fmt)
        z.create_array("m", shape=A.shape, chunks=chunks, shards=shards, dtype="f8")[:] = A
        z.create_array("other", shape=(3,), dtype="f8")
        out.append((f"zarr v{fmt} 2-D", str(tmp / f"v{fmt}.zarr"), dict(byindex, key="m")))
    g = zarr.open_group(tmp / "g.zarr", mode="w", zarr_format=3)
    for i, (name, c) in enumerate(zip(NAMES + ["y", "w"], cols)):
        g.create_array(name, shape=(N,), chunks=(1000 * (i + 1),), dtype=c.dtype)[:] = c
    out.append(("zarr group", str(tmp / "g.zarr"), byname))
    with h5py.File(tmp / "a.h5", "w") as f:
        f.create_dataset("chunked", data=A, chunks=(999, 7))
        f.create_dataset("plain", data=A.astype(">f8"))
        grp = f.create_group("cols")
        for name, c in zip(NAMES + ["y", "w"], cols):
            grp.create_dataset(name, data=c, chunks=(2500,))
    out += [(f"hdf5 {key}", str(tmp / "a.h5"), dict(byindex, key=key)) for key in ("chunked", "plain")]
    out.append(("hdf5 group", str(tmp / "a.h5"), dict(byname, key="cols")))
    os.makedirs(tmp / "npy")
    for i, (a, b) in enumerate(zip(*(lambda e: (e, e[1:]))(cuts(rng, N, 6)))):
        shard = A[a:b] if i % 2 else np.asfortranarray(A[a:b])
        np.save(tmp / "npy" / f"s{i:02d}.npy", shard.astype(">f8") if i == 3 else shard)
    out.append(("npy shards", str(tmp / "npy"), byindex))
    return out


@pytest.fixture(scope="module")
def sources(tmp_path_factory, table):
    return layouts(tmp_path_factory.mktemp("layouts"), *table)


FOLD_IDS = np.arange(N) * 7 % 5  # fold ids aligned with the rows, for folds=array


def test_every_format_and_layout_gives_the_in_memory_bits(sources, table):
    """Pieces in this process and Dask arrays of several chunkings (local scheduler),
    against gram_stats of the same rows in memory: unweighted, and with the weights
    (the third piece, or the third array) and folds, by hash (pieces and Dask) or by
    fold ids (Dask)."""
    import dask
    import dask.array as da

    cols, A = table
    X0, y0, w0 = A[:, :5], A[:, 5], A[:, 6]
    for block_rows in (4096, 1000):
        ref = tall.gram_stats(X0, y0, block_rows).fingerprint()
        folded = {5: tall.gram_stats(X0, y0, block_rows, weights=w0, folds=5, seed=2).fingerprint(),
                  "ids": tall.gram_stats(X0, y0, block_rows, weights=w0, folds=FOLD_IDS).fingerprint()}
        for name, path, kw in sources:
            unweighted = {k: v for k, v in kw.items() if k != "weights"}
            src, weighted = tall.source(path, **unweighted), tall.source(path, **kw)
            assert src.n_rows == N and src.dropped == 0, name
            assert tall.gram_stats(src, None, block_rows).fingerprint() == ref, name
            assert tall.gram_stats(weighted, None, block_rows, folds=5, seed=2).fingerprint() == folded[5], name
            for chunk_bytes, folds in ((1, "ids"), (300_000, 5), (1 << 30, "ids")):
                X, y = src.to_dask(chunk_bytes=chunk_bytes, block_rows=block_rows)
                assert all(c % block_rows == 0 for c in X.chunks[0][:-1]), (name, X.chunks)
                Xw, yw, w = weighted.to_dask(chunk_bytes=chunk_bytes, block_rows=block_rows)
                ids = da.from_array(FOLD_IDS, chunks=(X.chunks[0],)) if folds == "ids" else folds
                with dask.config.set(scheduler="threads"):
                    assert tall.gram_stats(X, y, block_rows).fingerprint() == ref, (name, chunk_bytes)
                    got = tall.gram_stats(Xw, yw, block_rows, weights=w, folds=ids, seed=2)
                    assert got.fingerprint() == folded[folds], (name, chunk_bytes)
            pieces = list(weighted)
            got = np.column_stack([np.concatenate([p[i] for p in pieces], axis=0).reshape(N, -1)
                                   for i in range(3)])
            assert np.array_equal(got, A), name


def test_files_in_a_list_are_read_in_the_order_given(tmp_path, table):
    cols, A = table
    write_parquet(tmp_path, cols, [0, 5000, N], 1024)
    src = tall.source([tmp_path / "part-001.parquet", str(tmp_path / "part-000.parquet")], NAMES, "y")
    B = np.concatenate([A[5000:], A[:5000]])
    assert tall.gram_stats(src).fingerprint() == tall.gram_stats(B[:, :5], B[:, 5]).fingerprint()


def test_selection_by_name_and_index(sources, table, tmp_path):
    cols, A = table
    with h5py.File(tmp_path / "one.h5", "w") as f:  # key=None: the only array there is
        f.create_dataset("m", data=A[:100])
    src = tall.source(tmp_path / "one.h5", None, 0)
    assert src.columns == (1, 2, 3, 4, 5, 6) and tall.source(str(zarr_store(tmp_path, m=A[:100])), [1], 0).n_rows == 100
    path = next(p for name, p, _ in sources if name == "parquet ten files")
    src = tall.source(path, ["c", "a"], "b")
    assert src.columns == ("c", "a") and src.target == "b"
    X, y = next(iter(src))
    assert np.array_equal(X, A[:len(X)][:, [2, 0]]) and np.array_equal(y, A[:len(y), 1])
    src = tall.source(path, None, "y", weights="w")
    assert src.columns == tuple(NAMES)
    t = pa.table({"a": [1.0, 2.0], "__index_level_0__": [7, 9], "y": [0.0, 1.0]})  # as pandas stores
    pq.write_table(t.replace_schema_metadata({b"pandas": b'{"index_columns": ["__index_level_0__"]}'}),
                   tmp_path / "frame.parquet")
    assert tall.source(tmp_path / "frame.parquet", None, "y").columns == ("a",)
    src = tall.source(next(p for name, p, _ in sources if name == "npy shards"), [-2, 0], -1)
    assert src.columns == (5, 0) and src.target == 6
    assert "7 columns" not in repr(src) and "npy" in repr(src)


def test_missing_values_are_refused_or_dropped(tmp_path, table):
    """Nulls in the second file: refused with the column and the row of all the data
    (at once from the statistics, or during the pass without them), or dropped, nulls
    of the weights included; the folds by hash count the rows that are kept."""
    cols, A = table
    null = (np.arange(N) % 997 == 13) & (np.arange(N) >= 500)
    null_w = np.arange(N) % 1009 == 5
    masked = [pa.array(c, mask=null) if i in (1, 5) else c for i, c in enumerate(cols)]
    masked[6] = pa.array(cols[6], mask=null_w)
    kept = A[~(null | null_w)]
    ref = tall.gram_stats(kept[:, :5], kept[:, 5], weights=kept[:, 6], folds=5).fingerprint()
    for stats in (True, False):
        path = write_parquet(tmp_path / str(stats), masked, [0, 500, N], 4000, write_statistics=stats)
        if stats:
            with pytest.raises(ValueError, match=r"part-001.parquet: column 'b' has a missing value at row 1010 "):
                tall.source(path, NAMES, "y")
        else:
            src = tall.source(path, NAMES, "y")
            with pytest.raises(ValueError, match=r"part-001.parquet: column 'b' has a missing value at row 1010 "):
                tall.gram_stats(src)
        src = tall.source(path, NAMES, "y", weights="w", dropna=True)
        assert src.dropped is None and tall.gram_stats(src, folds=5).fingerprint() == ref
        assert src.dropped == N - len(kept)
        src = tall.source(path, NAMES, "y", weights="w", dropna=True)
        X, y, w = src.to_dask(chunk_bytes=50_000)
        assert src.dropped == N - len(kept) and sum(X.chunks[0]) == len(kept)
        assert tall.gram_stats(X, y, weights=w, folds=5).fingerprint() == ref
    assert tall.source(path, ["a", "c"], "d").dropped == 0  # columns without nulls


def small_parquet(tmp, **extra):
    t = {"a": np.arange(10.0), "y": np.ones(10), **extra}
    return write_parquet(tmp / "pq", list(t.values()), [0, 4, 10], 3, names=list(t))


def cut(path, keep):
    with open(path, "rb") as f:
        data = f.read()
    with open(path, "wb") as f:
        f.write(data[:keep(len(data))])
    return path


def touch(path, text=""):
    with open(path, "w") as f:
        f.write(text)


def zarr_store(tmp, **arrays):
    g = zarr.open_group(tmp / "s.zarr", mode="w", zarr_format=3)
    for name, a in arrays.items():
        g.create_array(name, shape=a.shape, dtype=a.dtype)[:] = a
    return str(tmp / "s.zarr")


def npy_folder(tmp, *shards):
    os.makedirs(tmp / "npy")
    for i, s in enumerate(shards):
        np.save(tmp / "npy" / f"s{i}.npy", s)
    return tmp / "npy"


def h5(tmp, data, cut_to=None):
    with h5py.File(tmp / "f.h5", "w") as f:
        f.create_dataset("m", data=data)
    return cut(tmp / "f.h5", cut_to) if cut_to else tmp / "f.h5"


ONES = np.ones((10, 3))
BAD = [  # (files, columns, target, keywords, error, message)
    (lambda t: small_parquet(t), ["a", "zz"], "y", {}, ValueError, r"columns: no column 'zz' in .*part-000.parquet \(it has: a, y\)"),
    (lambda t: small_parquet(t, s=np.array(list("abcdefghij"))), ["a", "s"], "y", {}, TypeError, r"part-000.parquet: column 's' holds strings"),
    (lambda t: small_parquet(t, k=pa.array(list("aabbaabbaa")).dictionary_encode()), ["k"], "y", {}, TypeError, "column 'k' is categorical"),
    (lambda t: small_parquet(t, d=pa.array(np.arange(10).astype("datetime64[s]"))), ["d"], "y", {}, TypeError, r"column 'd' has type timestamp\[ms\], not a number"),
    (lambda t: (small_parquet(t), pq.write_table(pa.table({"y": [1.0]}), t / "pq" / "part-001.parquet"))[0],
     ["a"], "y", {}, ValueError, r"part-001.parquet: no column 'a' in this file"),
    # A column only one of the files holds, under columns=None, in either order.
    (lambda t: (small_parquet(t), pq.write_table(pa.table({"a": [1.0], "b": [2.0], "y": [1.0]}), t / "pq" / "part-001.parquet"))[0],
     None, "y", {}, ValueError, r"part-001.parquet: column 'b' is not in .*part-000.parquet, the first file"),
    (lambda t: (small_parquet(t, b=np.ones(10)), pq.write_table(pa.table({"a": [1.0], "y": [1.0]}), t / "pq" / "part-001.parquet"))[0],
     None, "y", {}, ValueError, r"part-001.parquet: no column 'b' in this file, though .*part-000.parquet has it"),
    (lambda t: (small_parquet(t), touch(t / "pq" / "part-001.parquet"))[0], ["a"], "y", {}, ValueError, r"part-001.parquet: the file is empty"),
    (lambda t: cut(small_parquet(t) + "/part-001.parquet", lambda n: n - 10), ["a"], "y", {}, ValueError, r"part-001.parquet: not a readable Parquet file, truncated"),
    (lambda t: npy_folder(t, ONES, np.ones((4, 2))), [0], 1, {}, ValueError, r"s1.npy: 2 columns, but .*s0.npy has 3"),
    (lambda t: cut(npy_folder(t, ONES, ONES) / "s1.npy", lambda n: n - 8).parent, [0], 1, {}, ValueError, r"s1.npy: cut short: \d+ bytes where its header needs"),
    (lambda t: npy_folder(t, ONES.astype(object)), [0], 1, {}, TypeError, r"s0.npy holds object, not real numbers"),
    (lambda t: npy_folder(t, np.ones(5)), [0], 1, {}, ValueError, r"s0.npy: a 1-D array; shards must be 2-D"),
    (lambda t: h5(t, np.ones((1000, 3)), lambda n: n // 2), [0], 1, {}, ValueError, r"f.h5: not a readable HDF5 file, truncated or damaged"),
    (lambda t: zarr_store(t, m=ONES, q=ONES), [0], 1, {"key": "nope"}, ValueError, r"key: no array or group 'nope'"),
    (lambda t: zarr_store(t, m=ONES, q=ONES), [0], 1, {}, ValueError, r"holds 'm', 'q': name the array or group to read with key="),
    (lambda t: zarr_store(t, m=np.ones((2, 2, 2))), [0], 1, {}, ValueError, r"s.zarr \[m\]: a 3-D array"),
    (lambda t: zarr_store(t, a=np.ones(4), s=np.array(list("abcd"))), ["s"], "a", {}, TypeError, r"s.zarr: column 's' holds"),
    (lambda t: zarr_store(t, a=np.ones(4), b=np.ones(5)), ["b"], "a", {}, ValueError, r"column 'a' has 4 rows, column 'b' 5"),
    (lambda t: (os.makedirs(t / "d" / "x=1"), t / "d")[1], ["a"], "y", {}, ValueError, r"x=1: a folder inside the data folder"),
    (lambda t: (npy_folder(t, ONES), touch(t / "npy" / "z.parquet"))[0], [0], 1, {}, ValueError, "mixes .npy files"),
    (lambda t: (os.makedirs(t / "d"), touch(t / "d" / "_SUCCESS"), t / "d")[2], ["a"], "y", {}, ValueError, "holds no data files"),
    (lambda t: t / "nowhere", ["a"], "y", {}, FileNotFoundError, "no such file"),
    (lambda t: (touch(t / "f.csv", "a,y\n1,2\n"), t / "f.csv")[1], ["a"], "y", {}, ValueError, r"not a Parquet, HDF5 or .npy file"),
    (lambda t: small_parquet(t), "a", "y", {}, TypeError, r"not the string 'a' \(write \['a'\]\)"),
    (lambda t: small_parquet(t), [], "y", {}, ValueError, "columns is empty"),
    (lambda t: small_parquet(t), ["a", "y"], "y", {}, ValueError, "target: 'y' is also among the columns"),
    (lambda t: small_parquet(t), ["a", "a"], "y", {}, ValueError, "columns: 'a' is listed twice"),
    (lambda t: small_parquet(t), [0], "y", {}, TypeError, "has named columns: give names, not 0"),
    (lambda t: small_parquet(t), ["a"], "y", {"key": "m"}, ValueError, "key names an array inside"),
    (lambda t: small_parquet(t), ["a"], "y", {"dropna": "yes"}, TypeError, "dropna must be True or False"),
    (lambda t: small_parquet(t), ["a"], 1.5, {}, TypeError, "target: 1.5 is neither"),
    (lambda t: npy_folder(t, ONES), ["a"], 1, {}, TypeError, "is a 2-D array: give column indices, not 'a'"),
    (lambda t: npy_folder(t, ONES), [3], 1, {}, ValueError, "columns: column 3 is out of range .* of 3 columns"),
    (lambda t: 7, [0], 1, {}, TypeError, "path_or_paths must be a path or a list of paths, not int"),
]


@pytest.mark.parametrize("make, columns, target, kw, error, message", BAD)
def test_bad_files_and_selections_are_refused(tmp_path, make, columns, target, kw, error, message):
    with pytest.raises(error, match=message):
        tall.source(make(tmp_path), columns, target, **kw)


def test_damage_found_during_the_pass_returns_nothing(tmp_path):
    """A damaged chunk or page is only seen when read: the pass raises, naming the
    file and the rows, in this process and through Dask."""
    import dask

    g = zarr.open_group(tmp_path / "s.zarr", mode="w", zarr_format=2)
    g.create_array("m", shape=(1000, 3), chunks=(100, 3), dtype="f8")[:] = np.ones((1000, 3))
    cut(tmp_path / "s.zarr" / "m" / "3.0", lambda n: n // 2)
    path = write_parquet(tmp_path / "pq", [np.arange(5000.0), np.ones(5000)], [0, 5000], 2500,
                         names=["a", "y"], compression="snappy")
    with open(path + "/part-000.parquet", "r+b") as f:
        f.seek(3000)
        f.write(b"\x7f" * 17000)
    # Zeros over the middle of pages written with checksums: they decode (uncompressed
    # doubles), so only the checksum tells.
    summed = write_parquet(tmp_path / "crc", [np.arange(5000.0), np.ones(5000)], [0, 5000], 2500,
                           names=["a", "y"], compression="none", write_page_checksum=True)
    size = os.path.getsize(summed + "/part-000.parquet")
    with open(summed + "/part-000.parquet", "r+b") as f:
        f.seek(size // 2 - 1000)
        f.write(bytes(2000))
    for src, message in ((tall.source(tmp_path / "s.zarr", [0, 1], 2), r"s.zarr \[m\]: rows 0 to 999 could not be read"),
                         (tall.source(path, ["a"], "y"), r"part-000.parquet: row group 0 could not be read"),
                         (tall.source(summed, ["a"], "y"),
                          r"part-000.parquet: row group 0 is damaged: a page does not match its checksum")):
        with pytest.raises(ValueError, match=message):
            tall.gram_stats(src)
        with pytest.raises(ValueError, match=message), dask.config.set(scheduler="sync"):
            tall.gram_stats(*src.to_dask())
    with pytest.raises(ValueError, match="chunk_bytes must be a positive int"):
        src.to_dask(chunk_bytes=0)


@pytest.mark.parametrize("fmt", ["parquet", "npy", "zarr group"])
def test_nan_is_named_by_column_file_and_row_or_dropped(tmp_path, fmt):
    """NaN in the rows of files: refused naming the source's column, the file and the
    first row (in this process and through Dask), or with dropna=True left out like
    a null, counted in `dropped`, the statistics those of the rows kept."""
    import dask

    rng = np.random.default_rng(5)
    A = rng.standard_normal((6000, 3))
    A[4321, 1] = np.nan
    A[5000, 1] = np.inf
    A[[77, 4321], 2] = np.nan
    if fmt == "parquet":
        path = write_parquet(tmp_path / "pq", list(A.T), [0, 3000, 6000], 1000, names=["a", "depth", "y"])
        place, args = r"part-000.parquet", (["a", "depth"], "y")
    elif fmt == "npy":
        path = npy_folder(tmp_path, A[:3000], A[3000:])
        place, args = r"s0.npy", ([0, 1], 2)
    else:
        path = zarr_store(tmp_path, a=A[:, 0], depth=A[:, 1], y=A[:, 2])
        place, args = r"s.zarr", (["a", "depth"], "y")
    src = tall.source(path, *args)
    name = repr(args[0][1])
    message = (rf"NaN or infinity in column {name} \(2 values\) and the target {args[1]!r} \(2 values\), the "
               rf"first in column {args[1]!r} of .*{place} at row 77 \(rows counted from 0 over all the files\)")
    with pytest.raises(ValueError, match=message):
        tall.gram_stats(src)
    with pytest.raises(ValueError, match=message), dask.config.set(scheduler="sync"):
        tall.gram_stats(*src.to_dask())
    A[5000, 1] = 2.0
    kept = A[~np.isnan(A).any(axis=1)]
    ref = tall.gram_stats(kept[:, :2], kept[:, 2], folds=3).fingerprint()
    if fmt == "parquet":
        write_parquet(tmp_path / "pq", list(A.T), [0, 3000, 6000], 1000, names=["a", "depth", "y"])
    elif fmt == "npy":
        np.save(tmp_path / "npy" / "s1.npy", A[3000:])
    else:
        zarr_store(tmp_path, a=A[:, 0], depth=A[:, 1], y=A[:, 2])
    src = tall.source(path, *args, dropna=True)
    assert tall.gram_stats(src, folds=3).fingerprint() == ref and src.dropped == 2
    src = tall.source(path, *args, dropna=True)
    with dask.config.set(scheduler="sync"):
        X, y = src.to_dask(chunk_bytes=1)
        assert src.dropped == 2
        assert tall.gram_stats(X, y, folds=3).fingerprint() == ref


def test_tall_imports_without_the_readers(tmp_path):
    os.makedirs(tmp_path / "npy")
    np.save(tmp_path / "npy" / "s.npy", np.ones((10, 3)))
    code = ("import sys\n"
            "for m in ('pyarrow', 'zarr', 'h5py', 'dask'): sys.modules[m] = None\n"
            "from Quandrel import tall\n"
            f"print(tall.gram_stats(tall.source({str(tmp_path / 'npy')!r}, [0, 1], 2)).n)\n"
            f"tall.source({str(tmp_path / 'p.parquet')!r}, ['a'], 'y')\n")
    pq.write_table(pa.table({"a": [1.0], "y": [2.0]}), tmp_path / "p.parquet")
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert out.stdout.strip() == "10", out.stderr
    assert "ImportError: reading Parquet files needs pyarrow" in out.stderr


@pytest.fixture(scope="module")
def cluster():
    """Two worker processes; a watchdog ends the run with a traceback if they hang."""
    with two_workers() as client:
        yield client


def test_two_workers_read_the_files(cluster, sources, table, tmp_path):
    """The Dask arrays' tasks read the files on the workers (the graph holds no rows)
    and give the in-memory bits, weighted and folded; with dropna the chunks are
    counted there first."""
    import pickle

    import dask.array as da
    from distributed import get_task_stream

    cols, A = table
    ref = tall.gram_stats(A[:, :5], A[:, 5], weights=A[:, 6], folds=FOLD_IDS).fingerprint()
    workers, readers = set(cluster.scheduler_info()["workers"]), set()
    for name, path, kw in sources:
        src = tall.source(path, **kw)
        X, y, w = src.to_dask(chunk_bytes=250_000)
        assert len(pickle.dumps(dict(X.__dask_graph__()))) < 60_000
        ids = da.from_array(FOLD_IDS, chunks=(X.chunks[0],))
        with get_task_stream(cluster) as ts:
            got = tall.gram_stats(X, y, weights=w, folds=ids, timeout=60)
        assert got.fingerprint() == ref, name
        readers |= {t["worker"] for t in ts.data if "read" in str(t["key"])}
    assert readers == workers
    null = np.arange(N) % 1000 == 999
    path = write_parquet(tmp_path, [pa.array(c, mask=null) if i == 0 else c for i, c in enumerate(cols)],
                         [0, 7000, N], 2000, write_statistics=False)
    src = tall.source(path, NAMES, "y", weights="w", dropna=True)
    X, y, w = src.to_dask(chunk_bytes=1)
    assert src.dropped == null.sum() and all(c % 4096 == 0 for c in X.chunks[0][:-1])
    kept = A[~null]
    ref = tall.gram_stats(kept[:, :5], kept[:, 5], weights=kept[:, 6], folds=5).fingerprint()
    assert tall.gram_stats(X, y, weights=w, folds=5, timeout=60).fingerprint() == ref
