"""The results layer: the counts of a batch and their merge (``counts``), the interval
methods (``intervals``) and what a batch says about the system (``summary``)."""
