"""limitOMPThreads."""

import tavoq


def test_limit_omp_threads_returns_none(omp_threads_restored, capfd):
    assert tavoq.limitOMPThreads(2) is None
    assert tavoq.limitOMPThreads(maxThreads=1) is None
    tavoq.runnerParallelSim(0, 0, [], None, 0)
    assert capfd.readouterr().out.splitlines()[0] == "Numero de threads disponiveis: 1"
