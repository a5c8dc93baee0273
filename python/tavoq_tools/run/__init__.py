"""The run layer: a model's batch of runs (``simulate``), split into chunks (``chunks``),
run until precise enough, on this machine or on a Dask cluster (``dask_cluster``), with the
engine's console output kept off the terminal (``native_output``)."""
