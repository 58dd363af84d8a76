"""quaver dropped into a distributed engine: a directory converted by two Dask worker processes."""
import pathlib
import pickle

from dask import distributed

import _quaver
import quaver

DATA = pathlib.Path(__file__).parent / "data"


def test_module_functions_pickle_by_reference():
    for function in (quaver.remux, quaver.thumbnail, quaver.merge, _quaver.convert_ts_to_mp4,
                     _quaver.defragment_mp4):
        assert pickle.loads(pickle.dumps(function)) is function


def test_a_directory_converts_through_a_local_cluster(tmp_path):
    sources = sorted((DATA / "hls_ts").glob("*.ts")) + [DATA / "frag_av.mp4", DATA / "regular_faststart.mp4"]
    out_dir = tmp_path / "out"
    out_dir.mkdir()

    # What a user writes: each task reads its input and writes its output, so
    # only paths travel between the scheduler and the workers.
    def convert(source, target):
        pathlib.Path(target).write_bytes(quaver.remux(pathlib.Path(source).read_bytes()))
        return target

    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None,
                                  silence_logs=40) as cluster, distributed.Client(cluster) as client:
        futures = client.map(convert, [str(s) for s in sources], [str(out_dir / (s.stem + ".mp4")) for s in sources])
        written = client.gather(futures)
        pids = set(client.run(lambda: __import__("os").getpid()).values())
    assert len(pids) == 2
    assert written == [str(out_dir / (s.stem + ".mp4")) for s in sources]
    for source in sources:
        assert (out_dir / (source.stem + ".mp4")).read_bytes() == quaver.remux(source.read_bytes())
